#include "platform.h"

#include <QtTest>

#include <atomic>
#include <thread>

namespace {

constexpr qint64 kBurnNs = 60 * 1000 * 1000;

// Keeps the calling thread on the CPU until it has used `ns` of CPU time; returns what it used.
qint64 Burn(qint64 ns)
{
    const qint64 start = Platform::ThreadCpuNs();
    std::atomic<quint64> sink{0};
    qint64 used = 0;
    while (used < ns) {
        for (int i = 0; i < 10000; ++i)
            sink.fetch_add(quint64(i), std::memory_order_relaxed);
        used = Platform::ThreadCpuNs() - start;
    }
    return used;
}

}  // namespace

class TstPlatform : public QObject {
    Q_OBJECT

private slots:
    // The benchmark's CPU figure covers every thread of the process, not only the caller's.
    void processTimeCountsOtherThreads()
    {
        QVERIFY(Platform::ProcessCpuNs() > 0);
        const qint64 process_before = Platform::ProcessCpuNs();
        const qint64 caller_before = Platform::ThreadCpuNs();
        qint64 worker_used = 0;
        std::thread worker([&] { worker_used = Burn(kBurnNs); });
        worker.join();
        const qint64 caller_used = Platform::ThreadCpuNs() - caller_before;
        const qint64 process_used = Platform::ProcessCpuNs() - process_before;

        QVERIFY(worker_used >= kBurnNs);
        QVERIFY2(caller_used < worker_used / 2, qPrintable(QString::number(caller_used)));
        QVERIFY2(process_used >= worker_used + caller_used,
                 qPrintable(QStringLiteral("process %1 ns, worker %2 ns").arg(process_used).arg(worker_used)));
    }

    void threadTimeFollowsTheCaller()
    {
        const qint64 before = Platform::ThreadCpuNs();
        const qint64 used = Burn(kBurnNs / 2);
        QVERIFY(used >= kBurnNs / 2);
        QVERIFY(Platform::ThreadCpuNs() - before >= used);
    }
};

QTEST_APPLESS_MAIN(TstPlatform)
#include "tst_platform.moc"
