#include "history_store.h"

#include <QDir>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QStringList>

#include <atomic>

#ifdef Q_OS_UNIX
#include <pwd.h>
#include <unistd.h>
#endif

#ifdef Q_OS_WIN
// Without it, QFileInfo::isWritable on Windows only looks at the read-only attribute, which an
// installed program's folder does not carry.
extern Q_CORE_EXPORT int qt_ntfs_permission_lookup;
#endif

namespace {

constexpr char kDriver[] = "QSQLITE";
constexpr char kTable[] = "upgrades";
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

// Brings a database of schema `from` to kSchemaVersion, inside the caller's transaction. Each
// release that changes the layout adds its step here, so files of every older release still
// take new records.
bool Migrate(QSqlQuery &query, int from, QString *reason)
{
    if (from < 1) {
        if (!Exec(query,
                  {CreateStatement(),
                   QStringLiteral("CREATE INDEX IF NOT EXISTS upgrades_by_time ON %1 (started_at)").arg(kTable),
                   QStringLiteral("CREATE INDEX IF NOT EXISTS upgrades_by_target ON %1 (target, started_at)").arg(kTable)},
                  reason))
            return false;
    }
    return Exec(query, {QStringLiteral("PRAGMA user_version = %1").arg(HistoryStore::kSchemaVersion)}, reason);
}

bool ReadVersion(QSqlQuery &query, int &version, QString *reason)
{
    if (!query.exec(QStringLiteral("PRAGMA user_version")) || !query.next()) {
        *reason = Reason(query.lastError());
        return false;
    }
    version = query.value(0).toInt();
    return true;
}

QString AppendWith(QSqlDatabase db, const UpgradeRecord &record)
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
        reason = Reason(query.lastError());
        return rollback();
    }
    for (const RecordColumn &column : RecordColumns()) {
        if (QLatin1String(column.name) != QLatin1String("id"))
            query.addBindValue(column.get(record));
    }
    if (!query.exec()) {
        reason = Reason(query.lastError());
        return rollback();
    }
    if (!Exec(query, {QStringLiteral("COMMIT")}, &reason))
        return rollback();
    return QString();
}

}  // namespace

namespace HistoryStore {

QString Location(const QString &config_path)
{
    if (!config_path.isEmpty()) {
        const QString folder = QFileInfo(config_path).absolutePath();
#ifdef Q_OS_WIN
        ++qt_ntfs_permission_lookup;
#endif
        const bool writable = QFileInfo(folder).isWritable();
#ifdef Q_OS_WIN
        --qt_ntfs_permission_lookup;
#endif
        if (writable)
            return QDir(folder).filePath(QLatin1String(kFileName));
    }
    const QString data = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    return QDir(data).filePath(QStringLiteral("%1/%2").arg(kDataSubfolder, kFileName));
}

QString Append(const QString &database, const UpgradeRecord &record, int busy_timeout_ms)
{
    if (!QSqlDatabase::isDriverAvailable(QLatin1String(kDriver)))
        return WriteWarning(database, QStringLiteral("Qt's SQLite driver is not installed"));
    const QString folder = QFileInfo(database).absolutePath();
    if (!QDir().mkpath(folder))
        return WriteWarning(database, QStringLiteral("cannot create the folder"));

    const Connection connection(database, BusyOption(busy_timeout_ms));
    const QSqlDatabase db = connection.Db();
    if (!db.isOpen())
        return WriteWarning(database, Reason(db.lastError()));
    const QString reason = AppendWith(db, record);
    return reason.isEmpty() ? QString() : WriteWarning(database, reason);
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

    const Connection connection(database,
                                QStringLiteral("QSQLITE_OPEN_READONLY;") + BusyOption(kBusyTimeoutMs));
    const QSqlDatabase db = connection.Db();
    if (!db.isOpen()) {
        *warning = ReadWarning(database, Reason(db.lastError()));
        return records;
    }
    QSqlQuery query(db);
    int version = 0;
    QString reason;
    if (!ReadVersion(query, version, &reason)) {
        *warning = ReadWarning(database, reason);
        return records;
    }
    if (version == 0)
        return records;  // created, but no record was ever committed to it

    // Named columns: a newer release's extra columns are not ours to show, and are harmless.
    QStringList names;
    for (const RecordColumn &column : RecordColumns())
        names << QStringLiteral("\"%1\"").arg(QLatin1String(column.name));
    QString sql = QStringLiteral("SELECT %1 FROM %2 WHERE 1").arg(names.join(", "), QLatin1String(kTable));
    if (!filter.target.isEmpty())
        sql += QStringLiteral(" AND target = :target");
    if (filter.since.isValid())
        sql += QStringLiteral(" AND started_at >= :since");
    sql += QStringLiteral(" ORDER BY started_at, id");
    if (!query.prepare(sql)) {
        *warning = ReadWarning(database, Reason(query.lastError()));
        return records;
    }
    if (!filter.target.isEmpty())
        query.bindValue(QStringLiteral(":target"), filter.target);
    if (filter.since.isValid())
        query.bindValue(QStringLiteral(":since"), StoredTime(filter.since));
    if (!query.exec()) {
        *warning = ReadWarning(database, Reason(query.lastError()));
        return records;
    }
    const auto &columns = RecordColumns();
    while (query.next()) {
        UpgradeRecord record;
        for (size_t i = 0; i < columns.size(); ++i)
            columns[i].set(record, query.value(int(i)));
        records << record;
    }
    if (query.lastError().isValid())
        *warning = ReadWarning(database, Reason(query.lastError()));
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
