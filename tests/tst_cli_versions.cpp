// What the command learns of a unit's versions and leaves in the history: the unit's serial number
// and the target's application version before and after the job, --skip-current leaving an
// up-to-date target alone, and --require-history failing a run whose record was not written. The
// simulated family runs in this process, so every request the command sends is seen.
#include "cli_process.h"
#include "device_family.h"
#include "fast_family.h"
#include "history_store.h"
#include "port_catalog_file.h"
#include "sample_records.h"
#include "sample_firmware.h"
#include "sim_port_catalog.h"
#include "sim_protocol.h"
#include "wait_until.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QtTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <vector>

namespace {

constexpr int kCommandMs = 120000;
constexpr int kHoldMs = 1500;  // another writer's hold on the history: below its writers' 5 s patience
constexpr int kDisplay = SimProtocol::kDisplayId;

// The display's version as the standard family reports it before any upgrade: 1.1.5.0.
const ImageRecipe kRunningVersion = [] {
    ImageRecipe recipe;
    recipe.version_major = 1;
    recipe.version_minor = 1;
    recipe.version_patch = 5;
    return recipe;
}();

// The command is a process of its own: it finds the base through the catalog file and opens its
// pseudo-terminal.
SimFamilyOptions ForTheCommand()
{
    return OnPty(FastFamily());
}

// A station folder: one target's variant with its image (the Meter's unless told), the
// configuration, and the catalog through which the command finds this process's simulated base.
struct Station {
    QTemporaryDir dir;
    QString target = "Meter";
    int dev_id = kDisplay;
    QString hw = "METER-HW-A";
    QString history_server;  // the configuration's line server; none when empty

    QString Config() const { return dir.filePath("station.json"); }
    QString Catalog() const { return dir.filePath("ports.json"); }
    QString History() const { return dir.filePath(HistoryStore::kFileName); }

    // An image stating recipe's version whose firmware states it too (or, unstamped, none).
    QList<ImageSegment> WriteImage(ImageRecipe recipe, bool stamped = true) const
    {
        recipe.section_size = 4096;
        recipe.raw = RoleOf(dev_id).raw_sections;
        const std::array<uint8_t, 4> none{};
        const QList<ImageSegment> segments{
            {0xC0232000, SampleFirmware(2 * 4096, 11, stamped ? StatedVersion(recipe, 9) : none)}};
        const QString error = WriteSampleImage(dir.filePath("meter.bin"), segments, recipe);
        if (!error.isEmpty())
            qFatal("%s", qPrintable(error));
        const QJsonObject variant{{"boot_ver", "1.0.0"}, {"description", "variant A"}, {"hw_ver", hw},
                                  {"path", "meter.bin"}, {"section_len", 4096}};
        const QJsonObject entry{{"USB_PID", QJsonArray{4}}, {"dev_id", dev_id}, {"series", QJsonArray{variant}}};
        QJsonObject top{{"check_boot_ver", false}, {"is_english", true}, {"firmware", QJsonObject{{target, entry}}}};
        if (!history_server.isEmpty())
            top["history_server"] = history_server;
        QFile file(Config());
        file.open(QIODevice::WriteOnly | QIODevice::Truncate);
        file.write(QJsonDocument(top).toJson());
        return segments;
    }

    // Runs the command to its end, the catalog following the base through its restarts.
    bool Run(CliProcess &cli) const
    {
        WaitUntil([&] {
            QString error;
            PortCatalogFile::Write(Catalog(), SimPortCatalog::Ports(), QCoreApplication::applicationPid(), &error);
            return cli.process.state() == QProcess::NotRunning;
        }, kCommandMs);
        return cli.Finish(0);
    }
    bool Upgrade(CliProcess *&cli, const QStringList &extra)
    {
        QString error;
        PortCatalogFile::Write(Catalog(), SimPortCatalog::Ports(), QCoreApplication::applicationPid(), &error);
        cli = new CliProcess(Catalog(), QStringList{"upgrade", target, "--json", "--config", Config()} + extra);
        return Run(*cli);
    }

    QList<UpgradeRecord> Records() const
    {
        QString warning;
        return HistoryStore::Read(History(), {}, &warning);
    }
};

// What the display was sent beyond the questions of the launch and of the record.
QList<int> CommandsBeyondQuestions(const SimFamily &family)
{
    QList<int> commands;
    for (int id : family.DeviceIds()) {
        for (const SimRequest &request : family.Requests(id)) {
            const int c = request.frame.command;
            if (c != SimProtocol::QueryMode && c != SimProtocol::QueryAppVersion && c != SimProtocol::ReadHwVersion)
                commands << c;
        }
    }
    return commands;
}

// Every request the family's devices received, the questions of a launch included.
int RequestsHeard(const SimFamily &family)
{
    int heard = 0;
    for (int id : family.DeviceIds())
        heard += family.Requests(id).size();
    return heard;
}

// A port on this machine where nothing listens: a connection to it is refused at once.
quint16 RefusingPort()
{
    const int probe = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (probe < 0 || bind(probe, reinterpret_cast<sockaddr *>(&address), size) != 0 ||
        getsockname(probe, reinterpret_cast<sockaddr *>(&address), &size) != 0)
        qFatal("no local port to bind");
    close(probe);  // bound, never listened on: nothing answers there now
    return ntohs(address.sin_port);
}

// Busy work beside the commands, as on a station that builds or tests while it upgrades: processes
// that keep the processor's cores busy until the scope ends (each ends by itself after a bound).
// At the lowest priority, so that this process's simulated devices still answer in their time.
class BusyCores {
public:
    explicit BusyCores(int processes)
    {
        for (int i = 0; i < processes; ++i) {
            auto worker = std::make_unique<QProcess>();
            worker->start("nice", {"-n", "19", "timeout", QString::number(kBoundS), "sh", "-c", "while :; do :; done"});
            if (!worker->waitForStarted())
                qFatal("busy work did not start");
            workers.push_back(std::move(worker));
        }
    }
    ~BusyCores()
    {
        // timeout passes the terminate on to its loop (a kill would leave the loop running).
        for (auto &worker : workers) {
            worker->terminate();
            if (!worker->waitForFinished())
                worker->kill();
        }
    }
    BusyCores(const BusyCores &) = delete;
    BusyCores &operator=(const BusyCores &) = delete;

private:
    static constexpr int kBoundS = 600;
    std::vector<std::unique_ptr<QProcess>> workers;
};

QString Shown(const std::array<uint8_t, 4> &reply)
{
    return QStringLiteral("%1.%2.%3.%4").arg(reply[0]).arg(reply[1]).arg(reply[3]).arg(reply[2]);
}

}  // namespace

class TestCliVersions : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY2(QFileInfo(qEnvironmentVariable("UPGRADER_CLI")).isExecutable(), "UPGRADER_CLI must name upgrader-cli");
        SimPortCatalog::Install();
    }

    // The record of a job names the unit by its serial number and says what the target ran before
    // and what it reports after: the version its new firmware states. The base is read once it has
    // come back from the restart its new firmware starts with.
    void recordHoldsSerialAndVersions_data()
    {
        QTest::addColumn<QString>("target");
        QTest::addColumn<int>("dev_id");
        QTest::addColumn<QString>("hw");
        QTest::addColumn<QString>("before");
        QTest::newRow("display") << "Meter" << kDisplay << "METER-HW-A" << "1.1.5.0";
        QTest::newRow("base") << "Base" << int(SimProtocol::kBaseId) << "BASE-HW-A-REV-0003" << "2.1.7.0";
    }
    void recordHoldsSerialAndVersions()
    {
        QFETCH(QString, target);
        QFETCH(int, dev_id);
        QFETCH(QString, hw);
        QFETCH(QString, before);
        Station station;
        station.target = target;
        station.dev_id = dev_id;
        station.hw = hw;
        ImageRecipe newer;
        newer.version_major = 2;
        newer.version_minor = 0;
        newer.version_patch = 3;
        station.WriteImage(newer);
        SimFamily family(ForTheCommand());
        QCOMPARE(Shown(family.AppVersionReply(dev_id)), before);

        CliProcess *run = nullptr;
        QVERIFY(station.Upgrade(run, {}));
        std::unique_ptr<CliProcess> cli(run);
        QVERIFY2(cli->ExitCode() == 0, qPrintable(cli->out + cli->err));
        QCOMPARE(Shown(family.AppVersionReply(dev_id)), QString("2.0.3.9"));

        const QJsonObject result = cli->Events("result").last();
        QCOMPARE(result.value("version_before").toString(), before);
        QCOMPARE(result.value("version_after").toString(), QString("2.0.3.9"));
        QCOMPARE(result.value("serial").toString(), family.SerialNumber());
        const QList<UpgradeRecord> records = station.Records();
        QCOMPARE(records.size(), 1);
        QCOMPARE(records[0].unit_serial, family.SerialNumber());
        QCOMPARE(records[0].version_before, before);
        QCOMPARE(records[0].version_after, QString("2.0.3.9"));
        QCOMPARE(records[0].image_version, QString("2.0.3"));
        QVERIFY(records[0].success && !records[0].current);
    }

    // --skip-current against a display that already runs the image's version: only questions go
    // out, the result is "current" with exit 0, and the record says so. A build number that
    // differs is not a different version: no image states one.
    void skipCurrentSendsNothing()
    {
        Station station;
        station.WriteImage(kRunningVersion);
        SimFamily family(ForTheCommand());

        CliProcess *run = nullptr;
        QVERIFY(station.Upgrade(run, {"--skip-current"}));
        std::unique_ptr<CliProcess> cli(run);
        QVERIFY2(cli->ExitCode() == 0, qPrintable(cli->out + cli->err));
        const QJsonObject result = cli->Events("result").last();
        QCOMPARE(result.value("result").toString(), QString("current"));
        QCOMPARE(result.value("error").toString(), QString());
        QCOMPARE(CommandsBeyondQuestions(family), QList<int>());
        QCOMPARE(family.FlashOperations(kDisplay), 0);

        const QList<UpgradeRecord> records = station.Records();
        QCOMPARE(records.size(), 1);
        QVERIFY(records[0].current && records[0].success);
        QCOMPARE(records[0].version_before, QString("1.1.5.0"));
        QCOMPARE(records[0].version_after, records[0].version_before);
    }

    // Where no comparison can be made the target is upgraded, and the command says why; a target
    // that reports another version is upgraded too.
    void skipCurrentUpgradesWhenItCannotTell_data()
    {
        QTest::addColumn<QString>("case_");
        QTest::addColumn<QString>("said");
        QTest::newRow("display in its bootloader") << "boot" << "bootloader";
        QTest::newRow("image states no version") << "unversioned" << "states no version";
        QTest::newRow("patch beyond a byte") << "wide patch" << "larger than a device can report";
        QTest::newRow("another version") << "older" << "reports 1.1.5.0, the image states 1.1.4";
    }
    void skipCurrentUpgradesWhenItCannotTell()
    {
        QFETCH(QString, case_);
        QFETCH(QString, said);
        Station station;
        ImageRecipe recipe = kRunningVersion;
        if (case_ == "unversioned")
            recipe.version_major = recipe.version_minor = recipe.version_patch = 0;
        if (case_ == "wide patch")
            recipe.version_patch = 5 + 256;  // its low byte is the running 5
        if (case_ == "older")
            recipe.version_patch = 4;
        station.WriteImage(recipe);
        SimFamilyOptions options = ForTheCommand();
        if (case_ == "boot") {
            for (SimDeviceSpec &device : options.devices) {
                if (device.id == kDisplay)
                    device.mode = SimMode::Boot;
            }
        }
        SimFamily family(options);

        CliProcess *run = nullptr;
        QVERIFY(station.Upgrade(run, {"--skip-current"}));
        std::unique_ptr<CliProcess> cli(run);
        QVERIFY2(cli->ExitCode() == 0, qPrintable(cli->out + cli->err));
        QCOMPARE(cli->Events("result").last().value("result").toString(), QString("success"));
        QVERIFY(family.FlashOperations(kDisplay) > 0);
        const QList<QJsonObject> notices = cli->Events("notice");
        QCOMPARE(notices.size(), 1);
        QVERIFY2(notices[0].value("text").toString().contains(said), qPrintable(notices[0].value("text").toString()));
        const QList<UpgradeRecord> records = station.Records();
        QCOMPARE(records.size(), 1);
        QCOMPARE(records[0].version_before,
                 case_ == "boot" ? QString(UpgradeRecord::kInBootloader) : QString("1.1.5.0"));
    }

    // A target that is current ends its session once its record is written, and no job starts
    // for it meanwhile: every run ends normally with "current", and the display hears questions
    // only. The record's write may be slow: a line server whose push works on the same file (one
    // that refuses, with busy cores beside the command, as on a station that builds while it
    // upgrades), or another writer holding the file for a moment.
    void currentTargetStartsNoJob_data()
    {
        QTest::addColumn<bool>("refusing_server");
        QTest::addColumn<int>("busy_cores");
        QTest::addColumn<int>("runs");
        QTest::addColumn<bool>("history_held");
        QTest::newRow("line server refusing, cores busy") << true << 2 << 6 << false;
        QTest::newRow("history held by another writer") << false << 0 << 1 << true;
    }
    void currentTargetStartsNoJob()
    {
        QFETCH(bool, refusing_server);
        QFETCH(int, busy_cores);
        QFETCH(int, runs);
        QFETCH(bool, history_held);
        Station station;
        if (refusing_server)
            station.history_server = QStringLiteral("host=127.0.0.1 port=%1 dbname=x user=y").arg(RefusingPort());
        station.WriteImage(kRunningVersion);
        SimFamily family(ForTheCommand());
        const BusyCores load(busy_cores);

        // The other writer holds the history until the display hears more than questions (which
        // is the fault) or for a bound well past the time a wrongly started job needs to speak.
        std::unique_ptr<QSqlDatabase> holder;
        if (history_held) {
            QCOMPARE(HistoryStore::Append(station.History(), SampleRecord("Base", QDateTime::currentDateTimeUtc())), QString());
            holder = std::make_unique<QSqlDatabase>(QSqlDatabase::addDatabase("QSQLITE", "other writer"));
            holder->setDatabaseName(station.History());
            QVERIFY(holder->open());
            QVERIFY(QSqlQuery(*holder).exec("BEGIN IMMEDIATE"));
        }
        for (int run = 0; run < runs; ++run) {
            QString error;
            PortCatalogFile::Write(station.Catalog(), SimPortCatalog::Ports(), QCoreApplication::applicationPid(), &error);
            CliProcess cli(station.Catalog(), {"upgrade", station.target, "--json", "--verbose", "--skip-current", "--config",
                                               station.Config()});
            QElapsedTimer held;
            held.start();
            WaitUntil([&] {
                PortCatalogFile::Write(station.Catalog(), SimPortCatalog::Ports(), QCoreApplication::applicationPid(),
                                       &error);
                if (holder && (!CommandsBeyondQuestions(family).isEmpty() || held.elapsed() > kHoldMs)) {
                    QSqlQuery(*holder).exec("ROLLBACK");
                    holder.reset();
                    QSqlDatabase::removeDatabase("other writer");
                }
                return cli.process.state() == QProcess::NotRunning;
            }, kCommandMs);
            QVERIFY2(cli.Finish(0), qPrintable(QStringLiteral("run %1 did not end normally (exit status %2, code %3): %4")
                                                   .arg(run)
                                                   .arg(int(cli.process.exitStatus()))
                                                   .arg(cli.ExitCode())
                                                   .arg(cli.err)));
            QVERIFY2(cli.ExitCode() == 0, qPrintable(cli.out + cli.err));
            QVERIFY2(cli.Events("result").last().value("result").toString() == "current", qPrintable(cli.out + cli.err));
            QVERIFY(cli.Events("progress").isEmpty());
            QCOMPARE(CommandsBeyondQuestions(family), QList<int>());
        }
        QCOMPARE(family.FlashOperations(kDisplay), 0);
        int current = 0;
        for (const UpgradeRecord &record : station.Records())
            current += record.current;
        QCOMPARE(current, runs);  // the sample record held before is no current one
    }

    // A history that cannot take the record. Without --require-history: a warning, and the job's
    // own result. With it: refused before anything is sent to the unit (exit 10, no record to
    // lose), whether the target is current or not.
    void requireHistory_data()
    {
        QTest::addColumn<bool>("required");
        QTest::addColumn<bool>("current");
        QTest::newRow("a warning") << false << false;
        QTest::newRow("required") << true << false;
        QTest::newRow("required, target current") << true << true;
    }
    void requireHistory()
    {
        QFETCH(bool, required);
        QFETCH(bool, current);
        Station station;
        ImageRecipe recipe = kRunningVersion;
        if (!current)
            recipe.version_patch = 6;
        station.WriteImage(recipe);
        QFile junk(station.History());
        QVERIFY(junk.open(QIODevice::WriteOnly));
        junk.write(QByteArray(4096, 'x'));
        junk.close();
        SimFamily family(ForTheCommand());

        QStringList extra{"--skip-current"};
        if (required)
            extra << "--require-history";
        CliProcess *run = nullptr;
        QVERIFY(station.Upgrade(run, extra));
        std::unique_ptr<CliProcess> cli(run);
        const QJsonObject result = cli->Events("result").last();
        if (required) {
            QCOMPARE(cli->ExitCode(), 10);
            QCOMPARE(result.value("result").toString(), QString("history"));
            const QString error = result.value("error").toString();
            QVERIFY2(error.contains("--require-history") && error.contains(station.History()) &&
                         error.contains("file is not a database"),
                     qPrintable(cli->out));
            QCOMPARE(cli->Events("refusal").size(), 1);
            QVERIFY(cli->Events("start").isEmpty());
            QVERIFY(cli->Events("warning").isEmpty());
            QCOMPARE(RequestsHeard(family), 0);  // not even the launch's questions
        } else {
            const QList<QJsonObject> warnings = cli->Events("warning");
            QCOMPARE(warnings.size(), 1);
            QCOMPARE(warnings[0].value("what").toString(), QString("history"));
            QCOMPARE(cli->ExitCode(), 0);
            QCOMPARE(result.value("result").toString(), QString("success"));
            QVERIFY(family.FlashOperations(kDisplay) > 0);
        }
    }

    // A history that could be written at the launch but not at the job's end (here it is spoilt
    // while the job runs): with --require-history the run fails with exit 10, and its words say
    // that the unit was upgraded and that its record was not written, never "Update failed".
    void requireHistoryFailingAfterTheUpgrade_data()
    {
        QTest::addColumn<bool>("json");
        QTest::newRow("text") << false;
        QTest::newRow("json") << true;
    }
    void requireHistoryFailingAfterTheUpgrade()
    {
        QFETCH(bool, json);
        Station station;
        ImageRecipe newer = kRunningVersion;
        newer.version_patch = 6;
        station.WriteImage(newer);
        SimFamily family(ForTheCommand());

        QString error;
        PortCatalogFile::Write(station.Catalog(), SimPortCatalog::Ports(), QCoreApplication::applicationPid(), &error);
        QStringList arguments{"upgrade", station.target, "--config", station.Config(), "--require-history"};
        if (json)
            arguments << "--json";
        CliProcess cli(station.Catalog(), arguments);
        bool spoilt = false;
        WaitUntil([&] {
            PortCatalogFile::Write(station.Catalog(), SimPortCatalog::Ports(), QCoreApplication::applicationPid(), &error);
            // Once the job has started, the launch's look at the history is behind it.
            cli.Read();
            if (!spoilt && (json ? cli.out.contains("\"event\":\"start\"") : cli.out.contains("image "))) {
                QFile junk(station.History());
                spoilt = junk.open(QIODevice::WriteOnly) && junk.write(QByteArray(4096, 'x')) == 4096;
            }
            return cli.process.state() == QProcess::NotRunning;
        }, kCommandMs);
        QVERIFY(cli.Finish(0));
        QVERIFY(spoilt);
        QVERIFY(family.FlashOperations(kDisplay) > 0);
        QCOMPARE(cli.ExitCode(), 10);
        if (json) {
            const QJsonObject result = cli.Events("result").last();
            QCOMPARE(result.value("result").toString(), QString("history"));
            QCOMPARE(result.value("message").toString(),
                     QString("Update success, but its record was not written (--require-history)"));
            QCOMPARE(result.value("version_after").toString(), QString("1.1.6.9"));
            QVERIFY2(result.value("error").toString().contains("file is not a database"), qPrintable(cli.out));
        } else {
            QVERIFY2(!cli.out.contains("Update failed") && !cli.err.contains("Update failed"), qPrintable(cli.out + cli.err));
            QVERIFY2(cli.out.contains("Meter: Update success, but its record was not written (--require-history)"),
                     qPrintable(cli.out));
            QVERIFY2(cli.err.contains("file is not a database"), qPrintable(cli.err));
        }
    }
};

QTEST_GUILESS_MAIN(TestCliVersions)
#include "tst_cli_versions.moc"
