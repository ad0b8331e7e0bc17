// The line's guard against a real PostgreSQL server: which of the line's jobs count for an image
// and against it, when they halt it, a supervisor's release lifting the halt, and the window that
// refuses a halted image before any device leaves its application, yet runs its jobs when the
// server cannot be asked, saying so once.
#include "config_reader.h"
#include "debug_capture.h"
#include "fast_family.h"
#include "history_server.h"
#include "line_guard.h"
#include "local_pg_server.h"
#include "main_window.h"
#include "my_pushbtn.h"
#include "pg_faults.h"
#include "sample_firmware.h"
#include "sample_records.h"
#include "sim_family.h"
#include "sim_port_catalog.h"
#include "sim_protocol.h"
#include "test_workspace.h"
#include "upgrade_launch.h"
#include "wait_until.h"
#include "waits.h"
#include "window_access.h"

#include <QElapsedTimer>
#include <QLabel>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QUuid>
#include <QtTest>

namespace {

constexpr int kJobMs = 30000;

const QByteArray kConfig = R"({"is_english": true, "firmware": {"Motor": {"dev_id": 3, "USB_PID": [4], "series": [
    {"boot_ver": "1.0.0", "hw_ver": "MOTOR-HW-A", "section_len": 1024, "path": "fw/motor.bin", "description": "motor, rev A"}]}}})";

void WriteImage(const QString &path)
{
    ImageRecipe recipe;
    recipe.section_size = 1024;
    recipe.raw = true;  // the motor takes raw data only
    QDir().mkpath(QFileInfo(path).path());
    const QString error =
        WriteSampleImage(QDir::current().absoluteFilePath(path), {{0x00010000, SampleFirmware(3 * 1024, 9)}}, recipe);
    if (!error.isEmpty())
        qFatal("%s", qPrintable(error));
}

QString RandomSha()
{
    QString sha;
    for (int i = 0; i < 8; ++i)
        sha += QStringLiteral("%1").arg(QRandomGenerator::global()->generate(), 8, 16, QLatin1Char('0'));
    return sha;
}

// A job of the line with image sha, hours_ago, that ended as how says: "success", "failed",
// "current", "operator" / "timeout" / "window closed" (stopped, hence not a success), or
// "unreached" (failed before it reached the unit: no version read after it).
UpgradeRecord LineJob(const QString &sha, double hours_ago, const QString &how)
{
    const QDateTime at = QDateTime::currentDateTimeUtc().addSecs(qint64(-hours_ago * 3600));
    const bool fails = how != "success" && how != "current";
    UpgradeRecord record = SampleRecord("Motor", at, fails ? QStringLiteral("Flash failed") : QString());
    record.image_sha256 = sha;
    record.uid = QUuid::createUuid().toString(QUuid::WithoutBraces);
    record.current = how == "current";
    if (how == "operator" || how == "timeout" || how == "window closed")
        record.stopped_by = how;
    if (how == "unreached" || how == "window closed")
        record.version_after.clear();
    return record;
}

// "13 success", "2 failed 30" (30 hours ago; default one hour), ...
QList<UpgradeRecord> LineJobs(const QString &sha, const QStringList &jobs)
{
    QList<UpgradeRecord> records;
    for (const QString &job : jobs) {
        const QStringList words = job.split(' ');
        QString how = words[1];
        double hours = 1;
        if (words.size() > 2 && words.last().toDouble() > 0)
            hours = words.last().toDouble();
        if (words.size() > 2 && words[2] == "closed")
            how = "window closed";
        for (int i = 0; i < words[0].toInt(); ++i)
            records << LineJob(sha, hours, how);
    }
    return records;
}

bool PushAll(HistoryServer::Connection &server, const QList<UpgradeRecord> &records)
{
    QString warning;
    const bool pushed = server.Push(records, &warning);
    if (!pushed)
        qWarning("%s", qPrintable(warning));
    return pushed;
}

}  // namespace

class TestLineGuard : public QObject {
    Q_OBJECT

    LocalPgServer pg;

private slots:
    void initTestCase()
    {
        QString error;
        QVERIFY2(pg.Start(&error), qPrintable(error));
        SimPortCatalog::Install();
        Waits::SetLongWaitScale(kTestWaitScale);
    }
    void init() { SimPortCatalog::Clear(); }
    void cleanupTestCase()
    {
        Waits::SetLongWaitScale(1.0);
        SimPortCatalog::Uninstall();
    }

    // What counts for an image and against it: the jobs that reached the unit and ran on their
    // own, in the window, of that image; a halt needs min_jobs of them and a share of failures
    // above the rate.
    void figures_data()
    {
        QTest::addColumn<QStringList>("jobs");
        QTest::addColumn<QStringList>("other_image");
        QTest::addColumn<double>("window_hours");
        QTest::addColumn<int>("min_jobs");
        QTest::addColumn<int>("counted");
        QTest::addColumn<int>("failed");
        QTest::addColumn<bool>("halted");
        QTest::newRow("7 of 20 failed") << QStringList{"13 success", "7 failed"} << QStringList{} << 24.0 << 10 << 20 << 7 << true;
        QTest::newRow("at the rate, not above") << QStringList{"16 success", "4 failed"} << QStringList{} << 24.0 << 10 << 20 << 4 << false;
        QTest::newRow("stops, time-outs, closed windows, unreached units and current targets do not count")
            << QStringList{"8 success", "2 failed", "5 operator", "3 timeout", "2 window closed", "2 unreached", "3 current"}
            << QStringList{} << 24.0 << 10 << 10 << 2 << false;
        QTest::newRow("fewer jobs than min_jobs") << QStringList{"9 failed"} << QStringList{} << 24.0 << 10 << 9 << 9 << false;
        QTest::newRow("min_jobs reached") << QStringList{"1 success", "2 failed"} << QStringList{} << 24.0 << 3 << 3 << 2 << true;
        QTest::newRow("failures older than the window")
            << QStringList{"10 success", "20 failed 30"} << QStringList{} << 24.0 << 10 << 10 << 0 << false;
        QTest::newRow("a window that reaches them") << QStringList{"10 success", "20 failed 30"} << QStringList{} << 48.0 << 10
                                                    << 30 << 20 << true;
        QTest::newRow("another image's failures") << QStringList{"10 success"} << QStringList{"20 failed"} << 24.0 << 10 << 10 << 0
                                                  << false;
    }

    void figures()
    {
        QFETCH(QStringList, jobs);
        QFETCH(QStringList, other_image);
        QFETCH(double, window_hours);
        QFETCH(int, min_jobs);
        QFETCH(int, counted);
        QFETCH(int, failed);
        QFETCH(bool, halted);
        HistoryServer::Connection server(pg.Connection());
        const QString sha = RandomSha();
        QVERIFY(PushAll(server, LineJobs(sha, jobs)));
        if (!other_image.isEmpty())
            QVERIFY(PushAll(server, LineJobs(RandomSha(), other_image)));

        HistoryServer::ImageFigures figures;
        QString warning;
        QVERIFY2(server.ImageRecord(sha, window_hours, &figures, &warning), qPrintable(warning));
        QCOMPARE(figures.jobs, qint64(counted));
        QCOMPARE(figures.failures, qint64(failed));
        LineGuardSettings settings;
        settings.window_hours = window_hours;
        settings.min_jobs = min_jobs;
        QCOMPARE(LineGuard::Halts(settings, figures), halted);

        // The guard as a front end asks it gives the same verdict.
        LineGuard guard;
        const LineGuard::Verdict verdict = guard.Ask(settings, pg.Connection(), sha);
        QCOMPARE(verdict.outcome, halted ? LineGuard::Outcome::Halted : LineGuard::Outcome::Clear);
        QCOMPARE(verdict.refusal.has_value(), halted);
        if (halted)
            QCOMPARE(verdict.refusal->en,
                     QStringLiteral("the line halted this image: %1 of %2 jobs failed in the last %3 h; a supervisor lifts "
                                    "it with `upgrader-cli line release %4`")
                         .arg(failed)
                         .arg(counted)
                         .arg(window_hours)
                         .arg(sha));
    }

    // A release is stamped with the server's time; the failures before it no longer count, those
    // after it do (who released, and why, is the command's test). A table of that name that is not the guard's is refused.
    void releaseLiftsTheHalt()
    {
        QString error;
        QVERIFY2(pg.CreateDatabase("released", &error), qPrintable(error));
        HistoryServer::Connection server(pg.Connection("released"));
        const QString sha = RandomSha();
        QVERIFY(PushAll(server, LineJobs(sha, {"5 success", "5 failed"})));
        HistoryServer::ImageFigures figures;
        QString warning;
        QVERIFY2(server.ImageRecord(sha, 24, &figures, &warning), qPrintable(warning));
        QVERIFY(LineGuard::Halts(LineGuardSettings(), figures));
        QVERIFY(!figures.released_at.isValid());

        HistoryServer::ImageRelease release{sha, {}, "supervisor1", "station-9", QString::fromUtf8("固件已修复, \"ok\"")};
        const QDateTime before = QDateTime::currentDateTimeUtc().addSecs(-1);
        QVERIFY2(server.Release(&release, &warning), qPrintable(warning));
        QVERIFY(release.released_at >= before && release.released_at <= QDateTime::currentDateTimeUtc().addSecs(1));

        QVERIFY2(server.ImageRecord(sha, 24, &figures, &warning), qPrintable(warning));
        QCOMPARE(figures.jobs, qint64(0));
        QCOMPARE(figures.released_at, release.released_at);
        QVERIFY(!LineGuard::Halts(LineGuardSettings(), figures));
        // Jobs after the release count again (their start is the station's clock: a moment later).
        QList<UpgradeRecord> later = LineJobs(sha, {"4 success", "6 failed"});
        for (UpgradeRecord &record : later)
            record.started_at = release.released_at.addSecs(1);
        QVERIFY(PushAll(server, later));
        QVERIFY2(server.ImageRecord(sha, 24, &figures, &warning), qPrintable(warning));
        QCOMPARE(figures.jobs, qint64(10));
        QCOMPARE(figures.failures, qint64(6));

        QVERIFY2(pg.CreateDatabase("foreign_releases", &error), qPrintable(error));
        QString out;
        QVERIFY2(pg.Sql("foreign_releases", "CREATE TABLE line_releases (id serial, image_sha256 text, note text)", &out,
                        &error),
                 qPrintable(error));
        HistoryServer::Connection foreign(pg.Connection("foreign_releases"));
        QVERIFY(!foreign.Release(&release, &warning));
        QVERIFY2(warning.contains("holds a table \"line_releases\" that is not the line guard's releases"),
                 qPrintable(warning));
        QVERIFY2(pg.Sql("foreign_releases", "SELECT count(*) FROM line_releases", &out, &error), qPrintable(error));
        QCOMPARE(out.trimmed(), QString("0"));
    }

    // The operator presses the motor's button for an image the line halted: the error line
    // says so with the figures, in the window's language, and the unit is left as it was.
    void windowRefusesAHaltedImage_data()
    {
        QTest::addColumn<bool>("english");
        QTest::addColumn<QString>("guard");
        QTest::addColumn<QString>("says");
        QTest::newRow("English") << true << R"({"window_hours": 24, "min_jobs": 10, "max_failure_rate": 0.2})"
                                 << "the line halted this image: 7 of 20 jobs failed in the last 24 h; a supervisor lifts it "
                                    "with `upgrader-cli line release %1`";
        QTest::newRow("Chinese") << false << R"({"window_hours": 24})"
                                 << QString::fromUtf8("产线已停用此固件：最近24小时内20次升级中有7次失败；须由主管用 "
                                                      "`upgrader-cli line release %1` 解除");
        QTest::newRow("a mistyped guard") << true << R"({"window_hours": "24"})"
                                          << "The configuration's \"line_guard\" is not valid";
    }

    void windowRefusesAHaltedImage()
    {
        QFETCH(bool, english);
        QFETCH(QString, guard);
        QFETCH(QString, says);
        QByteArray config = kConfig;
        config.replace("{\"is_english\": true,", QStringLiteral("{\"is_english\": %1, \"history_server\": \"%2\", "
                                                                "\"line_guard\": %3,")
                                                     .arg(english ? "true" : "false", pg.Connection(), guard)
                                                     .toUtf8());
        SimFamily family(FastFamily());
        TestWorkspace workspace(config);
        WriteImage("fw/motor.bin");
        const QString sha = FileSha256(workspace.Path("fw/motor.bin"));
        {
            HistoryServer::Connection server(pg.Connection());
            // Jobs of earlier rows of this image may be there already: a release clears them.
            HistoryServer::ImageRelease release{sha, {}, "test", "test", "a fresh start"};
            QString warning;
            QVERIFY2(server.Release(&release, &warning), qPrintable(warning));
            QList<UpgradeRecord> jobs = LineJobs(sha, {"13 success", "7 failed"});
            for (UpgradeRecord &record : jobs)
                record.started_at = release.released_at.addMSecs(1);
            QVERIFY(PushAll(server, jobs));
        }
        const QByteArray flash_before = family.Flash(3, 0x00010000, 3 * 1024);
        const QList<SimMode> modes_before = family.ModeHistory(3);

        MainWindow w;
        QSignalSpy recorded(&w.record_keeper, &JobRecordKeeper::Recorded);
        auto *motor = Get<MyPushbtn>(w, "btn_start_motor");
        motor->setEnabled(true);
        QTest::mouseClick(motor, Qt::LeftButton);
        auto *error_line = Get<QLabel>(w, "label_error");
        const QString expected = says.contains("%1") ? says.arg(sha) : says;
        QVERIFY2(error_line->text().startsWith(expected), qPrintable(error_line->text()));
        QCOMPARE(w.upgrade_server.isRunning(), false);
        QCOMPARE(recorded.count(), 0);
        QCOMPARE(family.Flash(3, 0x00010000, 3 * 1024), flash_before);
        QCOMPARE(family.ModeHistory(3), modes_before);
        QCOMPARE(family.Mode(3), SimMode::App);
        QCOMPARE(family.Mode(2), SimMode::App);
    }

    // A server that accepts and never answers: each job waits a short, bounded time for the
    // guard and runs; the console says so once for the outage, not once per job.
    void windowRunsWhenTheServerIsDown()
    {
        HangingListener hanging;
        QVERIFY(hanging.Ok());
        const QString connection =
            QStringLiteral("host=127.0.0.1 port=%1 dbname=upgrades").arg(hanging.Port());
        QByteArray config = kConfig;
        config.replace("{\"is_english\": true,",
                       QStringLiteral("{\"is_english\": true, \"history_server\": \"%1\", \"line_guard\": {},")
                           .arg(connection)
                           .toUtf8());
        SimFamily family(FastFamily());
        TestWorkspace workspace(config);
        WriteImage("fw/motor.bin");
        DebugCapture capture;
        auto window = std::make_unique<MainWindow>();
        MainWindow &w = *window;
        QSignalSpy recorded(&w.record_keeper, &JobRecordKeeper::Recorded);
        auto *motor = Get<MyPushbtn>(w, "btn_start_motor");
        for (int job = 1; job <= 2; ++job) {
            QVERIFY(WaitUntil([&] { return !w.upgrade_server.LinkBusy(); }, kJobMs));
            motor->setEnabled(true);
            QElapsedTimer launch;
            launch.start();
            QTest::mouseClick(motor, Qt::LeftButton);
            // The click returns once the job has started: the guard's wait was bounded.
            QVERIFY2(launch.elapsed() < LineGuard::kWaitMs + 5000, qPrintable(QString::number(launch.elapsed())));
            QVERIFY(WaitUntil([&] { return recorded.count() == job; }, kJobMs));
            QVERIFY(recorded.last()[0].value<UpgradeRecord>().success);
        }
        QStringList said;
        for (const QString &line : capture.Lines()) {
            if (line.startsWith("Line guard:"))
                said << line;
        }
        QCOMPARE(said.size(), 1);
        QVERIFY2(said[0].contains("jobs run unguarded until it answers"), qPrintable(said[0]));
    }

    // A question given up on does not hold its front end for the long connect a station's
    // string may allow its pushes: the guard ends within its wait and a connect bounded to it,
    // whichever form the string takes.
    void givenUpQuestionsEndSoon_data()
    {
        QTest::addColumn<QString>("connection");
        QTest::newRow("key=value") << "host=127.0.0.1 port=%1 dbname=upgrades connect_timeout=60";
        QTest::newRow("URI") << "postgresql://upgrader@127.0.0.1:%1/upgrades?connect_timeout=60";
    }

    void givenUpQuestionsEndSoon()
    {
        QFETCH(QString, connection);
        HangingListener hanging;
        QVERIFY(hanging.Ok());
        QElapsedTimer clock;
        clock.start();
        {
            LineGuard guard;
            const LineGuard::Verdict verdict = guard.Ask(LineGuardSettings(), connection.arg(hanging.Port()), RandomSha());
            QCOMPARE(verdict.outcome, LineGuard::Outcome::Unanswered);
            QVERIFY(verdict.news);
            QVERIFY2(clock.elapsed() < LineGuard::kWaitMs + 1000, qPrintable(QString::number(clock.elapsed())));
        }
        QVERIFY2(clock.elapsed() < 2 * LineGuard::kWaitMs + 2000, qPrintable(QString::number(clock.elapsed())));
    }
};

QTEST_MAIN(TestLineGuard)
#include "tst_line_guard.moc"
