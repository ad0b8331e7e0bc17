#include "history_server.h"

#include "server_sql.h"

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

// Columns added to the server's table after its first layout, each with the statement that adds
// it. A table without them is still the history's: a release that writes them adds them with its
// first push, and the releases before go on writing theirs (the column's default fills it), so a
// line never has to update every station at once. Records without them read as empty.
struct AddedColumn {
    const char *name;
    const char *definition;
};
constexpr AddedColumn kAddedColumns[] = {
    {"signer_key_id", "text NOT NULL DEFAULT ''"},
};

// The definition of a later column; null for the first layout's.
const char *AddedDefinition(const QString &name)
{
    for (const AddedColumn &added : kAddedColumns) {
        if (name == QLatin1String(added.name))
            return added.definition;
    }
    return nullptr;
}

bool IsAdded(const QString &name)
{
    return AddedDefinition(name) != nullptr;
}

// The record's columns as a SELECT gives them back in RecordColumns' order and stored form; a
// column the table lacks yet (absent) reads as empty text.
QString SelectList(const QStringList &absent = {})
{
    QStringList names;
    for (const RecordColumn &column : RecordColumns()) {
        if (absent.contains(QLatin1String(column.name)))
            names << QStringLiteral("''");
        else if (QLatin1String(column.name) == QLatin1String("started_at"))
            names << Sql::UtcTime(QStringLiteral("started_at"));
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
        else if (const char *definition = AddedDefinition(QLatin1String(column.name)))
            // As the step adds it to an older table: older stations' inserts leave it out.
            columns << QStringLiteral("%1 %2").arg(ServerColumn(column), QLatin1String(definition));
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

// A value written into a statement: a number as it is, a text as a string constant in the escape
// form (E'...', its backslashes and quotes doubled), which reads the same whatever the server's
// standard_conforming_strings. Statements carry their values so that each is one exchange: a
// prepared statement costs two more, outside any statement's bound, and the driver writes its own
// lines to the console when the one that frees it fails.
QString Literal(const QVariant &value, bool is_number)
{
    return is_number ? QString::number(value.toLongLong()) : Sql::Text(value.toString());
}

using Sql::Text;

// The WHERE clause of filter, with its values.
QString Where(const Filter &filter)
{
    QString sql = QStringLiteral(" WHERE true");
    if (!filter.local.target.isEmpty())
        sql += QStringLiteral(" AND target = ") + Text(filter.local.target);
    if (!filter.local.serial.isEmpty())
        sql += QStringLiteral(" AND unit_serial = ") + Text(filter.local.serial);
    if (!filter.station.isEmpty())
        sql += QStringLiteral(" AND host = ") + Text(filter.station);
    if (filter.local.since.isValid())
        sql += QStringLiteral(" AND started_at >= CAST(%1 AS timestamptz)").arg(Text(StoredTime(filter.local.since)));
    if (filter.local.until.isValid())
        sql += QStringLiteral(" AND started_at < CAST(%1 AS timestamptz)").arg(Text(StoredTime(filter.local.until)));
    return sql;
}

// Seconds for a message: "20", "2", "1.5".
QString Seconds(int ms)
{
    return QString::number(ms / 1000.0, 'g', 4);
}

QString NextName()
{
    static std::atomic<quint64> made{0};
    return QStringLiteral("upgrade-history-server-%1").arg(++made);
}

}  // namespace

namespace {

std::atomic<int> default_bound_ms{kStatementBoundMs};

}  // namespace

int DefaultStatementBoundMs()
{
    return default_bound_ms;
}

void SetDefaultStatementBoundMs(int ms)
{
    default_bound_ms = ms;
}

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
            CutLocked(CutBy::Watchdog);
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
    CutLocked(CutBy::Caller);
}

void Connection::CutLocked(CutBy by)
{
    if (cut_by == CutBy::None)
        cut_by = by;
    // Shut down, not closed: the driver still owns the socket and closes it itself.
    if (socket >= 0) {
#ifdef Q_OS_WIN
        ::shutdown(SOCKET(socket), SD_BOTH);
#else
        ::shutdown(socket, SHUT_RDWR);
#endif
    }
}

namespace {

PGconn *Handle(const QSqlDatabase &db)
{
    if (!db.isOpen())
        return nullptr;
    const QVariant handle = db.driver()->handle();
    return handle.isValid() ? *static_cast<PGconn *const *>(handle.constData()) : nullptr;
}

}  // namespace

bool Connection::Sound() const
{
    PGconn *pg = open ? Handle(QSqlDatabase::database(name, false)) : nullptr;
    return pg && PQstatus(pg) == CONNECTION_OK;
}

bool Connection::Open(QString *warning)
{
    if (open) {
        if (Sound())
            return true;
        Close();
    }
    if (!QSqlDatabase::isDriverAvailable(QLatin1String(kDriver))) {
#ifdef Q_OS_WIN
        // Windows has no package to name: the driver is a Qt plugin, built into a static
        // release or beside the programs (sqldrivers\qsqlpsql.dll) with a shared Qt.
        *warning = QStringLiteral("Qt's PostgreSQL driver (qsqlpsql) is not part of these programs");
#else
        *warning = QStringLiteral("Qt's PostgreSQL driver is not installed (Debian: libqt5sql5-psql)");
#endif
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
    // The connect is bounded by connect_timeout (the options hold one); no socket to cut before it.
    db.setConnectOptions(options);
    if (!db.open()) {
        *warning = Reason(db.lastError());
        return false;
    }
    PGconn *pg = Handle(db);
    {
        std::lock_guard<std::mutex> lock(mutex);
        socket = pg ? PQsocket(pg) : -1;
        if (cut_by == CutBy::Caller)
            CutLocked(CutBy::Caller);  // given up while it connected: nothing more on this call
    }
    open = true;
    schema_checked = false;
    role = pg ? QString::fromUtf8(PQuser(pg)) : QString();
    database_name = pg ? QString::fromUtf8(PQdb(pg)) : QString();
    // The server's own limits for this session: a statement behind a lock, or one the server
    // itself is slow with, ends there with its reason, before this side's cut.
    Failure failure;
    if (!Statement(QStringLiteral("SET statement_timeout = %1").arg(ServerStatementTimeoutMs(statement_bound_ms)),
                   Act::Session, &failure) ||
        !Statement(QStringLiteral("SET lock_timeout = %1").arg(ServerLockTimeoutMs(statement_bound_ms)), Act::Session,
                   &failure)) {
        *warning = failure.reason;
        Close();
        return false;
    }
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

bool Connection::Statement(const QString &sql, Act act, Failure *failure,
                           const std::function<void(const QSqlQuery &)> &take_row)
{
    bool done = false;
    QString server_reason;
    {
        // The query ends inside this scope, before the connection may be closed below: no
        // statement of the driver's own is left to free on a closed connection.
        QSqlQuery query(QSqlDatabase::database(name, false));
        query.setForwardOnly(true);
        bool given_up = false;
        {
            std::lock_guard<std::mutex> lock(mutex);
            given_up = cut_by == CutBy::Caller;
        }
        if (!given_up) {
            Arm();
            done = query.exec(sql);
            while (done && query.next()) {
                if (take_row)
                    take_row(query);
            }
            done = done && !query.lastError().isValid();
            Disarm();
        }
        if (!done) {
            server_reason = given_up ? QString() : Reason(query.lastError());
            failure->state = query.lastError().nativeErrorCode();
        }
    }
    if (done)
        return true;
    failure->reason = Explain(server_reason, failure->state, act);
    if (!Sound())
        Close();
    return false;
}

QString Connection::Explain(const QString &server_reason, const QString &state, Act act)
{
    CutBy by = CutBy::None;
    {
        std::lock_guard<std::mutex> lock(mutex);
        by = cut_by;
    }
    if (by == CutBy::Caller)
        return QStringLiteral("given up, and the connection to the line's server cut");
    if (by == CutBy::Watchdog)
        return QStringLiteral("the line's server did not answer within %1 s, and the connection was cut")
            .arg(Seconds(statement_bound_ms));
    // lock_not_available: the session's lock_timeout ran out.
    if (state == QLatin1String("55P03"))
        return QStringLiteral("another session on the line's server kept the upgrade history's table locked for "
                              "longer than %1 s")
            .arg(Seconds(ServerLockTimeoutMs(statement_bound_ms)));
    // query_canceled: the session's statement_timeout ran out (or an administrator cancelled it).
    if (state == QLatin1String("57014"))
        return QStringLiteral("the line's server did not complete a statement within %1 s")
            .arg(Seconds(ServerStatementTimeoutMs(statement_bound_ms)));
    // insufficient_privilege: the role the station logs in as lacks a right.
    if (state == QLatin1String("42501")) {
        switch (act) {
        case Act::Write:
            return QStringLiteral("the line's server does not let the role %1 add records to the upgrade history "
                                  "(permission denied): its administrator grants it with "
                                  "\"GRANT SELECT ON upgrader_schema TO %1; GRANT INSERT ON upgrades TO %1\"")
                .arg(role);
        case Act::Create:
            return QStringLiteral("the line's server does not let the role %1 make the upgrade history's tables in "
                                  "the database %2 (permission denied): its administrator grants it with \"GRANT "
                                  "CREATE ON SCHEMA public TO %1\", or a role that may makes them with its first push")
                .arg(role, database_name);
        case Act::Alter: {
            QStringList statements;
            for (const QString &name : qAsConst(columns_to_add)) {
                for (const AddedColumn &added : kAddedColumns) {
                    if (name == QLatin1String(added.name))
                        statements << QStringLiteral("ALTER TABLE upgrades ADD COLUMN %1 %2")
                                          .arg(name, QLatin1String(added.definition));
                }
            }
            return QStringLiteral("the line's server's upgrade history lacks the column %1 that this release records, "
                                  "and the role %2 may not add it (only the table's owner may): its administrator adds "
                                  "it with \"%3\"; the records wait here until then")
                .arg(columns_to_add.join(QStringLiteral(", ")), role, statements.join(QStringLiteral("; ")));
        }
        case Act::Read:
        case Act::Session:
            break;
        }
        return QStringLiteral("the line's server does not let the role %1 read the upgrade history (permission "
                              "denied): its administrator grants it with \"GRANT SELECT ON upgrades, upgrader_schema "
                              "TO %1\"")
            .arg(role);
    }
    return server_reason;
}

bool Connection::ForeignTable(bool schema_present, QString *foreign, QString *reason)
{
    foreign->clear();
    bool exists = false;
    QStringList columns;
    Failure failure;
    const bool read =
        Statement(QStringLiteral("SELECT to_regclass(%1) IS NOT NULL, coalesce((SELECT string_agg(attname, ',') FROM "
                                 "pg_attribute WHERE attrelid = to_regclass(%1) AND attnum > 0 AND NOT attisdropped), '')")
                      .arg(Text(QLatin1String(kTable))),
                  Act::Read, &failure, [&](const QSqlQuery &query) {
                      exists = query.value(0).toBool();
                      columns = query.value(1).toString().split(QLatin1Char(','), Qt::SkipEmptyParts);
                  });
    if (!read) {
        *reason = failure.reason;
        return false;
    }
    if (!exists)
        return true;
    QStringList missing;
    columns_to_add.clear();
    for (const RecordColumn &column : RecordColumns()) {
        const QString wanted = ServerColumn(column).remove(QLatin1Char('"'));
        if (columns.contains(wanted))
            continue;
        if (IsAdded(wanted))
            columns_to_add << wanted;
        else
            missing << wanted;
    }
    if (missing.isEmpty() && schema_present)
        return true;
    // Another program's table of that name (or one made by hand): reading it would show an empty
    // or a wrong history, and making the history's own beside it cannot be done.
    QString why;
    if (missing.isEmpty()) {
        why = QStringLiteral("no table upgrader_schema beside it says this tool made it");
    } else {
        const int shown = 3;
        why = QStringLiteral("it lacks the history's columns %1%2")
                  .arg(QStringList(missing.mid(0, shown)).join(QStringLiteral(", ")),
                       missing.size() > shown ? QStringLiteral(" and %1 more").arg(missing.size() - shown) : QString());
    }
    *foreign = QStringLiteral("the database %1 on the line's server holds a table \"upgrades\" that is not the "
                              "upgrade history's (%2), so nothing is read from it or written to it: name a "
                              "database of the history's own in \"history_server\" or %3, or have the server's "
                              "administrator rename that table")
                   .arg(database_name, why, QLatin1String(kEnvironmentVariable));
    return true;
}

bool Connection::CheckSchema(bool create, bool *present, bool *can_write, QString *reason)
{
    if (schema_checked) {
        if (create && !columns_to_add.isEmpty() && !AddColumns(reason))
            return false;
        *present = true;
        *can_write = writable;
        return true;
    }
    auto read_version = [&](int *version) {
        *version = 0;
        Failure failure;
        bool exists = false;
        bool read = Statement(QStringLiteral("SELECT to_regclass(%1) IS NOT NULL").arg(Text(QLatin1String(kSchemaTable))),
                              Act::Read, &failure, [&](const QSqlQuery &query) { exists = query.value(0).toBool(); });
        if (read && exists)
            read = Statement(QStringLiteral("SELECT coalesce(max(version), 0) FROM %1").arg(QLatin1String(kSchemaTable)),
                             Act::Read, &failure, [&](const QSqlQuery &query) { *version = query.value(0).toInt(); });
        if (!read)
            *reason = failure.reason;
        return read;
    };
    int version = 0;
    if (!read_version(&version))
        return false;
    QString foreign;
    if (!ForeignTable(version > 0, &foreign, reason))
        return false;
    if (!foreign.isEmpty()) {
        *reason = foreign;
        return false;
    }
    if (version == 0 && create) {
        // Stations that meet an empty server together: one creates, the others find it made.
        Failure failure;
        bool done = Statement(QStringLiteral("BEGIN"), Act::Create, &failure) &&
                    Statement(QStringLiteral("SELECT pg_advisory_xact_lock(%1)").arg(kSchemaLock), Act::Create, &failure) &&
                    read_version(&version);
        if (done && version == 0) {
            QStringList statements{QStringLiteral("CREATE TABLE IF NOT EXISTS %1 (version integer PRIMARY KEY, "
                                                  "made_at timestamptz NOT NULL DEFAULT now())")
                                       .arg(QLatin1String(kSchemaTable))};
            statements << CreateStatements();
            for (const QString &statement : qAsConst(statements)) {
                if (done)
                    done = Statement(statement, Act::Create, &failure);
            }
            version = kSchemaVersion;
        }
        if (done)
            done = Statement(QStringLiteral("COMMIT"), Act::Create, &failure);
        if (!done) {
            *reason = failure.reason;
            if (Sound()) {
                Failure ignored;
                Statement(QStringLiteral("ROLLBACK"), Act::Session, &ignored);
            }
            // duplicate_table: another program made a table of that name since the look above.
            if (failure.state == QLatin1String("42P07") && Sound()) {
                QString ignored;
                if (ForeignTable(false, &foreign, &ignored) && !foreign.isEmpty())
                    *reason = foreign;
            }
            return false;
        }
    }
    if (version > 0 && create && !columns_to_add.isEmpty() && !AddColumns(reason))
        return false;
    *present = version > 0;
    server_schema = version;
    writable = version > 0 && version <= kSchemaVersion;
    schema_checked = *present;
    *can_write = writable;
    return true;
}

bool Connection::AddColumns(QString *reason)
{
    // Under the schema's lock, as its creation: stations of this release that meet the older table
    // together add each column once.
    Failure failure;
    bool done = Statement(QStringLiteral("BEGIN"), Act::Create, &failure) &&
                Statement(QStringLiteral("SELECT pg_advisory_xact_lock(%1)").arg(kSchemaLock), Act::Create, &failure);
    for (const AddedColumn &added : kAddedColumns) {
        if (done && columns_to_add.contains(QLatin1String(added.name)))
            done = Statement(QStringLiteral("ALTER TABLE %1 ADD COLUMN IF NOT EXISTS \"%2\" %3")
                                 .arg(QLatin1String(kTable), QLatin1String(added.name), QLatin1String(added.definition)),
                             Act::Alter, &failure);
    }
    if (done)
        done = Statement(QStringLiteral("COMMIT"), Act::Create, &failure);
    if (done) {
        columns_to_add.clear();
        return true;
    }
    *reason = failure.reason;
    if (Sound()) {
        Failure ignored;
        Statement(QStringLiteral("ROLLBACK"), Act::Session, &ignored);
    }
    return false;
}

bool Connection::Ready(bool create, bool *present, bool *can_write, QString *warning)
{
    bool given_up = false;
    {
        std::lock_guard<std::mutex> lock(mutex);
        given_up = cut_by == CutBy::Caller;
        if (!given_up)
            cut_by = CutBy::None;  // a call of its own: the watchdog's cut of an earlier one is over
    }
    if (given_up) {
        *warning = Explain(QString(), QString(), Act::Session);
        return false;
    }
    if (!Open(warning))
        return false;
    if (CheckSchema(create, present, can_write, warning))
        return true;
    Close();
    return false;
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
    for (const RecordColumn &column : RecordColumns())
        names << ServerColumn(column);
    QStringList rows;
    for (const UpgradeRecord &record : records) {
        QStringList values;
        for (const RecordColumn &column : RecordColumns()) {
            const QString value = Literal(ServerValue(column, record), column.is_number);
            values << (QLatin1String(column.name) == QLatin1String("started_at")
                           ? QStringLiteral("CAST(%1 AS timestamptz)").arg(value)
                           : value);
        }
        rows << QLatin1Char('(') + values.join(QStringLiteral(", ")) + QLatin1Char(')');
    }
    // In a transaction of its own: the batch is stored whole or not at all, and what the server
    // says at its end is whether it holds them. Should that answer be lost, the records stay
    // waiting here and the next push finds them there already. A record the server holds already
    // (an earlier push whose answer was lost) is skipped by its uid.
    Failure failure;
    const bool done =
        Statement(QStringLiteral("BEGIN"), Act::Write, &failure) &&
        Statement(QStringLiteral("INSERT INTO %1 (%2) VALUES %3 ON CONFLICT (uid) DO NOTHING")
                      .arg(QLatin1String(kTable), names.join(QStringLiteral(", ")), rows.join(QStringLiteral(", "))),
                  Act::Write, &failure) &&
        Statement(QStringLiteral("COMMIT"), Act::Write, &failure);
    if (done)
        return true;
    *warning = failure.reason;
    // The server answered that it will not take these values: the connection itself is sound.
    const bool values = failure.state.startsWith(QLatin1String("22")) || failure.state.startsWith(QLatin1String("23"));
    if (refused)
        *refused = values;
    if (values && Sound()) {
        Failure ignored;
        if (Statement(QStringLiteral("ROLLBACK"), Act::Session, &ignored))
            return false;
    }
    Close();  // a connection that failed is not trusted with the next push
    return false;
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
    const auto &columns = RecordColumns();
    Failure failure;
    const bool read = Statement(QStringLiteral("SELECT %1 FROM %2%3 ORDER BY started_at, host, local_id")
                                    .arg(SelectList(columns_to_add), QLatin1String(kTable), Where(filter)),
                                Act::Read, &failure, [&](const QSqlQuery &query) {
                                    UpgradeRecord record;
                                    for (size_t i = 0; i < columns.size(); ++i)
                                        columns[i].set(record, query.value(int(i)));
                                    *records << record;
                                });
    if (!read) {
        records->clear();
        *warning = failure.reason;
    }
    return read;
}

bool Connection::ReaderZone(QString *warning)
{
    // Days are the reader's: the session takes this computer's zone (by its name, so days across a
    // change of summer time are right; by its present offset where the server knows no such name).
    Failure failure;
    const QString zone = QString::fromUtf8(QTimeZone::systemTimeZoneId());
    if (zone.isEmpty() || !Statement(QStringLiteral("SET TIME ZONE %1").arg(Text(zone)), Act::Session, &failure)) {
        if (!Sound()) {
            *warning = failure.reason;
            return false;
        }
        const int offset_min = QDateTime::currentDateTime().offsetFromUtc() / 60;
        if (!Statement(QStringLiteral("SET TIME ZONE INTERVAL '%1%2:%3' HOUR TO MINUTE")
                           .arg(offset_min < 0 ? "-" : "+")
                           .arg(qAbs(offset_min) / 60, 2, 10, QLatin1Char('0'))
                           .arg(qAbs(offset_min) % 60, 2, 10, QLatin1Char('0')),
                       Act::Session, &failure)) {
            *warning = failure.reason;
            Close();
            return false;
        }
    }
    return true;
}

bool Connection::Summarize(const Filter &filter, QList<DaySummary> *days, QString *warning)
{
    days->clear();
    const QString sql = QStringLiteral(
                            "SELECT to_char(started_at::date, 'YYYY-MM-DD'), target, count(*), "
                            "count(*) FILTER (WHERE result IN ('%1', '%2')), count(*) FILTER (WHERE result = '%3'), "
                            "coalesce(percentile_cont(0.5) WITHIN GROUP (ORDER BY duration_ms) "
                            "FILTER (WHERE result = '%1'), -1000) "
                            "FROM %4%5 GROUP BY 1, 2 ORDER BY 1, 2")
                            .arg(QLatin1String(UpgradeRecord::kSuccess), QLatin1String(UpgradeRecord::kCurrent),
                                 QLatin1String(UpgradeRecord::kFailed), QLatin1String(kTable), Where(filter));
    const bool read = ReadRows(sql, [&](const QSqlQuery &query) {
        DaySummary day;
        day.day = QDate::fromString(query.value(0).toString(), Qt::ISODate);
        day.target = query.value(1).toString();
        day.count = query.value(2).toLongLong();
        day.successes = query.value(3).toLongLong();
        day.failures = query.value(4).toLongLong();
        day.median_s = query.value(5).toDouble() / 1000.0;
        *days << day;
    }, warning);
    if (!read)
        days->clear();
    return read;
}

bool Connection::ReadRows(const QString &sql, const std::function<void(const QSqlQuery &)> &take_row, QString *warning)
{
    bool present = false;
    bool can_write = false;
    if (!Ready(false, &present, &can_write, warning))
        return false;
    if (!present)
        return true;
    if (!ReaderZone(warning))
        return false;
    Failure failure;
    if (Statement(sql, Act::Read, &failure, take_row))
        return true;
    *warning = failure.reason;
    return false;
}

namespace {

// The report's SQL texts name the stored values through these, never as literals of their own.
QString Quote(const char *value)
{
    return Text(QLatin1String(value));
}

QString Stops()
{
    return QStringLiteral("(%1, %2)").arg(Quote(UpgradeRecord::kOperator), Quote(UpgradeRecord::kWindowClosed));
}

// A failure's reason as the report groups it: the first line of its error text with every number
// (decimal, or hex as a section address is written) as '#', spaces collapsed and trailing
// punctuation (also the Chinese full-width one) dropped.
QString GroupedReason()
{
    return QStringLiteral(
        "regexp_replace(regexp_replace(regexp_replace("
        "split_part(btrim(replace(error_text, chr(13), ''), chr(10) || ' '), chr(10), 1), "
        "'0[xX][0-9A-Fa-f]+|[0-9]+([.,][0-9]+)?', '#', 'g'), "
        "'[[:space:]]+', ' ', 'g'), "
        "'[[:space:].!:;,%1]+$', '')")
        .arg(QString::fromUtf8("\xe3\x80\x82\xef\xbc\x81\xef\xbc\x9a\xef\xbc\x9b\xef\xbc\x8c"));  // 。！：；，
}

}  // namespace

bool Connection::FirstPasses(const Filter &filter, QList<FirstPassDay> *days, QString *warning)
{
    days->clear();
    const QString sql =
        QStringLiteral("SELECT to_char(started_at::date, 'YYYY-MM-DD'), target, count(*), count(*) FILTER (WHERE "
                       "result = %1) FROM (SELECT DISTINCT ON (target, unit_serial) target, started_at, result "
                       "FROM %2%3 AND result <> %4 AND unit_serial <> '' "
                       "ORDER BY target, unit_serial, started_at, host, local_id) AS first_passes "
                       "GROUP BY 1, 2 ORDER BY 1, 2")
            .arg(Quote(UpgradeRecord::kSuccess), QLatin1String(kTable), Where(filter), Quote(UpgradeRecord::kCurrent));
    const bool read = ReadRows(sql, [&](const QSqlQuery &query) {
        FirstPassDay day;
        day.day = QDate::fromString(query.value(0).toString(), Qt::ISODate);
        day.target = query.value(1).toString();
        day.units = query.value(2).toLongLong();
        day.passed = query.value(3).toLongLong();
        *days << day;
    }, warning);
    if (!read)
        days->clear();
    return read;
}

bool Connection::Stations(const Filter &filter, QList<StationTally> *stations, QString *warning)
{
    stations->clear();
    const QString failed = QStringLiteral("result = %1").arg(Quote(UpgradeRecord::kFailed));
    const QString sql =
        QStringLiteral("SELECT host, count(*), count(*) FILTER (WHERE result IN (%1, %2)), "
                       "count(*) FILTER (WHERE %3 AND stopped_by NOT IN %4 AND stopped_by <> %5), "
                       "count(*) FILTER (WHERE %3 AND stopped_by IN %4), "
                       "count(*) FILTER (WHERE %3 AND stopped_by = %5) "
                       "FROM %6%7 GROUP BY host ORDER BY host")
            .arg(Quote(UpgradeRecord::kSuccess), Quote(UpgradeRecord::kCurrent), failed, Stops(),
                 Quote(UpgradeRecord::kTimeout), QLatin1String(kTable), Where(filter));
    const bool read = ReadRows(sql, [&](const QSqlQuery &query) {
        StationTally station;
        station.station = query.value(0).toString();
        station.jobs = query.value(1).toLongLong();
        station.successes = query.value(2).toLongLong();
        station.failures = query.value(3).toLongLong();
        station.stops = query.value(4).toLongLong();
        station.timeouts = query.value(5).toLongLong();
        *stations << station;
    }, warning);
    if (!read)
        stations->clear();
    return read;
}

bool Connection::Reasons(const Filter &filter, QList<FailureReason> *reasons, QString *warning)
{
    reasons->clear();
    // kind: 0 a failure of the device, the link or the image; 1 a stop; 2 a time-out.
    const QString sql =
        QStringLiteral("SELECT kind, min(reason), count(*) FROM (SELECT CASE WHEN stopped_by IN %1 THEN 1 "
                       "WHEN stopped_by = %2 THEN 2 ELSE 0 END AS kind, "
                       "CASE WHEN stopped_by IN %1 OR stopped_by = %2 THEN stopped_by ELSE %3 END AS reason "
                       "FROM %4%5 AND result = %6) AS failed "
                       "GROUP BY kind, lower(reason) ORDER BY 3 DESC, 1, 2")
            .arg(Stops(), Quote(UpgradeRecord::kTimeout), GroupedReason(), QLatin1String(kTable), Where(filter),
                 Quote(UpgradeRecord::kFailed));
    const bool read = ReadRows(sql, [&](const QSqlQuery &query) {
        FailureReason reason;
        const int kind = query.value(0).toInt();
        reason.kind = kind == 1   ? FailureReason::Kind::Stop
                      : kind == 2 ? FailureReason::Kind::Timeout
                                  : FailureReason::Kind::Failure;
        reason.reason = query.value(1).toString();
        reason.count = query.value(2).toLongLong();
        *reasons << reason;
    }, warning);
    if (!read)
        reasons->clear();
    return read;
}

bool Connection::Durations(const Filter &filter, QList<DurationSpread> *targets, QString *warning)
{
    targets->clear();
    const QString sql =
        QStringLiteral("SELECT target, count(*), min(duration_ms), "
                       "percentile_cont(0.25) WITHIN GROUP (ORDER BY duration_ms), "
                       "percentile_cont(0.5) WITHIN GROUP (ORDER BY duration_ms), "
                       "percentile_cont(0.75) WITHIN GROUP (ORDER BY duration_ms), max(duration_ms) "
                       "FROM %1%2 AND result = %3 GROUP BY target ORDER BY target")
            .arg(QLatin1String(kTable), Where(filter), Quote(UpgradeRecord::kSuccess));
    const bool read = ReadRows(sql, [&](const QSqlQuery &query) {
        DurationSpread spread;
        spread.target = query.value(0).toString();
        spread.count = query.value(1).toLongLong();
        spread.min_s = query.value(2).toDouble() / 1000.0;
        spread.q1_s = query.value(3).toDouble() / 1000.0;
        spread.median_s = query.value(4).toDouble() / 1000.0;
        spread.q3_s = query.value(5).toDouble() / 1000.0;
        spread.max_s = query.value(6).toDouble() / 1000.0;
        *targets << spread;
    }, warning);
    if (!read)
        targets->clear();
    return read;
}

bool Connection::FieldVersions(const Filter &filter, QList<FieldVersion> *versions, QString *warning)
{
    versions->clear();
    const QString sql =
        QStringLiteral("SELECT target, version_after, count(*) FROM (SELECT DISTINCT ON (target, unit_serial) "
                       "target, version_after FROM %1%2 AND unit_serial <> '' "
                       "ORDER BY target, unit_serial, started_at DESC, host DESC, local_id DESC) AS last_jobs "
                       "GROUP BY 1, 2 ORDER BY 1, 3 DESC, 2")
            .arg(QLatin1String(kTable), Where(filter));
    const bool read = ReadRows(sql, [&](const QSqlQuery &query) {
        FieldVersion version;
        version.target = query.value(0).toString();
        version.version = query.value(1).toString();
        version.units = query.value(2).toLongLong();
        *versions << version;
    }, warning);
    if (!read)
        versions->clear();
    return read;
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
