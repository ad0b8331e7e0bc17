#pragma once

#include "job_end.h"

#include <QList>
#include <QObject>
#include <QStringList>

class QThread;
class UpgradeSequence;
class UpgradeServer;

// Records, in the test's thread, every report of the engine's jobs in the order the window
// would receive them: "upgrade true 0", "verify true 25", "log <text>", "error <text>",
// "result false", and "finished" when the job's thread has ended.
class JobRecorder : public QObject {
    Q_OBJECT

public:
    explicit JobRecorder(UpgradeServer &server);
    // A sequence the test runs on a thread of its own.
    JobRecorder(UpgradeSequence &sequence, QThread &thread);

    QStringList events;
    int finished = 0;
    // Why each job ended, as the engine said it last.
    QList<JobEndReason> reasons;

    // Waits (running the event loop, so the engine's ticks go on) until `jobs` jobs have ended.
    bool WaitFinished(int jobs = 1, int timeout_ms = 30000);
    // Events of one kind ("upgrade", "verify", "log", "error", "result") without their prefix.
    QStringList Of(const QString &kind) const;

private:
    template <class Source>
    void Record(Source &source, QThread &thread);
};
