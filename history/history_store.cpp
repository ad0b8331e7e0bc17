#include "history_store.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QStringList>
#include <QUrl>
#include <QUuid>

#include "history_log.h"

#include <atomic>
#include <functional>

#ifdef Q_OS_UNIX
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#endif

#ifdef Q_OS_WIN
// Without it, QFileInfo::isWritable on Windows only looks at the read-only attribute, which an
// installed program's folder does not carry.
extern Q_CORE_EXPORT int qt_ntfs_permission_lookup;
#endif

namespace {

constexpr char kDriver[] = "QSQLITE";
constexpr char kTable[] = "upgrades";
// The outbox: 0 while a record waits for the line's server, 1 once the server holds it. Not a
// fact of the upgrade, so not one of the record's columns.
constexpr char kSent[] = "sent";
// Below the data folder: the same for the window and the command, whatever their program names.
constexpr char kDataSubfolder[] = "upgrader";

// One connection for one use: a name of its own (connections are kept per name, process-wide,
// and used by one thread only), closed and removed when it goes out of scope.
class Connection {
public:
    Connection(const QString &path, const QString &options) : name(NextName())
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QLatin1String(kDriver), name);
        db.setDatabaseName(path);
        db.setConnectOptions(options);
        db.open();
    }
    ~Connection()
    {
        {
            QSqlDatabase db = QSqlDatabase::database(name, false);
            db.close();
        }
        // Every handle on the connection is gone by now, so removal releases the file.
        QSqlDatabase::removeDatabase(name);
    }
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;

    QSqlDatabase Db() const { return QSqlDatabase::database(name, false); }

private:
    static QString NextName()
    {
        static std::atomic<quint64> made{0};
        return QStringLiteral("upgrade-history-%1").arg(++made);
    }
    const QString name;
};

QString Reason(const QSqlError &error)
{
    const QString text = error.databaseText().isEmpty() ? error.driverText() : error.databaseText();
    return text.isEmpty() ? QStringLiteral("unknown error") : text;
}

QString WriteWarning(const QString &database, const QString &reason)
{
    return QStringLiteral("Upgrade history not written to %1: %2").arg(QDir::toNativeSeparators(database), reason);
}

QString ReadWarning(const QString &database, const QString &reason)
{
    return QStringLiteral("Upgrade history not readable at %1: %2").arg(QDir::toNativeSeparators(database), reason);
}

QString BusyOption(int busy_timeout_ms)
{
    return QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(busy_timeout_ms);
}

QString CreateStatement()
{
    QStringList columns;
    for (const RecordColumn &column : RecordColumns()) {
        if (QLatin1String(column.name) == QLatin1String("id"))
            columns << QStringLiteral("id INTEGER PRIMARY KEY AUTOINCREMENT");
        else
            columns << QStringLiteral("\"%1\" %2 NOT NULL").arg(QLatin1String(column.name),
                                                              column.is_number ? "INTEGER" : "TEXT");
    }
    columns << QStringLiteral("%1 INTEGER NOT NULL DEFAULT 0").arg(QLatin1String(kSent));
    return QStringLiteral("CREATE TABLE IF NOT EXISTS %1 (%2)").arg(QLatin1String(kTable), columns.join(", "));
}

// Runs the statements of one step; false with *reason at the first that fails.
bool Exec(QSqlQuery &query, const QStringList &statements, QString *reason)
{
    for (const QString &statement : statements) {
        if (!query.exec(statement)) {
            *reason = Reason(query.lastError());
            return false;
        }
    }
    return true;
}

// The names of the table's columns in this file (an older schema has fewer).
bool ReadColumnNames(QSqlQuery &query, QSet<QString> &names, QString *reason)
{
    if (!query.exec(QStringLiteral("PRAGMA table_info(%1)").arg(QLatin1String(kTable)))) {
        *reason = Reason(query.lastError());
        return false;
    }
    while (query.next())
        names.insert(query.value(1).toString());
    query.finish();
    return true;
}

// Adds the columns of names the table lacks (a file a later release took back may hold some).
bool AddMissingColumns(QSqlQuery &query, const QStringList &definitions, QString *reason)
{
    QSet<QString> present;
    if (!ReadColumnNames(query, present, reason))
        return false;
    QStringList statements;
    for (const QString &definition : definitions) {
        const QString name = definition.section(QLatin1Char(' '), 0, 0);
        if (!present.contains(name))
            statements << QStringLiteral("ALTER TABLE %1 ADD COLUMN \"%2\" %3")
                              .arg(QLatin1String(kTable), name, definition.section(QLatin1Char(' '), 1));
    }
    return Exec(query, statements, reason);
}

// A version 4 UUID in SQL, for the records written before records had one.
constexpr char kSqlUuid[] =
    "lower(hex(randomblob(4))) || '-' || lower(hex(randomblob(2))) || '-4' || substr(lower(hex(randomblob(2))), 2)"
    " || '-' || substr('89ab', 1 + abs(random() % 4), 1) || substr(lower(hex(randomblob(2))), 2) || '-'"
    " || lower(hex(randomblob(6)))";

// Brings a database of schema `from` to kSchemaVersion, inside the caller's transaction. Each
// release that changes the layout adds its step here, so files of every older release still
// take new records. A new file gets the present table at once; the later steps find nothing
// missing in it.
bool Migrate(QSqlQuery &query, int from, QString *reason)
{
    if (from < 1) {
        if (!Exec(query,
                  {CreateStatement(),
                   QStringLiteral("CREATE INDEX IF NOT EXISTS upgrades_by_time ON %1 (started_at)").arg(kTable),
                   QStringLiteral("CREATE INDEX IF NOT EXISTS upgrades_by_target ON %1 (target, started_at)").arg(kTable)},
                  reason))
            return false;
    } else if (from < 2) {
        // 2 added who the unit is and what it ran before and after. Older records hold empty
        // text there: the facts were not asked for then.
        if (!AddMissingColumns(query,
                               {QStringLiteral("unit_serial TEXT NOT NULL DEFAULT ''"),
                                QStringLiteral("version_before TEXT NOT NULL DEFAULT ''"),
                                QStringLiteral("version_after TEXT NOT NULL DEFAULT ''")},
                               reason))
            return false;
    }
    if (from < 3) {
        // 3 added the outbox to the line's server: every record a name of its own, and whether
        // the server holds it. Records of older releases wait for it too.
        if (!AddMissingColumns(query,
                               {QStringLiteral("uid TEXT NOT NULL DEFAULT ''"),
                                QStringLiteral("%1 INTEGER NOT NULL DEFAULT 0").arg(QLatin1String(kSent))},
                               reason) ||
            !Exec(query,
                  {QStringLiteral("UPDATE %1 SET uid = %2 WHERE uid = ''").arg(QLatin1String(kTable), QLatin1String(kSqlUuid)),
                   QStringLiteral("CREATE UNIQUE INDEX IF NOT EXISTS upgrades_by_uid ON %1 (uid)").arg(kTable),
                   QStringLiteral("CREATE INDEX IF NOT EXISTS upgrades_waiting ON %1 (%2, id)").arg(kTable, kSent)},
                  reason))
            return false;
    }
    // 4 added the key that signed the image. Older records read as unsigned: no key was asked then.
    if (from < 4 && !AddMissingColumns(query, {QStringLiteral("signer_key_id TEXT NOT NULL DEFAULT ''")}, reason))
        return false;
    return Exec(query, {QStringLiteral("PRAGMA user_version = %1").arg(HistoryStore::kSchemaVersion)}, reason);
}

// The record's columns in their order, for a SELECT on a file of the present schema.
QString ColumnList()
{
    QStringList names;
    for (const RecordColumn &column : RecordColumns())
        names << QStringLiteral("\"%1\"").arg(QLatin1String(column.name));
    return names.join(", ");
}

// The record at the query's row, its columns in RecordColumns' order.
UpgradeRecord RecordAt(const QSqlQuery &query)
{
    UpgradeRecord record;
    const auto &columns = RecordColumns();
    for (size_t i = 0; i < columns.size(); ++i)
        columns[i].set(record, query.value(int(i)));
    return record;
}

// A column in a query: itself where the file has it, otherwise its empty value, so that a filter
// on a field an older file never held matches only the empty value.
QString ColumnExpression(const char *name, bool is_number, const QSet<QString> &present)
{
    if (present.contains(QLatin1String(name)))
        return QStringLiteral("\"%1\"").arg(QLatin1String(name));
    return is_number ? QStringLiteral("0") : QStringLiteral("''");
}

#ifdef Q_OS_UNIX
// The mode a history made in a shared folder takes: the station's operators (the folder's group)
// read and write it, everyone else may read it.
constexpr mode_t kSharedMode = 0664;

void GiveToGroup(const QString &path, gid_t gid, mode_t mode)
{
    const QByteArray name = QFile::encodeName(path);
    if (chown(name.constData(), uid_t(-1), gid) != 0 || chmod(name.constData(), mode) != 0) {
        const int error = errno;
        const struct group *entry = getgrgid(gid);
        qCWarning(lcHistory).noquote() << QStringLiteral("Upgrade history %1 not shared with the group %2: %3")
                                               .arg(QDir::toNativeSeparators(path),
                                                    entry ? QString::fromLocal8Bit(entry->gr_name)
                                                          : QString::number(gid),
                                                    QString::fromLocal8Bit(std::strerror(error)));
    }
}

// A history made in a folder its group may write belongs to the station's operators, not to
// whoever wrote the first record: the file (when this process made it) takes the folder's group
// and kSharedMode, done explicitly because only a setgid folder hands down its group by itself and
// the creator's umask usually withholds the group's write. SQLite makes the -wal, -shm and
// -journal files with the database's mode but the maker's own group; the ones this process made
// (also as a reader) take the database's group. A private folder (the user's data folder) is
// left alone.
void ShareWithFolderGroup(const QString &database, bool created)
{
    struct stat folder;
    const QByteArray folder_name = QFile::encodeName(QFileInfo(database).absolutePath());
    if (stat(folder_name.constData(), &folder) != 0 || !(folder.st_mode & S_IWGRP))
        return;
    if (created)
        GiveToGroup(database, folder.st_gid, kSharedMode);
    struct stat file;
    if (stat(QFile::encodeName(database).constData(), &file) != 0)
        return;
    for (const char *suffix : {"-wal", "-shm", "-journal"}) {
        const QString companion = database + QLatin1String(suffix);
        struct stat made;
        if (stat(QFile::encodeName(companion).constData(), &made) != 0 || made.st_uid != geteuid())
            continue;
        if (made.st_gid != file.st_gid || (made.st_mode & 07777) != (file.st_mode & 07777))
            GiveToGroup(companion, file.st_gid, file.st_mode & 07777);
    }
}
#else
// Windows: files take the folder's access rules by inheritance.
void ShareWithFolderGroup(const QString &, bool) {}
#endif

bool ReadVersion(QSqlQuery &query, int &version, QString *reason)
{
    if (!query.exec(QStringLiteral("PRAGMA user_version")) || !query.next()) {
        *reason = Reason(query.lastError());
        return false;
    }
    version = query.value(0).toInt();
    return true;
}

// Runs body in one write transaction on db, with the file brought to the present schema first.
// Empty when it committed; otherwise why not (nothing of it is kept).
QString InWriteTransaction(QSqlDatabase db, const std::function<bool(QSqlQuery &, QString *)> &body)
{
    QString reason;
    QSqlQuery query(db);
    // Write-ahead logging: readers never block the writer nor the writer readers, and the mode
    // stays with the file. The switch needs the file to itself for a moment and does not wait
    // for it, so when other writers hold it (several processes creating the file at once) this
    // record goes in the present mode and a later append switches. A file that cannot be
    // written at all says why at the transaction below, in plainer words.
    if (query.exec(QStringLiteral("PRAGMA journal_mode")) && query.next() &&
        query.value(0).toString().compare(QLatin1String("wal"), Qt::CaseInsensitive) != 0) {
        query.exec(QStringLiteral("PRAGMA journal_mode = WAL"));
    }
    query.finish();

    // IMMEDIATE takes the write lock at the start, under the busy time-out: a transaction that
    // only asked for it on its first write could fail at once when another writer got in first.
    if (!Exec(query, {QStringLiteral("BEGIN IMMEDIATE")}, &reason))
        return reason;
    auto rollback = [&] {
        query.exec(QStringLiteral("ROLLBACK"));
        return reason;
    };

    int version = 0;
    if (!ReadVersion(query, version, &reason))
        return rollback();
    if (version > HistoryStore::kSchemaVersion) {
        reason = QStringLiteral("the file was written by a newer release (schema %1, this release knows %2)")
                     .arg(version)
                     .arg(HistoryStore::kSchemaVersion);
        return rollback();
    }
    if (version < HistoryStore::kSchemaVersion && !Migrate(query, version, &reason))
        return rollback();
    if (!body(query, &reason))
        return rollback();
    if (!Exec(query, {QStringLiteral("COMMIT")}, &reason))
        return rollback();
    return QString();
}

bool Insert(QSqlQuery &query, const UpgradeRecord &record, QString *reason)
{
    QStringList names;
    QStringList placeholders;
    for (const RecordColumn &column : RecordColumns()) {
        if (QLatin1String(column.name) == QLatin1String("id"))
            continue;  // the database numbers the records
        names << QStringLiteral("\"%1\"").arg(QLatin1String(column.name));
        placeholders << QStringLiteral("?");
    }
    if (!query.prepare(QStringLiteral("INSERT INTO %1 (%2) VALUES (%3)")
                           .arg(QLatin1String(kTable), names.join(", "), placeholders.join(", ")))) {
        *reason = Reason(query.lastError());
        return false;
    }
    for (const RecordColumn &column : RecordColumns()) {
        if (QLatin1String(column.name) != QLatin1String("id"))
            query.addBindValue(column.get(record));
    }
    if (!query.exec()) {
        *reason = Reason(query.lastError());
        return false;
    }
    return true;
}

// Opens database for writing and runs body in a write transaction (see InWriteTransaction);
// empty, or the warning naming the file. created: the file is new, so it is shared first.
QString Write(const QString &database, int busy_timeout_ms, const std::function<bool(QSqlQuery &, QString *)> &body)
{
    if (!QSqlDatabase::isDriverAvailable(QLatin1String(kDriver)))
        return WriteWarning(database, QStringLiteral("Qt's SQLite driver is not installed"));
    const QString folder = QFileInfo(database).absolutePath();
    if (!QDir().mkpath(folder))
        return WriteWarning(database, QStringLiteral("cannot create the folder"));

    const bool created = !QFileInfo::exists(database);
    const Connection connection(database, BusyOption(busy_timeout_ms));
    const QSqlDatabase db = connection.Db();
    if (!db.isOpen())
        return WriteWarning(database, Reason(db.lastError()));
    // Opening made the file: it is shared before the first record goes in, and the companions the
    // write made are shared while this connection still holds them (its close removes them).
    if (created)
        ShareWithFolderGroup(database, true);
    const QString reason = InWriteTransaction(db, body);
    ShareWithFolderGroup(database, false);
    return reason.isEmpty() ? QString() : WriteWarning(database, reason);
}

// Whether new files may be made in folder by this account.
bool FolderWritable(const QString &folder)
{
#ifdef Q_OS_WIN
    ++qt_ntfs_permission_lookup;
#endif
    const bool writable = QFileInfo(folder).isWritable();
#ifdef Q_OS_WIN
    --qt_ntfs_permission_lookup;
#endif
    return writable;
}

// Reads the records that pass filter into records; empty, or why (not) all could be read.
// immutable: the file is opened as one that nothing changes meanwhile (no locks, no -shm).
QString ReadWith(const QString &database, bool immutable, const HistoryStore::Filter &filter,
                 QList<UpgradeRecord> &records)
{
    QString options = QStringLiteral("QSQLITE_OPEN_READONLY;") + BusyOption(HistoryStore::kBusyTimeoutMs);
    QString name = database;
    if (immutable) {
        options += QStringLiteral(";QSQLITE_OPEN_URI");
        name = QUrl::fromLocalFile(QFileInfo(database).absoluteFilePath()).toString(QUrl::FullyEncoded) +
               QStringLiteral("?immutable=1");
    }
    const Connection connection(name, options);
    const QSqlDatabase db = connection.Db();
    if (!db.isOpen())
        return Reason(db.lastError());
    QSqlQuery query(db);
    int version = 0;
    QString reason;
    if (!ReadVersion(query, version, &reason))
        return reason;
    // A reader makes the -shm and -wal files too, and as the last one out leaves them (it may not
    // fold the log back): in a shared folder they must stay writable for the next writer.
    if (!immutable)
        ShareWithFolderGroup(database, false);
    if (version == 0)
        return QString();  // created, but no record was ever committed to it

    // Named columns: a newer release's extra columns are not ours to show, and are harmless; an
    // older release's file lacks the later ones.
    QSet<QString> present;
    if (!ReadColumnNames(query, present, &reason))
        return reason;
    QStringList names;
    for (const RecordColumn &column : RecordColumns())
        names << ColumnExpression(column.name, column.is_number, present);
    QString sql = QStringLiteral("SELECT %1 FROM %2 WHERE 1").arg(names.join(", "), QLatin1String(kTable));
    if (!filter.target.isEmpty())
        sql += QStringLiteral(" AND target = :target");
    if (!filter.serial.isEmpty())
        sql += QStringLiteral(" AND %1 = :serial").arg(ColumnExpression("unit_serial", false, present));
    if (filter.since.isValid())
        sql += QStringLiteral(" AND started_at >= :since");
    if (filter.until.isValid())
        sql += QStringLiteral(" AND started_at < :until");
    sql += QStringLiteral(" ORDER BY started_at, id");
    if (!query.prepare(sql))
        return Reason(query.lastError());
    if (!filter.target.isEmpty())
        query.bindValue(QStringLiteral(":target"), filter.target);
    if (!filter.serial.isEmpty())
        query.bindValue(QStringLiteral(":serial"), filter.serial);
    if (filter.since.isValid())
        query.bindValue(QStringLiteral(":since"), StoredTime(filter.since));
    if (filter.until.isValid())
        query.bindValue(QStringLiteral(":until"), StoredTime(filter.until));
    if (!query.exec())
        return Reason(query.lastError());
    while (query.next())
        records << RecordAt(query);
    return query.lastError().isValid() ? Reason(query.lastError()) : QString();
}

}  // namespace

namespace HistoryStore {

Places Choose(const QString &config_path, const Access &access)
{
    const QString data = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    const QString own = QDir(data).filePath(QStringLiteral("%1/%2").arg(kDataSubfolder, kFileName));
    if (config_path.isEmpty())
        return {own, own};
    const QString beside = QDir(QFileInfo(config_path).absolutePath()).filePath(QLatin1String(kFileName));
    Places places;
    places.write = access.folder_writable ? beside : own;
    places.read = access.beside_readable ? beside : places.write;
    return places;
}

Access Probe(const QString &config_path)
{
    Access access;
    if (config_path.isEmpty())
        return access;
    const QString folder = QFileInfo(config_path).absolutePath();
    const QFileInfo beside(QDir(folder).filePath(QLatin1String(kFileName)));
    access.folder_writable = FolderWritable(folder);
#ifdef Q_OS_WIN
    ++qt_ntfs_permission_lookup;
#endif
    access.beside_readable = beside.isFile() && beside.isReadable();
#ifdef Q_OS_WIN
    --qt_ntfs_permission_lookup;
#endif
    return access;
}

QString Location(const QString &config_path)
{
    return Choose(config_path, Probe(config_path)).write;
}

QString ReadLocation(const QString &config_path)
{
    return Choose(config_path, Probe(config_path)).read;
}

QString Append(const QString &database, const UpgradeRecord &record, int busy_timeout_ms)
{
    UpgradeRecord named = record;
    if (named.uid.isEmpty())
        named.uid = QUuid::createUuid().toString(QUuid::WithoutBraces);
    return Write(database, busy_timeout_ms,
                 [&named](QSqlQuery &query, QString *reason) { return Insert(query, named, reason); });
}

QList<UpgradeRecord> ReadWaiting(const QString &database, int limit, qint64 after_id, QString *warning)
{
    QList<UpgradeRecord> records;
    warning->clear();
    if (!QFileInfo::exists(database))
        return records;
    // In a write transaction: a file of an older release is brought to the schema that names
    // its records first, and the records read are the ones MarkSent will find.
    const QString names = ColumnList();
    *warning = Write(database, kBusyTimeoutMs, [&](QSqlQuery &query, QString *reason) {
        if (!query.exec(QStringLiteral("SELECT %1 FROM %2 WHERE %3 = 0 AND id > %4 ORDER BY id LIMIT %5")
                            .arg(names, QLatin1String(kTable), QLatin1String(kSent))
                            .arg(after_id)
                            .arg(limit))) {
            *reason = Reason(query.lastError());
            return false;
        }
        while (query.next())
            records << RecordAt(query);
        query.finish();
        return true;
    });
    if (!warning->isEmpty())
        records.clear();
    return records;
}

qint64 CountWaiting(const QString &database, QString *warning)
{
    warning->clear();
    if (!QFileInfo::exists(database))
        return 0;
    qint64 count = -1;
    *warning = Write(database, kBusyTimeoutMs, [&](QSqlQuery &query, QString *reason) {
        if (!query.exec(QStringLiteral("SELECT count(*) FROM %1 WHERE %2 = 0").arg(kTable, kSent)) || !query.next()) {
            *reason = Reason(query.lastError());
            return false;
        }
        count = query.value(0).toLongLong();
        query.finish();
        return true;
    });
    return warning->isEmpty() ? count : -1;
}

QString MarkSent(const QString &database, const QList<qint64> &ids)
{
    if (ids.isEmpty())
        return QString();
    return Write(database, kBusyTimeoutMs, [&ids](QSqlQuery &query, QString *reason) {
        QStringList numbers;
        for (qint64 id : ids)
            numbers << QString::number(id);
        if (!query.exec(QStringLiteral("UPDATE %1 SET %2 = 1 WHERE id IN (%3)")
                            .arg(QLatin1String(kTable), QLatin1String(kSent), numbers.join(QLatin1Char(','))))) {
            *reason = Reason(query.lastError());
            return false;
        }
        return true;
    });
}

QList<UpgradeRecord> Read(const QString &database, const Filter &filter, QString *warning)
{
    QList<UpgradeRecord> records;
    warning->clear();
    if (!QFileInfo::exists(database))
        return records;
    if (!QSqlDatabase::isDriverAvailable(QLatin1String(kDriver))) {
        *warning = ReadWarning(database, QStringLiteral("Qt's SQLite driver is not installed"));
        return records;
    }
    QString reason = ReadWith(database, false, filter, records);
    if (!reason.isEmpty() && records.isEmpty() && !FolderWritable(QFileInfo(database).absolutePath()) &&
        QFileInfo(database + QStringLiteral("-wal")).size() == 0) {
        // A file in write-ahead-log mode is read through its -shm file, which SQLite cannot make
        // in a folder this account may not write (an installed station's folder). With no log
        // beside it every record is in the file itself and no writer has it open, so it is read
        // as a file that does not change.
        QList<UpgradeRecord> again;
        if (ReadWith(database, true, filter, again).isEmpty()) {
            records = again;
            reason.clear();
        }
    }
    if (!reason.isEmpty())
        *warning = ReadWarning(database, reason);
    return records;
}

bool ParseSince(const QString &text, QDateTime &since)
{
    const QString trimmed = text.trimmed();
    const QDate date = QDate::fromString(trimmed, Qt::ISODate);
    if (date.isValid() && trimmed.size() == 10) {
        since = QDateTime(date, QTime(0, 0), Qt::LocalTime);
        return true;
    }
    QDateTime time = QDateTime::fromString(trimmed, Qt::ISODateWithMs);
    if (!time.isValid())
        return false;
    since = time;  // without an offset Qt reads it as local time
    return true;
}

bool ParseUntil(const QString &text, QDateTime &until)
{
    const QString trimmed = text.trimmed();
    const QDate date = QDate::fromString(trimmed, Qt::ISODate);
    if (date.isValid() && trimmed.size() == 10) {
        until = QDateTime(date.addDays(1), QTime(0, 0), Qt::LocalTime);
        return true;
    }
    return ParseSince(trimmed, until);
}

QString CurrentUser()
{
#ifdef Q_OS_UNIX
    if (const passwd *account = getpwuid(geteuid()))
        return QString::fromLocal8Bit(account->pw_name);
    return QString::number(geteuid());
#else
    return qEnvironmentVariable("USERNAME");
#endif
}

}  // namespace HistoryStore
