#pragma once

#include "history_store.h"
#include "upgrade_record.h"

#include <QDate>
#include <QList>
#include <QString>

class QSqlQuery;

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

// The line's shared record: every station's history on one PostgreSQL server, reached through
// Qt's PostgreSQL driver (QPSQL). Stations write their own SQLite history first; what waits there
// is pushed here (HistorySync), so a server that is down or slow never costs a station a job.
namespace HistoryServer {

// Layout of the server's table, kept in its table upgrader_schema. A server of a newer layout is
// read (its table keeps the columns this release knows) but never written.
constexpr int kSchemaVersion = 1;
// Overrides the configuration's "history_server" key; set and empty: no server.
constexpr char kEnvironmentVariable[] = "UPGRADER_HISTORY_SERVER";
// libpq's own default (forever) would let a server that accepts and never answers hold a push.
constexpr int kConnectTimeoutS = 5;
// The longest one statement may take before the connection is cut: a server that stops
// answering in the middle of a push or a read.
constexpr int kStatementBoundMs = 30000;

// The connection string in force: the environment's when it is set, else the configuration's.
// Empty: the station has no server.
QString Configured(const QString &config_value);

// The connection options for Qt's driver from a libpq connection string ("host=line-db
// dbname=upgrades user=upgrader") or URI ("postgresql://upgrader@line-db/upgrades"): its
// key=value pairs, with a connect time-out and the program's name added where it gives none.
// Empty with *problem set when the text cannot be parsed or holds a password (libpq's password
// file, ~/.pgpass, or its service file keeps those).
QString ConnectOptions(const QString &connection, QString *problem);

// The server's name for messages, from the connection string: "line-db:5432/upgrades", the host
// (or the service, or libpq's default socket), the port when given, and the database (libpq's
// default is the user's name). Never a password: the string holds none.
QString ServerName(const QString &connection);

// Which of the line's records to read: those of HistoryStore::Filter, of one station (its host
// name; every station when empty).
struct Filter {
    HistoryStore::Filter local;
    QString station;
};

// One target's jobs of one day (the reader's local day).
struct DaySummary {
    QDate day;
    QString target;
    qint64 count = 0;
    qint64 successes = 0;  // success and current
    qint64 failures = 0;
    double median_s = -1;  // of the successful upgrades that sent an image; -1 when there were none
};

// A connection to the line's server, used by one thread at a time (a driver connection belongs to
// the thread that made it). Opens on first use. Every blocking statement is bounded: past
// statement_bound_ms the connection is cut (see Cut) and the call fails.
class Connection {
public:
    explicit Connection(const QString &connection, int statement_bound_ms = kStatementBoundMs);
    ~Connection();
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;

    // Stores records, each once: one already on the server (pushed before, its answer lost) is
    // left as it is. False with *warning when the server could not take them; then none or all
    // of them are stored. *refused (when given) tells a server that was reached but refused the
    // values themselves (a data or constraint error) from one that could not be reached.
    bool Push(const QList<UpgradeRecord> &records, QString *warning, bool *refused = nullptr);
    // The records that pass filter, oldest first (id is the station's own record number). An
    // empty server (no table yet) holds none.
    bool Read(const Filter &filter, QList<UpgradeRecord> *records, QString *warning);
    // Per day and target, oldest day first, of the records that pass filter.
    bool Summarize(const Filter &filter, QList<DaySummary> *days, QString *warning);
    // Ends the connection at once, from any thread: a statement waiting on the server returns
    // with an error. The next call connects again.
    void Cut();

private:
    bool Open(QString *warning);
    void Close();
    // Creates the schema on an empty server, or checks the one there; *writable false when the
    // server's schema is newer than this release's.
    bool CheckSchema(bool create, bool *present, bool *writable, QString *reason);
    // Open, and the schema checked (made first when create); on a failure the connection is closed.
    bool Ready(bool create, bool *present, bool *can_write, QString *warning);
    // Runs the prepared query under the bound, take_row at each row; on a failure the connection
    // is closed.
    bool Rows(QSqlQuery &query, QString *warning, const std::function<void()> &take_row);
    bool Exec(const QString &sql, QString *reason);
    void Arm();
    void Disarm();
    void Watch();
    void CutLocked();  // with mutex held

    const QString connection;
    const int statement_bound_ms;
    const QString name;  // of the driver connection
    bool open = false;
    bool schema_checked = false;
    bool writable = false;
    int server_schema = 0;

    // The watchdog: cuts the connection when a statement runs past its bound.
    std::mutex mutex;
    std::condition_variable wake;
    bool armed = false;
    bool ending = false;
    std::chrono::steady_clock::time_point deadline;
    int socket = -1;  // the open connection's socket, while one is open
    std::thread watchdog;
};

// What one push of a station's waiting records gave.
struct SyncTally {
    qint64 sent = 0;      // records that reached the server in this push
    qint64 waiting = -1;  // records still waiting after it; -1 when that cannot be told
    QString warning;      // why the push stopped short; empty when nothing waits
};

// Pushes what waits in database to server, batch records at a time, until nothing waits, the
// server fails, or stop is set.
SyncTally PushWaiting(const QString &database, Connection &server, int batch,
                      const std::atomic<bool> *stop = nullptr);

}  // namespace HistoryServer
