#pragma once

#include "upgrade_record.h"

#include <QDateTime>
#include <QList>
#include <QString>

// The upgrade history: an SQLite database of one record per job, shared by the window and any
// number of command processes on the station. Every call opens its own connection (connections
// belong to the thread that made them) and removes it before returning, so a process that runs
// for a whole shift holds no connection or file between jobs.
namespace HistoryStore {

constexpr char kFileName[] = "upgrade-history.sqlite";
// Layout of the database, kept in PRAGMA user_version. A later release that changes the table
// migrates older files forward from this number. 2 added unit_serial, version_before and
// version_after (and the result "current"); 3 the record's uid and the outbox to the line's server
// (records of older releases wait in it too); 4 the id of the key that signed the image.
constexpr int kSchemaVersion = 4;
// How long a writer waits for another writer's transaction before giving up with a warning. An
// append takes milliseconds, so this only runs out when something holds the file far too long.
constexpr int kBusyTimeoutMs = 5000;

// What this account may do beside a configuration, as the places below depend on it.
struct Access {
    bool folder_writable = false;  // the configuration's folder: new files may be made there
    bool beside_readable = false;  // the history file beside the configuration exists and may be read
};

// Where the history of a configuration is read from and written to.
struct Places {
    QString read;
    QString write;
};

// The rule, given what the account may do (Probe): records are written beside the configuration
// when its folder is writable, otherwise (an installed program's folder, or no configuration) in
// the user's data folder, shared by every program of the tool. A file beside the configuration
// in a folder that may not be written is not written to even when the file itself may be: SQLite
// makes its -wal, -shm or -journal file next to it at every write. Reading takes the file beside
// the configuration whenever it exists and may be read, else the file the account writes.
Places Choose(const QString &config_path, const Access &access);
// What this process may do beside config_path (nothing when it is empty).
Access Probe(const QString &config_path);
// Where the jobs of the configuration at config_path write their records: Choose(...).write.
QString Location(const QString &config_path);
// Where `history` reads the records of the configuration at config_path: Choose(...).read.
QString ReadLocation(const QString &config_path);

// Appends one record in one transaction, creating the database or bringing its schema up to
// date first. Empty on success; otherwise the warning to show, naming the file and the reason.
// On Unix, a database made in a folder whose group may write it (a station's shared folder)
// is given to that group with mode 0664, and so are its -wal, -shm and -journal files that this
// process made, so that every operator of the station can write the next record.
// Nothing here throws or ends the process: a broken history costs a warning, never a job.
QString Append(const QString &database, const UpgradeRecord &record, int busy_timeout_ms = kBusyTimeoutMs);

// The outbox to the line's server: every record waits in it from its append until MarkSent.
// These write (a file of an older release is brought to the present schema, which names every
// record with a uid), and like Append cost a warning (naming the file), never more. A missing
// file has nothing waiting.
//
// The records that wait, oldest first, at most limit, of those numbered above after_id (a push
// walks the outbox once, past a record the server would not take).
QList<UpgradeRecord> ReadWaiting(const QString &database, int limit, qint64 after_id, QString *warning);
// How many records wait; -1 when that cannot be told (*warning says why).
qint64 CountWaiting(const QString &database, QString *warning);
// The records of these ids are on the server.
QString MarkSent(const QString &database, const QList<qint64> &ids);

// Which records to read: all of one target (or of every target when empty), of one unit (its
// serial number exactly; every unit when empty), started at or after since and before until (each
// open when invalid).
struct Filter {
    QString target;
    QString serial;
    QDateTime since;
    QDateTime until;
};

// Records that pass filter, oldest first. A missing file holds no records and is no failure; a
// file that cannot be read sets *warning and gives what could be read (usually nothing). A file
// of an older schema is read as it is (never migrated by a reader): its missing fields are empty.
QList<UpgradeRecord> Read(const QString &database, const Filter &filter, QString *warning);

// "--since" as an operator writes it: a date ("2024-05-01", the local midnight that starts it) or
// a date and time in ISO 8601 (local time unless it names its offset or "Z"). False when the text
// is neither.
bool ParseSince(const QString &text, QDateTime &since);
// "--until" likewise, the end of a period: a date takes in the whole of that day (until the local
// midnight that ends it), a time is the first instant no longer taken.
bool ParseUntil(const QString &text, QDateTime &until);

// The account the process runs under (not what the environment claims).
QString CurrentUser();

}  // namespace HistoryStore
