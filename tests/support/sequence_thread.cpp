#include "sequence_thread.h"

#include "waits.h"

SequenceThread::SequenceThread(const UpgradeJob &job, Ticks delivery)
    : sequence(job, control), thread(QThread::create([this] { sequence.Run(); })), ticks(delivery)
{
    ticker.setTimerType(Qt::PreciseTimer);
    ticker.setInterval(Waits::kTickIntervalMs);
    QObject::connect(&ticker, &QTimer::timeout, [this] { control.Tick(); });
}

SequenceThread::~SequenceThread()
{
    control.RequestStop(StopKind::Operator);
    thread->wait();
}

void SequenceThread::Start()
{
    control.Begin();
    thread->start();
    if (ticks == Ticks::Timer)
        ticker.start();
}
