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
// migrates older files forward from this number.
constexpr int kSchemaVersion = 1;
// How long a writer waits for another writer's transaction before giving up with a warning. An
// append takes milliseconds, so this only runs out when something holds the file far too long.
constexpr int kBusyTimeoutMs = 5000;

// Where the history of the configuration at config_path lives: next to the configuration when
// that folder is writable; otherwise (an installed program's folder, or no configuration) in the
// user's data folder, shared by every program of the tool. Reading and writing use the same rule.
QString Location(const QString &config_path);

// Appends one record in one transaction, creating the database or bringing its schema up to
// date first. Empty on success; otherwise the warning to show, naming the file and the reason.
// Nothing here throws or ends the process: a broken history costs a warning, never a job.
QString Append(const QString &database, const UpgradeRecord &record, int busy_timeout_ms = kBusyTimeoutMs);

// Which records to read: all of one target (or of every target when empty), started at or after
// since (every record when invalid).
struct Filter {
    QString target;
    QDateTime since;
};

// Records that pass filter, oldest first. A missing file holds no records and is no failure; a
// file that cannot be read sets *warning and gives what could be read (usually nothing).
QList<UpgradeRecord> Read(const QString &database, const Filter &filter, QString *warning);

// "--since" as an operator writes it: a date ("2024-05-01", the local midnight that starts it) or
// a date and time in ISO 8601 (local time unless it names its offset or "Z"). False when the text
// is neither.
bool ParseSince(const QString &text, QDateTime &since);

// The account the process runs under (not what the environment claims).
QString CurrentUser();

}  // namespace HistoryStore
