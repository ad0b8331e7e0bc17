// upgrader-cli and the line's guard, as processes against a real PostgreSQL server and an
// upgrader-sim: an image the line halted is refused with its figures (exit 11) before any device
// leaves its application; `line release` records who lifted it, when and why, and the next upgrade
// runs; a server that cannot be asked lets the job run with one warning; and `line` says clearly
// what stands in its way.
#include "cli_process.h"
#include "history_server.h"
#include "local_pg_server.h"
#include "pg_faults.h"
#include "sample_records.h"
#include "sim_process.h"
#include "wait_until.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QSerialPort>
#include <QTemporaryDir>
#include <QUuid>
#include <QtTest>

#include <pwd.h>
#include <unistd.h>

namespace {

constexpr int kStartMs = 15000;
constexpr int kJobMs = 120000;
constexpr int kModeApp = 2;
constexpr char kServerVariable[] = "UPGRADER_HISTORY_SERVER";

// The mode a device of the simulated unit at location reports; 0 when it does not answer.
int DeviceMode(SimProcess &sim, const QString &location, int device)
{
    QString path;
    if (!WaitUntil([&] { return !(path = sim.PortAt(location)).isEmpty(); }, kStartMs))
        return 0;
    QSerialPort port(path);
    if (!port.open(QIODevice::ReadWrite))
        return 0;
    const std::optional<Frame> mode = AskDevice(port, DeviceRequest(0x02, device, QByteArray(1, 0)));
    return mode ? mode->payload[0] : 0;
}

QString Said(const CliProcess &cli)
{
    return QStringLiteral("exit %1\nout: %2\nerr: %3").arg(cli.ExitCode()).arg(cli.out, cli.err);
}

// Adds "line_guard" (its JSON text) to the configuration file at path.
void GuardConfig(const QString &path, const QByteArray &guard)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QJsonObject config = QJsonDocument::fromJson(file.readAll()).object();
    file.close();
    config.insert("line_guard", QJsonDocument::fromJson("[" + guard + "]").array().first());
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(QJsonDocument(config).toJson());
}

// count jobs of the image on the line an hour ago, failed or not.
QList<UpgradeRecord> LineJobs(const QString &sha, int count, bool failed)
{
    QList<UpgradeRecord> records;
    for (int i = 0; i < count; ++i) {
        UpgradeRecord record = SampleRecord("Meter", QDateTime::currentDateTimeUtc().addSecs(-3600),
                                            failed ? QStringLiteral("Flash failed") : QString());
        record.image_sha256 = sha;
        record.uid = QUuid::createUuid().toString(QUuid::WithoutBraces);
        records << record;
    }
    return records;
}

QString SystemUser()
{
    const passwd *account = getpwuid(geteuid());
    return account ? QString::fromLocal8Bit(account->pw_name) : QString();
}

QString SystemHost()
{
    char name[256] = {};
    gethostname(name, sizeof name - 1);
    return QString::fromLocal8Bit(name);
}

}  // namespace

class TestCliLineGuard : public QObject {
    Q_OBJECT

    LocalPgServer pg;

    // The line's server the command is given (through the environment, as a line's stations may).
    static void UseServer(const QString &connection) { qputenv(kServerVariable, connection.toUtf8()); }

private slots:
    void initTestCase()
    {
        QVERIFY2(QFileInfo(qEnvironmentVariable("UPGRADER_CLI")).isExecutable(), "UPGRADER_CLI must name upgrader-cli");
        QVERIFY2(QFileInfo(qEnvironmentVariable("UPGRADER_SIM")).isExecutable(), "UPGRADER_SIM must name upgrader-sim");
        QString error;
        QVERIFY2(pg.Start(&error), qPrintable(error));
    }
    void cleanup() { qunsetenv(kServerVariable); }

    // 7 of 20 jobs of the meter's image failed an hour ago: the upgrade is refused with those
    // figures, in either language, and the meter never leaves its application. A supervisor's
    // release (by a prefix of the SHA-256) is recorded with who, where and why, and the next
    // upgrade runs to its end.
    void haltedUntilReleased()
    {
        SimProcess sim;
        QVERIFY2(sim.StartAndWait({"--fast"}, 2, kStartMs), qPrintable(sim.Output()));
        GuardConfig(sim.Config(), R"({"window_hours": 24, "min_jobs": 10, "max_failure_rate": 0.2})");
        const QString image = sim.work_path + "/fw/meter_2.bin";
        const QString sha = FileSha256(image);
        {
            HistoryServer::Connection line(pg.Connection());
            QString warning;
            QVERIFY2(line.Push(LineJobs(sha, 13, false) + LineJobs(sha, 7, true), &warning), qPrintable(warning));
        }
        UseServer(pg.Connection());
        const QString halt = QStringLiteral("the line halted this image: 7 of 20 jobs failed in the last 24 h; a "
                                            "supervisor lifts it with `upgrader-cli line release %1`")
                                 .arg(sha);
        {
            CliProcess cli(sim.Catalog(), {"upgrade", "Meter", "--json", "--config", sim.Config()});
            QVERIFY(cli.Finish(kJobMs));
            QVERIFY2(cli.ExitCode() == 11, qPrintable(Said(cli)));
            const QJsonObject result = cli.Events("result").value(0);
            QCOMPARE(result.value("result").toString(), QString("halted"));
            QCOMPARE(result.value("exit_code").toInt(), 11);
            QVERIFY2(result.value("error").toString().contains(halt), qPrintable(Said(cli)));
            // The job never began: no start, no phase.
            QVERIFY2(cli.Events("start").isEmpty() && cli.Events("phase").isEmpty(), qPrintable(Said(cli)));
        }
        {
            CliProcess cli(sim.Catalog(), {"upgrade", "Meter", "--lang", "zh", "--config", sim.Config()});
            QVERIFY(cli.Finish(kJobMs));
            QVERIFY2(cli.ExitCode() == 11, qPrintable(Said(cli)));
            QVERIFY2(cli.err.contains(QString::fromUtf8("产线已停用此固件：最近24小时内20次升级中有7次失败")),
                     qPrintable(Said(cli)));
        }
        QCOMPARE(DeviceMode(sim, "sim-1-4", 4), kModeApp);
        QVERIFY(!FlashMismatch(sim, "sim-1-4", 4, image).isEmpty());

        const QString prefix = sha.left(12);
        {
            CliProcess status(sim.Catalog(), {"line", "status", prefix, "--config", sim.Config()});
            QVERIFY(status.Finish(kJobMs));
            QVERIFY2(status.ExitCode() == 11, qPrintable(Said(status)));
            QVERIFY2(status.out.contains(QStringLiteral("image %1").arg(sha)) &&
                         status.out.contains("7 of 20 jobs failed in the last 24 h: halted"),
                     qPrintable(Said(status)));
        }
        {
            CliProcess release(sim.Catalog(), {"line", "release", prefix.toUpper(), "--reason", "bad batch of boards",
                                               "--json", "--config", sim.Config()});
            QVERIFY(release.Finish(kJobMs));
            QVERIFY2(release.ExitCode() == 0, qPrintable(Said(release)));
            const QJsonObject result = release.Events("result").value(0);
            QCOMPARE(result.value("image_sha256").toString(), sha);
            QCOMPARE(result.value("user").toString(), SystemUser());
            QCOMPARE(result.value("host").toString(), SystemHost());
            QCOMPARE(result.value("reason").toString(), QString("bad batch of boards"));
        }
        QString out, error;
        QVERIFY2(pg.Sql("upgrades",
                        "SELECT image_sha256 || '|' || \"user\" || '|' || host || '|' || reason || '|' || "
                        "(now() - released_at < interval '1 minute') FROM line_releases",
                        &out, &error),
                 qPrintable(error));
        QCOMPARE(out.trimmed(), QStringLiteral("%1|%2|%3|bad batch of boards|true").arg(sha, SystemUser(), SystemHost()));
        {
            CliProcess status(sim.Catalog(), {"line", "status", sha, "--config", sim.Config()});
            QVERIFY(status.Finish(kJobMs));
            QVERIFY2(status.ExitCode() == 0, qPrintable(Said(status)));
            QVERIFY2(status.out.contains("0 of 0 jobs failed") && status.out.contains("not halted") &&
                         status.out.contains(QStringLiteral("by %1@%2: bad batch of boards").arg(SystemUser(), SystemHost())),
                     qPrintable(Said(status)));
        }
        CliProcess cli(sim.Catalog(), {"upgrade", "Meter", "--config", sim.Config()});
        QVERIFY(cli.Finish(kJobMs));
        QVERIFY2(cli.ExitCode() == 0, qPrintable(Said(cli)));
        QCOMPARE(FlashMismatch(sim, "sim-1-4", 4, image), QString());
    }

    // A server that accepts and never answers: the guard gives up within its bound, the job runs
    // to its end, and the run says so in one line.
    void unansweredServerLetsTheJobRun()
    {
        SimProcess sim;
        QVERIFY2(sim.StartAndWait({"--fast"}, 2, kStartMs), qPrintable(sim.Output()));
        GuardConfig(sim.Config(), "{}");
        HangingListener hanging;
        QVERIFY(hanging.Ok());
        UseServer(QStringLiteral("host=127.0.0.1 port=%1 dbname=upgrades").arg(hanging.Port()));
        CliProcess cli(sim.Catalog(), {"upgrade", "Meter", "--config", sim.Config()});
        QVERIFY(cli.Finish(kJobMs));
        QVERIFY2(cli.ExitCode() == 0, qPrintable(Said(cli)));
        QCOMPARE(FlashMismatch(sim, "sim-1-4", 4, sim.work_path + "/fw/meter_2.bin"), QString());
        const QStringList lines = cli.err.split('\n').filter("Line guard:");
        QVERIFY2(lines.size() == 1, qPrintable(Said(cli)));
        QVERIFY2(lines[0].contains("jobs run unguarded until it answers"), qPrintable(lines[0]));
    }

    // What keeps `line` (or the guard's configuration) from its work, said plainly, each with its
    // exit code; nothing is recorded.
    void lineSaysWhatStandsInItsWay_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("server");  // "line", "hanging" or "none"
        QTest::addColumn<QByteArray>("config");
        QTest::addColumn<int>("exit_code");
        QTest::addColumn<QString>("says");
        const QString sha(64, 'a');
        QTest::newRow("no SHA-256") << QStringList{"line", "release", "bad-sha"} << "line" << QByteArray("{}") << 2
                                    << "line release takes an image's SHA-256";
        QTest::newRow("too short a prefix") << QStringList{"line", "release", "abcdef"} << "line" << QByteArray("{}") << 2
                                            << "the first 8 or more of them";
        QTest::newRow("a prefix of no image") << QStringList{"line", "release", "0123456789"} << "line" << QByteArray("{}")
                                              << 2 << "no image of the line's records";
        QTest::newRow("--reason with status") << QStringList{"line", "status", sha, "--reason", "x"} << "line"
                                              << QByteArray("{}") << 2 << "--reason applies to line release only";
        QTest::newRow("no server") << QStringList{"line", "release", sha} << "none" << QByteArray("{}") << 3
                                   << "No server of the line is configured";
        QTest::newRow("a server that does not answer") << QStringList{"line", "release", sha} << "hanging"
                                                       << QByteArray("{}") << 8 << "could not record the release";
        QTest::newRow("a mistyped guard") << QStringList{"upgrade", "Meter"} << "line"
                                          << QByteArray(R"({"line_guard": {"min_jobs": "ten"}, "firmware": {}})") << 3
                                          << "line_guard.min_jobs";
    }

    void lineSaysWhatStandsInItsWay()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, server);
        QFETCH(QByteArray, config);
        QFETCH(int, exit_code);
        QFETCH(QString, says);
        QTemporaryDir folder;
        QFile file(folder.filePath("config.json"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(config);
        file.close();
        HangingListener hanging;
        if (server == "line")
            UseServer(pg.Connection("guard_usage"));
        else if (server == "hanging")
            UseServer(QStringLiteral("host=127.0.0.1 port=%1 dbname=upgrades connect_timeout=2").arg(hanging.Port()));
        QString error, out;
        pg.CreateDatabase("guard_usage", &error);  // made once; its schema stays empty
        CliProcess cli(QString(), arguments + QStringList{"--config", file.fileName()});
        QVERIFY(cli.Finish(kJobMs));
        QVERIFY2(cli.ExitCode() == exit_code, qPrintable(Said(cli)));
        QVERIFY2(cli.err.contains(says), qPrintable(Said(cli)));
        QVERIFY2(pg.Sql("guard_usage", "SELECT to_regclass('line_releases') IS NULL", &out, &error), qPrintable(error));
        QCOMPARE(out.trimmed(), QString("t"));
    }
};

QTEST_MAIN(TestCliLineGuard)
#include "tst_cli_line_guard.moc"
