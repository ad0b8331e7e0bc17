#pragma once

#include "job_control.h"
#include "upgrade_job.h"
#include "upgrade_sequence.h"

#include <QThread>
#include <QTimer>

#include <memory>

// One job's sequence on a thread of its own, as the engine runs it, with what the engine shares
// with a job in the test's hands: the ticks (from a 1 ms timer in the test's thread, or one at a
// time from the test itself), the stop, and the passes the job has made.
class SequenceThread {
public:
    enum class Ticks { Timer, ByHand };
    explicit SequenceThread(const UpgradeJob &job, Ticks ticks = Ticks::Timer);
    // Stops the job and waits for its thread.
    ~SequenceThread();
    SequenceThread(const SequenceThread &) = delete;
    SequenceThread &operator=(const SequenceThread &) = delete;

    void Start();
    void Stop(StopKind kind = StopKind::Operator) { control.RequestStop(kind); }

    JobControl control;
    UpgradeSequence sequence;
    std::unique_ptr<QThread> thread;

private:
    Ticks ticks;
    QTimer ticker;
};
