#pragma once

#include "job_end.h"
#include "upgrade_launch.h"
#include "upgrade_record.h"

#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QString>

class QThread;
class UpgradeServer;

// Keeps the upgrade history for one engine on behalf of a front end (the window, the command):
// the facts of the launch when a job starts, the error text as the engine reports it, and one
// record when the engine reports why the job ended (JobEnded), also for a job that ended before
// it began (a port that would not open). The result and who stopped the job come from that
// reason, never from the error text. Lives in the front end's thread.
//
// The record is written on a short-lived thread of its own: a database that is locked, broken
// or on a full disk costs a warning (Recorded), never the job's result, and never stalls the
// event loop whose ticks pace the jobs.
class JobRecordKeeper : public QObject {
    Q_OBJECT

public:
    // front_end: UpgradeRecord::kWindow or kCommand.
    JobRecordKeeper(UpgradeServer &server, const QString &front_end, QObject *parent = nullptr);
    // Waits for records still being written, so none is lost when the front end closes.
    ~JobRecordKeeper() override;

    // Call right before the engine starts the job of target described by job; the record goes to
    // database (see HistoryStore::Location). Reads the port catalog and the image file.
    void Begin(const QString &target, const LaunchJob &job, const QString &database);
    // The engine did not start the job after all: nothing is recorded for it.
    void Abandon();
    // The target already runs the image's version and nothing is sent: its record, "current",
    // written now with the facts of the launch.
    void RecordCurrent(const QString &target, const LaunchJob &job, const QString &database);
    // The version after the last job is read now, once, if it is still to be read (and the job's
    // thread has ended): the record is then on its way. For a window that closes.
    void FinishReading();
    // No job being followed and no record being written: a command may exit.
    bool Idle() const { return !active && !reading_after && writers.isEmpty(); }

signals:
    // A job's record was written (warning empty) or could not be (warning says where and why).
    void Recorded(const UpgradeRecord &record, const QString &warning);

private:
    void OnErrorText(const QString &text);
    void OnJobEnded(JobEndReason reason);
    void OnJobThreadEnded();
    // Once the job's thread has let go of the port: what the target runs now, then the record.
    // After a success the target must come back to its application (the base restarts off USB
    // once more), so it is asked again until it does or the bound has passed; last: this once.
    void ReadVersionAfter(bool last = false);
    void Write(const UpgradeRecord &record);

    UpgradeServer &server;
    const QString front_end;

    // The job being followed, from Begin to the end of its thread.
    bool active = false;
    UpgradeRecord record;
    QString database;
    QString image_problem;  // why the image could not be read at the start, if it could not
    QElapsedTimer clock;    // monotonic: the duration must survive a clock change
    // The unit whose target's version is read after the job (the record names its device and
    // product id), and whether that is still to do.
    UnitKey unit;
    bool reading_after = false;
    QElapsedTimer after_clock;  // since the job's thread ended
    int after_round = 0;        // which job a pending retry is for

    QList<QThread *> writers;  // owned; each is let go once its record is written
};
