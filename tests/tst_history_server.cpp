// The line's shared history on a real PostgreSQL server started for this suite: the schema the
// tool makes and the one it will not write, each record once whatever is lost or repeated, a
// line of station processes through an outage, and a server that refuses or hangs costing
// neither a record nor a job's result. Every exchange with the server is bounded, a table locked
// by another session and a server gone silent included; a table "upgrades" of another program is
// refused; and the upgrade's wait for the server at its end ends with a stop signal.
#include "cli_process.h"
#include "history_server.h"
#include "history_store.h"
#include "history_sync.h"
#include "local_pg_server.h"
#include "pg_faults.h"
#include "sample_records.h"
#include "sim_process.h"
#include "station_folder.h"
#include "wait_until.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QSet>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <csignal>
#include <functional>
#include <memory>
#include <thread>

namespace {

constexpr int kStations = 8;
constexpr int kRecordsPerStation = 50;

QDateTime Utc(int day, int hour, int minute = 0)
{
    return QDateTime(QDate(2026, 11, day), QTime(hour, minute), Qt::UTC);
}

QList<UpgradeRecord> Samples(int count, const QString &host = QStringLiteral("station-a"))
{
    QList<UpgradeRecord> records;
    for (int i = 0; i < count; ++i) {
        UpgradeRecord record = SampleRecord(i % 2 ? QStringLiteral("Meter") : QStringLiteral("Base"), Utc(1 + i % 3, 8, i % 60),
                                            i % 4 == 0 ? QStringLiteral("Upgrade failed, \"CRC\", 失败, C:\\fw\\it's \\n") : QString());
        record.host = host;
        record.success = i % 4 != 0;
        records << record;
    }
    return records;
}

// A bound short enough for a test: the server gives up on a lock after two thirds of it (2 s).
constexpr int kShortBoundMs = 3000;
constexpr char kLockedWords[] =
    "another session on the line's server kept the upgrade history's table locked for longer than 2 s";
// A record as a station of the release before signatures writes it: the columns it knows.
constexpr char kOlderStationsInsert[] =
    "INSERT INTO upgrades (uid, local_id, started_at, duration_ms, front_end, target, dev_id, port_name, "
    "usb_location, usb_pid, hw_version, description, image_path, image_sha256, image_version, result, "
    "error_text, stopped_by, \"user\", host, unit_serial, version_before, version_after) SELECT "
    "'older-station-record', 9, now(), 1, 'window', 'Meter', 4, '', '', 4, '', '', '', '', '', 'success', "
    "'', '', '', 'old-station', '', '', ''";

// Far beyond the bound and the connect time-out: an exchange that ends later was not bounded.
constexpr int kUnboundedMs = 30000;
constexpr int kJobMs = 120000;
constexpr char kStatementVariable[] = "UPGRADER_HISTORY_STATEMENT_MS";
constexpr char kForeignWords[] = "holds a table \"upgrades\" that is not the upgrade history's";

// Runs work on a thread of its own (a driver connection belongs to the thread that makes it) and
// waits for it at most deadline_ms; when it is not done by then, unblock() frees it (the lock
// released, the proxy gone) so that the thread can be joined, and the answer is false.
bool EndsWithin(int deadline_ms, const std::function<void()> &work, const std::function<void()> &unblock)
{
    std::atomic<bool> done{false};
    std::thread thread([&] {
        work();
        done = true;
    });
    const bool in_time = WaitUntil([&] { return done.load(); }, deadline_ms);
    if (!in_time)
        unblock();
    thread.join();
    return in_time;
}

// Every field as stored: the local and the server's copy of a record compare equal field by field.
QStringList Values(const UpgradeRecord &record)
{
    QStringList values;
    for (const RecordColumn &column : RecordColumns())
        values << column.get(record).toString();
    return values;
}

}  // namespace

class TestHistoryServer : public QObject {
    Q_OBJECT

    LocalPgServer server;
    QTemporaryDir dir;
    int databases = 0;

    // A fresh empty database on the suite's server, and its connection string (over the socket).
    QString FreshDatabase()
    {
        const QString name = QStringLiteral("case%1").arg(++databases);
        QString error;
        if (!server.CreateDatabase(name, &error))
            qFatal("%s", qPrintable(error));
        return server.Connection(name);
    }

    QString Sql(const QString &database, const QString &sql)
    {
        QString out;
        QString error;
        if (!server.Sql(database, sql, &out, &error))
            qWarning("%s", qPrintable(error));
        return out.trimmed();
    }

    QString LocalFile(const QString &name) { return QDir(dir.path()).filePath(name + QStringLiteral(".sqlite")); }

    // A fresh database with the history's tables made (a record of another station pushed).
    QString LockedLine()
    {
        const QString connection = FreshDatabase();
        const QString other = LocalFile(QStringLiteral("other-station-%1").arg(databases));
        if (!AppendRecords(other, Samples(1)).isEmpty())
            qFatal("cannot write %s", qPrintable(other));
        HistoryServer::Connection line(connection);
        const QString warning = HistoryServer::PushWaiting(other, line, 100).warning;
        if (!warning.isEmpty())
            qFatal("%s", qPrintable(warning));
        return connection;
    }

    static QString StationDatabase(const SimProcess &sim)
    {
        return QDir(QFileInfo(sim.Config()).absolutePath()).filePath(HistoryStore::kFileName);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        QString error;
        QVERIFY2(server.Start(&error), qPrintable(error));
    }

    // An empty database gets the table, its indexes and the schema's number at the first push;
    // the records come back field for field, and a second push of the same records adds nothing.
    void schemaOnEmptyDatabaseAndEachRecordOnce()
    {
        const QString connection = FreshDatabase();
        const QString database = LocalFile("once");
        const QList<UpgradeRecord> written = Samples(12);
        QCOMPARE(AppendRecords(database, written), QString());

        HistoryServer::Connection line(connection);
        const HistoryServer::SyncTally tally = HistoryServer::PushWaiting(database, line, 5);
        QCOMPARE(tally.warning, QString());
        QCOMPARE(tally.sent, qint64(12));
        QCOMPARE(tally.waiting, qint64(0));

        const QString db = QStringLiteral("case%1").arg(databases);
        QCOMPARE(Sql(db, "SELECT string_agg(version::text, ',') FROM upgrader_schema"),
                 QString::number(HistoryServer::kSchemaVersion));
        QCOMPARE(Sql(db, "SELECT string_agg(indexname, ',' ORDER BY indexname) FROM pg_indexes WHERE tablename = 'upgrades'"),
                 QString("upgrades_by_serial,upgrades_by_station,upgrades_by_target,upgrades_by_time,upgrades_pkey"));

        QList<UpgradeRecord> back;
        QString warning;
        QVERIFY2(line.Read({}, &back, &warning), qPrintable(warning));
        const QList<UpgradeRecord> local = ReadRecords(database);
        QCOMPARE(back.size(), local.size());
        for (int i = 0; i < local.size(); ++i)
            QCOMPARE(Values(back[i]), Values(local[i]));

        // The outbox is empty, and pushing the same records again (their marks lost) stores nothing new.
        QCOMPARE(HistoryStore::CountWaiting(database, &warning), qint64(0));
        QVERIFY2(line.Push(local, &warning), qPrintable(warning));
        QCOMPARE(Sql(db, "SELECT count(*) || ' ' || count(DISTINCT uid) FROM upgrades"), QString("12 12"));
    }

    // The answer to a push's commit is lost (the connection closes right after the server
    // committed): the records stay waiting here, and the next push stores none of them twice.
    void lostAnswerIsRepeatedWithoutDuplicates()
    {
        FreshDatabase();
        const QString db = QStringLiteral("case%1").arg(databases);
        LostAnswerProxy proxy(server.Port());
        const QString through_proxy =
            QStringLiteral("host=127.0.0.1 port=%1 dbname=%2 user=upgrader sslmode=disable").arg(proxy.Port()).arg(db);
        const QString database = LocalFile("lost");
        HistoryServer::Connection line(through_proxy);
        // A first push makes the schema, so the answer lost is the records' own.
        QCOMPARE(AppendRecords(database, Samples(1)), QString());
        QCOMPARE(HistoryServer::PushWaiting(database, line, 100).warning, QString());
        QCOMPARE(AppendRecords(database, Samples(9)), QString());

        proxy.ArmLoseNextCommit();
        HistoryServer::SyncTally tally = HistoryServer::PushWaiting(database, line, 100);
        QCOMPARE(proxy.AnswersLost(), 1);
        QVERIFY(!tally.warning.isEmpty());
        QCOMPARE(tally.sent, qint64(0));
        QCOMPARE(tally.waiting, qint64(9));
        // They did reach the server: the lost part was only its answer.
        QCOMPARE(Sql(db, "SELECT count(*) FROM upgrades"), QString("10"));

        QCOMPARE(AppendRecords(database, Samples(2, QStringLiteral("station-b"))), QString());
        tally = HistoryServer::PushWaiting(database, line, 100);
        QCOMPARE(tally.warning, QString());
        QCOMPARE(tally.sent, qint64(11));
        QCOMPARE(tally.waiting, qint64(0));
        QCOMPARE(Sql(db, "SELECT count(*) || ' ' || count(DISTINCT uid) FROM upgrades"), QString("12 12"));
    }

    // A record the server will not take (here: a rule of its own, which a later schema or the
    // line's administrator may add) waits alone, named by its uid, while those before and after
    // it go; a NUL a device put into a text reaches the server as the replacement character.
    void recordTheServerRefusesWaitsAlone()
    {
        const QString connection = FreshDatabase();
        const QString db = QStringLiteral("case%1").arg(databases);
        const QString database = LocalFile("refused");
        HistoryServer::Connection line(connection);
        QCOMPARE(AppendRecords(database, Samples(1)), QString());
        QCOMPARE(HistoryServer::PushWaiting(database, line, 100).warning, QString());
        Sql(db, "ALTER TABLE upgrades ADD CONSTRAINT no_refused CHECK (target <> 'Refused')");

        QList<UpgradeRecord> written = Samples(5);
        written[1].hw_version = QStringLiteral("HW-") + QChar(0) + QStringLiteral("A");
        written[3].target = QStringLiteral("Refused");
        QCOMPARE(AppendRecords(database, written), QString());
        QString bad_uid;
        for (const UpgradeRecord &record : ReadRecords(database)) {
            if (record.target == "Refused")
                bad_uid = record.uid;
        }

        HistoryServer::SyncTally tally = HistoryServer::PushWaiting(database, line, 100);
        QCOMPARE(tally.sent, qint64(4));
        QCOMPARE(tally.waiting, qint64(1));
        QVERIFY2(tally.warning.contains("refuses a record, which waits here: " + bad_uid), qPrintable(tally.warning));
        QCOMPARE(Sql(db, "SELECT count(*) FROM upgrades"), QString("5"));
        QCOMPARE(Sql(db, "SELECT hw_version FROM upgrades WHERE hw_version LIKE 'HW-%'"), QString("HW-\uFFFDA"));

        QCOMPARE(AppendRecords(database, Samples(2)), QString());
        tally = HistoryServer::PushWaiting(database, line, 2);
        QCOMPARE(tally.sent, qint64(2));
        QCOMPARE(tally.waiting, qint64(1));
        QCOMPARE(Sql(db, "SELECT count(*) FROM upgrades"), QString("7"));
    }

    // A server of a newer schema is read, never written: the records wait here, and the reason
    // names both numbers.
    void newerServerSchemaIsReadNotWritten()
    {
        const QString connection = FreshDatabase();
        const QString db = QStringLiteral("case%1").arg(databases);
        const QString database = LocalFile("newer");
        QCOMPARE(AppendRecords(database, Samples(3)), QString());
        HistoryServer::Connection line(connection);
        QCOMPARE(HistoryServer::PushWaiting(database, line, 100).warning, QString());

        Sql(db, QStringLiteral("INSERT INTO upgrader_schema (version) VALUES (%1)").arg(HistoryServer::kSchemaVersion + 1));
        QCOMPARE(AppendRecords(database, Samples(2)), QString());
        HistoryServer::Connection later(connection);
        const HistoryServer::SyncTally tally = HistoryServer::PushWaiting(database, later, 100);
        QVERIFY2(tally.warning.contains(QStringLiteral("schema %1, newer than this release's %2")
                                            .arg(HistoryServer::kSchemaVersion + 1)
                                            .arg(HistoryServer::kSchemaVersion)),
                 qPrintable(tally.warning));
        QCOMPARE(tally.sent, qint64(0));
        QCOMPARE(tally.waiting, qint64(2));
        QCOMPARE(Sql(db, "SELECT count(*) FROM upgrades"), QString("3"));
        QList<UpgradeRecord> read;
        QString warning;
        QVERIFY2(later.Read({}, &read, &warning), qPrintable(warning));
        QCOMPARE(read.size(), 3);
    }

    // A line's server made before records named their signer: its records stay and read as
    // unsigned; an older station goes on writing its records after the column came; a station of
    // this release adds the column with its first push when its role may, and otherwise its records
    // wait with the statement the administrator runs.
    void signerColumnJoinsAnOlderServer()
    {
        const QString connection = FreshDatabase();
        const QString db = QStringLiteral("case%1").arg(databases);
        const QString older = LocalFile("before-signatures");
        QCOMPARE(AppendRecords(older, Samples(2)), QString());
        {
            HistoryServer::Connection line(connection);
            QCOMPARE(HistoryServer::PushWaiting(older, line, 100).warning, QString());
        }
        Sql(db, "ALTER TABLE upgrades DROP COLUMN signer_key_id");  // the table as the older release made it
        Sql(db, "DO $$ BEGIN IF NOT EXISTS (SELECT FROM pg_roles WHERE rolname = 'clerk') THEN CREATE ROLE clerk "
                "LOGIN; END IF; END $$; GRANT SELECT, INSERT ON upgrades TO clerk; GRANT SELECT ON upgrader_schema TO clerk");

        // Read as it is, by anyone who may read: the records there, unsigned; nothing changed.
        QList<UpgradeRecord> read;
        QString warning;
        HistoryServer::Connection reader(QString(connection).replace("user=upgrader", "user=clerk"));
        QVERIFY2(reader.Read({}, &read, &warning), qPrintable(warning));
        QCOMPARE(read.size(), 2);
        QCOMPARE(read[0].signer_key_id, QString());
        QCOMPARE(Sql(db, "SELECT count(*) FROM information_schema.columns WHERE column_name = 'signer_key_id'"), QString("0"));

        // A role that may insert but not alter: the record waits, and the words say what to run.
        const QString station = LocalFile("signing-station");
        UpgradeRecord signed_record = Samples(1)[0];
        signed_record.signer_key_id = QStringLiteral("0123456789abcdef");
        QCOMPARE(AppendRecords(station, {signed_record}), QString());
        HistoryServer::Connection clerk(QString(connection).replace("user=upgrader", "user=clerk"));
        HistoryServer::SyncTally tally = HistoryServer::PushWaiting(station, clerk, 100);
        QVERIFY2(tally.warning.contains("lacks the column signer_key_id that this release records, and the role clerk "
                                        "may not add it") &&
                     tally.warning.contains("\"ALTER TABLE upgrades ADD COLUMN signer_key_id text NOT NULL DEFAULT ''\""),
                 qPrintable(tally.warning));
        QCOMPARE(tally.waiting, qint64(1));

        // The table's owner adds it with its push; then every record reads back, old ones unsigned.
        HistoryServer::Connection owner(connection);
        tally = HistoryServer::PushWaiting(station, owner, 100);
        QCOMPARE(tally.warning, QString());
        QCOMPARE(tally.sent, qint64(1));
        // An older station names only the columns it knows: its insert still goes in.
        QCOMPARE(Sql(db, kOlderStationsInsert), QString("INSERT 0 1"));
        QVERIFY2(owner.Read({}, &read, &warning), qPrintable(warning));
        QCOMPARE(read.size(), 4);
        QStringList signers;
        for (const UpgradeRecord &record : read)
            signers << record.signer_key_id;
        QCOMPARE(signers.count(QString()), 3);
        QVERIFY(signers.contains("0123456789abcdef"));
        QCOMPARE(Sql(db, "SELECT max(version) FROM upgrader_schema"), QString::number(HistoryServer::kSchemaVersion));

        // A table this release makes takes the older stations' inserts too.
        const QString fresh = FreshDatabase();
        const QString fresh_db = QStringLiteral("case%1").arg(databases);
        HistoryServer::Connection maker(fresh);
        QVERIFY2(maker.Push(Samples(1), &warning), qPrintable(warning));
        QCOMPARE(Sql(fresh_db, kOlderStationsInsert), QString("INSERT 0 1"));
        QCOMPARE(Sql(fresh_db, "SELECT count(*) FROM upgrades WHERE signer_key_id = ''"), QString("2"));
    }

    // A server that refuses the login, one that accepts and never answers, and a connection string
    // with a password: a warning for the window's console, a retry later, the records waiting here.
    void unreachableServerCostsAWarningOnly_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("expected");
        QTest::newRow("login refused") << "refused" << "refused";
        QTest::newRow("server hangs") << "hanging" << "timeout expired";
        QTest::newRow("password in the string") << "password" << "a password does not belong in it";
    }

    void unreachableServerCostsAWarningOnly()
    {
        QFETCH(QString, kind);
        QFETCH(QString, expected);
        HangingListener hanging;
        QVERIFY(hanging.Ok());
        QString connection = FreshDatabase();
        if (kind == "refused")
            connection.replace("user=upgrader", "user=refused");
        else if (kind == "hanging")
            connection = QStringLiteral("host=127.0.0.1 port=%1 dbname=x user=upgrader connect_timeout=2").arg(hanging.Port());
        else
            connection += QStringLiteral(" password=secret");
        const QString database = LocalFile("unreachable-" + kind);
        const QList<UpgradeRecord> written = Samples(4);
        QCOMPARE(AppendRecords(database, written), QString());
        const QList<UpgradeRecord> before = ReadRecords(database);

        HistorySync::Pacing pacing;
        pacing.first_retry_ms = 50;
        HistorySync sync(database, connection, pacing);
        QSignalSpy pushed(&sync, &HistorySync::Pushed);
        sync.Kick();
        // Retried by itself, and said once.
        QVERIFY(WaitUntil([&] { return pushed.size() >= 2; }, 30000));
        QVERIFY2(pushed[0][2].toString().contains(expected), qPrintable(pushed[0][2].toString()));
        QVERIFY(pushed[0][3].toBool());
        QVERIFY(!pushed[1][3].toBool());
        QCOMPARE(pushed[1][1].toLongLong(), qint64(4));

        const QList<UpgradeRecord> after = ReadRecords(database);
        QCOMPARE(after.size(), before.size());
        for (int i = 0; i < before.size(); ++i)
            QCOMPARE(Values(after[i]), Values(before[i]));
        QString warning;
        QCOMPARE(HistoryStore::CountWaiting(database, &warning), qint64(4));
    }

    // Another session holds the table locked (an administrator's maintenance, a transaction left
    // open): every exchange gives up within the bound, a read as well as a push, and says so in
    // the tool's words; the records keep waiting and the server holds nothing new.
    void lockedTableBoundsEveryExchange_data()
    {
        QTest::addColumn<QString>("exchange");
        QTest::newRow("read") << "read";
        QTest::newRow("summary") << "summary";
        QTest::newRow("push") << "push";
    }

    void lockedTableBoundsEveryExchange()
    {
        QFETCH(QString, exchange);
        const QString connection = FreshDatabase();
        const QString db = QStringLiteral("case%1").arg(databases);
        const QString database = LocalFile("locked-" + exchange);
        QCOMPARE(AppendRecords(database, Samples(2)), QString());
        {
            HistoryServer::Connection line(connection);
            QCOMPARE(HistoryServer::PushWaiting(database, line, 100).warning, QString());
        }
        QCOMPARE(AppendRecords(database, Samples(3)), QString());
        TableLock lock(server, db);
        QVERIFY(lock.Held(kUnboundedMs));

        bool done = true;
        QString warning;
        HistoryServer::SyncTally tally;
        const bool in_time = EndsWithin(
            kUnboundedMs,
            [&] {
                HistoryServer::Connection line(connection, kShortBoundMs);
                QList<UpgradeRecord> records;
                QList<HistoryServer::DaySummary> days;
                if (exchange == "read") {
                    done = line.Read({}, &records, &warning);
                } else if (exchange == "summary") {
                    done = line.Summarize({}, &days, &warning);
                } else {
                    tally = HistoryServer::PushWaiting(database, line, 100);
                    warning = tally.warning;
                    done = warning.isEmpty();
                }
            },
            [&] { lock.Release(); });
        QVERIFY2(in_time, "the exchange waited for the lock without a bound");
        QVERIFY(!done);
        QVERIFY2(warning.contains(kLockedWords), qPrintable(warning));
        if (exchange == "push") {
            QCOMPARE(tally.sent, qint64(0));
            QCOMPARE(tally.waiting, qint64(3));
        }
        lock.Release();
        QCOMPARE(Sql(db, "SELECT count(*) FROM upgrades"), QString("2"));
    }

    // A server that stops answering in the middle of a session (the connection stays up): the
    // next exchange, whatever its first statement, is cut at the bound and says so.
    void silentServerIsCutAtTheBound_data()
    {
        QTest::addColumn<QString>("exchange");
        QTest::newRow("read") << "read";
        QTest::newRow("summary") << "summary";
        QTest::newRow("push") << "push";
    }

    void silentServerIsCutAtTheBound()
    {
        QFETCH(QString, exchange);
        FreshDatabase();
        const QString db = QStringLiteral("case%1").arg(databases);
        auto proxy = std::make_unique<LostAnswerProxy>(server.Port());
        QVERIFY(proxy->Port() > 0);
        const QString through_proxy =
            QStringLiteral("host=127.0.0.1 port=%1 dbname=%2 user=upgrader sslmode=disable").arg(proxy->Port()).arg(db);
        const QString database = LocalFile("silent-" + exchange);
        QCOMPARE(AppendRecords(database, Samples(1)), QString());

        bool first = false;
        bool second = true;
        QString warning;
        LostAnswerProxy *relay = proxy.get();
        const bool in_time = EndsWithin(
            kUnboundedMs,
            [&] {
                HistoryServer::Connection line(through_proxy, kShortBoundMs);
                QList<UpgradeRecord> records;
                QList<HistoryServer::DaySummary> days;
                // Once with a server that answers (the connection made, the schema known), then
                // with one that has gone silent.
                const auto run = [&](QString *said) {
                    if (exchange == "read")
                        return line.Read({}, &records, said);
                    if (exchange == "summary")
                        return line.Summarize({}, &days, said);
                    *said = HistoryServer::PushWaiting(database, line, 100).warning;
                    return said->isEmpty();
                };
                QString ignored;
                first = run(&ignored);
                if (exchange == "push")
                    AppendRecords(database, Samples(2));
                relay->HoldAnswers();
                second = run(&warning);
            },
            [&] { proxy.reset(); });
        QVERIFY2(in_time, "an exchange with a silent server was never cut");
        QVERIFY(first);
        QVERIFY(!second);
        QVERIFY2(warning.contains("the line's server did not answer within 3 s, and the connection was cut"),
                 qPrintable(warning));
        if (exchange == "push") {
            QString unknown;
            QCOMPARE(HistoryStore::CountWaiting(database, &unknown), qint64(2));
        }
    }

    // A database whose table "upgrades" belongs to another program: never read as an empty
    // history, never written beside, and the window's push says why once, not at every retry.
    void foreignTableIsRefused()
    {
        const QString connection = FreshDatabase();
        const QString db = QStringLiteral("case%1").arg(databases);
        Sql(db, "CREATE TABLE upgrades (id serial, who text); INSERT INTO upgrades (who) VALUES ('someone')");
        const QString database = LocalFile("foreign");
        QCOMPARE(AppendRecords(database, Samples(2)), QString());

        HistoryServer::Connection line(connection);
        QList<UpgradeRecord> records;
        QString warning;
        QVERIFY(!line.Read({}, &records, &warning));
        QVERIFY2(warning.contains(kForeignWords), qPrintable(warning));
        QVERIFY2(warning.contains("the database " + db), qPrintable(warning));
        QCOMPARE(records.size(), 0);
        QList<HistoryServer::DaySummary> days;
        warning.clear();
        QVERIFY(!line.Summarize({}, &days, &warning));
        QVERIFY2(warning.contains(kForeignWords), qPrintable(warning));
        const HistoryServer::SyncTally tally = HistoryServer::PushWaiting(database, line, 100);
        QVERIFY2(tally.warning.contains(kForeignWords), qPrintable(tally.warning));
        QCOMPARE(tally.sent, qint64(0));
        QCOMPARE(tally.waiting, qint64(2));

        HistorySync::Pacing pacing;
        pacing.first_retry_ms = 50;
        HistorySync sync(database, connection, pacing);
        QSignalSpy pushed(&sync, &HistorySync::Pushed);
        sync.Kick();
        QVERIFY(WaitUntil([&] { return pushed.size() >= 3; }, kUnboundedMs));
        QVERIFY2(pushed[0][2].toString().contains(kForeignWords), qPrintable(pushed[0][2].toString()));
        QVERIFY(pushed[0][3].toBool());
        QVERIFY(!pushed[1][3].toBool());
        QVERIFY(!pushed[2][3].toBool());
        QCOMPARE(pushed[2][1].toLongLong(), qint64(2));
        // The other program's table as it was, and nothing of the history's beside it.
        QCOMPARE(Sql(db, "SELECT string_agg(who, ',') FROM upgrades"), QString("someone"));
        QCOMPARE(Sql(db, "SELECT to_regclass('upgrader_schema') IS NULL"), QString("t"));
    }

    // A command's job with a server that refuses or hangs: the job's result and its record as
    // without a server, one warning about the line, and the record waiting for the next push.
    void jobResultUntouchedByTheServer_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("login refused") << "refused";
        QTest::newRow("server hangs") << "hanging";
    }

    void jobResultUntouchedByTheServer()
    {
        QFETCH(QString, kind);
        HangingListener hanging;
        QString connection = FreshDatabase();
        if (kind == "refused")
            connection.replace("user=upgrader", "user=refused");
        else
            connection = QStringLiteral("host=127.0.0.1 port=%1 dbname=x user=upgrader connect_timeout=2").arg(hanging.Port());

        SimProcess sim;
        QVERIFY(sim.StartAndWait({"--fast"}, 2, 30000));
        qputenv(HistoryServer::kEnvironmentVariable, connection.toUtf8());
        CliProcess cli(sim.Catalog(), {"upgrade", "Meter", "--config", sim.Config(), "--json"});
        const bool ended = cli.Finish(120000);
        qunsetenv(HistoryServer::kEnvironmentVariable);
        QVERIFY(ended);
        QVERIFY2(cli.ExitCode() == 0, qPrintable(cli.err));
        const QList<QJsonObject> results = cli.Events("result");
        QCOMPARE(results.size(), 1);
        QCOMPARE(results[0].value("result").toString(), QString("success"));
        const QList<QJsonObject> sync = cli.Events("history-sync");
        QCOMPARE(sync.size(), 1);
        QCOMPARE(sync[0].value("sent").toInt(), 0);
        QCOMPARE(sync[0].value("waiting").toInt(), 1);
        QVERIFY(!sync[0].value("warning").toString().isEmpty());

        const QString database = QDir(QFileInfo(sim.Config()).absolutePath()).filePath(HistoryStore::kFileName);
        const QList<UpgradeRecord> records = ReadRecords(database);
        QCOMPARE(records.size(), 1);
        QVERIFY(records[0].success);
        QCOMPARE(records[0].target, QString("Meter"));
        QString warning;
        QCOMPARE(HistoryStore::CountWaiting(database, &warning), qint64(1));
    }

    // The upgrade's end waits (bounded) for its record to reach the server: behind another
    // session's lock, the server's own limit ends that wait with its reason, the job's result
    // stands and the record waits.
    void upgradeEndBoundedByALockedTable()
    {
        const QString connection = LockedLine();
        TableLock lock(server, QStringLiteral("case%1").arg(databases));
        QVERIFY(lock.Held(kUnboundedMs));
        SimProcess sim;
        QVERIFY(sim.StartAndWait({"--fast"}, 2, 30000));
        qputenv(HistoryServer::kEnvironmentVariable, connection.toUtf8());
        qputenv(kStatementVariable, QByteArray::number(kShortBoundMs));
        CliProcess cli(sim.Catalog(), {"upgrade", "Meter", "--config", sim.Config(), "--json"});
        qunsetenv(kStatementVariable);
        qunsetenv(HistoryServer::kEnvironmentVariable);
        QVERIFY(cli.Finish(kJobMs));
        QVERIFY2(cli.ExitCode() == 0, qPrintable(cli.err));
        QCOMPARE(cli.Events("result").value(0).value("result").toString(), QString("success"));
        const QList<QJsonObject> sync = cli.Events("history-sync");
        QCOMPARE(sync.size(), 1);
        QVERIFY2(sync[0].value("warning").toString().contains(kLockedWords), qPrintable(sync[0].value("warning").toString()));
        QCOMPARE(sync[0].value("waiting").toInt(), 1);
        QCOMPARE(sync[0].value("exit_code").toInt(), 0);
        QString warning;
        QCOMPARE(HistoryStore::CountWaiting(StationDatabase(sim), &warning), qint64(1));
    }

    // A stop signal while the upgrade's end waits for the server (its push behind a lock) ends
    // the command at once with the stop's code; the job's result was said, its record waits.
    // Also SIGINT to a command started with it ignored, as a script's background job is.
    void stopEndsTheUpgradesWaitForTheServer_data()
    {
        QTest::addColumn<int>("signal_number");
        QTest::addColumn<bool>("sigint_ignored");
        QTest::addColumn<int>("exit_code");
        QTest::addColumn<QString>("says");
        QTest::newRow("SIGINT") << int(SIGINT) << false << 130 << "Stopped by SIGINT";
        QTest::newRow("SIGTERM") << int(SIGTERM) << false << 143 << "Stopped by SIGTERM";
        QTest::newRow("SIGINT, started with it ignored") << int(SIGINT) << true << 130 << "Stopped by SIGINT";
    }

    void stopEndsTheUpgradesWaitForTheServer()
    {
        QFETCH(int, signal_number);
        QFETCH(bool, sigint_ignored);
        QFETCH(int, exit_code);
        QFETCH(QString, says);
        const QString connection = LockedLine();
        TableLock lock(server, QStringLiteral("case%1").arg(databases));
        QVERIFY(lock.Held(kUnboundedMs));
        SimProcess sim;
        QVERIFY(sim.StartAndWait({"--fast"}, 2, 30000));
        qputenv(HistoryServer::kEnvironmentVariable, connection.toUtf8());
        CliProcess cli(sim.Catalog(), {"upgrade", "Meter", "--config", sim.Config(), "--json"}, {}, kCliWaitScale,
                       sigint_ignored);
        qunsetenv(HistoryServer::kEnvironmentVariable);
        QVERIFY(cli.process.waitForStarted(kUnboundedMs));
        // The job is over and its record's push waits behind the lock.
        QVERIFY(WaitUntil([&] { return lock.Waiters() > 0; }, kJobMs));
        QVERIFY(::kill(pid_t(cli.process.processId()), signal_number) == 0);
        // The server's own limit (20 s) and the command's (10 s) are far off: only the stop ends it now.
        QVERIFY2(cli.Finish(5000), "the stop did not end the wait for the server");
        QCOMPARE(cli.ExitCode(), exit_code);
        QCOMPARE(cli.Events("result").value(0).value("result").toString(), QString("success"));
        const QList<QJsonObject> sync = cli.Events("history-sync");
        QCOMPARE(sync.size(), 1);
        QCOMPARE(sync[0].value("warning").toString(), says);
        QCOMPARE(sync[0].value("waiting").toInt(), 1);
        QCOMPARE(sync[0].value("exit_code").toInt(), exit_code);
        lock.Release();
        QString warning;
        QCOMPARE(HistoryStore::CountWaiting(StationDatabase(sim), &warning), qint64(1));
        QCOMPARE(Sql(QStringLiteral("case%1").arg(databases), "SELECT count(*) FROM upgrades"), QString("1"));
    }

    // A server the upgrade cannot write to (a table of another program's; a role without the
    // right to insert): the job's result stands, the record waits, and the command says why once,
    // in its own words; the driver says nothing of its own.
    void upgradeSaysOnceWhyItsRecordWaits_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("says");
        QTest::newRow("a table of another program") << "foreign" << QString(kForeignWords);
        QTest::newRow("a role that may not insert")
            << "clerk"
            << "the line's server does not let the role clerk add records to the upgrade history (permission denied): "
               "its administrator grants it with \"GRANT SELECT ON upgrader_schema TO clerk; GRANT INSERT ON upgrades "
               "TO clerk\"";
    }

    void upgradeSaysOnceWhyItsRecordWaits()
    {
        QFETCH(QString, kind);
        QFETCH(QString, says);
        QString connection = FreshDatabase();
        const QString db = QStringLiteral("case%1").arg(databases);
        if (kind == "foreign") {
            Sql(db, "CREATE TABLE upgrades (id serial, who text)");
        } else {
            HistoryServer::Connection line(connection);
            const QString made = LocalFile("schema-for-clerk");
            QCOMPARE(AppendRecords(made, Samples(1)), QString());
            QCOMPARE(HistoryServer::PushWaiting(made, line, 100).warning, QString());
            Sql(db, "DO $$ BEGIN IF NOT EXISTS (SELECT FROM pg_roles WHERE rolname = 'clerk') THEN CREATE ROLE clerk "
                    "LOGIN; END IF; END $$; GRANT SELECT ON upgrades, upgrader_schema TO clerk");
            connection.replace("user=upgrader", "user=clerk");
        }
        SimProcess sim;
        QVERIFY(sim.StartAndWait({"--fast"}, 2, 30000));
        // A record from before, so that the push at the command's start meets the server too.
        QCOMPARE(AppendRecords(StationDatabase(sim), Samples(1)), QString());
        qputenv(HistoryServer::kEnvironmentVariable, connection.toUtf8());
        CliProcess cli(sim.Catalog(), {"upgrade", "Meter", "--config", sim.Config()});
        qunsetenv(HistoryServer::kEnvironmentVariable);
        QVERIFY(cli.Finish(kJobMs));
        QVERIFY2(cli.ExitCode() == 0, qPrintable(cli.err));
        const QStringList lines = cli.err.split('\n', Qt::SkipEmptyParts);
        const QStringList said = lines.filter("history: Upgrade history not sent to the line's server: ");
        QCOMPARE(said.size(), 1);
        QVERIFY2(said[0].contains(says), qPrintable(cli.err));
        QVERIFY2(cli.err.contains("history: 2 records wait for the line's server"), qPrintable(cli.err));
        // Nothing else about the server: the driver's own lines stay off the operator's console.
        for (const char *noise : {"QPSQL", "Unable to free statement", "Database not open"})
            QVERIFY2(!cli.err.contains(noise), qPrintable(cli.err));
        QString warning;
        QCOMPARE(HistoryStore::CountWaiting(StationDatabase(sim), &warning), qint64(2));
    }

    // A line of eight station processes, each writing 50 job records and pushing after each, with
    // the server stopped part-way and started again: every record on the server exactly once,
    // those written during the outage after the server's return.
    void lineOfStationsThroughAnOutage()
    {
        const QString connection = FreshDatabase();
        const QString db = QStringLiteral("case%1").arg(databases);
        const QString go = QDir(dir.path()).filePath("second-half");
        std::vector<std::unique_ptr<QProcess>> stations;
        for (int i = 0; i < kStations; ++i) {
            auto station = std::make_unique<QProcess>();
            station->setProcessChannelMode(QProcess::ForwardedErrorChannel);
            station->start(QStringLiteral(HISTORY_STATION),
                           {LocalFile(QStringLiteral("station-%1").arg(i)), connection, QStringLiteral("station-%1").arg(i),
                            QString::number(kRecordsPerStation), go});
            QVERIFY(station->waitForStarted(10000));
            stations.push_back(std::move(station));
        }
        auto on_server = [&] { return Sql(db, "SELECT count(*) FROM upgrades").toInt(); };
        // Part-way: while the first halves are still being pushed.
        QVERIFY(WaitUntil([&] { return on_server() >= kStations * kRecordsPerStation / 4; }, 60000));
        QString error;
        QVERIFY2(server.Stop(&error), qPrintable(error));
        const QDateTime stopped = QDateTime::currentDateTimeUtc();
        QFile(go).open(QIODevice::WriteOnly);
        // Every station writes its second half while the server is away.
        auto written = [&] {
            int all = 0;
            for (int i = 0; i < kStations; ++i)
                all += ReadRecords(LocalFile(QStringLiteral("station-%1").arg(i))).size();
            return all;
        };
        QVERIFY(WaitUntil([&] { return written() == kStations * kRecordsPerStation; }, 60000));
        const QDateTime returned = QDateTime::currentDateTimeUtc();  // nothing reaches it before this
        QVERIFY2(server.Start(&error), qPrintable(error));

        for (auto &station : stations) {
            QVERIFY(station->waitForFinished(150000));
            QCOMPARE(station->exitStatus(), QProcess::NormalExit);
            QCOMPARE(station->exitCode(), 0);
        }
        const int all = kStations * kRecordsPerStation;
        QCOMPARE(Sql(db, "SELECT count(*) || ' ' || count(DISTINCT uid) FROM upgrades"), QStringLiteral("%1 %1").arg(all));
        QCOMPARE(Sql(db, "SELECT count(DISTINCT host) || ' ' || min(n) || ' ' || max(n) FROM "
                         "(SELECT host, count(*) AS n FROM upgrades GROUP BY host) AS per_station"),
                 QStringLiteral("%1 %2 %2").arg(kStations).arg(kRecordsPerStation));
        // Every record a station holds is on the server under its uid.
        QSet<QString> uids;
        for (int i = 0; i < kStations; ++i) {
            for (const UpgradeRecord &record : ReadRecords(LocalFile(QStringLiteral("station-%1").arg(i))))
                uids.insert(record.uid);
        }
        QCOMPARE(uids.size(), all);
        const QStringList on_line = Sql(db, "SELECT uid FROM upgrades").split('\n');
        QCOMPARE(QSet<QString>(on_line.begin(), on_line.end()), uids);
        // Those written after the stop reached the server only after its return; there were some.
        // (Times are kept to the millisecond: one written in the stop's millisecond counts too.)
        const int late = Sql(db, QStringLiteral("SELECT count(*) FROM upgrades WHERE started_at >= '%1'").arg(StoredTime(stopped))).toInt();
        QVERIFY2(late >= all / 2, qPrintable(QString::number(late)));
        QCOMPARE(Sql(db, QStringLiteral("SELECT count(*) FROM upgrades WHERE started_at >= '%1' AND received_at < '%2'")
                             .arg(StoredTime(stopped), StoredTime(returned))),
                 QString("0"));
    }
};

QTEST_GUILESS_MAIN(TestHistoryServer)
#include "tst_history_server.moc"
