#include "upgrade_server.h"

#include "platform.h"
#include "waits.h"

UpgradeServer::UpgradeServer()
{
    qRegisterMetaType<JobEndReason>();
    qRegisterMetaType<UpgradeProgress>();
    qRegisterMetaType<TargetStatusList>();
    Platform::TightenTimerSlack();  // the window's thread delivers the job's ticks
    tick_timer = new QTimer(this);
    tick_timer->setTimerType(Qt::PreciseTimer);
    connect(tick_timer, &QTimer::timeout, this, &UpgradeServer::TimerTick);
    connect(&poll_timer, &QTimer::timeout, this, &UpgradeServer::GetControlerState);
    connect(&probe, &UnitProbe::PushTargetStatus, this, &UpgradeServer::PushTargetStatus);
    // Ticks are only counted for a job: a window open all shift does not wake 1000 times a
    // second for nothing. A job started before this queued report arrives keeps its ticks.
    connect(this, &QThread::finished, this, [this] {
        if (!isRunning())
            tick_timer->stop();
    });
}

UpgradeServer::~UpgradeServer()
{
    // A job must never outlive the object it writes to: stop it and wait for its thread. The
    // stop wakes the pacing wait, which needs no more ticks from this thread.
    control.stop_requested = true;
    control.upgrading = false;
    control.tick_wake.Signal();
    wait();
}

bool UpgradeServer::Start(const UpgradeJob &request)
{
    if (LinkBusy())
        return false;
    requested = request;
    control.Begin();
    tick_timer->start(Waits::kTickIntervalMs);
    start(QThread::HighPriority);
    return true;
}

bool UpgradeServer::Stop(StopKind kind)
{
    if (!control.upgrading || !isRunning())
        return false;
    control.RequestStop(kind);
    return true;
}

void UpgradeServer::StartPolling()
{
    poll_timer.start(Waits::kPollIntervalMs);
}

void UpgradeServer::StopPolling()
{
    poll_timer.stop();
}

void UpgradeServer::TimerTick()
{
    control.Tick();
}

void UpgradeServer::GetControlerState()
{
    probe.Poll();
}

bool UpgradeServer::Gate::TakeLink()
{
    if (server.LinkBusy())
        return false;
    server.control.upgrading = true;
    return true;
}

void UpgradeServer::Gate::GiveLink()
{
    server.control.upgrading = false;
}

void UpgradeServer::run()
{
    // The job's record is its own, in this thread; its reports become the engine's.
    UpgradeSequence sequence(requested, control);
    connect(&sequence, &UpgradeSequence::Progress, this, &UpgradeServer::Progress, Qt::DirectConnection);
    connect(&sequence, &UpgradeSequence::UpdateUpgradeProgress, this, &UpgradeServer::UpdateUpgradeProgress,
            Qt::DirectConnection);
    connect(&sequence, &UpgradeSequence::UpdateVerifyProgress, this, &UpgradeServer::UpdateVerifyProgress,
            Qt::DirectConnection);
    connect(&sequence, &UpgradeSequence::PushErrorMsg, this, &UpgradeServer::PushErrorMsg, Qt::DirectConnection);
    connect(&sequence, &UpgradeSequence::PushUpgRes, this, &UpgradeServer::PushUpgRes, Qt::DirectConnection);
    connect(&sequence, &UpgradeSequence::PushLogMsg, this, &UpgradeServer::PushLogMsg, Qt::DirectConnection);
    // The outcome is in place before the last report leaves: its receivers may read it.
    connect(&sequence, &UpgradeSequence::JobEnded, this, [this](JobEndReason reason) {
        outcome.end = reason;
        outcome.stopped_by_operator = control.stopped_by_operator;
        outcome.stop_kind = control.stop_kind;
        emit JobEnded(reason);
    }, Qt::DirectConnection);
    sequence.Run();
    outcome.stats = sequence.Stats();
}
