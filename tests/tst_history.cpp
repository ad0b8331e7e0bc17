// The upgrade history's file: what an append leaves, which records a query picks, where the file
// lives and who may share it, files of the older schema, what a broken file costs, many writers
// at once, and the three forms it is read in.
#include "csv_reader.h"
#include "history_format.h"
#include "history_server.h"
#include "history_store.h"
#include "sample_records.h"
#include "unprivileged.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSet>
#include <QMap>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QUuid>
#include <QtTest>

#include <csignal>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>

#ifdef Q_OS_UNIX
#include <grp.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

constexpr int kWriters = 8;
constexpr int kRecordsEach = 50;
constexpr int kProcessesMs = 120000;

QDateTime Utc(int day, int hour, int minute = 0)
{
    return QDateTime(QDate(2024, 5, day), QTime(hour, minute), Qt::UTC);
}

// A failed record of the operator's stop, with every field filled.
UpgradeRecord Sample(const QString &target = QStringLiteral("Motor"), const QDateTime &at = Utc(1, 8))
{
    UpgradeRecord r = SampleRecord(target, at.addMSecs(123), QStringLiteral("Second verify failed\nTarget go app failed"));
    r.duration_ms = 41872;
    r.stopped_by = QLatin1String(UpgradeRecord::kOperator);
    return r;
}

// The record as its columns hold it.
QStringList Values(const UpgradeRecord &record)
{
    QStringList values;
    for (const RecordColumn &column : RecordColumns())
        values << column.get(record).toString();
    return values;
}

QStringList ColumnNames()
{
    QStringList names;
    for (const RecordColumn &column : RecordColumns())
        names << QLatin1String(column.name);
    return names;
}

QByteArray FileBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QList<UpgradeRecord> ReadAll(const QString &database, QString *warning = nullptr)
{
    QString ignored;
    return HistoryStore::Read(database, {}, warning ? warning : &ignored);
}

// Child process: writes `count` records as `writer` once the parent says go on standard input.
int WriteRecords(const QString &database, const QString &writer, int count)
{
    std::cout << "ready" << std::endl;
    std::string go;
    std::getline(std::cin, go);
    int failures = 0;
    for (int i = 0; i < count; ++i) {
        UpgradeRecord record = Sample();
        record.usb_location = writer;
        record.error_text = QString::number(i);
        const QString warning = HistoryStore::Append(database, record);
        if (!warning.isEmpty()) {
            std::cout << qPrintable(warning) << std::endl;
            ++failures;
        }
    }
    return failures == 0 ? 0 : 1;
}

// Child process: one append of a large record while no file may grow beyond `limit` bytes, as on
// a disk that is full. Prints the warning.
#ifdef Q_OS_UNIX
int AppendLimited(const QString &database, qint64 limit)
{
    std::signal(SIGXFSZ, SIG_IGN);  // a write past the limit then fails with EFBIG instead
    const rlimit size{rlim_t(limit), rlim_t(limit)};
    if (setrlimit(RLIMIT_FSIZE, &size) != 0)
        return 2;
    UpgradeRecord record = Sample();
    record.error_text = QString(int(limit), QLatin1Char('x'));
    std::cout << qPrintable(HistoryStore::Append(database, record)) << std::endl;
    return 0;
}
#endif

// The columns of schema 1, the first release's table, in its order.
const char *const kSchema1Columns[] = {"id", "started_at", "duration_ms", "front_end", "target", "dev_id",
                                       "port_name", "usb_location", "usb_pid", "hw_version", "description",
                                       "image_path", "image_sha256", "image_version", "result", "error_text",
                                       "stopped_by", "user", "host"};

// One statement's first value, through a connection of the test's own.
QVariant Scalar(const QString &database, const QString &sql)
{
    QVariant value;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "inspect");
        db.setDatabaseName(database);
        if (db.open()) {
            QSqlQuery query(db);
            if (query.exec(sql) && query.next())
                value = query.value(0);
        }
    }
    QSqlDatabase::removeDatabase("inspect");
    return value;
}

// A history as the first release left it: its table, indexes and schema number, in WAL mode,
// holding one failed Motor job that the operator stopped.
QString WriteSchema1(const QString &database)
{
    QString error;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "release 1");
        db.setDatabaseName(database);
        if (!db.open())
            return db.lastError().text();
        QSqlQuery query(db);
        const QStringList statements{
            "PRAGMA journal_mode = WAL",
            "CREATE TABLE upgrades (id INTEGER PRIMARY KEY AUTOINCREMENT, \"started_at\" TEXT NOT NULL, "
            "\"duration_ms\" INTEGER NOT NULL, \"front_end\" TEXT NOT NULL, \"target\" TEXT NOT NULL, "
            "\"dev_id\" INTEGER NOT NULL, \"port_name\" TEXT NOT NULL, \"usb_location\" TEXT NOT NULL, "
            "\"usb_pid\" INTEGER NOT NULL, \"hw_version\" TEXT NOT NULL, \"description\" TEXT NOT NULL, "
            "\"image_path\" TEXT NOT NULL, \"image_sha256\" TEXT NOT NULL, \"image_version\" TEXT NOT NULL, "
            "\"result\" TEXT NOT NULL, \"error_text\" TEXT NOT NULL, \"stopped_by\" TEXT NOT NULL, "
            "\"user\" TEXT NOT NULL, \"host\" TEXT NOT NULL)",
            "CREATE INDEX upgrades_by_time ON upgrades (started_at)",
            "CREATE INDEX upgrades_by_target ON upgrades (target, started_at)",
            "INSERT INTO upgrades (started_at, duration_ms, front_end, target, dev_id, port_name, usb_location, "
            "usb_pid, hw_version, description, image_path, image_sha256, image_version, result, error_text, "
            "stopped_by, user, host) VALUES ('2024-04-30T09:15:00.250Z', 5120, 'window', 'Motor', 3, "
            "'/dev/ttyACM0', '1-1.2', 4, 'MOTOR-HW-A', 'motor A', '/opt/fw/motor.bin', "
            "'9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08', '1.2.2', 'failed', "
            "'USB connection lost!', 'operator', 'operator3', 'station-3')",
            "PRAGMA user_version = 1"};
        for (const QString &statement : statements) {
            if (!query.exec(statement)) {
                error = statement + ": " + query.lastError().text();
                break;
            }
        }
    }
    QSqlDatabase::removeDatabase("release 1");
    return error;
}

#ifdef Q_OS_UNIX
struct stat Stat(const QString &path)
{
    struct stat info {};
    if (stat(QFile::encodeName(path).constData(), &info) != 0)
        info.st_mode = 0;
    return info;
}

// A group this process may give its files to, other than its own: "users" for root, else one of
// its supplementary groups; -1 when it has none.
gid_t OtherGroup()
{
    if (geteuid() == 0) {
        const group *users = getgrnam("users");
        return users ? users->gr_gid : gid_t(100);
    }
    gid_t groups[64];
    const int count = getgroups(64, groups);
    for (int i = 0; i < count; ++i) {
        if (groups[i] != getegid())
            return groups[i];
    }
    return gid_t(-1);
}

int OpenFiles()
{
    return QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::Files | QDir::System).size();
}
#endif

}  // namespace

class TestHistory : public QObject {
    Q_OBJECT

private:
    QTemporaryDir dir;
    QString database;

private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }

    void init()
    {
        QVERIFY(dir.isValid());
        database = QDir(dir.path()).filePath(QString::fromLatin1(QTest::currentTestFunction()) + "-" +
                                             QString::fromUtf8(QTest::currentDataTag()).replace(' ', '-') + ".sqlite");
    }

    // One append: the record comes back field for field, numbered; the file is in WAL mode and
    // carries the schema version.
    void appendKeepsEveryField()
    {
        const UpgradeRecord written = Sample();
        QCOMPARE(HistoryStore::Append(database, written), QString());
        QCOMPARE(HistoryStore::Append(database, Sample(QStringLiteral("Meter"))), QString());

        QString warning;
        const QList<UpgradeRecord> records = ReadAll(database, &warning);
        QCOMPARE(warning, QString());
        QCOMPARE(records.size(), 2);
        // Each record is named once, when first written, by a UUID of its own.
        QVERIFY(!QUuid::fromString(records[0].uid).isNull());
        QVERIFY(records[0].uid != records[1].uid);
        UpgradeRecord expected = written;
        expected.id = 1;
        expected.uid = records[0].uid;
        QCOMPARE(Values(records[0]), Values(expected));
        QCOMPARE(records[0].started_at, written.started_at);
        QCOMPARE(records[1].id, qint64(2));

        {
            QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "inspect");
            db.setDatabaseName(database);
            QVERIFY(db.open());
            QSqlQuery query(db);
            QVERIFY(query.exec("PRAGMA user_version") && query.next());
            QCOMPARE(query.value(0).toInt(), HistoryStore::kSchemaVersion);
            QVERIFY(query.exec("PRAGMA journal_mode") && query.next());
            QCOMPARE(query.value(0).toString(), QString("wal"));
        }
        QSqlDatabase::removeDatabase("inspect");
    }

    // The result "current" (nothing was sent: the unit already ran the image's version) is a
    // success too; the stored word tells the three apart.
    void results_data()
    {
        QTest::addColumn<bool>("success");
        QTest::addColumn<bool>("current");
        QTest::addColumn<QString>("stored");
        QTest::newRow("success") << true << false << "success";
        QTest::newRow("failed") << false << false << "failed";
        QTest::newRow("current") << true << true << "current";
    }

    void results()
    {
        QFETCH(bool, success);
        QFETCH(bool, current);
        QFETCH(QString, stored);
        UpgradeRecord record = Sample();
        record.success = success;
        record.current = current;
        QCOMPARE(HistoryStore::Append(database, record), QString());
        QCOMPARE(Scalar(database, "SELECT result FROM upgrades").toString(), stored);
        const QList<UpgradeRecord> records = ReadAll(database);
        QCOMPARE(records.size(), 1);
        QCOMPARE(records[0].success, success);
        QCOMPARE(records[0].current, current);
    }

    // The columns of the first release keep their places; the later ones follow them, so that a
    // reader of the CSV by position reads what it read before.
    void columnsKeepTheirPlaces()
    {
        QStringList first;
        for (const char *name : kSchema1Columns)
            first << QLatin1String(name);
        QCOMPARE(ColumnNames().mid(0, first.size()), first);
        QCOMPARE(ColumnNames().mid(first.size()),
                 (QStringList{"unit_serial", "version_before", "version_after", "uid", "signer_key_id"}));
    }

    // A file of the first release: read as it is (its missing fields empty, never migrated by a
    // reader), then brought to the present schema by the next append, its old record intact.
    void migratesSchema1()
    {
        QCOMPARE(WriteSchema1(database), QString());
        QString warning;
        const QList<UpgradeRecord> old = ReadAll(database, &warning);
        QCOMPARE(warning, QString());
        QCOMPARE(old.size(), 1);
        QCOMPARE(old[0].target, QString("Motor"));
        QCOMPARE(old[0].started_at, QDateTime(QDate(2024, 4, 30), QTime(9, 15, 0, 250), Qt::UTC));
        QCOMPARE(old[0].stopped_by, QString("operator"));
        QVERIFY(!old[0].success && !old[0].current);
        QCOMPARE(old[0].unit_serial, QString(""));
        QCOMPARE(old[0].version_before, QString(""));
        QCOMPARE(old[0].version_after, QString(""));
        HistoryStore::Filter one_unit;
        one_unit.serial = Sample().unit_serial;
        QCOMPARE(HistoryStore::Read(database, one_unit, &warning).size(), 0);
        QCOMPARE(warning, QString());
        QCOMPARE(Scalar(database, "PRAGMA user_version").toInt(), 1);

        UpgradeRecord current = Sample(QStringLiteral("Meter"), Utc(2, 8));
        current.success = true;
        current.current = true;
        current.version_before = current.version_after = QStringLiteral("1.2.3.0");
        QCOMPARE(HistoryStore::Append(database, current), QString());
        QCOMPARE(Scalar(database, "PRAGMA user_version").toInt(), HistoryStore::kSchemaVersion);
        // The record's columns and the outbox's mark.
        QCOMPARE(Scalar(database, "SELECT count(*) FROM pragma_table_info('upgrades')").toInt(),
                 int(RecordColumns().size()) + 1);
        // Empty text, not NULL: the columns are NOT NULL like every other one.
        QCOMPARE(Scalar(database, "SELECT count(*) FROM upgrades WHERE id = 1 AND unit_serial = '' AND "
                                  "version_before = '' AND version_after = ''")
                     .toInt(),
                 1);

        const QList<UpgradeRecord> both = ReadAll(database, &warning);
        QCOMPARE(warning, QString());
        QCOMPARE(both.size(), 2);
        // The old record got a name of its own and waits for the line's server like the new one.
        QVERIFY(!QUuid::fromString(both[0].uid).isNull());
        QVERIFY(both[0].uid != both[1].uid);
        QCOMPARE(HistoryStore::CountWaiting(database, &warning), qint64(2));
        UpgradeRecord named = old[0];
        named.uid = both[0].uid;
        QCOMPARE(Values(both[0]), Values(named));
        current.id = 2;
        current.uid = both[1].uid;
        QCOMPARE(Values(both[1]), Values(current));
        QCOMPARE(HistoryStore::Read(database, one_unit, &warning).size(), 1);
        // Migrated once: the next append finds the present schema.
        QCOMPARE(HistoryStore::Append(database, Sample()), QString());
        QCOMPARE(ReadAll(database).size(), 3);
    }

    // `history --target T --since DATE`: records in start order.
    void filters_data()
    {
        QTest::addColumn<QString>("target");
        QTest::addColumn<QString>("serial");
        QTest::addColumn<QString>("since");
        QTest::addColumn<QList<int>>("ids");
        // Written out of order: 1 Motor 2 May SN-0042, 2 Meter 1 May SN-0043, 3 Motor 3 May
        // SN-0042, 4 Motor 1 May with no serial.
        QTest::newRow("everything, oldest first") << "" << "" << "" << QList<int>{2, 4, 1, 3};
        QTest::newRow("one target") << "Motor" << "" << "" << QList<int>{4, 1, 3};
        QTest::newRow("target names are exact") << "motor" << "" << "" << QList<int>{};
        QTest::newRow("one unit") << "" << "SN-0042" << "" << QList<int>{1, 3};
        QTest::newRow("serials are exact") << "" << "SN-004" << "" << QList<int>{};
        QTest::newRow("serials keep their case") << "" << "sn-0043" << "" << QList<int>{};
        QTest::newRow("unit and target") << "Meter" << "SN-0043" << "" << QList<int>{2};
        QTest::newRow("unit of another target") << "Motor" << "SN-0043" << "" << QList<int>{};
        QTest::newRow("unit and date") << "" << "SN-0042" << "2024-05-03" << QList<int>{3};
        QTest::newRow("since a date") << "" << "" << "2024-05-02" << QList<int>{1, 3};
        QTest::newRow("since a UTC time") << "" << "" << "2024-05-02T12:00:00.123Z" << QList<int>{1, 3};
        QTest::newRow("a millisecond later") << "" << "" << "2024-05-02T12:00:00.124Z" << QList<int>{3};
        QTest::newRow("since a time with an offset") << "" << "" << "2024-05-02T14:00:01+02:00" << QList<int>{3};
        QTest::newRow("target and date") << "Meter" << "" << "2024-05-02" << QList<int>{};
    }

    void filters()
    {
        QFETCH(QString, target);
        QFETCH(QString, serial);
        QFETCH(QString, since);
        QFETCH(QList<int>, ids);
        const struct {
            const char *target;
            int day;
            const char *serial;
        } written[] = {{"Motor", 2, "SN-0042"}, {"Meter", 1, "SN-0043"}, {"Motor", 3, "SN-0042"}, {"Motor", 1, ""}};
        for (const auto &w : written) {
            UpgradeRecord record = Sample(QLatin1String(w.target), Utc(w.day, 12));
            record.unit_serial = QLatin1String(w.serial);
            QCOMPARE(HistoryStore::Append(database, record), QString());
        }

        HistoryStore::Filter filter;
        filter.target = target;
        filter.serial = serial;
        if (!since.isEmpty())
            QVERIFY(HistoryStore::ParseSince(since, filter.since));
        QString warning;
        QList<int> found;
        for (const UpgradeRecord &record : HistoryStore::Read(database, filter, &warning))
            found << int(record.id);
        QCOMPARE(warning, QString());
        QCOMPARE(found, ids);
    }

    void parseSince_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<QDateTime>("since");
        const QDateTime utc = Utc(1, 8, 30);
        QTest::newRow("date: local midnight") << "2024-05-01" << true
                                              << QDateTime(QDate(2024, 5, 1), QTime(0, 0), Qt::LocalTime);
        QTest::newRow("UTC") << "2024-05-01T08:30:00Z" << true << utc;
        QTest::newRow("offset") << "2024-05-01T10:30:00+02:00" << true << utc;
        QTest::newRow("no offset: local") << "2024-05-01T08:30" << true
                                          << QDateTime(QDate(2024, 5, 1), QTime(8, 30), Qt::LocalTime);
        QTest::newRow("blanks around") << " 2024-05-01T08:30:00Z " << true << utc;
        QTest::newRow("a word") << "yesterday" << false << QDateTime();
        QTest::newRow("month 13") << "2024-13-01" << false << QDateTime();
        QTest::newRow("day first") << "01.05.2024" << false << QDateTime();
        QTest::newRow("empty") << "" << false << QDateTime();
    }

    void parseSince()
    {
        QFETCH(QString, text);
        QFETCH(bool, valid);
        QFETCH(QDateTime, since);
        QDateTime parsed;
        QCOMPARE(HistoryStore::ParseSince(text, parsed), valid);
        if (valid)
            QCOMPARE(parsed.toUTC(), since.toUTC());
    }

    // Next to the configuration, unless that folder may not be written; the window and the
    // command share the fallback whatever their program names.
    void location_data()
    {
        QTest::addColumn<bool>("config_folder_writable");
        QTest::addColumn<bool>("has_config");
        QTest::newRow("writable configuration folder") << true << true;
        QTest::newRow("read-only configuration folder") << false << true;
        QTest::newRow("no configuration") << true << false;
    }

    void location()
    {
        QFETCH(bool, config_folder_writable);
        QFETCH(bool, has_config);
        if (!config_folder_writable)
            RUN_AS_NOBODY_WHEN_ROOT();
        QTemporaryDir installed;
        const QString config = QDir(installed.path()).filePath("config.json");
        QFile(config).open(QIODevice::WriteOnly);
        if (!config_folder_writable)
            QFile::setPermissions(installed.path(), QFileDevice::ReadOwner | QFileDevice::ExeOwner);

        const QString location = HistoryStore::Location(has_config ? config : QString());
        const QString data = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
        const QString expected = config_folder_writable && has_config
                                     ? QDir(installed.path()).filePath("upgrade-history.sqlite")
                                     : QDir(data).filePath("upgrader/upgrade-history.sqlite");
        QCOMPARE(location, expected);

        // What one program writes there, another reads from the same place.
        QCOMPARE(HistoryStore::Append(location, Sample()), QString());
        QCOMPARE(ReadAll(HistoryStore::Location(has_config ? config : QString())).size(), 1);
        QFile::setPermissions(installed.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        if (!has_config || !config_folder_writable)
            QFile::remove(location);
    }

    // Where a configuration's history is read and written, from what the account may do there.
    void places_data()
    {
        QTest::addColumn<bool>("has_config");
        QTest::addColumn<bool>("folder_writable");
        QTest::addColumn<bool>("beside_readable");
        QTest::addColumn<QString>("read");  // "beside" the configuration, or the account's "own"
        QTest::addColumn<QString>("write");
        QTest::newRow("writable folder, no history yet") << true << true << false << "beside" << "beside";
        QTest::newRow("writable folder and its history") << true << true << true << "beside" << "beside";
        // SQLite makes its -wal or -journal file beside the database at every write.
        QTest::newRow("read-only folder holding a history") << true << false << true << "beside" << "own";
        QTest::newRow("read-only folder, no history") << true << false << false << "own" << "own";
        QTest::newRow("no configuration") << false << true << true << "own" << "own";
    }

    void places()
    {
        QFETCH(bool, has_config);
        QFETCH(bool, folder_writable);
        QFETCH(bool, beside_readable);
        QFETCH(QString, read);
        QFETCH(QString, write);
        // An absolute path on either system ("/opt/station", "C:/opt/station").
        const QString station = QDir::rootPath() + QStringLiteral("opt/station");
        const QString config = station + QStringLiteral("/config.json");
        const QString data = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
        const QMap<QString, QString> named{{"beside", station + "/upgrade-history.sqlite"},
                                           {"own", QDir(data).filePath("upgrader/upgrade-history.sqlite")}};
        HistoryStore::Access access;
        access.folder_writable = folder_writable;
        access.beside_readable = beside_readable;
        const HistoryStore::Places places = HistoryStore::Choose(has_config ? config : QString(), access);
        QCOMPARE(places.read, named.value(read));
        QCOMPARE(places.write, named.value(write));
    }

    // A station's folder made read-only after its history was written (an installed station):
    // the history there is found and read, and is not written to, not even when the file itself
    // may be written, as SQLite could not make its companion files beside it.
    void readOnlyFolderKeepsItsHistory_data()
    {
        QTest::addColumn<bool>("file_writable");
        QTest::newRow("file read-only too") << false;
        QTest::newRow("file writable") << true;
    }

    void readOnlyFolderKeepsItsHistory()
    {
        QFETCH(bool, file_writable);
        RUN_AS_NOBODY_WHEN_ROOT();
        QTemporaryDir station;
        const QString config = QDir(station.path()).filePath("config.json");
        const QString beside = QDir(station.path()).filePath("upgrade-history.sqlite");
        QVERIFY(QFile(config).open(QIODevice::WriteOnly));
        QCOMPARE(HistoryStore::Append(beside, Sample()), QString());
        const auto read = QFileDevice::ReadOwner | QFileDevice::ReadGroup | QFileDevice::ReadOther;
        const auto enter = QFileDevice::ExeOwner | QFileDevice::ExeGroup | QFileDevice::ExeOther;
        const auto write = QFileDevice::WriteOwner | QFileDevice::WriteGroup | QFileDevice::WriteOther;
        QVERIFY(QFile::setPermissions(beside, file_writable ? read | write : read));
        QVERIFY(QFile::setPermissions(station.path(), read | enter));

        const HistoryStore::Access access = HistoryStore::Probe(config);
        QVERIFY(!access.folder_writable);
        QVERIFY(access.beside_readable);
        QCOMPARE(HistoryStore::ReadLocation(config), beside);
        QString warning;
        const QList<UpgradeRecord> records = ReadAll(beside, &warning);
        QCOMPARE(warning, QString());
        QCOMPARE(records.size(), 1);
        QCOMPARE(records[0].unit_serial, Sample().unit_serial);

        const QByteArray bytes = FileBytes(beside);
        warning = HistoryStore::Append(beside, Sample(), 100);
        QVERIFY2(warning.startsWith("Upgrade history not written to " + beside + ": "), qPrintable(warning));
        QCOMPARE(FileBytes(beside), bytes);
        QCOMPARE(QDir(station.path()).entryList(QDir::Files), (QStringList{"config.json", "upgrade-history.sqlite"}));
        const QString data = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
        QCOMPARE(HistoryStore::Location(config), QDir(data).filePath("upgrader/upgrade-history.sqlite"));
        QVERIFY(QFile::setPermissions(station.path(), read | enter | QFileDevice::WriteOwner));
    }

    // A history made in a folder its group may write (the station's shared folder) belongs to
    // that group, read and write, and so do the files SQLite makes beside it; a private folder's
    // file keeps its maker's group and umask.
#ifdef Q_OS_UNIX
    // Not on Windows: Unix groups and modes (Windows has access lists instead).
    void sharedFolderGivesItsGroup_data()
    {
        QTest::addColumn<int>("folder_mode");
        QTest::addColumn<bool>("shared");
        QTest::addColumn<bool>("as_operator");  // as an operator's account (nobody in "users") under root
        QTest::newRow("group-writable folder") << 0775 << true << false;
        QTest::newRow("setgid folder") << 02775 << true << false;
        QTest::newRow("private folder") << 0755 << false << false;
        // Root's SQLite gives the -wal and -shm files the database's owner and group by itself;
        // an operator's does not.
        QTest::newRow("group-writable folder, an operator") << 0775 << true << true;
        QTest::newRow("private folder, an operator") << 0755 << false << true;
    }

    void sharedFolderGivesItsGroup()
    {
        QFETCH(int, folder_mode);
        QFETCH(bool, shared);
        QFETCH(bool, as_operator);
        if (as_operator)
            RUN_AS_NOBODY_IN_GROUPS_WHEN_ROOT(QStringLiteral("users"));
        const gid_t operators = OtherGroup();
        if (operators == gid_t(-1))
            QSKIP("this account belongs to no group besides its own: no group to share with");
        const QString folder = QDir(dir.path()).filePath(QString::fromLatin1(QTest::currentDataTag()).replace(' ', '-'));
        QVERIFY(QDir().mkpath(folder));
        const QByteArray folder_name = QFile::encodeName(folder);
        QCOMPARE(chown(folder_name.constData(), uid_t(-1), operators), 0);
        QCOMPARE(chmod(folder_name.constData(), mode_t(folder_mode)), 0);
        const mode_t mask = umask(022);  // an operator's usual one: no write for the group
        const QString file = QDir(folder).filePath("upgrade-history.sqlite");
        const QString appended = HistoryStore::Append(file, Sample());
        umask(mask);
        QCOMPARE(appended, QString());

        const struct stat made = Stat(file);
        const bool setgid = folder_mode & S_ISGID;
        QCOMPARE(made.st_gid, shared || setgid ? operators : getegid());
        QCOMPARE(made.st_mode & 07777, shared ? mode_t(0664) : mode_t(0644));

        // While another program holds the file, the -wal and -shm files stay: the ones made
        // meanwhile by the next append belong to the file's group and mode.
        {
            QSqlDatabase holder = QSqlDatabase::addDatabase("QSQLITE", "holder");
            holder.setDatabaseName(file);
            QVERIFY(holder.open());
            QSqlQuery query(holder);
            QVERIFY(query.exec("SELECT count(*) FROM upgrades") && query.next());
            query.finish();
            QCOMPARE(HistoryStore::Append(file, Sample()), QString());
            for (const char *suffix : {"-wal", "-shm"}) {
                const struct stat companion = Stat(file + suffix);
                QVERIFY2(companion.st_mode != 0, suffix);
                QCOMPARE(companion.st_gid, made.st_gid);
                QCOMPARE(companion.st_mode & 07777, made.st_mode & 07777);
            }
        }
        QSqlDatabase::removeDatabase("holder");

        // A reader that is the last one out leaves the -wal and -shm files it made behind, for
        // the next writer: they too belong to the file's group.
        QFile::remove(file + "-wal");
        QFile::remove(file + "-shm");
        QCOMPARE(ReadAll(file).size(), 2);
        for (const char *suffix : {"-wal", "-shm"}) {
            const struct stat companion = Stat(file + suffix);
            QVERIFY2(companion.st_mode != 0, suffix);
            QCOMPARE(companion.st_gid, made.st_gid);
            QCOMPARE(companion.st_mode & 07777, made.st_mode & 07777);
        }
    }

#endif

    // A history that cannot take the record: a warning naming the file and the reason, the file
    // left as it was, and nothing half-written once it can be written again.
    void failures_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("reason");
        QTest::newRow("corrupt file") << "corrupt" << "file is not a database";
        QTest::newRow("locked by another writer") << "locked" << "database is locked";
        QTest::newRow("read-only file") << "read-only" << "attempt to write a readonly database";
        QTest::newRow("a folder in its place") << "folder" << "unable to open database file";
        QTest::newRow("written by a newer release") << "newer" << "written by a newer release (schema 7";
    }

    void failures()
    {
        QFETCH(QString, kind);
        QFETCH(QString, reason);
        if (kind == "read-only")
            RUN_AS_NOBODY_WHEN_ROOT();

        int records_before = 0;
        std::unique_ptr<QSqlDatabase> holder;
        if (kind == "corrupt") {
            QFile file(database);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(QByteArray(8192, '\x5a'));
        } else if (kind == "folder") {
            QVERIFY(QDir().mkpath(database));
        } else {
            QCOMPARE(HistoryStore::Append(database, Sample()), QString());
            records_before = 1;
        }
        if (kind == "read-only")
            QVERIFY(QFile::setPermissions(database, QFileDevice::ReadOwner | QFileDevice::ReadOther));
        if (kind == "newer" || kind == "locked") {
            holder = std::make_unique<QSqlDatabase>(QSqlDatabase::addDatabase("QSQLITE", "other writer"));
            holder->setDatabaseName(database);
            QVERIFY(holder->open());
            QSqlQuery query(*holder);
            QVERIFY(query.exec(kind == "newer" ? "PRAGMA user_version = 7" : "BEGIN IMMEDIATE"));
        }
        const QByteArray bytes = FileBytes(database);

        const QString warning = HistoryStore::Append(database, Sample(), 100);
        QVERIFY2(warning.startsWith("Upgrade history not written to " + QDir::toNativeSeparators(database) + ": "),
                 qPrintable(warning));
        QVERIFY2(warning.contains(reason), qPrintable(warning));
        QCOMPARE(FileBytes(database), bytes);

        if (holder) {
            holder->exec(kind == "newer" ? QStringLiteral("PRAGMA user_version = %1").arg(HistoryStore::kSchemaVersion)
                                         : QStringLiteral("ROLLBACK"));
            holder->close();
            holder.reset();
            QSqlDatabase::removeDatabase("other writer");
        }
        if (kind == "read-only" || kind == "locked" || kind == "newer") {
            // The refused record left no trace, and the file still reads.
            QCOMPARE(ReadAll(database).size(), records_before);
        }
        if (kind == "read-only")
            QFile::setPermissions(database, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
        if (kind == "locked" || kind == "newer") {
            QCOMPARE(HistoryStore::Append(database, Sample()), QString());
            QCOMPARE(ReadAll(database).size(), records_before + 1);
        }
    }

    // A disk that fills up in the middle of a write: a warning, and the records already there stay.
#ifdef Q_OS_UNIX
    // Not on Windows: the full disk is a file size limit (setrlimit), which Windows lacks.
    void fullDisk()
    {
        QCOMPARE(HistoryStore::Append(database, Sample()), QString());
        QProcess child;
        child.start(QCoreApplication::applicationFilePath(),
                    {"--append-limited", database, QString::number(256 * 1024)});
        QVERIFY(child.waitForFinished(kProcessesMs));
        QCOMPARE(child.exitCode(), 0);
        const QString warning = QString::fromUtf8(child.readAllStandardOutput()).trimmed();
        // A file size limit fails the write with EFBIG, which SQLite names an I/O error; a full
        // disk (ENOSPC) reads "database or disk is full". Either way: a warning with the reason.
        QVERIFY2(warning.contains(QRegularExpression("^Upgrade history not written to " +
                                                     QRegularExpression::escape(database) +
                                                     ": (disk I/O error|database or disk is full)")),
                 qPrintable(warning));

        QString read_warning;
        QCOMPARE(ReadAll(database, &read_warning).size(), 1);
        QCOMPARE(read_warning, QString());
        QCOMPARE(HistoryStore::Append(database, Sample()), QString());
        QCOMPARE(ReadAll(database).size(), 2);
    }

#endif

    // The window and command processes of a station write at once: eight processes, fifty records
    // each, all let go together on one new file. Every record arrives, once.
    void eightProcessesAtOnce()
    {
        std::vector<std::unique_ptr<QProcess>> writers;
        for (int w = 0; w < kWriters; ++w) {
            auto child = std::make_unique<QProcess>();
            child->setProcessChannelMode(QProcess::MergedChannels);
            child->start(QCoreApplication::applicationFilePath(),
                         {"--write-records", database, QStringLiteral("writer-%1").arg(w), QString::number(kRecordsEach)});
            QVERIFY(child->waitForStarted());
            writers.push_back(std::move(child));
        }
        for (auto &child : writers) {
            while (!child->canReadLine())
                QVERIFY2(child->waitForReadyRead(kProcessesMs), "a writer never got ready");
            QCOMPARE(child->readLine().trimmed(), QByteArray("ready"));
        }
        // QProcess sends only from an event loop or a wait: each go must be out before any
        // writer is waited for, or the writers would run one after another.
        for (auto &child : writers)
            child->write("go\n");
        for (auto &child : writers)
            QVERIFY(child->waitForBytesWritten(kProcessesMs));
        for (auto &child : writers) {
            QVERIFY(child->waitForFinished(kProcessesMs));
            const QByteArray output = child->readAll();
            QVERIFY2(child->exitStatus() == QProcess::NormalExit && child->exitCode() == 0, output.constData());
        }

        QString warning;
        const QList<UpgradeRecord> records = ReadAll(database, &warning);
        QCOMPARE(warning, QString());
        QCOMPARE(records.size(), kWriters * kRecordsEach);
        QSet<QString> seen;
        for (const UpgradeRecord &record : records)
            seen.insert(record.usb_location + "/" + record.error_text);
        QCOMPARE(seen.size(), kWriters * kRecordsEach);
    }

    // A process open for a whole shift: every use gives its connection and file back, also the
    // failed ones.
#ifdef Q_OS_UNIX
    // Not on Windows: it counts the open files in /proc/self/fd.
    void nothingHeldBetweenUses()
    {
        QCOMPARE(HistoryStore::Append(database, Sample()), QString());  // the driver is loaded now
        const int files = OpenFiles();
        const QString corrupt = database + ".corrupt";
        QFile file(corrupt);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(QByteArray(4096, '\x01'));
        file.close();
        for (int i = 0; i < 20; ++i) {
            QCOMPARE(HistoryStore::Append(database, Sample()), QString());
            QCOMPARE(ReadAll(database).size(), i + 2);
            QVERIFY(!HistoryStore::Append(corrupt, Sample()).isEmpty());
            QString warning;
            ReadAll(corrupt, &warning);
            QVERIFY(!warning.isEmpty());
        }
        QCOMPARE(QSqlDatabase::connectionNames(), QStringList());
        QCOMPARE(OpenFiles(), files);
    }

#endif

    // Without Qt's PostgreSQL driver (a build against a Qt that has none) the line's server is
    // not reached, and the warning names what is missing in the platform's terms.
    void lineServerWithoutItsDriver()
    {
        if (QSqlDatabase::isDriverAvailable(QStringLiteral("QPSQL")))
            QSKIP("Qt's PostgreSQL driver is installed here");
        HistoryServer::Connection server(QStringLiteral("host=127.0.0.1 port=1 dbname=upgrades connect_timeout=2"));
        QList<UpgradeRecord> records;
        QString warning;
        QVERIFY(!server.Read({}, &records, &warning));
#ifdef Q_OS_WIN
        QVERIFY2(warning.contains("Qt's PostgreSQL driver (qsqlpsql) is not part of these programs"), qPrintable(warning));
        QVERIFY2(!warning.contains("Debian"), qPrintable(warning));
#else
        QVERIFY2(warning.contains("(Debian: libqt5sql5-psql)"), qPrintable(warning));
#endif
    }

    // `history --csv` read back by a strict RFC 4180 reader: every field as it was written.
    void csvRoundTrip_data()
    {
        QTest::addColumn<QString>("error_text");
        QTest::newRow("commas") << "Section 0x08004000 holds 10 bytes, the device needs 12, retry";
        QTest::newRow("quotes") << "Firmware of \"Motor A\" doesn't exist!";
        QTest::newRow("line feeds") << "Second verify failed\nTarget go app failed\n";
        QTest::newRow("CR LF and a lone CR") << "first\r\nsecond\rthird";
        QTest::newRow("everything at once") << QString::fromUtf8("\"引号\", comma\n\"\"double\"\"\r\n,");
        QTest::newRow("only a quote") << "\"";
        QTest::newRow("blanks kept") << "  padded  ";
        QTest::newRow("empty") << "";
    }

    void csvRoundTrip()
    {
        QFETCH(QString, error_text);
        UpgradeRecord tricky = Sample();
        tricky.error_text = error_text;
        QCOMPARE(HistoryStore::Append(database, Sample(QStringLiteral("Base"))), QString());
        QCOMPARE(HistoryStore::Append(database, tricky), QString());
        const QList<UpgradeRecord> records = ReadAll(database);
        QCOMPARE(records.size(), 2);
        QCOMPARE(records[1].error_text, error_text);

        QString error;
        const QList<QStringList> rows = ReadCsv(HistoryFormat::Csv(records), &error);
        QVERIFY2(error.isEmpty(), qPrintable(error));
        QCOMPARE(rows.size(), 3);
        QCOMPARE(rows[0], ColumnNames());
        QCOMPARE(rows[1], Values(records[0]));
        QCOMPARE(rows[2], Values(records[1]));
        QCOMPARE(rows[2][ColumnNames().indexOf("error_text")], error_text);
    }

    // JSON lines: one object per line, every column under its name, numbers as numbers.
    void jsonLines()
    {
        UpgradeRecord tricky = Sample();
        tricky.error_text = QString::fromUtf8("line one\n\"two\", 中文\r\n");
        const QList<UpgradeRecord> records{Sample(), tricky};
        const QString text = HistoryFormat::JsonLines(records);
        QVERIFY(text.endsWith('\n'));
        const QStringList lines = text.chopped(1).split('\n');
        QCOMPARE(lines.size(), records.size());
        for (int i = 0; i < lines.size(); ++i) {
            QJsonParseError error;
            const QJsonDocument document = QJsonDocument::fromJson(lines[i].toUtf8(), &error);
            QVERIFY2(document.isObject(), qPrintable(error.errorString()));
            const QJsonObject object = document.object();
            QCOMPARE(object.keys().size(), int(RecordColumns().size()));
            for (const RecordColumn &column : RecordColumns()) {
                const QJsonValue value = object.value(QLatin1String(column.name));
                QCOMPARE(value.isDouble(), column.is_number);
                QCOMPARE(value.toVariant().toString(), column.get(records[i]).toString());
            }
        }
        QVERIFY(lines[0].startsWith("{\"id\":0,\"started_at\":\"2024-05-01T08:00:00.123Z\","));
    }

    // A text cell a spreadsheet would run as a formula is written as text (an apostrophe first,
    // inside quotes); a number, negative or not, stays a number.
    void csvFormulaCells_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("cell");  // as a CSV reader gets it
        QTest::newRow("equals") << "=HYPERLINK(\"http://x\",\"y\")" << "'=HYPERLINK(\"http://x\",\"y\")";
        QTest::newRow("plus") << "+33 612 345" << "'+33 612 345";
        QTest::newRow("minus") << "-2+3" << "'-2+3";
        QTest::newRow("at") << "@SUM(1,2)" << "'@SUM(1,2)";
        QTest::newRow("tab first") << "\t=1+1" << "'\t=1+1";
        QTest::newRow("carriage return first") << "\r=1+1" << "'\r=1+1";
        QTest::newRow("formula signs inside") << "a=b, c+d -e @f" << "a=b, c+d -e @f";
        QTest::newRow("a blank first") << " =1" << " =1";
        QTest::newRow("empty") << "" << "";
    }

    void csvFormulaCells()
    {
        QFETCH(QString, text);
        QFETCH(QString, cell);
        UpgradeRecord record = Sample();
        record.error_text = text;
        record.unit_serial = text;
        record.duration_ms = -1500;  // a clock that went back: still a number
        const QString csv = HistoryFormat::Csv({record});
        QString error;
        const QList<QStringList> rows = ReadCsv(csv, &error);
        QVERIFY2(error.isEmpty(), qPrintable(error));
        QCOMPARE(rows.size(), 2);
        QCOMPARE(rows[1][ColumnNames().indexOf("error_text")], cell);
        QCOMPARE(rows[1][ColumnNames().indexOf("unit_serial")], cell);
        QCOMPARE(rows[1][ColumnNames().indexOf("duration_ms")], QString("-1500"));
        QCOMPARE(rows[1][ColumnNames().indexOf("dev_id")], QString::number(record.dev_id));
        QVERIFY2(csv.contains(",-1500,"), qPrintable(csv));
        if (cell.startsWith('\''))
            QVERIFY2(csv.contains(",\"" + QString(cell).replace("\"", "\"\"") + "\","), qPrintable(csv));
    }

    // The terminal table: one line per record whatever its error text holds, every column
    // starting where its header does, and the columns before the error within 120 characters.
    void table()
    {
        UpgradeRecord ok = Sample(QStringLiteral("Base"));
        ok.success = true;
        ok.stopped_by.clear();
        ok.error_text.clear();
        ok.version_after = QStringLiteral("1.2.3.0");
        UpgradeRecord stopped = Sample(QStringLiteral("Steering"));
        stopped.error_text = QStringLiteral("USB connection lost!\n\nThe device stopped answering\n");
        stopped.version_before = QLatin1String(UpgradeRecord::kNoAnswer);
        stopped.version_after.clear();
        UpgradeRecord current = Sample(QStringLiteral("Meter"));
        current.success = current.current = true;
        current.stopped_by.clear();
        current.error_text.clear();
        current.version_after = current.version_before = QStringLiteral("1.2.3.0");
        UpgradeRecord refused = Sample(QStringLiteral("Pedals"));
        refused.stopped_by.clear();
        refused.error_text = QStringLiteral("Hardware version PEDAL-HW-Z matches no variant");
        refused.unit_serial.clear();
        refused.version_before.clear();
        refused.version_after.clear();

        const QStringList lines = HistoryFormat::Table({ok, stopped, current, refused}).split('\n');
        QCOMPARE(lines.size(), 6);
        QCOMPARE(lines[5], QString());
        const QString header = lines[0];
        const int serial = header.indexOf("Serial");
        const int versions = header.indexOf("Before -> after");
        const int result = header.indexOf("Result");
        const int error = header.indexOf("Error");
        QVERIFY(serial > 0 && versions > serial && result > versions && error > result);
        QVERIFY2(error <= 120, qPrintable(header));
        QVERIFY(lines[1].mid(serial).startsWith("0001A3F29C7E  "));
        QVERIFY(lines[1].mid(versions).startsWith("1.2.2.0 -> 1.2.3.0  1.2.3  success  "));
        QVERIFY(lines[2].mid(versions).startsWith("no answer -> -  "));
        QVERIFY(lines[2].mid(result).startsWith("failed (operator)  "));
        QVERIFY(lines[3].mid(versions).startsWith("1.2.3.0 -> 1.2.3.0  "));
        QVERIFY(lines[3].mid(result).startsWith("current  "));
        QCOMPARE(lines[4].mid(serial, versions - serial).trimmed(), QString());
        QCOMPARE(lines[4].mid(versions, result - versions).trimmed(), QString("1.2.3"));  // only the image's
        QCOMPARE(lines[2].mid(error), QString("USB connection lost! / The device stopped answering"));
        QCOMPARE(lines[1].size(), error - 2);  // no error: the line ends before the column
        QVERIFY(lines[1].contains(" 41.9 s ") && lines[1].contains(" operator7"));
        QVERIFY(!lines[1].contains("station-3"));
    }
};

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc == 5 && std::strcmp(argv[1], "--write-records") == 0)
        return WriteRecords(QString::fromLocal8Bit(argv[2]), QString::fromLocal8Bit(argv[3]), std::atoi(argv[4]));
#ifdef Q_OS_UNIX
    if (argc == 4 && std::strcmp(argv[1], "--append-limited") == 0)
        return AppendLimited(QString::fromLocal8Bit(argv[2]), std::atoll(argv[3]));
#endif
    TestHistory test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_history.moc"
