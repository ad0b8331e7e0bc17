#pragma once

#include "firmware_entry.h"
#include "job_control.h"
#include "job_end.h"
#include "target_status.h"
#include "unit_probe.h"
#include "upgrade_job.h"
#include "upgrade_progress.h"
#include "upgrade_sequence.h"

#include <QString>
#include <QThread>
#include <QTimer>

// How the last job ended; read once it has.
struct JobOutcome {
    JobEndReason end = JobEndReason::Success;
    bool stopped_by_operator = false;  // Stop() ended it
    StopKind stop_kind = StopKind::Operator;  // who, when Stop() did
    JobStats stats;  // what it spent its time on
};

// The upgrade engine as the window and the command see it. The object and its two timers live
// in the window's thread; each upgrade job runs an UpgradeSequence in this thread's run(), which
// owns the port for the job and reports by signals only. The status poll and the launch's short
// exchanges go through the unit probe, in the window's thread, while no job holds the link.
class UpgradeServer : public QThread {
    Q_OBJECT

public:
    UpgradeServer();
    ~UpgradeServer() override;

    // Starts a job (called from the thread the engine lives in); false, and nothing started,
    // while the link is busy.
    bool Start(const UpgradeJob &job);
    // Asks the running job to stop, as the operator does; it ends after its current pass and
    // then returns the unit to its application where it can. False when no job was running (or
    // it was already stopping).
    bool Stop(StopKind kind = StopKind::Operator);
    // A job holds the link, from its start until it ends or is asked to stop (the probe's own
    // exchanges also set it while they run).
    bool Upgrading() const { return control.upgrading; }
    // A job, the status poll or a short exchange holds the link, or a job's thread is still
    // ending: nothing else may open the port now.
    bool LinkBusy() const { return control.upgrading || isRunning(); }
    // How the last job ended; read once it has.
    const JobOutcome &LastJob() const { return outcome; }

    // The short exchanges with a unit between jobs, and the status poll's settings.
    UnitProbe &Probe() { return probe; }
    // The configured targets the status poll looks at; null stops it from polling.
    void SetFirmwareEntries(const FirmwareEntries *entries) { probe.SetFirmwareEntries(entries); }
    void StartPolling();
    void StopPolling();
    bool IsPolling() const { return poll_timer.isActive(); }

signals:
    // Where the job stands; every report of the two below comes with one of these first.
    void Progress(const UpgradeProgress &progress);
    void UpdateUpgradeProgress(bool is_show, float value);
    void UpdateVerifyProgress(bool is_show, float value);
    void PushErrorMsg(QString text);
    void PushUpgRes(bool result);
    void PushLogMsg(QString text);
    // What the status poll found of every configured target, and what the hardware query found
    // of its device. Emitted in the window's thread.
    void PushTargetStatus(const TargetStatusList &statuses);
    // The last report of every job, after its result: why it ended.
    void JobEnded(JobEndReason reason);

public slots:
    // The 1 ms tick that paces a job's passes.
    void TimerTick();
    // One round of the status poll.
    void GetControlerState();

protected:
    void run() override;

private:
    // The link is free for a short exchange only while no job holds it or is still ending.
    class Gate : public LinkGate {
    public:
        explicit Gate(UpgradeServer &server) : server(server) {}
        bool TakeLink() override;
        void GiveLink() override;

    private:
        UpgradeServer &server;
    };

    UpgradeJob requested;  // written by Start in the window's thread, copied by the job
    JobControl control;    // shared with the job's thread
    JobOutcome outcome;    // written by the job's thread, read once the job has ended
    Gate gate{*this};
    UnitProbe probe{gate};
    QTimer *tick_timer = nullptr;
    QTimer poll_timer;
};
