#pragma once

#include "upgrade_record.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QVector>

#include <functional>
#include <memory>
#include <vector>

class HistorySync;
class LocalPgServer;

// The line's shared history seen from a station: how long the station's waiting records take to
// reach the line's server, and what such a push costs a job running in the same process.

// The i-th record of a busy line (fields as a station's jobs leave them, varied with i so that the
// server's indexes and texts see realistic data), started some minutes after start.
UpgradeRecord BenchRecord(int i, const QDateTime &start);

// Appends count records, numbered from first, to database one by one as jobs do
// (HistoryStore::Append). Empty on success, otherwise the store's warning. Asks stop (when given)
// before each record and ends early, without a warning, once it says so.
QString AppendRecords(const QString &database, int first, int count, const std::function<bool()> &stop = {});

// Copies a station's history file (and its write-ahead log, when one is left) to copy: the same
// records, all still waiting.
bool CopyHistory(const QString &database, const QString &copy, QString *error);

// One push of everything waiting in database, by a fresh connection, to a new empty database of
// server named server_database; then what the server holds.
struct PushRun {
    double seconds = 0;        // connecting, making the schema, and every batch until none waits
    qint64 sent = 0;
    qint64 waiting = -1;       // in the station's file afterwards
    qint64 server_rows = -1;   // on the server afterwards
    qint64 server_uids = -1;   // distinct uids among them
    QString warning;           // the push's own, when it stopped short
};
bool PushToNewDatabase(LocalPgServer &server, const QString &server_database, const QString &database, int batch,
                       PushRun *run, QString *error);

// Pushes going on in this process while one job runs, as a station's HistorySync makes them: each
// pass pushes `records` records that wait in a station file of their own to an empty table of
// their own on the server (so each pass's records are new to the server), the first kicked when
// the job starts and each next one as soon as the one before ends, for as long as the job runs.
class PushDuringJob : public QObject {
    Q_OBJECT

public:
    struct Figures {
        int passes_started = 0;
        int passes_ended = 0;      // before the job ended
        qint64 records_sent = 0;   // by the job's end
        double busy_s = 0;         // time a push was under way during the job
        bool outlasted = false;    // a pass was still under way when the job ended
        QString warning;           // a pass that failed
    };

    // passes: how many are made ready; the job should end before the last of them does. tag
    // names this job's tables on the server.
    PushDuringJob(LocalPgServer &server, const QString &folder, const QString &master, int records, int passes,
                  const QString &tag, QObject *parent = nullptr);
    ~PushDuringJob() override;

    // Copies master once per pass and makes the server's databases. Before the job.
    bool Prepare(QString *error);
    // Kicks the first pass: when the job starts.
    void Start();
    // When the job has ended, job_s after Start: what the pushes did during it. Then waits for the
    // pass under way to end (bounded), so that the next measurement begins with an idle server.
    Figures End(double job_s);
    // After End: every pass kicked left exactly its records on the server.
    bool Check(QString *error);

private:
    void PassEnded(int pass, qint64 sent, const QString &warning);
    QString Schema(int pass) const;

    LocalPgServer &server;
    const QString folder;
    const QString master;
    const int records;
    const int passes;
    const QString tag;
    std::vector<std::unique_ptr<HistorySync>> syncs;
    QVector<QString> files;
    QElapsedTimer since_start;
    // Per pass started and ended, in seconds after Start, and what each ended pass sent.
    QVector<double> started_at_s;
    QVector<double> ended_at_s;
    QVector<qint64> sent_by_pass;
    int current = -1;            // the pass under way; -1 before Start and after the last
    bool ending = false;
    Figures figures;
};
