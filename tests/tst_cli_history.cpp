// upgrader-cli and the upgrade history, as processes: every job the command starts leaves its
// record (also a stopped one), a history that cannot be written leaves the job's result alone,
// and `history` reads the records back in its three forms, filtered, saying which file it read
// (also from a station's folder it may not write), with its exit codes.
#include "cli_process.h"
#include "csv_reader.h"
#include "firmware_image.h"
#include "sample_records.h"
#include "station_folder.h"
#include "history_store.h"
#include "sim_process.h"
#include "unprivileged.h"
#include "wait_until.h"

#include <QJsonDocument>
#include <QtTest>

#include <csignal>

#include <pwd.h>
#include <unistd.h>

namespace {

constexpr int kStartMs = 15000;
constexpr int kJobMs = 120000;
constexpr int kCommandMs = 30000;
// The station's clock for `history`: 8 hours east of UTC (POSIX names the offset west), so that
// local time and UTC differ in the date a record falls on. No time zone database needed.
constexpr char kStationZone[] = "UTC-8";

const char *const kColumns[] = {"id", "started_at", "duration_ms", "front_end", "target", "dev_id", "port_name",
                                "usb_location", "usb_pid", "hw_version", "description", "image_path",
                                "image_sha256", "image_version", "result", "error_text", "stopped_by", "user",
                                "host", "unit_serial", "version_before", "version_after", "uid", "signer_key_id"};

QStringList ColumnNames()
{
    QStringList names;
    for (const char *name : kColumns)
        names << QLatin1String(name);
    return names;
}

QString HeaderVersion(const QString &path)
{
    QFile file(path);
    file.open(QIODevice::ReadOnly);
    ImageHeader header;
    QString reason;
    if (FirmwareImage::ReadHeader(file.readAll(), header, reason) != FirmwareImage::Verdict::Ok)
        return reason;
    return QStringLiteral("%1.%2.%3").arg(header.app_ver_major).arg(header.app_ver_minor).arg(header.app_ver_patch);
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

// One upgrader-cli run to its end, on the station's clock (no device involved).
struct Ran {
    bool ended = false;
    int code = -1;
    QString out;
    QString err;
};

Ran Cli(const QStringList &arguments, const QString &working_dir = {}, const QMap<QString, QString> &variables = {})
{
    QProcess process;
    if (!working_dir.isEmpty())
        process.setWorkingDirectory(working_dir);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("TZ", kStationZone);
    for (auto it = variables.begin(); it != variables.end(); ++it)
        environment.insert(it.key(), it.value());
    process.setProcessEnvironment(environment);
    process.start(qEnvironmentVariable("UPGRADER_CLI"), arguments);
    Ran ran;
    ran.ended = process.waitForFinished(kCommandMs) && process.exitStatus() == QProcess::NormalExit;
    ran.code = process.exitCode();
    ran.out = QString::fromUtf8(process.readAllStandardOutput());
    ran.err = QString::fromUtf8(process.readAllStandardError());
    return ran;
}

// The JSON lines of `history --json`; a line that is no object fails the test that reads it.
QList<QJsonObject> JsonLines(const QString &text)
{
    QList<QJsonObject> objects;
    for (const QString &line : text.split('\n', Qt::SkipEmptyParts)) {
        const QJsonDocument document = QJsonDocument::fromJson(line.toUtf8());
        objects << (document.isObject() ? document.object() : QJsonObject{{"unparsed", line}});
    }
    return objects;
}

// The records of one target through `history --json`.
QList<QJsonObject> RecordsOf(const QString &config, const QString &target)
{
    const Ran ran = Cli({"history", "--config", config, "--json", "--target", target});
    if (!ran.ended || ran.code != 0)
        qWarning("history: %d %s", ran.code, qPrintable(ran.err));
    return JsonLines(ran.out);
}

QDateTime Utc(const char *text)
{
    return QDateTime::fromString(QLatin1String(text), Qt::ISODateWithMs);
}


// A station's folder: a configuration (its content does not matter to `history`) and the
// history beside it.
using Station = StationFolder;

}  // namespace

class TestCliHistory : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY2(QFileInfo(qEnvironmentVariable("UPGRADER_CLI")).isExecutable(), "UPGRADER_CLI must name upgrader-cli");
        QVERIFY2(QFileInfo(qEnvironmentVariable("UPGRADER_SIM")).isExecutable(), "UPGRADER_SIM must name upgrader-sim");
    }

    // A command job: the record next to the configuration holds every fact of it, read back by
    // `history --json` the moment the command has ended.
    void commandJobRecordsEveryField()
    {
        SimProcess sim;
        QVERIFY(sim.StartAndWait({"--fast"}, 2, kStartMs));
        const QString port = sim.PortAt("sim-1-4");
        const QString image = QDir(sim.work_path).filePath("fw/meter_2.bin");
        const QDateTime before = QDateTime::currentDateTimeUtc();
        CliProcess cli(sim.Catalog(), {"upgrade", "Meter", "--config", sim.Config()});
        QVERIFY(cli.Finish(kJobMs));
        const QDateTime after = QDateTime::currentDateTimeUtc();
        QVERIFY2(cli.ExitCode() == 0, qPrintable(cli.out + cli.err));

        const QList<QJsonObject> records = RecordsOf(sim.Config(), "Meter");
        QCOMPARE(records.size(), 1);
        const QJsonObject r = records[0];
        QCOMPARE(r.keys().size(), int(std::size(kColumns)));
        const QStringList may_be_empty{"error_text", "stopped_by", "signer_key_id"};
        for (const char *column : kColumns) {
            QVERIFY2(r.contains(column) &&
                         (may_be_empty.contains(column) || !r.value(column).toVariant().toString().isEmpty()),
                     column);
        }
        const QDateTime started = Utc(qPrintable(r.value("started_at").toString()));
        QVERIFY(started >= before.addMSecs(-1) && started <= after);
        const qint64 duration = qint64(r.value("duration_ms").toDouble());
        QVERIFY(duration > 0 && started.addMSecs(duration) <= after.addMSecs(1));
        QCOMPARE(r.value("front_end").toString(), QString("command"));
        QCOMPARE(r.value("target").toString(), QString("Meter"));
        QCOMPARE(r.value("dev_id").toInt(), 4);
        QCOMPARE(r.value("port_name").toString(), port);
        QCOMPARE(r.value("usb_location").toString(), QString("sim-1-4"));
        QCOMPARE(r.value("usb_pid").toInt(), 4);
        QCOMPARE(r.value("hw_version").toString(), QString("METER-HW-2"));
        QCOMPARE(r.value("description").toString(), QString("meter 2"));
        QCOMPARE(r.value("image_path").toString(), image);
        QCOMPARE(r.value("image_sha256").toString(), FileSha256(image));
        QCOMPARE(r.value("image_version").toString(), HeaderVersion(image));
        QCOMPARE(r.value("result").toString(), QString("success"));
        // The unit by its serial number, and the display's version before the job and after it:
        // the simulated display reports what its new firmware states (the image's, build 0).
        QCOMPARE(r.value("unit_serial").toString(), QString("SN-SIM-1-4"));
        QCOMPARE(r.value("version_after").toString(), HeaderVersion(image) + ".0");
        QVERIFY(r.value("version_before").toString() != r.value("version_after").toString());
        QCOMPARE(r.value("error_text").toString(), QString());
        QCOMPARE(r.value("stopped_by").toString(), QString());
        QCOMPARE(r.value("user").toString(), SystemUser());
        QCOMPARE(r.value("host").toString(), SystemHost());
    }

    // A job stopped by --timeout is recorded as stopped by a time-out; by a signal (SIGTERM takes
    // the same way; SIGHUP, the terminal closed, too), as stopped by the operator. The command's own result stays as it was.
    void stopsAreRecorded_data()
    {
        QTest::addColumn<QString>("target");
        QTest::addColumn<double>("timeout_s");  // 0: a signal is sent once the transfer runs
        QTest::addColumn<int>("signal_number");
        QTest::addColumn<int>("exit_code");
        QTest::addColumn<QString>("stopped_by");
        // Four seconds into the command the base's long transfer runs, even on a loaded machine.
        QTest::newRow("--timeout") << "Base" << 4.0 << 0 << 9 << "timeout";
        QTest::newRow("SIGINT") << "Meter" << 0.0 << int(SIGINT) << 130 << "operator";
        QTest::newRow("SIGHUP") << "Pedals" << 0.0 << int(SIGHUP) << 129 << "operator";
    }

    void stopsAreRecorded()
    {
        QFETCH(QString, target);
        QFETCH(double, timeout_s);
        QFETCH(int, signal_number);
        QFETCH(int, exit_code);
        QFETCH(QString, stopped_by);
        SimProcess sim;
        QVERIFY(sim.StartAndWait({"--fast"}, 2, kStartMs));
        QStringList arguments{"upgrade", target, "--config", sim.Config(), "--json"};
        if (timeout_s > 0)
            arguments << "--timeout" << QString::number(timeout_s);
        CliProcess cli(sim.Catalog(), arguments);
        if (signal_number) {
            QVERIFY2(WaitUntil([&] { return cli.InTransfer(); }, kJobMs), qPrintable(cli.out + cli.err));
            QCOMPARE(::kill(pid_t(cli.process.processId()), signal_number), 0);
        }
        QVERIFY(cli.Finish(kJobMs));
        QCOMPARE(cli.ExitCode(), exit_code);
        const QJsonObject result = cli.Events().last();
        QCOMPARE(result.value("event").toString(), QString("result"));
        QCOMPARE(result.value("exit_code").toInt(), exit_code);
        QVERIFY2(cli.Events("warning").isEmpty(), qPrintable(cli.out));

        const QList<QJsonObject> records = RecordsOf(sim.Config(), target);
        QCOMPARE(records.size(), 1);
        QCOMPARE(records[0].value("result").toString(), QString("failed"));
        QCOMPARE(records[0].value("stopped_by").toString(), stopped_by);
        QCOMPARE(records[0].value("front_end").toString(), QString("command"));
    }

    // A corrupt history: the job's result and exit code as without it, the warning on standard
    // error (or as an event before the result), and the file left as it was.
    void brokenHistoryKeepsTheResult_data()
    {
        QTest::addColumn<bool>("json");
        QTest::newRow("text") << false;
        QTest::newRow("--json") << true;
    }

    void brokenHistoryKeepsTheResult()
    {
        QFETCH(bool, json);
        SimProcess sim;
        QVERIFY(sim.StartAndWait({"--fast"}, 2, kStartMs));
        const QString database = QDir(sim.work_path).filePath("upgrade-history.sqlite");
        const QByteArray garbage(8192, '\x5a');
        {
            QFile file(database);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(garbage);
        }
        QStringList arguments{"upgrade", "Pedals", "--config", sim.Config()};
        if (json)
            arguments << "--json";
        CliProcess cli(sim.Catalog(), arguments);
        QVERIFY(cli.Finish(kJobMs));
        QVERIFY2(cli.ExitCode() == 0, qPrintable(cli.out + cli.err));

        const QString says = "Upgrade history not written to " + database + ": file is not a database";
        if (json) {
            const QList<QJsonObject> events = cli.Events();
            QCOMPARE(events.last().value("event").toString(), QString("result"));
            QCOMPARE(events.last().value("result").toString(), QString("success"));
            const QJsonObject warning = events[events.size() - 2];
            QCOMPARE(warning.value("event").toString(), QString("warning"));
            QCOMPARE(warning.value("what").toString(), QString("history"));
            QVERIFY2(warning.value("text").toString().startsWith(says), qPrintable(cli.out));
            QCOMPARE(warning.value("target").toString(), QString("Pedals"));
            QCOMPARE(cli.err, QString());
        } else {
            QVERIFY2(cli.err.split('\n').filter(says).size() == 1, qPrintable(cli.err));
            QVERIFY2(cli.out.split('\n', Qt::SkipEmptyParts).last().startsWith("Pedals: Update success ("),
                     qPrintable(cli.out));
        }
        QFile file(database);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), garbage);
    }

    // The three forms of the same records, texts a careless writer would mangle included: CSV
    // through a strict RFC 4180 reader, JSON lines, and a table of one line per record in the
    // station's local time.
    void formsCarryEveryField()
    {
        Station station;
        QList<UpgradeRecord> written{
            SampleRecord("Motor", Utc("2024-05-01T15:59:59.999Z"), "Section 0x08004000 holds 10 bytes, the device needs 12"),
            SampleRecord("Meter", Utc("2024-05-01T16:00:00.000Z"), QString::fromUtf8("\"引号\", comma\n\"\"double\"\"\r\n,")),
            SampleRecord("Base", Utc("2024-05-02T03:04:05.006Z"), "Second verify failed\nTarget go app failed"),
            SampleRecord("Pedals", Utc("2024-05-03T00:00:00.000Z")),
        };
        written[2].unit_serial = "=cmd|' /C calc'!A0";  // what a spreadsheet would run
        written[3].current = true;
        written[3].version_before = written[3].version_after;
        QVERIFY(station.Append(written));
        const QString file_line = "history: " + station.Database() + "\n";
        QString warning;
        const QList<UpgradeRecord> stored = HistoryStore::Read(station.Database(), {}, &warning);
        QCOMPARE(warning, QString());
        QCOMPARE(stored.size(), written.size());
        auto values = [](const UpgradeRecord &record) {
            QStringList out;
            for (const RecordColumn &column : RecordColumns())
                out << column.get(record).toString();
            return out;
        };

        const Ran csv = Cli({"history", "--config", station.Config(), "--csv"});
        QVERIFY(csv.ended);
        QCOMPARE(csv.code, 0);
        QString error;
        const QList<QStringList> rows = ReadCsv(csv.out, &error);
        QVERIFY2(error.isEmpty(), qPrintable(error + "\n" + csv.out));
        QCOMPARE(rows.size(), written.size() + 1);
        QCOMPARE(rows[0], ColumnNames());
        for (int i = 0; i < stored.size(); ++i) {
            QStringList expected = values(stored[i]);
            if (i == 2)  // written as text for a spreadsheet
                expected[ColumnNames().indexOf("unit_serial")].prepend('\'');
            QCOMPARE(rows[i + 1], expected);
            QCOMPARE(rows[i + 1][ColumnNames().indexOf("error_text")], written[i].error_text);
        }
        QCOMPARE(rows[4][ColumnNames().indexOf("result")], QString("current"));
        QCOMPARE(csv.err, file_line);

        const Ran json = Cli({"history", "--config", station.Config(), "--json"});
        QVERIFY(json.ended);
        QCOMPARE(json.code, 0);
        const QList<QJsonObject> lines = JsonLines(json.out);
        QCOMPARE(lines.size(), written.size());
        for (int i = 0; i < lines.size(); ++i) {
            QCOMPARE(lines[i].keys().size(), int(std::size(kColumns)));
            QStringList read;
            for (const char *column : kColumns)
                read << lines[i].value(column).toVariant().toString();
            QCOMPARE(read, values(stored[i]));
            QVERIFY(lines[i].value("dev_id").isDouble());
        }
        QCOMPARE(lines[3].value("result").toString(), QString("current"));
        QCOMPARE(lines[0].value("version_before").toString(), QString("1.2.2.0"));
        QCOMPARE(json.err, file_line);

        const Ran table = Cli({"history", "--config", station.Config()});
        QVERIFY(table.ended);
        QCOMPARE(table.code, 0);
        QStringList text = table.out.split('\n');
        QCOMPARE(text.size(), written.size() + 3);  // header, records, the file's line, the last line end
        QVERIFY2(text[0].startsWith("Started (local)") && text[0].contains("  Serial  "), qPrintable(text[0]));
        QCOMPARE(text[written.size() + 1], QString("history: " + station.Database() + " (4 records)"));
        QCOMPARE(table.err, QString());
        // 16:00 UTC is midnight of the next day on the station's clock.
        const QStringList starts{"2024-05-01 23:59:59  Motor   ", "2024-05-02 00:00:00  Meter   ",
                                 "2024-05-02 11:04:05  Base    ", "2024-05-03 08:00:00  Pedals  "};
        for (int i = 0; i < starts.size(); ++i)
            QVERIFY2(text[i + 1].startsWith(starts[i]), qPrintable(table.out));
        const int serial = text[0].indexOf("Serial");
        const int result = text[0].indexOf("Result");
        QVERIFY2(text[1].mid(serial).startsWith("0001A3F29C7E "), qPrintable(table.out));
        QVERIFY2(text[3].mid(serial).startsWith("=cmd|' /C calc'!A0  1.2.2.0 -> 1.2.2.0  1.2.3  failed "),
                 qPrintable(table.out));
        QVERIFY2(text[4].mid(result).startsWith("current  "), qPrintable(table.out));
        QVERIFY2(text[2].endsWith(QString::fromUtf8("\"引号\", comma / \"\"double\"\" / ,")), qPrintable(text[2]));
    }

    // --target and --since choose the records, on the station's clock; the oldest come first.
    void filters_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QList<int>>("ids");
        // Written out of order: 1 Motor just before the station's 2 May, 2 Meter at its very
        // start, 3 Motor a day later, 4 Motor earlier on 1 May.
        QTest::newRow("everything, oldest first") << QStringList{} << QList<int>{4, 1, 2, 3};
        QTest::newRow("one target") << QStringList{"--target", "Motor"} << QList<int>{4, 1, 3};
        // As upgrade takes it: "motor" is the Motor.
        QTest::newRow("a target in any letter case") << QStringList{"--target", "mOTOR"} << QList<int>{4, 1, 3};
        QTest::newRow("since a date: local midnight") << QStringList{"--since", "2024-05-02"} << QList<int>{2, 3};
        QTest::newRow("since a UTC time") << QStringList{"--since", "2024-05-01T15:59:59.999Z"} << QList<int>{1, 2, 3};
        QTest::newRow("since a time with an offset")
            << QStringList{"--since", "2024-05-01T18:00:00+02:00"} << QList<int>{2, 3};
        QTest::newRow("target and since") << QStringList{"--target", "Motor", "--since", "2024-05-02"} << QList<int>{3};
        // Serials: 1 and 3 SN-7, 2 SN-77, 4 none.
        QTest::newRow("one unit") << QStringList{"--serial", "SN-7"} << QList<int>{1, 3};
        QTest::newRow("serials are exact") << QStringList{"--serial", "SN-77"} << QList<int>{2};
        QTest::newRow("unit and target") << QStringList{"--serial", "SN-77", "--target", "Motor"} << QList<int>{};
        QTest::newRow("unit and since") << QStringList{"--serial", "SN-7", "--since", "2024-05-02"} << QList<int>{3};
        // --until a date takes in that whole local day; a time is the first instant left out.
        QTest::newRow("until a date: the whole day") << QStringList{"--until", "2024-05-01"} << QList<int>{4, 1};
        QTest::newRow("a period of times")
            << QStringList{"--since", "2024-05-01T16:00:00Z", "--until", "2024-05-02T16:00:00Z"} << QList<int>{2};
    }

    void filters()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QList<int>, ids);
        Station station;
        QList<UpgradeRecord> records{SampleRecord("Motor", Utc("2024-05-01T15:59:59.999Z")),
                                     SampleRecord("Meter", Utc("2024-05-01T16:00:00.000Z")),
                                     SampleRecord("Motor", Utc("2024-05-02T16:00:00.000Z")),
                                     SampleRecord("Motor", Utc("2024-05-01T12:00:00.000Z"))};
        const char *const serials[] = {"SN-7", "SN-77", "SN-7", ""};
        for (int i = 0; i < records.size(); ++i)
            records[i].unit_serial = QLatin1String(serials[i]);
        QVERIFY(station.Append(records));
        const Ran ran = Cli(QStringList{"history", "--config", station.Config(), "--json"} + arguments);
        QVERIFY(ran.ended);
        QVERIFY2(ran.code == 0, qPrintable(ran.err));
        QList<int> found;
        for (const QJsonObject &record : JsonLines(ran.out))
            found << record.value("id").toInt();
        QCOMPARE(found, ids);
    }

    // What `history` ends with, the history shown or not, and the usage it refuses.
    void exitCodes_data()
    {
        QTest::addColumn<QString>("setup");          // the station's folder, the current directory
        QTest::addColumn<QStringList>("arguments");  // {config} names the station's configuration
        QTest::addColumn<int>("exit_code");
        QTest::addColumn<int>("records");            // in the CSV on standard output; -1: nothing there
        QTest::addColumn<QString>("err");            // what standard error holds; empty: nothing
        QTest::newRow("no configuration in the current directory")
            << "none" << QStringList{"history"} << 3 << -1 << "No valid configuration file!";
        QTest::newRow("the named configuration is missing")
            << "none" << QStringList{"history", "--config", "{config}"} << 3 << -1
            << "The configuration file doesn't exist!";
        QTest::newRow("configuration found in the current directory")
            << "one record" << QStringList{"history", "--csv"} << 0 << 1 << "";
        QTest::newRow("no history yet") << "configuration" << QStringList{"history", "--config", "{config}", "--csv"}
                                        << 0 << 0 << "";
        QTest::newRow("a configuration that no longer parses keeps its history")
            << "broken configuration" << QStringList{"history", "--config", "{config}", "--csv"} << 0 << 1 << "";
        QTest::newRow("corrupt history") << "corrupt history" << QStringList{"history", "--config", "{config}", "--csv"}
                                         << 8 << 0
                                         << "Upgrade history not readable at {database}: file is not a database";
        QTest::newRow("since no date") << "configuration" << QStringList{"history", "--since", "yesterday"} << 2 << -1
                                       << "--since takes a date (2024-05-01) or an ISO 8601 time";
        QTest::newRow("until no date") << "configuration" << QStringList{"history", "--until", "tomorrow"} << 2 << -1
                                       << "--until takes a date (2024-05-31) or an ISO 8601 time";
        QTest::newRow("until before since")
            << "configuration" << QStringList{"history", "--since", "2024-05-02", "--until", "2024-05-01"} << 2 << -1
            << "--until 2024-05-01 is not after --since 2024-05-02: the period holds nothing";
        QTest::newRow("target misspelt") << "configuration" << QStringList{"history", "--target", "motr"} << 2 << -1
                                         << "unknown target 'motr' (one of Base, Motor, Steering, Meter, Pedals)";
        QTest::newRow("two forms") << "configuration" << QStringList{"history", "--json", "--csv"} << 2 << -1
                                   << "--json and --csv exclude each other";
        QTest::newRow("an argument") << "configuration" << QStringList{"history", "Meter"} << 2 << -1
                                     << "unexpected argument 'Meter'";
        QTest::newRow("--since is history's") << "configuration" << QStringList{"list", "--since", "2024-05-01"} << 2
                                              << -1 << "--since applies to history only";
        QTest::newRow("--serial is history's") << "configuration" << QStringList{"list", "--serial", "SN-7"} << 2
                                               << -1 << "--serial applies to history only";
        QTest::newRow("--serial empty") << "configuration" << QStringList{"history", "--serial", ""} << 2 << -1
                                        << "--serial needs the unit's serial number";
    }

    void exitCodes()
    {
        QFETCH(QString, setup);
        QFETCH(QStringList, arguments);
        QFETCH(int, exit_code);
        QFETCH(int, records);
        QFETCH(QString, err);
        QTemporaryDir dir;
        const QString config = dir.filePath("station.json");
        const QString database = dir.filePath("upgrade-history.sqlite");
        if (setup != "none") {
            QFile file(config);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(setup == "broken configuration" ? "{\"firmware\": " : "{}");
        }
        if (setup == "one record" || setup == "broken configuration")
            QCOMPARE(HistoryStore::Append(database, SampleRecord("Base", Utc("2024-05-01T08:00:00.000Z"))), QString());
        if (setup == "corrupt history") {
            QFile file(database);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(QByteArray(8192, '\x5a'));
        }
        const Ran ran = Cli(arguments.replaceInStrings("{config}", config), dir.path());
        QVERIFY(ran.ended);
        QVERIFY2(ran.code == exit_code, qPrintable(ran.err));
        QString expected_err = err.replace("{database}", database);
        if (records < 0) {
            QCOMPARE(ran.out, QString());
        } else {
            QString error;
            const QList<QStringList> rows = ReadCsv(ran.out, &error);
            QVERIFY2(error.isEmpty(), qPrintable(error));
            QCOMPARE(rows.value(0), ColumnNames());
            QCOMPARE(rows.size(), records + 1);
            // Which file was read, on standard error before anything else there.
            expected_err.prepend("history: " + database + "\n");
        }
        if (records >= 0 || err.isEmpty())
            QVERIFY2(ran.err.startsWith(expected_err), qPrintable(ran.err));
        else
            QVERIFY2(ran.err.contains(expected_err), qPrintable(ran.err));
        if (err.isEmpty())
            QCOMPARE(ran.err, expected_err);
    }

    // With --json, an end that is not the records alone ends with one result line on standard
    // output (after what could be read): what a script reads to learn why.
    void jsonEndsWithItsResult_data()
    {
        QTest::addColumn<QString>("setup");
        QTest::addColumn<int>("exit_code");
        QTest::addColumn<QString>("result");
        QTest::newRow("no configuration file") << "none" << 3 << "configuration";
        QTest::newRow("corrupt history") << "corrupt history" << 8 << "failed";
    }

    void jsonEndsWithItsResult()
    {
        QFETCH(QString, setup);
        QFETCH(int, exit_code);
        QFETCH(QString, result);
        QTemporaryDir dir;
        const QString config = dir.filePath("station.json");
        if (setup != "none") {
            QFile file(config);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write("{}");
            QFile history(dir.filePath("upgrade-history.sqlite"));
            QVERIFY(history.open(QIODevice::WriteOnly));
            history.write(QByteArray(8192, '\x5a'));
        }
        const Ran ran = Cli({"history", "--config", config, "--json"}, dir.path());
        QVERIFY(ran.ended);
        QVERIFY2(ran.code == exit_code, qPrintable(ran.err));
        const QList<QJsonObject> lines = JsonLines(ran.out);
        QCOMPARE(lines.size(), 1);
        QCOMPARE(lines[0].value("event").toString(), QString("result"));
        QCOMPARE(lines[0].value("result").toString(), result);
        QCOMPARE(lines[0].value("exit_code").toInt(), exit_code);
        QVERIFY2(!lines[0].value("error").toString().isEmpty(), qPrintable(ran.out));
    }

    // A station's folder made read-only after its history was written (an installed station):
    // `history` shows that history, not the account's own, says which file it read, and says
    // where this account's jobs go meanwhile.
    void readOnlyStationFolder_data()
    {
        QTest::addColumn<QString>("form");
        QTest::newRow("table") << "";
        QTest::newRow("--json") << "--json";
        QTest::newRow("--csv") << "--csv";
    }

    void readOnlyStationFolder()
    {
        QFETCH(QString, form);
        if (Unprivileged::Needed()) {
            // The case runs again as nobody, who may not reach a build tree below /root: the
            // programs go where it may run them.
            QTemporaryDir programs;
            const auto run = QFileDevice::ReadOwner | QFileDevice::ExeOwner | QFileDevice::ReadGroup |
                             QFileDevice::ExeGroup | QFileDevice::ReadOther | QFileDevice::ExeOther;
            QVERIFY(QFile::setPermissions(programs.path(), run));
            const QByteArray cli = qgetenv("UPGRADER_CLI");
            const QByteArray sim = qgetenv("UPGRADER_SIM");
            for (const auto &[variable, path] : {std::pair<const char *, QByteArray>{"UPGRADER_CLI", cli},
                                                 {"UPGRADER_SIM", sim}}) {
                const QString copy = programs.filePath(QFileInfo(QString::fromLocal8Bit(path)).fileName());
                QVERIFY(QFile::copy(QString::fromLocal8Bit(path), copy));
                QVERIFY(QFile::setPermissions(copy, run));
                qputenv(variable, QFile::encodeName(copy));
            }
            struct Restore {
                QByteArray cli, sim;
                ~Restore()
                {
                    qputenv("UPGRADER_CLI", cli);
                    qputenv("UPGRADER_SIM", sim);
                }
            } restore{cli, sim};
            RUN_AS_NOBODY_WHEN_ROOT();
        }

        Station station;
        QVERIFY(station.Append({SampleRecord("Motor", Utc("2024-05-01T08:00:00.000Z"))}));
        // The account's own history, where its jobs go while the station's folder is read-only.
        QTemporaryDir home;
        const QString data = home.filePath(".local/share");
        const QString own = data + "/upgrader/upgrade-history.sqlite";
        QCOMPARE(HistoryStore::Append(own, SampleRecord("Base", Utc("2024-05-02T08:00:00.000Z"))), QString());
        const auto read = QFileDevice::ReadOwner | QFileDevice::ExeOwner | QFileDevice::ReadOther | QFileDevice::ExeOther;
        QVERIFY(QFile::setPermissions(station.dir.path(), read));

        QStringList arguments{"history", "--config", station.Config()};
        if (!form.isEmpty())
            arguments << form;
        const Ran ran = Cli(arguments, {}, {{"HOME", home.path()}, {"XDG_DATA_HOME", data}});
        QVERIFY(QFile::setPermissions(station.dir.path(), read | QFileDevice::WriteOwner));
        QVERIFY(ran.ended);
        QVERIFY2(ran.code == 0, qPrintable(ran.err));

        const QString file_line = "history: " + station.Database();
        const QString note = "history: the jobs of this account are recorded in " + own;
        if (form.isEmpty()) {
            const QStringList lines = ran.out.split('\n', Qt::SkipEmptyParts);
            QCOMPARE(lines.size(), 3);
            QVERIFY2(lines[1].startsWith("2024-05-01 16:00:00  Motor "), qPrintable(ran.out));
            QCOMPARE(lines[2], file_line + " (1 record)");
            QCOMPARE(ran.err, note + " (the configuration's folder may not be written)\n");
        } else {
            if (form == "--json") {
                const QList<QJsonObject> records = JsonLines(ran.out);
                QCOMPARE(records.size(), 1);
                QCOMPARE(records[0].value("target").toString(), QString("Motor"));
            } else {
                QString error;
                const QList<QStringList> rows = ReadCsv(ran.out, &error);
                QVERIFY2(error.isEmpty(), qPrintable(error));
                QCOMPARE(rows.size(), 2);
                QCOMPARE(rows[1][ColumnNames().indexOf("target")], QString("Motor"));
            }
            QCOMPARE(ran.err.split('\n', Qt::SkipEmptyParts),
                     (QStringList{file_line, note + " (the configuration's folder may not be written)"}));
        }
    }
};

QTEST_GUILESS_MAIN(TestCliHistory)
#include "tst_cli_history.moc"
