#include "history_sync.h"

#include <algorithm>

#if defined(Q_OS_LINUX)
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#elif defined(Q_OS_WIN)
#include <windows.h>
#endif

namespace {

// The push yields the processor to everything else of the station, above all to the thread that
// delivers a job's ticks: it may take longer, never a job. (Linux keeps a nice value per thread.)
void YieldToTheJobs()
{
#if defined(Q_OS_LINUX)
    setpriority(PRIO_PROCESS, id_t(syscall(SYS_gettid)), 19);
#elif defined(Q_OS_WIN)
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_LOWEST);
#endif
}

}  // namespace

HistorySync::HistorySync(const QString &database, const QString &connection, QObject *parent)
    : HistorySync(database, connection, Pacing(), parent)
{
}

HistorySync::HistorySync(const QString &database, const QString &connection, const Pacing &pacing, QObject *parent)
    : QObject(parent), database(database), connection(connection), pacing(pacing)
{
    worker = std::thread([this] { Run(); });
}

HistorySync::~HistorySync()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
        stop_flag = true;
        if (server)
            server->Cut();
    }
    wake.notify_all();
    worker.join();
}

void HistorySync::Kick()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        kicked = true;
        ++kicks;
    }
    wake.notify_all();
}

HistoryServer::SyncTally HistorySync::Finish(int timeout_ms)
{
    std::unique_lock<std::mutex> lock(mutex);
    kicked = true;
    const quint64 mine = ++kicks;
    wake.notify_all();
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    if (wake.wait_until(lock, until, [&] { return kick_done >= mine; }))
        return last;
    // Give up on the server, not on the records: they wait for the next start.
    if (server)
        server->Cut();
    lock.unlock();
    HistoryServer::SyncTally tally;
    tally.warning = QStringLiteral("Upgrade history not sent to the line's server: no answer within %1 s")
                        .arg(timeout_ms / 1000.0, 0, 'f', 1);
    QString unknown;
    tally.waiting = HistoryStore::CountWaiting(database, &unknown);
    return tally;
}

void HistorySync::Run()
{
    YieldToTheJobs();
    // The connection is made and ended on this thread: a driver connection belongs to its thread.
    {
        std::lock_guard<std::mutex> lock(mutex);
        server = std::make_unique<HistoryServer::Connection>(connection, pacing.statement_bound_ms);
    }
    std::unique_lock<std::mutex> lock(mutex);
    while (!stopping) {
        if (!kicked) {
            if (retry_due)
                wake.wait_until(lock, retry_at);
            else
                wake.wait(lock);
            if (stopping)
                break;
            if (!kicked && !(retry_due && std::chrono::steady_clock::now() >= retry_at))
                continue;
        }
        kicked = false;
        retry_due = false;
        const quint64 serving = kicks;
        lock.unlock();
        const HistoryServer::SyncTally tally = HistoryServer::PushWaiting(database, *server, pacing.batch, &stop_flag);
        lock.lock();
        last = tally;
        kick_done = serving;
        if (tally.warning.isEmpty()) {
            failures = 0;
        } else if (!stopping) {
            // Sooner at first (a server restarting), then less often (a server gone for the night).
            const qint64 delay = std::min<qint64>(qint64(pacing.first_retry_ms) << std::min(failures, 20),
                                                  pacing.longest_retry_ms);
            ++failures;
            retry_at = std::chrono::steady_clock::now() + std::chrono::milliseconds(delay);
            retry_due = true;
        }
        const bool tell = tally.warning != said;
        said = tally.warning;
        wake.notify_all();
        lock.unlock();
        emit Pushed(tally.sent, tally.waiting, tally.warning, tell);
        lock.lock();
    }
    server.reset();
}
