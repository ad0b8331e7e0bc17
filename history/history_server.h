#pragma once

#include "history_store.h"
#include "upgrade_record.h"

#include <QDate>
#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>

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
// read (its table keeps the columns this release knows) but never written. Columns that older
// releases can live beside (the signer's key id) are added without a new layout, so that the
// stations of a line may be updated one by one (see kAddedColumns).
constexpr int kSchemaVersion = 1;
// Overrides the configuration's "history_server" key; set and empty: no server.
constexpr char kEnvironmentVariable[] = "UPGRADER_HISTORY_SERVER";
// libpq's own default (forever) would let a server that accepts and never answers hold a push.
constexpr int kConnectTimeoutS = 5;
// The longest one statement may take, a wait for a lock included: past it this side cuts the
// connection (a server that stops answering in the middle of a push or a read). The server is
// told its own, shorter limits for the session (below), so that one that still answers gives its
// reason first.
constexpr int kStatementBoundMs = 30000;

// The bound of the connections and pushes made without one: kStatementBoundMs, unless the
// program set another for the whole process (upgrader-cli, for its tests; see its --help).
int DefaultStatementBoundMs();
void SetDefaultStatementBoundMs(int ms);

// The server's lock_timeout for a bound: a lock held by another session (an administrator's
// maintenance, a transaction left open) is given up on, and named as such, before the statement's
// own limit.
constexpr int ServerLockTimeoutMs(int statement_bound_ms)
{
    return statement_bound_ms * 2 / 3;
}
// The server's statement_timeout for a bound.
constexpr int ServerStatementTimeoutMs(int statement_bound_ms)
{
    return statement_bound_ms * 5 / 6;
}

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

// The line's report (upgrader-cli history --server --report): the figures beside DaySummary.

// First-pass yield of one target on one day (the reader's local day). A unit's first pass is its
// first job for the target in the period that sent an image: a "current" job tested nothing and
// is left out, and so are jobs of units without a serial number, which cannot be told apart.
struct FirstPassDay {
    QDate day;  // of the unit's first pass
    QString target;
    qint64 units = 0;   // units whose first pass fell on that day
    qint64 passed = 0;  // of them, those whose first pass succeeded
};

// One station's jobs (the record's host).
struct StationTally {
    QString station;
    qint64 jobs = 0;
    qint64 successes = 0;  // success and current
    qint64 failures = 0;   // failed for a reason of the device, the link or the image
    qint64 stops = 0;      // failed because the operator stopped them or the window closed
    qint64 timeouts = 0;   // failed because --timeout stopped them
};

// Why failed jobs failed, grouped. Operator stops and time-outs are kinds of their own, whatever
// their error text; the others group by the first line of their error text with its numbers (a
// section address, a count of seconds) replaced by '#', spaces collapsed, trailing punctuation
// dropped and letter case ignored.
struct FailureReason {
    enum class Kind { Failure, Stop, Timeout };
    Kind kind = Kind::Failure;
    QString reason;  // the grouped first line; for a stop, who stopped the job
    qint64 count = 0;
};

// How long one target's successful upgrades (not "current") took, in seconds.
struct DurationSpread {
    QString target;
    qint64 count = 0;
    double min_s = 0, q1_s = 0, median_s = 0, q3_s = 0, max_s = 0;
};

// How many units of a target run a version now: the last job's version_after of each unit serial
// in the period (units without a serial are left out).
struct FieldVersion {
    QString target;
    QString version;  // as recorded; empty when the last job did not read it
    qint64 units = 0;
};

// How one image has done on the line (the line's guard): the jobs that put it to the test in the
// window asked for, after its latest release, and how many of them failed. A test is a job that
// reached the unit and ran on its own: not a target already current, not one an operator, a
// time-out or a closing window stopped, not one that never reached the unit (its port would not
// open: the station's fault, not the image's).
struct ImageFigures {
    qint64 jobs = 0;
    qint64 failures = 0;
    QDateTime released_at;  // the latest release of the image (UTC); invalid when it has none
};

// A supervisor's release of a halted image: who, when, from where, and why.
struct ImageRelease {
    QString image_sha256;
    QDateTime released_at;  // UTC, the server's clock
    QString user;
    QString host;
    QString reason;         // may be empty
};

// A connection to the line's server, used by one thread at a time (a driver connection belongs to
// the thread that made it). Opens on first use, bounded by the connect time-out. Every exchange
// after that is one statement under the bound: the server's own limits for the session, and past
// statement_bound_ms this side cuts the connection and the call fails. A failure's warning says
// in the tool's words what stood in the way (a lock, a server that did not answer, a role without
// the right, a table of another program); the driver itself reports nothing.
class Connection {
public:
    explicit Connection(const QString &connection, int statement_bound_ms = DefaultStatementBoundMs());
    ~Connection();
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;

    // Stores records, each once: one already on the server (pushed before, its answer lost) is
    // left as it is. False with *warning when the server could not take them; then none or all
    // of them are stored. *refused (when given) tells a server that was reached but refused the
    // values themselves (a data or constraint error) from one that could not be reached.
    bool Push(const QList<UpgradeRecord> &records, QString *warning, bool *refused = nullptr);
    // The records that pass filter, oldest first (id is the station's own record number). An
    // empty server (no table yet) holds none; a table "upgrades" that this tool did not make is
    // refused (false), never read as an empty history.
    bool Read(const Filter &filter, QList<UpgradeRecord> *records, QString *warning);
    // Per day and target, oldest day first, of the records that pass filter.
    bool Summarize(const Filter &filter, QList<DaySummary> *days, QString *warning);
    // The line's report's other figures, each of the records that pass filter, in the order of
    // the report's tables: by day then target, by station, by count (most first) then reason,
    // by target, by target then units (most first).
    bool FirstPasses(const Filter &filter, QList<FirstPassDay> *days, QString *warning);
    bool Stations(const Filter &filter, QList<StationTally> *stations, QString *warning);
    bool Reasons(const Filter &filter, QList<FailureReason> *reasons, QString *warning);
    bool Durations(const Filter &filter, QList<DurationSpread> *targets, QString *warning);
    bool FieldVersions(const Filter &filter, QList<FieldVersion> *versions, QString *warning);
    // The line's guard (line_releases.cpp). The image's figures in the last window_hours; a
    // server without the history yet has none.
    bool ImageRecord(const QString &sha256, double window_hours, ImageFigures *figures, QString *warning);
    // Records a release (its time is the server's); the releases' table is made when absent, and
    // one of that name that is not ours is refused.
    bool Release(ImageRelease *release, QString *warning);
    // The image's releases, latest first.
    bool Releases(const QString &sha256, QList<ImageRelease> *releases, QString *warning);
    // The images of the history whose SHA-256 begins with prefix (hex digits): at most two, enough
    // to tell whether the prefix names one.
    bool ImagesStartingWith(const QString &prefix, QStringList *matches, QString *warning);

    // Gives up on the connection for good, from any thread (a front end that ends, a command
    // told to stop): a statement waiting on the server returns at once with an error, and every
    // call after it fails at once.
    void Cut();

private:
    // What a statement is for, so that a refusal for want of a right names the right.
    enum class Act { Session, Read, Write, Create, Alter };
    // Why a statement failed: the tool's words, and the server's SQLSTATE (empty without one).
    struct Failure {
        QString reason;
        QString state;
    };
    enum class CutBy { None, Watchdog, Caller };

    bool Open(QString *warning);
    void Close();
    // The connection still stands (a failed statement may have ended it).
    bool Sound() const;
    // One statement under the watchdog, take_row at each row of its result (fetched under the
    // same bound). On a failure *failure says why, and a connection that did not survive it is
    // closed.
    bool Statement(const QString &sql, Act act, Failure *failure,
                   const std::function<void(const QSqlQuery &)> &take_row = {});
    // The failure's reason in the tool's words.
    QString Explain(const QString &server_reason, const QString &state, Act act);
    // Creates the schema on an empty server, or checks the one there; *writable false when the
    // server's schema is newer than this release's. A table "upgrades" of another program fails.
    bool CheckSchema(bool create, bool *present, bool *writable, QString *reason);
    // Why the database's table "upgrades" is not the history's; empty when it is (or is absent).
    bool ForeignTable(bool schema_present, QString *foreign, QString *reason);
    // Adds columns_to_add to the table, each once among stations that meet it together.
    bool AddColumns(QString *reason);
    // Open, and the schema checked (made first when create); on a failure the connection is closed.
    bool Ready(bool create, bool *present, bool *can_write, QString *warning);
    // The session's days are this computer's (by its zone's name, or its present offset).
    bool ReaderZone(QString *warning);
    // Ready, the reader's zone set, then sql's rows to take_row; false with *warning on a failure.
    // A server without the history's table holds no rows.
    bool ReadRows(const QString &sql, const std::function<void(const QSqlQuery &)> &take_row, QString *warning);
    // The releases' table: false with *reason when it cannot be read (or made, when create) or is
    // another program's; *present whether it is there.
    bool ReleaseTable(bool create, bool *present, QString *reason);
    void Arm();
    void Disarm();
    void Watch();
    void CutLocked(CutBy by);  // with mutex held

    const QString connection;
    const int statement_bound_ms;
    const QString name;  // of the driver connection
    bool open = false;
    bool schema_checked = false;
    bool writable = false;
    int server_schema = 0;
    QStringList columns_to_add;  // of the later columns, those the server's table lacks yet
    QString role;           // the session's user and database, as libpq connected them
    QString database_name;

    // The watchdog: cuts the connection when a statement runs past its bound.
    std::mutex mutex;
    std::condition_variable wake;
    bool armed = false;
    bool ending = false;
    CutBy cut_by = CutBy::None;  // what cut the connection during the call under way
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
