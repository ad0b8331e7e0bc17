// The upgrade history as the front ends keep it: the window records every job it started with
// the launch's facts; every way a job can end gives its record; and a history that cannot be
// written leaves the upgrade's result as it was and says so on the console.
#include "config_reader.h"
#include "debug_capture.h"
#include "fast_family.h"
#include "history_server.h"
#include "history_store.h"
#include "job_record_keeper.h"
#include "local_pg_server.h"
#include "main_window.h"
#include "my_pushbtn.h"
#include "sample_firmware.h"
#include "sample_records.h"
#include "sim_family.h"
#include "sim_port_catalog.h"
#include "sim_protocol.h"
#include "test_workspace.h"
#include "unprivileged.h"
#include "upgrade_launch.h"
#include "wait_until.h"
#include "waits.h"
#include "window_access.h"

#include <QLabel>
#include <QSignalSpy>
#include <QtTest>

#include <memory>
#include <optional>

#include <pwd.h>
#include <unistd.h>

namespace {

constexpr int kJobMs = 30000;

const QByteArray kConfig = R"({"is_english": true, "firmware": {"Motor": {"dev_id": 3, "USB_PID": [4], "series": [
    {"boot_ver": "1.0.0", "hw_ver": "MOTOR-HW-A", "section_len": 1024, "path": "fw/motor.bin", "description": "motor, rev A"}]}}})";

// The motor's image, with a header version the record must repeat.
void WriteImage(const QString &path)
{
    ImageRecipe recipe;
    recipe.section_size = 1024;
    recipe.raw = true;  // the motor takes raw data only
    recipe.version_major = 2;
    recipe.version_minor = 7;
    recipe.version_patch = 300;
    QDir().mkpath(QFileInfo(path).path());
    const QString error =
        WriteSampleImage(QDir::current().absoluteFilePath(path), {{0x00010000, SampleFirmware(3 * 1024, 5)}}, recipe);
    if (!error.isEmpty())
        qFatal("%s", qPrintable(error));
}

QByteArray FileBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QList<UpgradeRecord> Records(const QString &database)
{
    QString warning;
    const QList<UpgradeRecord> records = HistoryStore::Read(database, {}, &warning);
    if (!warning.isEmpty())
        qWarning("%s", qPrintable(warning));
    return records;
}

PortInfo PortOfFamily(const SimFamily &family)
{
    for (const PortInfo &port : SimPortCatalog::Ports()) {
        if (port.location == family.Location())
            return port;
    }
    return {};
}

QString SystemHost()
{
    char name[256] = {};
    gethostname(name, sizeof name - 1);
    return QString::fromLocal8Bit(name);
}

QString SystemUser()
{
    const passwd *account = getpwuid(geteuid());
    return account ? QString::fromLocal8Bit(account->pw_name) : QString();
}

}  // namespace

class TestHistoryJobs : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        SimPortCatalog::Install();
        Waits::SetLongWaitScale(kTestWaitScale);
    }
    void init() { SimPortCatalog::Clear(); }
    void cleanupTestCase()
    {
        Waits::SetLongWaitScale(1.0);
        SimPortCatalog::Uninstall();
    }

    // The operator presses the motor's button: the record next to the configuration holds every
    // fact of that job, the image's SHA-256 equal to the file's own.
    void windowJobRecordsEveryField()
    {
        SimFamily family(FastFamily());
        TestWorkspace workspace(kConfig);
        WriteImage("fw/motor.bin");
        MainWindow w;
        QSignalSpy recorded(&w.record_keeper, &JobRecordKeeper::Recorded);
        QVERIFY(recorded.isValid());
        auto *motor = Get<MyPushbtn>(w, "btn_start_motor");
        motor->setEnabled(true);  // as the status poll does; the launch asks the device itself
        const PortInfo port = PortOfFamily(family);  // the base leaves USB and comes back during the job
        QVERIFY(!port.name.isEmpty() && !port.location.isEmpty());

        const QDateTime before = QDateTime::currentDateTimeUtc();
        QTest::mouseClick(motor, Qt::LeftButton);
        QVERIFY(WaitUntil([&] { return recorded.count() == 1; }, kJobMs));
        const QDateTime after = QDateTime::currentDateTimeUtc();
        QCOMPARE(Get<QLabel>(w, "label_sucess_cnt")->text(), QString("Update success: 1"));
        QCOMPARE(recorded[0][1].toString(), QString());

        const QString database = workspace.Path("upgrade-history.sqlite");
        const QList<UpgradeRecord> records = Records(database);
        QCOMPARE(records.size(), 1);
        const UpgradeRecord &r = records[0];
        QCOMPARE(r.id, qint64(1));
        QVERIFY(r.started_at >= before.addMSecs(-1) && r.started_at <= after);
        QVERIFY(r.duration_ms > 0 && r.started_at.addMSecs(r.duration_ms) <= after.addMSecs(1));
        QCOMPARE(r.front_end, QString("window"));
        QCOMPARE(r.target, QString("Motor"));
        QCOMPARE(r.dev_id, 3);
        QCOMPARE(r.port_name, port.name);
        QCOMPARE(r.usb_location, family.Location());
        QCOMPARE(r.usb_pid, 4);
        QCOMPARE(r.hw_version, QString("MOTOR-HW-A"));
        QCOMPARE(r.description, QString("motor, rev A"));
        QCOMPARE(r.image_path, workspace.Path("fw/motor.bin"));
        QCOMPARE(r.image_sha256, FileSha256(workspace.Path("fw/motor.bin")));
        QCOMPARE(r.image_version, QString("2.7.300"));
        QVERIFY(r.success);
        QCOMPARE(r.error_text, QString());
        QCOMPARE(r.stopped_by, QString());
        QCOMPARE(r.user, SystemUser());
        QCOMPARE(r.host, SystemHost());
        // The signal carries what was written.
        QCOMPARE(recorded[0][0].value<UpgradeRecord>().image_sha256, r.image_sha256);
    }

    // Every way a job ends leaves one record, also when the engine reports no result at all.
    // A front end of its own (as the command is) drives the real launch and engine here.
    void everyEndingIsRecorded_data()
    {
        QTest::addColumn<QString>("ending");
        QTest::addColumn<bool>("success");
        QTest::addColumn<QString>("stopped_by");
        QTest::addColumn<QString>("error_start");
        QTest::newRow("success") << "success" << true << "" << "";
        QTest::newRow("stopped by the operator") << "operator" << false << "operator" << "";
        QTest::newRow("stopped by a time-out") << "timeout" << false << "timeout" << "";
        QTest::newRow("stopped as the window closes") << "closing" << false << "window closed" << "";
        QTest::newRow("device lost") << "unplug" << false << "" << "USB connection lost!";
        QTest::newRow("port never opened") << "no port" << false << ""
                                           << "The job ended before the upgrade began: the port could not be opened";
        QTest::newRow("not an image") << "bad image" << false << "" << "The image could not be read: ";
    }

    void everyEndingIsRecorded()
    {
        QFETCH(QString, ending);
        QFETCH(bool, success);
        QFETCH(QString, stopped_by);
        QFETCH(QString, error_start);

        SimFamily family(FastFamily());
        TestWorkspace workspace(kConfig);
        WriteImage("fw/motor.bin");
        const ConfigRead config = ReadConfig(workspace.Path("config.json"));
        QVERIFY(config.Ok());
        UpgradeServer engine;
        JobRecordKeeper keeper(engine, QLatin1String(UpgradeRecord::kCommand));
        QSignalSpy recorded(&keeper, &JobRecordKeeper::Recorded);
        QSignalSpy results(&engine, &UpgradeServer::PushUpgRes);
        UpgradeLaunch launch(engine, workspace.Path("config.json"));
        QVERIFY(!launch.FindDevice(config.entries, "Motor"));
        LaunchJob job;
        QVERIFY(!launch.Prepare(job));
        if (ending == "no port")
            job.usb_pid = 9;  // no such device: the job's port cannot open
        if (ending == "bad image") {
            // A job given only a path (the launch's reading dropped) reads the file at its start.
            workspace.Write("fw/motor.bin", QByteArray(4096, '\x33'));
            job.firmware_path = workspace.Path("fw/motor.bin");
            job.image.reset();
        }
        const QString sha256 = FileSha256(job.firmware_path);
        const PortInfo port = PortOfFamily(family);

        const QString database = HistoryStore::Location(workspace.Path("config.json"));
        keeper.Begin("Motor", job, database);
        QVERIFY(launch.Start(job));
        if (ending == "operator" || ending == "timeout" || ending == "closing" || ending == "unplug") {
            QVERIFY(WaitUntil([&] { return CountRequests(family, 3, SimProtocol::SectionData) > 0; }, kJobMs));
            if (ending == "unplug")
                family.Unplug();
            else
                QVERIFY(engine.Stop(ending == "timeout"   ? StopKind::TimeLimit
                                    : ending == "closing" ? StopKind::Closing
                                                          : StopKind::Operator));
        }
        QVERIFY(WaitUntil([&] { return recorded.count() == 1 && keeper.Idle(); }, kJobMs));
        QCOMPARE(recorded[0][1].toString(), QString());
        // The two that end before the sequence began get no result from the engine.
        QCOMPARE(results.count(), ending == "no port" || ending == "bad image" ? 0 : 1);

        const QList<UpgradeRecord> records = Records(database);
        QCOMPARE(records.size(), 1);
        const UpgradeRecord &r = records[0];
        QCOMPARE(r.front_end, QString("command"));
        QCOMPARE(r.success, success);
        QCOMPARE(r.stopped_by, stopped_by);
        if (error_start.isEmpty())
            QCOMPARE(r.error_text, QString());
        else
            QVERIFY2(r.error_text.startsWith(error_start), qPrintable(r.error_text));
        QVERIFY2(!r.error_text.endsWith('\n'), qPrintable(r.error_text));
        QCOMPARE(r.image_sha256, sha256);
        QCOMPARE(r.image_version, ending == "bad image" ? QString() : QString("2.7.300"));
        QCOMPARE(r.usb_pid, job.usb_pid);
        QCOMPARE(r.port_name, ending == "no port" ? QString() : port.name);
        QCOMPARE(r.usb_location, ending == "no port" ? QString() : family.Location());
    }

    // The operator closes the window in the middle of a transfer, or the window goes without a
    // close (the application told to quit): the job is stopped, its end shown, and its record is
    // there, saying the window was closed.
    void closingTheWindowRecordsTheJob_data()
    {
        QTest::addColumn<bool>("close");
        QTest::newRow("window closed") << true;
        QTest::newRow("window destroyed") << false;
    }

    void closingTheWindowRecordsTheJob()
    {
        QFETCH(bool, close);
        SimFamily family(FastFamily());
        TestWorkspace workspace(kConfig);
        WriteImage("fw/motor.bin");
        const QString database = workspace.Path("upgrade-history.sqlite");
        auto w = std::make_unique<MainWindow>();
        auto *motor = Get<MyPushbtn>(*w, "btn_start_motor");
        motor->setEnabled(true);  // as the status poll does; the launch asks the device itself
        QTest::mouseClick(motor, Qt::LeftButton);
        QVERIFY(w->upgrade_server.LinkBusy());
        QVERIFY(WaitUntil([&] { return CountRequests(family, 3, SimProtocol::SectionData) > 0; }, kJobMs));

        if (close) {
            QVERIFY(w->close());
            // The close returns once the job has ended and its record is written.
            QVERIFY(!w->upgrade_server.isRunning());
            QVERIFY(w->record_keeper.Idle());
            QCOMPARE(Get<QLabel>(*w, "label_sucess_cnt")->text(), QString("Update failed!"));
        }
        w.reset();

        const QList<UpgradeRecord> records = Records(database);
        QCOMPARE(records.size(), 1);
        const UpgradeRecord &r = records[0];
        QCOMPARE(r.front_end, QString("window"));
        QCOMPARE(r.target, QString("Motor"));
        QVERIFY(!r.success);
        QCOMPARE(r.stopped_by, QString("window closed"));
        QCOMPARE(r.error_text, QString());
    }

    // A station whose configuration names the line's server: what waited from before goes at the
    // window's start, the job's own record after the job, each once.
    void windowPushesToTheLine()
    {
        LocalPgServer server;
        QString error;
        QVERIFY2(server.Start(&error), qPrintable(error));
        QByteArray config = kConfig;
        config.replace("{\"is_english\": true,",
                       "{\"is_english\": true, \"history_server\": \"" + server.Connection().toUtf8() + "\",");
        SimFamily family(FastFamily());
        TestWorkspace workspace(config);
        WriteImage("fw/motor.bin");
        const QString database = workspace.Path("upgrade-history.sqlite");
        QCOMPARE(HistoryStore::Append(database, SampleRecord("Base", QDateTime::currentDateTimeUtc().addDays(-1))), QString());

        auto on_line = [&] {
            QString out;
            return server.Sql("upgrades", "SELECT count(*) FROM upgrades", &out, &error) ? out.trimmed().toInt() : -1;
        };
        MainWindow w;
        QVERIFY(w.history_sync);
        QVERIFY(WaitUntil([&] { return on_line() == 1; }, kJobMs));

        QSignalSpy recorded(&w.record_keeper, &JobRecordKeeper::Recorded);
        auto *motor = Get<MyPushbtn>(w, "btn_start_motor");
        motor->setEnabled(true);
        QTest::mouseClick(motor, Qt::LeftButton);
        QVERIFY(WaitUntil([&] { return recorded.count() == 1; }, kJobMs));
        QVERIFY(WaitUntil([&] { return on_line() == 2; }, kJobMs));
        // The push marks the record sent once the server has it: a moment later.
        QString warning;
        QVERIFY(WaitUntil([&] { return HistoryStore::CountWaiting(database, &warning) == 0; }, kJobMs));
        QVERIFY2(warning.isEmpty(), qPrintable(warning));
        QString out;
        QVERIFY(server.Sql("upgrades", "SELECT target || ' ' || result FROM upgrades ORDER BY started_at", &out, &error));
        QCOMPARE(out.trimmed(), QString("Base success\nMotor success"));
    }

    // A line's server the window cannot write to (a table of another program's; a role without
    // the right to insert): the records wait, and the console says why once, in the tool's
    // words, however often the push is tried again; the driver says nothing of its own.
    void windowSaysOnceWhyRecordsWait_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("says");
        QTest::newRow("a table of another program")
            << "foreign" << "Upgrade history not sent to the line's server: the database upgrades on the line's server "
                            "holds a table \"upgrades\" that is not the upgrade history's";
        QTest::newRow("a role that may not insert")
            << "clerk" << "Upgrade history not sent to the line's server: the line's server does not let the role clerk "
                          "add records to the upgrade history (permission denied)";
    }

    void windowSaysOnceWhyRecordsWait()
    {
        QFETCH(QString, kind);
        QFETCH(QString, says);
        LocalPgServer server;
        QString error;
        QString out;
        QVERIFY2(server.Start(&error), qPrintable(error));
        QString connection = server.Connection();
        if (kind == "foreign") {
            QVERIFY2(server.Sql("upgrades", "CREATE TABLE upgrades (id serial, who text)", &out, &error), qPrintable(error));
        } else {
            // The history's tables made by a role that may, then a role that may only read.
            QTemporaryDir other;
            const QString made = other.filePath("other.sqlite");
            QCOMPARE(HistoryStore::Append(made, SampleRecord("Base", QDateTime::currentDateTimeUtc())), QString());
            HistoryServer::Connection line(connection);
            QCOMPARE(HistoryServer::PushWaiting(made, line, 100).warning, QString());
            QVERIFY2(server.Sql("upgrades", "CREATE ROLE clerk LOGIN; GRANT SELECT ON upgrades, upgrader_schema TO clerk",
                                &out, &error),
                     qPrintable(error));
            connection += " user=clerk";
        }
        QByteArray config = kConfig;
        config.replace("{\"is_english\": true,",
                       "{\"is_english\": true, \"history_server\": \"" + connection.toUtf8() + "\",");
        TestWorkspace workspace(config);
        const QString database = workspace.Path("upgrade-history.sqlite");
        QCOMPARE(HistoryStore::Append(database, SampleRecord("Motor", QDateTime::currentDateTimeUtc())), QString());

        DebugCapture capture;
        MainWindow w;
        QVERIFY(w.history_sync);
        QSignalSpy pushed(w.history_sync.get(), &HistorySync::Pushed);
        // The push at the start and the retries after it (2 s, then 4 s).
        QVERIFY(WaitUntil([&] { return pushed.size() >= 2; }, kJobMs));
        QStringList said;
        for (const QString &line : capture.Lines()) {
            if (line.contains("line's server"))
                said << line;
        }
        QCOMPARE(said.size(), 1);
        QVERIFY2(said[0].startsWith(says), qPrintable(said[0]));
        for (const QString &warning : capture.Warnings()) {
            for (const char *noise : {"QPSQL", "Unable to free statement", "Database not open"})
                QVERIFY2(!warning.contains(noise), qPrintable(warning));
        }
        QString warning;
        QCOMPARE(HistoryStore::CountWaiting(database, &warning), qint64(1));
    }

    // A job that ends the moment it starts, and the next launched before its reports were
    // delivered: each report closes its own job's record.
    void backToBackJobsKeepTheirOwnRecords()
    {
        SimFamily family(FastFamily());
        TestWorkspace workspace(kConfig);
        WriteImage("fw/motor.bin");
        WriteImage("fw/other.bin");
        UpgradeServer engine;
        JobRecordKeeper keeper(engine, QLatin1String(UpgradeRecord::kCommand));
        QSignalSpy recorded(&keeper, &JobRecordKeeper::Recorded);
        const QString database = workspace.Path("upgrade-history.sqlite");

        LaunchJob first;
        first.usb_pid = 9;  // ends at once: no such port
        first.dev_id = 3;
        first.firmware_path = workspace.Path("fw/other.bin");
        keeper.Begin("Steering", first, database);
        QVERIFY(engine.Start(first));
        QVERIFY(engine.wait(kJobMs));  // ended, its reports still queued

        LaunchJob second;
        second.usb_pid = 4;
        second.dev_id = 3;
        second.motor_to_boot = false;
        second.firmware_path = workspace.Path("fw/motor.bin");
        keeper.Begin("Motor", second, database);
        QVERIFY(engine.Start(second));
        QVERIFY(WaitUntil([&] { return recorded.count() == 2 && keeper.Idle(); }, kJobMs));

        const QList<UpgradeRecord> records = Records(database);
        QCOMPARE(records.size(), 2);
        QCOMPARE(records[0].target, QString("Steering"));
        QVERIFY(!records[0].success);
        QCOMPARE(records[0].image_path, first.firmware_path);
        QCOMPARE(records[1].target, QString("Motor"));
        QVERIFY2(records[1].success, qPrintable(records[1].error_text));
        QCOMPARE(records[1].image_path, second.firmware_path);
    }

    // A history that cannot take the record: the operator still sees the job's own result, and
    // the console says why the record is missing.
    void brokenHistoryKeepsTheResult_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("reason");
        QTest::newRow("corrupt file") << "corrupt" << "file is not a database";
        QTest::newRow("read-only file") << "read-only" << "attempt to write a readonly database";
    }

    void brokenHistoryKeepsTheResult()
    {
        QFETCH(QString, kind);
        QFETCH(QString, reason);
        if (kind == "read-only")
            RUN_AS_NOBODY_WHEN_ROOT();

        SimFamily family(FastFamily());
        TestWorkspace workspace(kConfig);
        WriteImage("fw/motor.bin");
        const QString database = workspace.Path("upgrade-history.sqlite");
        if (kind == "corrupt") {
            workspace.Write("upgrade-history.sqlite", QByteArray(8192, '\x5a'));
        } else {
            UpgradeRecord earlier;
            earlier.target = QStringLiteral("Base");
            earlier.started_at = QDateTime::currentDateTimeUtc();
            QCOMPARE(HistoryStore::Append(database, earlier), QString());
            QVERIFY(QFile::setPermissions(database, QFileDevice::ReadOwner | QFileDevice::ReadOther));
        }
        const QByteArray bytes = FileBytes(database);

        DebugCapture capture;
        MainWindow w;
        QSignalSpy recorded(&w.record_keeper, &JobRecordKeeper::Recorded);
        auto *motor = Get<MyPushbtn>(w, "btn_start_motor");
        motor->setEnabled(true);  // as the status poll does; the launch asks the device itself
        QTest::mouseClick(motor, Qt::LeftButton);
        QVERIFY(WaitUntil([&] { return recorded.count() == 1; }, kJobMs));

        QCOMPARE(Get<QLabel>(w, "label_sucess_cnt")->text(), QString("Update success: 1"));
        QCOMPARE(ErrorLine(w), QString());
        const QString warning = recorded[0][1].toString();
        QVERIFY2(warning.startsWith("Upgrade history not written to " + database + ": "), qPrintable(warning));
        QVERIFY2(warning.contains(reason), qPrintable(warning));
        QVERIFY(capture.Contains(warning));
        QVERIFY(!LogLines(w).contains(warning));  // the console's, not the operator's
        QCOMPARE(FileBytes(database), bytes);
        if (kind == "read-only")
            QFile::setPermissions(database, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    }
};

QTEST_MAIN(TestHistoryJobs)
#include "tst_history_jobs.moc"
