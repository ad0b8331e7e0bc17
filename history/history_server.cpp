#include "history_server.h"

#include <QHash>
#include <QPair>
#include <QSqlDatabase>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QStringList>
#include <QTimeZone>

#include <libpq-fe.h>

#include <atomic>
#include <functional>

#ifdef Q_OS_WIN
#include <winsock2.h>
#else
#include <sys/socket.h>
#endif

namespace HistoryServer {

namespace {

constexpr char kDriver[] = "QPSQL";
constexpr char kTable[] = "upgrades";
constexpr char kSchemaTable[] = "upgrader_schema";
// Serialises the creation of the schema among stations that meet an empty server at once.
constexpr qint64 kSchemaLock = 0x75706772;  // "upgr"

// libpq's text on one line (it spreads a reason and its hint over several), without the empty
// "()" the driver adds where the server gave no error code.
QString Reason(const QSqlError &error)
{
    QString text = (error.databaseText().trimmed().isEmpty() ? error.driverText() : error.databaseText()).simplified();
    if (text.endsWith(QLatin1String(" ()")) || text == QLatin1String("()"))
        text.chop(text.size() == 2 ? 2 : 3);
    return text.isEmpty() ? QStringLiteral("unknown error") : text;
}

// A value in libpq's key=value form.
QString Quoted(const QString &value)
{
    QString escaped = value;
    escaped.replace(QLatin1Char('\\'), QLatin1String("\\\\")).replace(QLatin1Char('\''), QLatin1String("\\'"));
    return QLatin1Char('\'') + escaped + QLatin1Char('\'');
}

// The server's column for a record's field: the station's own number of the record under its
// own name (the server's rows come from many stations), times as times.
QString ServerColumn(const RecordColumn &column)
{
    const QLatin1String name(column.name);
    if (name == QLatin1String("id"))
        return QStringLiteral("local_id");
    return QStringLiteral("\"%1\"").arg(name);
}

QString ServerType(const RecordColumn &column)
{
    if (QLatin1String(column.name) == QLatin1String("started_at"))
        return QStringLiteral("timestamptz");
    return column.is_number ? QStringLiteral("bigint") : QStringLiteral("text");
}

// The record's columns as a SELECT gives them back in RecordColumns' order and stored form.
QString SelectList()
{
    QStringList names;
    for (const RecordColumn &column : RecordColumns()) {
        if (QLatin1String(column.name) == QLatin1String("started_at"))
            names << QStringLiteral("to_char(started_at AT TIME ZONE 'UTC', 'YYYY-MM-DD\"T\"HH24:MI:SS.MS\"Z\"')");
        else
            names << ServerColumn(column);
    }
    return names.join(", ");
}

QStringList CreateStatements()
{
    QStringList columns;
    for (const RecordColumn &column : RecordColumns()) {
        if (QLatin1String(column.name) == QLatin1String("uid"))
            columns << QStringLiteral("uid text PRIMARY KEY");
        else
            columns << QStringLiteral("%1 %2 NOT NULL").arg(ServerColumn(column), ServerType(column));
    }
    columns << QStringLiteral("received_at timestamptz NOT NULL DEFAULT now()");
    const QString table = QLatin1String(kTable);
    return {QStringLiteral("CREATE TABLE %1 (%2)").arg(table, columns.join(", ")),
            QStringLiteral("CREATE INDEX upgrades_by_serial ON %1 (unit_serial, started_at)").arg(table),
            QStringLiteral("CREATE INDEX upgrades_by_target ON %1 (target, started_at)").arg(table),
            QStringLiteral("CREATE INDEX upgrades_by_time ON %1 (started_at)").arg(table),
            QStringLiteral("CREATE INDEX upgrades_by_station ON %1 (host, started_at)").arg(table),
            QStringLiteral("INSERT INTO %1 (version) VALUES (%2)").arg(QLatin1String(kSchemaTable)).arg(kSchemaVersion)};
}

// A field as the server stores it. Its text cannot hold the character NUL, which a device may
// put into a version it reports: the replacement character stands in for it there.
QVariant ServerValue(const RecordColumn &column, const UpgradeRecord &record)
{
    QVariant value = column.get(record);
    if (!column.is_number && value.toString().contains(QChar(0)))
        value = value.toString().replace(QChar(0), QChar(QChar::ReplacementCharacter));
    return value;
}

// The WHERE clause of filter, its values bound in order by Bind.
QString Where(const Filter &filter)
{
    QString sql = QStringLiteral(" WHERE true");
    if (!filter.local.target.isEmpty())
        sql += QStringLiteral(" AND target = ?");
    if (!filter.local.serial.isEmpty())
        sql += QStringLiteral(" AND unit_serial = ?");
    if (!filter.station.isEmpty())
        sql += QStringLiteral(" AND host = ?");
    if (filter.local.since.isValid())
        sql += QStringLiteral(" AND started_at >= CAST(? AS timestamptz)");
    return sql;
}

void Bind(QSqlQuery &query, const Filter &filter)
{
    if (!filter.local.target.isEmpty())
        query.addBindValue(filter.local.target);
    if (!filter.local.serial.isEmpty())
        query.addBindValue(filter.local.serial);
    if (!filter.station.isEmpty())
        query.addBindValue(filter.station);
    if (filter.local.since.isValid())
        query.addBindValue(StoredTime(filter.local.since));
}

QString NextName()
{
    static std::atomic<quint64> made{0};
    return QStringLiteral("upgrade-history-server-%1").arg(++made);
}

}  // namespace

QString Configured(const QString &config_value)
{
    if (qEnvironmentVariableIsSet(kEnvironmentVariable))
        return qEnvironmentVariable(kEnvironmentVariable).trimmed();
    return config_value.trimmed();
}

namespace {

// The keywords of a libpq connection string or URI that have a value, as libpq itself reads them,
// in its order. False with *problem when the text cannot be parsed.
bool ParsePairs(const QString &connection, QList<QPair<QString, QString>> *pairs, QString *problem)
{
    char *error = nullptr;
    PQconninfoOption *options = PQconninfoParse(connection.toUtf8().constData(), &error);
    if (!options) {
        *problem = error ? QString::fromUtf8(error).trimmed() : QStringLiteral("cannot be read");
        PQfreemem(error);
        return false;
    }
    for (const PQconninfoOption *option = options; option->keyword; ++option) {
        if (option->val)
            *pairs << qMakePair(QString::fromUtf8(option->keyword), QString::fromUtf8(option->val));
    }
    PQconninfoFree(options);
    return true;
}

}  // namespace

QString ConnectOptions(const QString &connection, QString *problem)
{
    problem->clear();
    QList<QPair<QString, QString>> parsed;
    if (!ParsePairs(connection, &parsed, problem))
        return QString();
    QStringList pairs;
    bool has_timeout = false;
    bool has_name = false;
    for (const auto &[key, value] : qAsConst(parsed)) {
        if (key == QLatin1String("password")) {
            *problem = QStringLiteral("a password does not belong in it; libpq's password file (~/.pgpass) or its "
                                      "service file keeps it");
            return QString();
        }
        // Qt's driver takes the options separated by semicolons and turns every one into a space.
        if (value.contains(QLatin1Char(';'))) {
            *problem = QStringLiteral("the value of %1 holds a semicolon, which Qt's driver cannot pass on").arg(key);
            return QString();
        }
        has_timeout |= key == QLatin1String("connect_timeout");
        has_name |= key == QLatin1String("application_name");
        pairs << QStringLiteral("%1=%2").arg(key, Quoted(value));
    }
    if (!has_timeout)
        pairs << QStringLiteral("connect_timeout=%1").arg(kConnectTimeoutS);
    if (!has_name)
        pairs << QStringLiteral("application_name='upgrader'");
    return pairs.join(QLatin1Char(';'));
}

QString ServerName(const QString &connection)
{
    QList<QPair<QString, QString>> parsed;
    QString problem;
    ParsePairs(connection, &parsed, &problem);
    QHash<QString, QString> pairs;
    for (const auto &[key, value] : qAsConst(parsed))
        pairs.insert(key, value);
    QString where = pairs.value(QStringLiteral("host"), pairs.value(QStringLiteral("hostaddr")));
    if (where.isEmpty()) {
        where = pairs.contains(QStringLiteral("service")) ? QStringLiteral("service %1").arg(pairs.value("service"))
                                                          : QStringLiteral("local socket");
    }
    if (pairs.contains(QStringLiteral("port")))
        where += QLatin1Char(':') + pairs.value(QStringLiteral("port"));
    const QString database = pairs.value(QStringLiteral("dbname"), pairs.value(QStringLiteral("user")));
    return database.isEmpty() ? where : where + QLatin1Char('/') + database;
}

Connection::Connection(const QString &connection, int statement_bound_ms)
    : connection(connection), statement_bound_ms(statement_bound_ms), name(NextName())
{
    watchdog = std::thread([this] { Watch(); });
}

Connection::~Connection()
{
    Close();
    {
        std::lock_guard<std::mutex> lock(mutex);
        ending = true;
    }
    wake.notify_all();
    watchdog.join();
    QSqlDatabase::removeDatabase(name);
}

void Connection::Watch()
{
    std::unique_lock<std::mutex> lock(mutex);
    while (!ending) {
        if (!armed) {
            wake.wait(lock);
            continue;
        }
        wake.wait_until(lock, deadline);
        if (armed && std::chrono::steady_clock::now() >= deadline) {
            armed = false;
            CutLocked();
        }
    }
}

void Connection::Arm()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        armed = true;
        deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(statement_bound_ms);
    }
    wake.notify_all();
}

void Connection::Disarm()
{
    std::lock_guard<std::mutex> lock(mutex);
    armed = false;
}

void Connection::Cut()
{
    std::lock_guard<std::mutex> lock(mutex);
    CutLocked();
}

void Connection::CutLocked()
{
    // Shut down, not closed: the driver still owns the socket and closes it itself.
    if (socket >= 0) {
#ifdef Q_OS_WIN
        ::shutdown(SOCKET(socket), SD_BOTH);
#else
        ::shutdown(socket, SHUT_RDWR);
#endif
    }
}

bool Connection::Open(QString *warning)
{
    if (open) {
        QSqlDatabase db = QSqlDatabase::database(name, false);
        if (db.isOpen() && db.driver()->handle().isValid()) {
            const QVariant handle = db.driver()->handle();
            PGconn *pg = *static_cast<PGconn *const *>(handle.constData());
            if (pg && PQstatus(pg) == CONNECTION_OK)
                return true;
        }
        Close();
    }
    if (!QSqlDatabase::isDriverAvailable(QLatin1String(kDriver))) {
        *warning = QStringLiteral("Qt's PostgreSQL driver is not installed (Debian: libqt5sql5-psql)");
        return false;
    }
    QString problem;
    const QString options = ConnectOptions(connection, &problem);
    if (!problem.isEmpty()) {
        *warning = QStringLiteral("the connection string is not usable: %1").arg(problem);
        return false;
    }
    QSqlDatabase db = QSqlDatabase::contains(name) ? QSqlDatabase::database(name, false)
                                                   : QSqlDatabase::addDatabase(QLatin1String(kDriver), name);
    // Host, database and user all come from the options: the driver hands them to libpq as they are.
    db.setConnectOptions(options);
    if (!db.open()) {
        *warning = Reason(db.lastError());
        return false;
    }
    const QVariant handle = db.driver()->handle();
    PGconn *pg = handle.isValid() ? *static_cast<PGconn *const *>(handle.constData()) : nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex);
        socket = pg ? PQsocket(pg) : -1;
    }
    open = true;
    schema_checked = false;
    return true;
}

void Connection::Close()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        socket = -1;  // never cut a number the system may have given to another file by now
        armed = false;
    }
    if (QSqlDatabase::contains(name)) {
        QSqlDatabase db = QSqlDatabase::database(name, false);
        db.close();
    }
    open = false;
}

bool Connection::Exec(const QString &sql, QString *reason)
{
    QSqlQuery query(QSqlDatabase::database(name, false));
    Arm();
    const bool done = query.exec(sql);
    Disarm();
    if (!done)
        *reason = Reason(query.lastError());
    return done;
}

bool Connection::CheckSchema(bool create, bool *present, bool *can_write, QString *reason)
{
    if (schema_checked) {
        *present = true;
        *can_write = writable;
        return true;
    }
    QSqlDatabase db = QSqlDatabase::database(name, false);
    QSqlQuery query(db);
    auto read_version = [&](int *version) {
        Arm();
        const bool done = query.exec(QStringLiteral("SELECT to_regclass('%1') IS NOT NULL").arg(QLatin1String(kSchemaTable))) &&
                          query.next();
        const bool exists = done && query.value(0).toBool();
        bool read = done;
        *version = 0;
        if (exists) {
            read = query.exec(QStringLiteral("SELECT coalesce(max(version), 0) FROM %1").arg(QLatin1String(kSchemaTable))) &&
                   query.next();
            if (read)
                *version = query.value(0).toInt();
        }
        Disarm();
        if (!read)
            *reason = Reason(query.lastError());
        query.finish();
        return read;
    };
    int version = 0;
    if (!read_version(&version))
        return false;
    if (version == 0 && create) {
        // Stations that meet an empty server together: one creates, the others find it made.
        if (!db.transaction()) {
            *reason = Reason(db.lastError());
            return false;
        }
        bool done = Exec(QStringLiteral("SELECT pg_advisory_xact_lock(%1)").arg(kSchemaLock), reason) &&
                    read_version(&version);
        if (done && version == 0) {
            done = Exec(QStringLiteral("CREATE TABLE IF NOT EXISTS %1 (version integer PRIMARY KEY, "
                                       "made_at timestamptz NOT NULL DEFAULT now())")
                            .arg(QLatin1String(kSchemaTable)),
                        reason);
            for (const QString &statement : CreateStatements()) {
                if (done)
                    done = Exec(statement, reason);
            }
            version = kSchemaVersion;
        }
        if (!done || !db.commit()) {
            if (done)
                *reason = Reason(db.lastError());
            db.rollback();
            return false;
        }
    }
    *present = version > 0;
    server_schema = version;
    writable = version > 0 && version <= kSchemaVersion;
    schema_checked = *present;
    *can_write = writable;
    return true;
}

bool Connection::Ready(bool create, bool *present, bool *can_write, QString *warning)
{
    if (!Open(warning))
        return false;
    if (CheckSchema(create, present, can_write, warning))
        return true;
    Close();
    return false;
}

bool Connection::Rows(QSqlQuery &query, QString *warning, const std::function<void()> &take_row)
{
    Arm();
    const bool done = query.exec();
    while (done && query.next())
        take_row();
    Disarm();
    if (!done || query.lastError().isValid()) {
        *warning = Reason(query.lastError());
        Close();
        return false;
    }
    return true;
}

bool Connection::Push(const QList<UpgradeRecord> &records, QString *warning, bool *refused)
{
    if (refused)
        *refused = false;
    if (records.isEmpty())
        return true;
    bool present = false;
    bool can_write = false;
    if (!Ready(true, &present, &can_write, warning))
        return false;
    if (!can_write) {
        *warning = QStringLiteral("the server's upgrade history has schema %1, newer than this release's %2: it is "
                                  "read but not written; the records wait here until this station's tool is updated")
                       .arg(server_schema)
                       .arg(kSchemaVersion);
        return false;
    }
    QStringList names;
    QStringList row;
    for (const RecordColumn &column : RecordColumns()) {
        names << ServerColumn(column);
        row << (QLatin1String(column.name) == QLatin1String("started_at") ? QStringLiteral("CAST(? AS timestamptz)")
                                                                          : QStringLiteral("?"));
    }
    const QString one_row = QLatin1Char('(') + row.join(", ") + QLatin1Char(')');
    QStringList rows;
    for (int i = 0; i < records.size(); ++i)
        rows << one_row;
    // A record the server holds already (an earlier push whose answer was lost) is skipped by its uid.
    QSqlQuery query(QSqlDatabase::database(name, false));
    if (!query.prepare(QStringLiteral("INSERT INTO %1 (%2) VALUES %3 ON CONFLICT (uid) DO NOTHING")
                           .arg(QLatin1String(kTable), names.join(", "), rows.join(", ")))) {
        *warning = Reason(query.lastError());
        Close();
        return false;
    }
    for (const UpgradeRecord &record : records) {
        for (const RecordColumn &column : RecordColumns())
            query.addBindValue(ServerValue(column, record));
    }
    // In a transaction of its own: the batch is stored whole or not at all, and what the server
    // says at its end is whether it holds them. Should that answer be lost, the records stay
    // waiting here and the next push finds them there already.
    QSqlDatabase db = QSqlDatabase::database(name, false);
    Arm();
    bool done = db.transaction();
    if (!done)
        *warning = Reason(db.lastError());
    if (done && !(done = query.exec()))
        *warning = Reason(query.lastError());
    if (done && !(done = db.commit()))
        *warning = Reason(db.lastError());
    Disarm();
    if (!done) {
        query.finish();
        db.rollback();
        // The server answered that it will not take these values: the connection itself is sound.
        const QString state = query.lastError().nativeErrorCode();
        const bool values = state.startsWith(QLatin1String("22")) || state.startsWith(QLatin1String("23"));
        if (refused)
            *refused = values;
        if (!values)
            Close();  // a connection that failed is not trusted with the next push
    }
    return done;
}

bool Connection::Read(const Filter &filter, QList<UpgradeRecord> *records, QString *warning)
{
    records->clear();
    bool present = false;
    bool can_write = false;
    if (!Ready(false, &present, &can_write, warning))
        return false;
    if (!present)
        return true;
    QSqlQuery query(QSqlDatabase::database(name, false));
    query.setForwardOnly(true);
    if (!query.prepare(QStringLiteral("SELECT %1 FROM %2%3 ORDER BY started_at, host, local_id")
                           .arg(SelectList(), QLatin1String(kTable), Where(filter)))) {
        *warning = Reason(query.lastError());
        return false;
    }
    Bind(query, filter);
    const auto &columns = RecordColumns();
    return Rows(query, warning, [&] {
        UpgradeRecord record;
        for (size_t i = 0; i < columns.size(); ++i)
            columns[i].set(record, query.value(int(i)));
        *records << record;
    });
}

bool Connection::Summarize(const Filter &filter, QList<DaySummary> *days, QString *warning)
{
    days->clear();
    bool present = false;
    bool can_write = false;
    if (!Ready(false, &present, &can_write, warning))
        return false;
    if (!present)
        return true;
    // Days are the reader's: the session takes this computer's zone (by its name, so days across a
    // change of summer time are right; by its present offset where the server knows no such name).
    QString ignored;
    const QString zone = QString::fromUtf8(QTimeZone::systemTimeZoneId());
    if (zone.isEmpty() || !Exec(QStringLiteral("SET TIME ZONE '%1'").arg(QString(zone).remove(QLatin1Char('\''))), &ignored)) {
        const int offset_min = QDateTime::currentDateTime().offsetFromUtc() / 60;
        if (!Exec(QStringLiteral("SET TIME ZONE INTERVAL '%1%2:%3' HOUR TO MINUTE")
                      .arg(offset_min < 0 ? "-" : "+")
                      .arg(qAbs(offset_min) / 60, 2, 10, QLatin1Char('0'))
                      .arg(qAbs(offset_min) % 60, 2, 10, QLatin1Char('0')),
                  warning)) {
            Close();
            return false;
        }
    }
    QSqlQuery query(QSqlDatabase::database(name, false));
    query.setForwardOnly(true);
    const QString sql = QStringLiteral(
                            "SELECT to_char(started_at::date, 'YYYY-MM-DD'), target, count(*), "
                            "count(*) FILTER (WHERE result IN ('%1', '%2')), count(*) FILTER (WHERE result = '%3'), "
                            "coalesce(percentile_cont(0.5) WITHIN GROUP (ORDER BY duration_ms) "
                            "FILTER (WHERE result = '%1'), -1000) "
                            "FROM %4%5 GROUP BY 1, 2 ORDER BY 1, 2")
                            .arg(QLatin1String(UpgradeRecord::kSuccess), QLatin1String(UpgradeRecord::kCurrent),
                                 QLatin1String(UpgradeRecord::kFailed), QLatin1String(kTable), Where(filter));
    if (!query.prepare(sql)) {
        *warning = Reason(query.lastError());
        return false;
    }
    Bind(query, filter);
    return Rows(query, warning, [&] {
        DaySummary day;
        day.day = QDate::fromString(query.value(0).toString(), Qt::ISODate);
        day.target = query.value(1).toString();
        day.count = query.value(2).toLongLong();
        day.successes = query.value(3).toLongLong();
        day.failures = query.value(4).toLongLong();
        day.median_s = query.value(5).toDouble() / 1000.0;
        *days << day;
    });
}

SyncTally PushWaiting(const QString &database, Connection &server, int batch, const std::atomic<bool> *stop)
{
    SyncTally tally;
    QStringList refusals;  // records the server would not take: they wait, the others go on
    qint64 after_id = 0;
    while (!(stop && *stop)) {
        QString warning;
        const QList<UpgradeRecord> records = HistoryStore::ReadWaiting(database, batch, after_id, &warning);
        if (!warning.isEmpty()) {
            tally.warning = warning;
            break;
        }
        if (records.isEmpty())
            break;
        after_id = records.last().id;
        QList<qint64> stored;
        QString failure;  // why the server could not be written at all
        bool refused = false;
        if (server.Push(records, &warning, &refused)) {
            for (const UpgradeRecord &record : records)
                stored << record.id;
        } else if (!refused) {
            failure = warning;
        } else {
            // One of them, or more: each on its own, so one bad record does not hold the others.
            for (const UpgradeRecord &record : records) {
                if (server.Push({record}, &warning, &refused)) {
                    stored << record.id;
                } else if (refused) {
                    // The server's reason without its DETAIL, which repeats the whole row.
                    refusals << QStringLiteral("%1 (%2)").arg(record.uid, warning.section(QLatin1String(" DETAIL: "), 0, 0));
                } else {
                    failure = warning;
                    break;
                }
            }
        }
        if (!failure.isEmpty())
            tally.warning = QStringLiteral("Upgrade history not sent to the line's server: %1").arg(failure);
        // The server holds them now; should the mark fail they are pushed again, and skipped there.
        tally.sent += stored.size();
        const QString mark = HistoryStore::MarkSent(database, stored);
        if (tally.warning.isEmpty())
            tally.warning = mark;
        if (!tally.warning.isEmpty() || records.size() < batch)
            break;
    }
    if (tally.warning.isEmpty() && !refusals.isEmpty())
        tally.warning = QStringLiteral("Upgrade history: the line's server refuses %1, which %2 here: %3")
                            .arg(refusals.size() == 1 ? QStringLiteral("a record") : QStringLiteral("%1 records").arg(refusals.size()),
                                 refusals.size() == 1 ? QStringLiteral("waits") : QStringLiteral("wait"),
                                 refusals.join(QStringLiteral("; ")));
    QString warning;
    tally.waiting = HistoryStore::CountWaiting(database, &warning);
    if (tally.warning.isEmpty())
        tally.warning = warning;
    return tally;
}

}  // namespace HistoryServer
