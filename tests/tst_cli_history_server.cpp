// upgrader-cli and the line's shared history, as processes against a real PostgreSQL server:
// `history sync` sends what waits on a station, each record once, and keeps it waiting when the
// server refuses; `history --server` reads every station's records back in the three forms,
// filtered, and `--summary` counts them per local day and target. Neither waits on the server
// without a bound, a stop signal ends their wait, a database whose "upgrades" is another
// program's is refused, and what they say is the tool's own, a JSON result line included.
#include "cli_process.h"
#include "csv_reader.h"
#include "history_format.h"
#include "history_store.h"
#include "local_pg_server.h"
#include "pg_faults.h"
#include "sample_records.h"
#include "station_folder.h"
#include "wait_until.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <csignal>
#include <memory>
#include <optional>

#include <sys/types.h>

namespace {

constexpr int kCommandMs = 60000;
// The reader's clock: 8 hours east of UTC (POSIX names the offset west), so that a record's local
// day and its UTC day differ. No time zone database needed.
constexpr char kReaderZone[] = "UTC-8";
constexpr int kReaderOffsetS = 8 * 3600;
constexpr char kLine[] = "line";  // the database every station of the suite's line sends to

// One upgrader-cli run to its end. variables: set in its environment; an empty optional removes
// the variable.
struct Ran {
    bool ended = false;
    int code = -1;
    QString out;
    QString err;
};

void Prepare(QProcess &process, const QMap<QString, std::optional<QString>> &variables)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("TZ", kReaderZone);
    environment.remove(HistoryServer::kEnvironmentVariable);
    for (auto it = variables.begin(); it != variables.end(); ++it) {
        if (it.value())
            environment.insert(it.key(), *it.value());
        else
            environment.remove(it.key());
    }
    process.setProcessEnvironment(environment);
}

Ran Cli(const QStringList &arguments, const QMap<QString, std::optional<QString>> &variables = {})
{
    QProcess process;
    Prepare(process, variables);
    process.start(qEnvironmentVariable("UPGRADER_CLI"), arguments);
    Ran ran;
    ran.ended = process.waitForFinished(kCommandMs) && process.exitStatus() == QProcess::NormalExit;
    ran.code = process.exitCode();
    ran.out = QString::fromUtf8(process.readAllStandardOutput());
    ran.err = QString::fromUtf8(process.readAllStandardError());
    return ran;
}

// A bound short enough for a test: the server gives up on a lock after two thirds of it (2 s).
constexpr char kShortBoundMs[] = "3000";
// A bound that outlasts a test: only a stop ends a wait on the server then.
constexpr char kLongBoundMs[] = "120000";
constexpr char kStatementVariable[] = "UPGRADER_HISTORY_STATEMENT_MS";
constexpr char kLockedWords[] =
    "another session on the line's server kept the upgrade history's table locked for longer than 2 s";
constexpr char kForeignWords[] = "holds a table \"upgrades\" that is not the upgrade history's";
constexpr int kWaitingMs = 30000;
constexpr int kStoppedMs = 5000;  // far below every bound of the wait that was stopped

QString Said(const Ran &ran)
{
    return QStringLiteral("exit %1\nout: %2\nerr: %3").arg(ran.code).arg(ran.out, ran.err);
}

QList<QJsonObject> JsonLines(const QString &text)
{
    QList<QJsonObject> objects;
    for (const QString &line : text.split('\n', Qt::SkipEmptyParts)) {
        const QJsonDocument document = QJsonDocument::fromJson(line.toUtf8());
        objects << (document.isObject() ? document.object() : QJsonObject{{"unparsed", line}});
    }
    return objects;
}

QDateTime Utc(const char *text)
{
    return QDateTime::fromString(QLatin1String(text), Qt::ISODate).toUTC();
}

// The day a record falls on for the reader.
QDate LocalDay(const QDateTime &time)
{
    return time.toOffsetFromUtc(kReaderOffsetS).date();
}

using Station = StationFolder;

struct Job {
    const char *host;
    const char *target;
    const char *started_at;  // UTC
    qint64 duration_ms;
    const char *result;  // "success", "current" or "failed"
    const char *serial;
};

// Three stations' jobs over three days: records near midnight UTC that fall on the next local
// day, a day with an even number of successes (the median between two), a "current" (a success
// that is not an upgrade's time) and a day of a target with no success at all.
const Job kJobs[] = {
    {"line-a", "Meter", "2026-03-01T02:00:00Z", 3000, "success", "0001A3F29C7E"},
    {"line-a", "Meter", "2026-03-01T03:00:00Z", 5000, "success", "0001A3F29C7E"},
    {"line-a", "Meter", "2026-03-01T04:00:00Z", 2500, "failed", "0001A3F29C7E"},
    {"line-a", "Base", "2026-03-01T20:30:00Z", 7000, "success", "0001A3F29C7E"},
    {"line-b", "Meter", "2026-03-01T01:00:00Z", 4000, "success", "0002B7710D31"},
    {"line-b", "Meter", "2026-03-01T05:00:00Z", 20, "current", "0002B7710D31"},
    {"line-b", "Pedals", "2026-03-01T17:00:00Z", 1500, "failed", "0002B7710D31"},
    {"line-b", "Base", "2026-03-02T02:00:00Z", 9000, "success", "0002B7710D31"},
    {"line-c", "Steering", "2026-03-02T23:00:00Z", 21000, "success", "SN-C"},
    {"line-c", "Meter", "2026-03-02T23:10:00Z", 2000, "failed", "SN-C"},
};

UpgradeRecord RecordOf(const Job &job)
{
    const bool failed = QLatin1String(job.result) == QLatin1String("failed");
    UpgradeRecord record = SampleRecord(job.target, Utc(job.started_at), failed ? QStringLiteral("Flash failed") : QString());
    record.duration_ms = job.duration_ms;
    record.current = QLatin1String(job.result) == QLatin1String("current");
    record.host = job.host;
    record.unit_serial = job.serial;
    return record;
}

// The server's records as the station's own `history --json` would print them, by uid.
QMap<QString, QJsonObject> ByUid(const QList<UpgradeRecord> &records)
{
    QMap<QString, QJsonObject> objects;
    for (const QJsonObject &object : JsonLines(HistoryFormat::JsonLines(records)))
        objects.insert(object.value("uid").toString(), object);
    return objects;
}

QStringList Uids(const QList<UpgradeRecord> &records)
{
    QStringList uids;
    for (const UpgradeRecord &record : records)
        uids << record.uid;
    return uids;
}

// The median as the summary has it: of the upgrades that succeeded (not "current"), the mean of
// the middle two for an even number; -1 without any.
double Median(QList<qint64> durations_ms)
{
    if (durations_ms.isEmpty())
        return -1;
    std::sort(durations_ms.begin(), durations_ms.end());
    const int n = durations_ms.size();
    const double ms = n % 2 ? durations_ms[n / 2] : (durations_ms[n / 2 - 1] + durations_ms[n / 2]) / 2.0;
    return ms / 1000.0;
}

}  // namespace

class TestCliHistoryServer : public QObject {
    Q_OBJECT

    LocalPgServer pg;
    // The line: three stations that sent their jobs, and every record as the stations keep them.
    std::vector<std::unique_ptr<Station>> stations;
    QList<UpgradeRecord> line;

    QString ServerName(const QString &database) const
    {
        return QStringLiteral("%1:%2/%3").arg(pg.SocketFolder()).arg(pg.Port()).arg(database);
    }
    QMap<QString, std::optional<QString>> Server(const QString &database = kLine, const QString &user = {}) const
    {
        QString connection = pg.Connection(database);
        if (!user.isEmpty())
            connection += QStringLiteral(" user=%1").arg(user);
        return {{HistoryServer::kEnvironmentVariable, connection}};
    }
    // A database of its own with the history's tables and one record in it, and a station with
    // one record waiting for it.
    QString MadeLine(const QString &database, Station &station)
    {
        QString error;
        if (!pg.CreateDatabase(database, &error))
            qFatal("%s", qPrintable(error));
        Station other;
        if (!other.Append({RecordOf(kJobs[0])}))
            qFatal("cannot write %s", qPrintable(other.Database()));
        const Ran made = Cli({"history", "sync", "--config", other.Config()}, Server(database));
        if (made.code != 0)
            qFatal("%s", qPrintable(Said(made)));
        if (!station.Append({RecordOf(kJobs[1])}))
            qFatal("cannot write %s", qPrintable(station.Database()));
        return database;
    }
    void Role(const QString &database, const QString &role, const QString &grant)
    {
        QString output, error;
        QVERIFY2(pg.Sql(database,
                        QStringLiteral("DO $$ BEGIN IF NOT EXISTS (SELECT FROM pg_roles WHERE rolname = '%1') THEN "
                                       "CREATE ROLE %1 LOGIN; END IF; END $$; %2")
                            .arg(role, grant),
                        &output, &error),
                 qPrintable(error));
    }
    QStringList ReadServer(const QString &database, const QString &column)
    {
        QString output, error;
        if (!pg.Sql(database, QStringLiteral("SELECT %1 FROM upgrades ORDER BY 1").arg(column), &output, &error))
            qWarning("%s", qPrintable(error));
        return output.split('\n', Qt::SkipEmptyParts);
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(QFileInfo(qEnvironmentVariable("UPGRADER_CLI")).isExecutable(), "UPGRADER_CLI must name upgrader-cli");
        QString error;
        QVERIFY2(pg.Start(&error), qPrintable(error));
        QVERIFY2(pg.CreateDatabase(kLine, &error), qPrintable(error));

        // Each station sends its own; one names the server in its configuration, the others
        // through the environment.
        for (const char *host : {"line-a", "line-b", "line-c"}) {
            const bool by_config = QLatin1String(host) == QLatin1String("line-b");
            stations.push_back(std::make_unique<Station>(
                by_config ? QJsonDocument(QJsonObject{{"history_server", pg.Connection(kLine)}}).toJson() : QByteArray("{}")));
            Station &station = *stations.back();
            QList<UpgradeRecord> records;
            for (const Job &job : kJobs) {
                if (QLatin1String(job.host) == QLatin1String(host))
                    records << RecordOf(job);
            }
            QVERIFY(station.Append(records));
            const Ran ran = Cli({"history", "sync", "--config", station.Config()},
                                by_config ? QMap<QString, std::optional<QString>>{} : Server());
            QVERIFY2(ran.ended && ran.code == 0, qPrintable(Said(ran)));
            QCOMPARE(ran.out, QStringLiteral("history sync: %1 records sent to %2, 0 waiting\n")
                                  .arg(records.size())
                                  .arg(ServerName(kLine)));
            QCOMPARE(station.Waiting(), qint64(0));
            line << station.Records();
        }
        QCOMPARE(line.size(), int(std::size(kJobs)));
    }

    // Every field of every station's record comes back from the server as the station keeps
    // it, oldest first, whichever form it is read in; the filters choose as the local ones do,
    // and --station by the record's host.
    void readsTheLine_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("target");
        QTest::addColumn<QString>("serial");
        QTest::addColumn<QString>("station");
        QTest::addColumn<QDateTime>("since");
        const QDateTime every;
        QTest::newRow("every record") << QStringList{} << "" << "" << "" << every;
        QTest::newRow("--station") << QStringList{"--station", "line-b"} << "" << "" << "line-b" << every;
        QTest::newRow("--target") << QStringList{"--target", "Meter"} << "Meter" << "" << "" << every;
        QTest::newRow("--target in another letter case") << QStringList{"--target", "mETER"} << "Meter" << "" << "" << every;
        QTest::newRow("--serial") << QStringList{"--serial", "SN-C"} << "" << "SN-C" << "" << every;
        // From the reader's midnight, 16:00 UTC the day before.
        QTest::newRow("--since a local day") << QStringList{"--since", "2026-03-02"} << "" << "" << ""
                                             << QDateTime(QDate(2026, 3, 2), QTime(0, 0), Qt::OffsetFromUTC, kReaderOffsetS);
        QTest::newRow("--station --target --since")
            << QStringList{"--station", "line-a", "--target", "Meter", "--since", "2026-03-01T03:00:00Z"} << "Meter" << ""
            << "line-a" << Utc("2026-03-01T03:00:00Z");
        QTest::newRow("no such station") << QStringList{"--station", "line-z"} << "" << "" << "line-z" << every;
    }

    void readsTheLine()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, target);
        QFETCH(QString, serial);
        QFETCH(QString, station);
        QFETCH(QDateTime, since);
        QList<UpgradeRecord> expected;
        for (const UpgradeRecord &record : qAsConst(line)) {
            if ((target.isEmpty() || record.target == target) && (serial.isEmpty() || record.unit_serial == serial) &&
                (station.isEmpty() || record.host == station) && (!since.isValid() || record.started_at >= since))
                expected << record;
        }
        std::stable_sort(expected.begin(), expected.end(),
                         [](const UpgradeRecord &a, const UpgradeRecord &b) { return a.started_at < b.started_at; });
        const QStringList command = QStringList{"history", "--server"} + arguments;
        const QString server_line = QStringLiteral("history: server %1").arg(ServerName(kLine));

        const Ran json = Cli(command + QStringList{"--json"}, Server());
        QVERIFY2(json.ended && json.code == 0, qPrintable(Said(json)));
        QCOMPARE(json.err, server_line + '\n');
        const QList<QJsonObject> objects = JsonLines(json.out);
        QStringList uids;
        for (const QJsonObject &object : objects)
            uids << object.value("uid").toString();
        QCOMPARE(uids, Uids(expected));
        const QMap<QString, QJsonObject> kept = ByUid(expected);
        for (const QJsonObject &object : objects)
            QCOMPARE(object, kept.value(object.value("uid").toString()));

        const Ran csv = Cli(command + QStringList{"--csv"}, Server());
        QVERIFY2(csv.ended && csv.code == 0, qPrintable(Said(csv)));
        QCOMPARE(csv.err, server_line + '\n');
        QString error;
        const QList<QStringList> rows = ReadCsv(csv.out, &error);
        QVERIFY2(error.isEmpty(), qPrintable(error));
        QVERIFY(!rows.isEmpty());
        const int uid_column = rows.first().indexOf("uid");
        const int host_column = rows.first().indexOf("host");
        QVERIFY(uid_column >= 0 && host_column >= 0);
        QCOMPARE(rows.size(), expected.size() + 1);
        for (int i = 0; i < expected.size(); ++i) {
            QCOMPARE(rows[i + 1].value(uid_column), expected[i].uid);
            QCOMPARE(rows[i + 1].value(host_column), expected[i].host);
        }

        // The table names the station of every row, and the server (never a file) at its end.
        const Ran table = Cli(command, Server());
        QVERIFY2(table.ended && table.code == 0, qPrintable(Said(table)));
        QCOMPARE(table.err, QString());
        const QStringList lines = table.out.split('\n', Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), expected.size() + 2);
        QCOMPARE(lines.first().split(QRegularExpression("\\s{2,}")).mid(0, 3),
                 (QStringList{"Started (local)", "Station", "Target"}));
        QCOMPARE(lines.last(), QStringLiteral("%1 (%2 %3)").arg(server_line).arg(expected.size())
                                   .arg(expected.size() == 1 ? "record" : "records"));
        for (int i = 0; i < expected.size(); ++i) {
            const QString local = expected[i].started_at.toOffsetFromUtc(kReaderOffsetS).toString("yyyy-MM-dd hh:mm:ss");
            QVERIFY2(lines[i + 1].startsWith(local + "  " + expected[i].host + ' '), qPrintable(lines[i + 1]));
            QVERIFY2(lines[i + 1].contains(' ' + expected[i].target + ' '), qPrintable(lines[i + 1]));
        }
    }

    // Per reader's day and target: jobs, successes (current ones too), failures and the median
    // time of the upgrades that succeeded, as counted here from the records.
    void summarizesPerDayAndTarget_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("station");
        QTest::newRow("the line") << QStringList{} << "";
        QTest::newRow("--station") << QStringList{"--station", "line-a"} << "line-a";
    }

    void summarizesPerDayAndTarget()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, station);
        struct Day {
            qint64 count = 0, successes = 0, failures = 0;
            QList<qint64> upgrades_ms;
        };
        QMap<QPair<QDate, QString>, Day> days;  // in the summary's order: day, then target
        for (const UpgradeRecord &record : qAsConst(line)) {
            if (!station.isEmpty() && record.host != station)
                continue;
            Day &day = days[{LocalDay(record.started_at), record.target}];
            ++day.count;
            record.success ? ++day.successes : ++day.failures;
            if (record.success && !record.current)
                day.upgrades_ms << record.duration_ms;
        }
        const QStringList command = QStringList{"history", "--server", "--summary"} + arguments;

        const Ran json = Cli(command + QStringList{"--json"}, Server());
        QVERIFY2(json.ended && json.code == 0, qPrintable(Said(json)));
        const QList<QJsonObject> objects = JsonLines(json.out);
        QCOMPARE(objects.size(), days.size());
        int i = 0;
        for (auto it = days.begin(); it != days.end(); ++it, ++i) {
            const QJsonObject &object = objects[i];
            QCOMPARE(object.value("day").toString(), it.key().first.toString(Qt::ISODate));
            QCOMPARE(object.value("target").toString(), it.key().second);
            QCOMPARE(qint64(object.value("count").toDouble()), it->count);
            QCOMPARE(qint64(object.value("successes").toDouble()), it->successes);
            QCOMPARE(qint64(object.value("failures").toDouble()), it->failures);
            const double median = Median(it->upgrades_ms);
            if (median < 0)
                QVERIFY2(object.value("median_s").isNull(), qPrintable(it.key().second));
            else
                QCOMPARE(object.value("median_s").toDouble(), median);
        }

        const Ran csv = Cli(command + QStringList{"--csv"}, Server());
        QVERIFY2(csv.ended && csv.code == 0, qPrintable(Said(csv)));
        QString error;
        const QList<QStringList> rows = ReadCsv(csv.out, &error);
        QVERIFY2(error.isEmpty(), qPrintable(error));
        QCOMPARE(rows.value(0), (QStringList{"day", "target", "count", "successes", "failures", "median_s"}));
        QCOMPARE(rows.size(), objects.size() + 1);
        for (int row = 1; row < rows.size(); ++row) {
            const QJsonObject &object = objects[row - 1];
            QCOMPARE(rows[row].mid(0, 5), (QStringList{object.value("day").toString(), object.value("target").toString(),
                                                       QString::number(object.value("count").toInt()),
                                                       QString::number(object.value("successes").toInt()),
                                                       QString::number(object.value("failures").toInt())}));
            QCOMPARE(rows[row][5].isEmpty(), object.value("median_s").isNull());
            if (!rows[row][5].isEmpty())
                QCOMPARE(rows[row][5].toDouble(), object.value("median_s").toDouble());
        }

        // The table: a row per day and target, "-" where no upgrade succeeded, and the number of
        // jobs counted at the end.
        const Ran table = Cli(command, Server());
        QVERIFY2(table.ended && table.code == 0, qPrintable(Said(table)));
        const QStringList lines = table.out.split('\n', Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), days.size() + 2);
        qint64 jobs = 0;
        i = 1;
        for (auto it = days.begin(); it != days.end(); ++it, ++i) {
            const double median = Median(it->upgrades_ms);
            const QStringList cells = lines[i].split(' ', Qt::SkipEmptyParts);
            QCOMPARE(cells.mid(0, 5), (QStringList{it.key().first.toString(Qt::ISODate), it.key().second,
                                                   QString::number(it->count), QString::number(it->successes),
                                                   QString::number(it->failures)}));
            QCOMPARE(cells.mid(5).join(' '), median < 0 ? QString("-") : QString::number(median, 'f', 1) + " s");
            jobs += it->count;
        }
        QCOMPARE(lines.last(), QStringLiteral("history: server %1 (%2 records)").arg(ServerName(kLine)).arg(jobs));
    }

    // A record goes once: a second sync sends nothing, a new job's record goes alone; --json
    // gives one result object.
    void syncSendsEachRecordOnce()
    {
        QString error;
        QVERIFY2(pg.CreateDatabase("once", &error), qPrintable(error));
        Station station;
        QVERIFY(station.Append({RecordOf(kJobs[0]), RecordOf(kJobs[1])}));
        const QStringList sync{"history", "sync", "--config", station.Config(), "--json"};
        const Ran first = Cli(sync, Server("once"));
        QVERIFY2(first.ended && first.code == 0, qPrintable(Said(first)));
        const QList<QJsonObject> results = JsonLines(first.out);
        QCOMPARE(results.size(), 1);
        QCOMPARE(results[0].value("event").toString(), QString("result"));
        QCOMPARE(results[0].value("exit_code").toInt(), 0);
        QCOMPARE(results[0].value("sent").toInt(), 2);
        QCOMPARE(results[0].value("waiting").toInt(), 0);
        QCOMPARE(results[0].value("server").toString(), ServerName("once"));

        const Ran again = Cli(sync, Server("once"));
        QVERIFY2(again.ended && again.code == 0, qPrintable(Said(again)));
        QCOMPARE(JsonLines(again.out).value(0).value("sent").toInt(), 0);

        QVERIFY(station.Append({RecordOf(kJobs[2])}));
        const Ran next = Cli({"history", "sync", "--config", station.Config()}, Server("once"));
        QVERIFY2(next.ended && next.code == 0, qPrintable(Said(next)));
        QCOMPARE(next.out, QStringLiteral("history sync: 1 record sent to %1, 0 waiting\n").arg(ServerName("once")));
        QStringList uids = Uids(station.Records());
        uids.sort();
        QCOMPARE(ReadServer("once", "uid"), uids);
    }

    // A server that refuses the login, that never answers, or whose schema is newer than this
    // release's keeps the records waiting on the station, untouched, with a warning and exit 8;
    // the reader of such a server gets nothing on standard output and exit 8 too.
    void refusedSyncKeepsRecordsWaiting()
    {
        QString error;
        QVERIFY2(pg.CreateDatabase("refusing", &error), qPrintable(error));
        Station station;
        QVERIFY(station.Append({RecordOf(kJobs[3]), RecordOf(kJobs[4])}));
        const QList<UpgradeRecord> before = station.Records();

        const Ran refused = Cli({"history", "sync", "--config", station.Config()}, Server("refusing", "refused"));
        QVERIFY2(refused.ended && refused.code == 8, qPrintable(Said(refused)));
        QVERIFY2(refused.out.startsWith("history sync: 0 records sent to "), qPrintable(refused.out));
        QVERIFY2(refused.out.endsWith(", 2 waiting\n"), qPrintable(refused.out));
        QVERIFY2(refused.err.contains("history sync: Upgrade history not sent to the line's server: ") &&
                     refused.err.contains("refused"),
                 qPrintable(refused.err));
        QCOMPARE(station.Waiting(), qint64(2));
        QCOMPARE(Uids(station.Records()), Uids(before));
        QCOMPARE(ByUid(station.Records()), ByUid(before));

        const Ran reader = Cli({"history", "--server"}, Server("refusing", "refused"));
        QVERIFY2(reader.ended && reader.code == 8, qPrintable(Said(reader)));
        QCOMPARE(reader.out, QString());
        QVERIFY2(reader.err.startsWith(QStringLiteral("Upgrade history not readable from the line's server %1: ")
                                           .arg(ServerName("refusing"))),
                 qPrintable(reader.err));

        // A server that accepts and never answers costs the connect time-out, then the same.
        HangingListener hung;
        QVERIFY(hung.Ok());
        const QMap<QString, std::optional<QString>> hung_server{
            {HistoryServer::kEnvironmentVariable,
             QStringLiteral("host=127.0.0.1 port=%1 dbname=line user=upgrader connect_timeout=2").arg(hung.Port())}};
        const Ran unanswered = Cli({"history", "sync", "--config", station.Config()}, hung_server);
        QVERIFY2(unanswered.ended && unanswered.code == 8, qPrintable(Said(unanswered)));
        QVERIFY2(unanswered.out.endsWith(", 2 waiting\n"), qPrintable(unanswered.out));
        QCOMPARE(station.Waiting(), qint64(2));
        const Ran unanswered_reader = Cli({"history", "--server", "--json"}, hung_server);
        QVERIFY2(unanswered_reader.ended && unanswered_reader.code == 8, qPrintable(Said(unanswered_reader)));
        // No record, only the result line.
        const QList<QJsonObject> unanswered_lines = JsonLines(unanswered_reader.out);
        QCOMPARE(unanswered_lines.size(), 1);
        QCOMPARE(unanswered_lines[0].value("event").toString(), QString("result"));
        QCOMPARE(unanswered_lines[0].value("exit_code").toInt(), 8);

        // A later release made the server's table: read, never written.
        const Ran sent = Cli({"history", "sync", "--config", station.Config()}, Server("refusing"));
        QVERIFY2(sent.ended && sent.code == 0, qPrintable(Said(sent)));
        QString output;
        QVERIFY2(pg.Sql("refusing", "INSERT INTO upgrader_schema (version) VALUES (99)", &output, &error), qPrintable(error));
        QVERIFY(station.Append({RecordOf(kJobs[5])}));
        const Ran newer = Cli({"history", "sync", "--config", station.Config()}, Server("refusing"));
        QVERIFY2(newer.ended && newer.code == 8, qPrintable(Said(newer)));
        QVERIFY2(newer.err.contains("schema 99"), qPrintable(newer.err));
        QCOMPARE(station.Waiting(), qint64(1));
        const Ran read = Cli({"history", "--server", "--json"}, Server("refusing"));
        QVERIFY2(read.ended && read.code == 0, qPrintable(Said(read)));
        QCOMPARE(JsonLines(read.out).size(), 2);
    }

    // Another session holds the table locked: each command gives up within its bound (here the
    // short one a test may set), exit 8, and says so in the tool's words; the records wait.
    void lockedTableBoundsTheCommand_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("out");  // {server}: the server's name; "json": one result line
        QTest::newRow("history --server") << QStringList{"history", "--server"} << "";
        QTest::newRow("history --server --summary --json") << QStringList{"history", "--server", "--summary", "--json"}
                                                          << "json";
        QTest::newRow("history sync") << QStringList{"history", "sync"}
                                      << "history sync: 0 records sent to {server}, 1 waiting\n";
    }

    void lockedTableBoundsTheCommand()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, out);
        static int made = 0;
        Station station;
        const QString database = MadeLine(QStringLiteral("locked%1").arg(++made), station);
        TableLock lock(pg, database);
        QVERIFY(lock.Held(kWaitingMs));
        auto variables = Server(database);
        variables.insert(kStatementVariable, QString(kShortBoundMs));
        const Ran ran = Cli(arguments + QStringList{"--config", station.Config()}, variables);
        QVERIFY2(ran.ended && ran.code == 8, qPrintable(Said(ran)));
        QVERIFY2(ran.err.contains(kLockedWords), qPrintable(ran.err));
        if (out == "json") {
            const QList<QJsonObject> lines = JsonLines(ran.out);
            QCOMPARE(lines.size(), 1);
            QCOMPARE(lines[0].value("result").toString(), QString("failed"));
            QCOMPARE(lines[0].value("exit_code").toInt(), 8);
            QVERIFY2(lines[0].value("error").toString().contains(kLockedWords), qPrintable(ran.out));
        } else {
            QCOMPARE(ran.out, QString(out).replace("{server}", ServerName(database)));
        }
        QCOMPARE(station.Waiting(), qint64(1));
    }

    // A stop signal while the command waits on the server (behind another session's lock) ends
    // it at once with the stop's code, also SIGINT to a command started with it ignored (a
    // script's background job); under --json with its result line. The records still wait.
    void stopEndsTheWaitOnTheServer_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("signal_number");
        QTest::addColumn<bool>("sigint_ignored");
        QTest::addColumn<int>("exit_code");
        QTest::addColumn<QString>("result");
        const QStringList read{"history", "--server"};
        const QStringList summary{"history", "--server", "--summary"};
        const QStringList sync{"history", "sync"};
        QTest::newRow("--server, SIGINT") << read << int(SIGINT) << false << 130 << "interrupted";
        QTest::newRow("--server --json, SIGTERM") << read + QStringList{"--json"} << int(SIGTERM) << false << 143
                                                  << "terminated";
        QTest::newRow("--summary, SIGINT ignored at the start") << summary << int(SIGINT) << true << 130
                                                                << "interrupted";
        QTest::newRow("sync, SIGINT") << sync << int(SIGINT) << false << 130 << "interrupted";
        QTest::newRow("sync --json, SIGTERM") << sync + QStringList{"--json"} << int(SIGTERM) << false << 143
                                              << "terminated";
        QTest::newRow("sync, SIGINT ignored at the start") << sync << int(SIGINT) << true << 130 << "interrupted";
        QTest::newRow("sync --json, SIGHUP") << sync + QStringList{"--json"} << int(SIGHUP) << false << 129 << "hangup";
    }

    void stopEndsTheWaitOnTheServer()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, signal_number);
        QFETCH(bool, sigint_ignored);
        QFETCH(int, exit_code);
        QFETCH(QString, result);
        static int made = 0;
        Station station;
        const QString database = MadeLine(QStringLiteral("stopped%1").arg(++made), station);
        TableLock lock(pg, database);
        QVERIFY(lock.Held(kWaitingMs));
        auto variables = Server(database);
        variables.insert(kStatementVariable, QString(kLongBoundMs));
        QProcess process;
        Prepare(process, variables);
        const QStringList given = arguments + QStringList{"--config", station.Config()};
        if (sigint_ignored)
            process.start("/bin/sh", StartedWithSigintIgnored(qEnvironmentVariable("UPGRADER_CLI"), given));
        else
            process.start(qEnvironmentVariable("UPGRADER_CLI"), given);
        QVERIFY(process.waitForStarted(kWaitingMs));
        QVERIFY(WaitUntil([&] { return lock.Waiters() > 0; }, kWaitingMs));
        QVERIFY(::kill(pid_t(process.processId()), signal_number) == 0);
        const bool ended = process.waitForFinished(kStoppedMs);
        if (!ended)
            process.kill();
        QVERIFY2(ended, "the stop did not end the wait on the server");
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), exit_code);
        const QString out = QString::fromUtf8(process.readAllStandardOutput());
        const QString err = QString::fromUtf8(process.readAllStandardError());
        const QString says = signal_number == SIGINT ? "Stopped by SIGINT"
                             : signal_number == SIGTERM ? "Stopped by SIGTERM"
                                                        : "Stopped by SIGHUP (the terminal was closed)";
        QVERIFY2(err.contains(says) || out.contains(says), qPrintable(out + err));
        if (arguments.contains("--json")) {
            const QList<QJsonObject> lines = JsonLines(out);
            QCOMPARE(lines.size(), 1);
            QCOMPARE(lines[0].value("result").toString(), result);
            QCOMPARE(lines[0].value("exit_code").toInt(), exit_code);
            if (arguments.contains("sync"))
                QCOMPARE(lines[0].value("waiting").toInt(), 1);
        } else if (arguments.contains("sync")) {
            QCOMPARE(out, QStringLiteral("history sync: 0 records sent to %1, 1 waiting\n").arg(ServerName(database)));
        } else {
            QCOMPARE(out, QString());
        }
        QCOMPARE(station.Waiting(), qint64(1));
        lock.Release();
        QCOMPARE(ReadServer(database, "count(*)"), QStringList{"1"});
    }

    // A database where a table "upgrades" of another program's already exists: never read as an
    // empty history, never sent to; exit 8 with what is wrong and what to do.
    void foreignTableIsRefused_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("prefix");  // of the line on standard error
        QTest::newRow("--server") << QStringList{"history", "--server"}
                                  << "Upgrade history not readable from the line's server {server}: ";
        QTest::newRow("--server --json") << QStringList{"history", "--server", "--json"}
                                         << "Upgrade history not readable from the line's server {server}: ";
        QTest::newRow("--summary") << QStringList{"history", "--server", "--summary"}
                                   << "Upgrade history not readable from the line's server {server}: ";
        QTest::newRow("sync") << QStringList{"history", "sync"}
                              << "history sync: Upgrade history not sent to the line's server: ";
        QTest::newRow("sync --json") << QStringList{"history", "sync", "--json"} << "";
    }

    void foreignTableIsRefused()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, prefix);
        static bool made = false;
        QString error, output;
        if (!made) {
            QVERIFY2(pg.CreateDatabase("foreign", &error), qPrintable(error));
            QVERIFY2(pg.Sql("foreign", "CREATE TABLE upgrades (id serial, who text)", &output, &error), qPrintable(error));
            made = true;
        }
        Station station;
        QVERIFY(station.Append({RecordOf(kJobs[0])}));
        const Ran ran = Cli(arguments + QStringList{"--config", station.Config()}, Server("foreign"));
        QVERIFY2(ran.ended && ran.code == 8, qPrintable(Said(ran)));
        const QString expected = QStringLiteral("the database foreign on the line's server %1").arg(kForeignWords);
        if (!prefix.isEmpty())
            QVERIFY2(ran.err.contains(prefix.replace("{server}", ServerName("foreign")) + expected), qPrintable(ran.err));
        // What to do, on standard error or in the JSON result.
        const QString said = ran.err + JsonLines(ran.out).value(0).value("error").toString();
        QVERIFY2(said.contains("name a database of the history's own in \"history_server\" or "
                               "UPGRADER_HISTORY_SERVER, or have the server's administrator rename that table"),
                 qPrintable(ran.err + ran.out));
        if (arguments.contains("--json")) {
            const QList<QJsonObject> lines = JsonLines(ran.out);
            QCOMPARE(lines.size(), 1);
            QCOMPARE(lines[0].value("exit_code").toInt(), 8);
            QVERIFY2(lines[0].value("error").toString().contains(expected), qPrintable(ran.out));
        } else if (arguments.contains("sync")) {
            QCOMPARE(ran.out, QStringLiteral("history sync: 0 records sent to %1, 1 waiting\n").arg(ServerName("foreign")));
        } else {
            QCOMPARE(ran.out, QString());
        }
        QCOMPARE(station.Waiting(), qint64(1));
        QCOMPARE(ReadServer("foreign", "count(*)"), QStringList{"0"});
    }

    // A role without the right it needs: one line in the tool's words naming the role and the
    // grant, and nothing from the driver on standard error.
    void roleWithoutTheRight_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("grant");  // to the role "clerk" on the made database; "empty": none made
        QTest::addColumn<QString>("err");
        QTest::newRow("sync, may not insert")
            << QStringList{"history", "sync"} << "GRANT SELECT ON upgrades, upgrader_schema TO clerk"
            << "history sync: Upgrade history not sent to the line's server: the line's server does not let the role "
               "clerk add records to the upgrade history (permission denied): its administrator grants it with "
               "\"GRANT SELECT ON upgrader_schema TO clerk; GRANT INSERT ON upgrades TO clerk\"\n";
        QTest::newRow("--server, may not read")
            << QStringList{"history", "--server"} << "GRANT SELECT ON upgrader_schema TO clerk"
            << "Upgrade history not readable from the line's server {server}: the line's server does not let the role "
               "clerk read the upgrade history (permission denied): its administrator grants it with \"GRANT SELECT ON "
               "upgrades, upgrader_schema TO clerk\"\n";
        QTest::newRow("sync to an empty database, may not make the tables")
            << QStringList{"history", "sync"} << "empty"
            << "history sync: Upgrade history not sent to the line's server: the line's server does not let the role "
               "clerk make the upgrade history's tables in the database {database} (permission denied): its "
               "administrator grants it with \"GRANT CREATE ON SCHEMA public TO clerk\", or a role that may makes them "
               "with its first push\n";
    }

    void roleWithoutTheRight()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, grant);
        QFETCH(QString, err);
        static int made = 0;
        Station station;
        QString database;
        if (grant == "empty") {
            QString error;
            database = QStringLiteral("empty%1").arg(++made);
            QVERIFY2(pg.CreateDatabase(database, &error), qPrintable(error));
            QVERIFY(station.Append({RecordOf(kJobs[1])}));
            Role(database, "clerk", "");
        } else {
            database = MadeLine(QStringLiteral("rights%1").arg(++made), station);
            Role(database, "clerk", grant);
        }
        const Ran ran = Cli(arguments + QStringList{"--config", station.Config()}, Server(database, "clerk"));
        QVERIFY2(ran.ended && ran.code == 8, qPrintable(Said(ran)));
        QCOMPARE(ran.err, err.replace("{server}", ServerName(database)).replace("{database}", database));
        QCOMPARE(station.Waiting(), qint64(1));
    }

    // With --json, every end of a history command that is not its records is one result line
    // on standard output: what a script reads to learn why.
    void jsonEndsWithItsResult_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("server");  // "none", "refused" (a login the server refuses)
        QTest::addColumn<int>("exit_code");
        QTest::newRow("--server, no server") << QStringList{"history", "--server"} << "none" << 3;
        QTest::newRow("--summary, no server") << QStringList{"history", "--server", "--summary"} << "none" << 3;
        QTest::newRow("sync, no server") << QStringList{"history", "sync"} << "none" << 3;
        QTest::newRow("sync, no configuration file") << QStringList{"history", "sync", "--config", "/nonexistent/c.json"}
                                                     << "refused" << 3;
        QTest::newRow("--server, login refused") << QStringList{"history", "--server"} << "refused" << 8;
        QTest::newRow("sync, login refused") << QStringList{"history", "sync"} << "refused" << 8;
    }

    void jsonEndsWithItsResult()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, server);
        QFETCH(int, exit_code);
        Station station;
        QVERIFY(station.Append({RecordOf(kJobs[0])}));
        if (!arguments.contains("--config"))
            arguments << "--config" << station.Config();
        const auto variables = server == "none" ? QMap<QString, std::optional<QString>>{} : Server(kLine, "refused");
        const Ran ran = Cli(arguments + QStringList{"--json"}, variables);
        QVERIFY2(ran.ended && ran.code == exit_code, qPrintable(Said(ran)));
        const QList<QJsonObject> lines = JsonLines(ran.out);
        QCOMPARE(lines.size(), 1);
        QCOMPARE(lines[0].value("event").toString(), QString("result"));
        QCOMPARE(lines[0].value("exit_code").toInt(), exit_code);
        QCOMPARE(lines[0].value("result").toString(), QString(exit_code == 3 ? "configuration" : "failed"));
        QVERIFY2(!lines[0].value("error").toString().isEmpty(), qPrintable(ran.out));
        QCOMPARE(station.Waiting(), qint64(1));
    }

    // Without a server in force: exit 3, naming both places one is given; a connection string
    // with a password is refused the same way, before anything is sent.
    void noServer_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("variable");  // "unset": not in the environment
        QTest::addColumn<QString>("expected");
        const QString none = "No server of the line is configured for the upgrade history: name one in the "
                             "configuration's \"history_server\"";
        QTest::newRow("sync, none") << QStringList{"history", "sync"} << "unset" << none;
        QTest::newRow("sync, variable set and empty") << QStringList{"history", "sync"} << "" << none;
        QTest::newRow("--server, none") << QStringList{"history", "--server"} << "unset" << none;
        QTest::newRow("--server --summary, none") << QStringList{"history", "--server", "--summary"} << "unset" << none;
        QTest::newRow("sync, a password") << QStringList{"history", "sync"} << "host=line-db password=secret"
                                          << "is not usable: a password does not belong in it";
    }

    void noServer()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, variable);
        QFETCH(QString, expected);
        // The configuration names a server the environment's empty value switches off.
        Station station(variable.isEmpty() ? QByteArray("{\"history_server\": \"host=line-db\"}") : QByteArray("{}"));
        QVERIFY(station.Append({RecordOf(kJobs[0])}));
        QMap<QString, std::optional<QString>> environment;
        if (variable != QLatin1String("unset"))
            environment.insert(HistoryServer::kEnvironmentVariable, variable);
        const Ran ran = Cli(arguments + QStringList{"--config", station.Config()}, environment);
        QVERIFY2(ran.ended && ran.code == 3, qPrintable(Said(ran)));
        QCOMPARE(ran.out, QString());
        QVERIFY2(ran.err.contains(expected), qPrintable(ran.err));
        if (expected.startsWith("No server"))
            QVERIFY2(ran.err.contains(HistoryServer::kEnvironmentVariable), qPrintable(ran.err));
        QCOMPARE(station.Waiting(), qint64(1));
    }

    void usage_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("expected");
        QTest::newRow("--summary alone") << QStringList{"history", "--summary"} << "give --server too";
        QTest::newRow("sync with a filter") << QStringList{"history", "sync", "--target", "Meter"}
                                            << "--target does not apply to history sync";
        QTest::newRow("sync with --server") << QStringList{"history", "sync", "--server"}
                                            << "--server does not apply to history sync";
        QTest::newRow("history's other word") << QStringList{"history", "push"} << "history takes sync or no argument";
        QTest::newRow("sync's argument") << QStringList{"history", "sync", "now"} << "history sync takes no argument";
        QTest::newRow("--server elsewhere") << QStringList{"list", "--server"} << "--server applies to history only";
        QTest::newRow("empty --station") << QStringList{"history", "--station", ""} << "--station needs";
    }

    void usage()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, expected);
        const Ran ran = Cli(arguments, Server());
        QVERIFY2(ran.ended && ran.code == 2, qPrintable(Said(ran)));
        QVERIFY2(ran.err.contains(expected), qPrintable(ran.err));
    }
};

QTEST_GUILESS_MAIN(TestCliHistoryServer)
#include "tst_cli_history_server.moc"
