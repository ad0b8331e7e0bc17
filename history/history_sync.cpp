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

void HistorySync::KickLast()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        kicked = true;
        last_kick = ++kicks;
    }
    wake.notify_all();
}

bool HistorySync::Abandon(int timeout_ms)
{
    std::unique_lock<std::mutex> lock(mutex);
    stopping = true;
    stop_flag = true;
    // The records stay waiting: the next start sends them, each once.
    if (server)
        server->Cut();
    wake.notify_all();
    return wake.wait_for(lock, std::chrono::milliseconds(timeout_ms), [this] { return ended; });
}

void HistorySync::Run()
{
    YieldToTheJobs();
    // The connection is made and ended on this thread: a driver connection belongs to its thread.
    {
        std::lock_guard<std::mutex> lock(mutex);
        server = std::make_unique<HistoryServer::Connection>(
            connection, pacing.statement_bound_ms > 0 ? pacing.statement_bound_ms : HistoryServer::DefaultStatementBoundMs());
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
        const bool finished = last_kick != 0 && serving >= last_kick;
        if (finished)
            last_kick = 0;
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
        if (finished)
            emit Finished(tally.sent, tally.waiting, tally.warning);
        lock.lock();
    }
    lock.unlock();
    {
        // Made and ended on this thread; Cut may reach it from another until then.
        std::unique_ptr<HistoryServer::Connection> ending;
        {
            std::lock_guard<std::mutex> guard(mutex);
            ending = std::move(server);
        }
    }
    std::lock_guard<std::mutex> guard(mutex);
    ended = true;
    wake.notify_all();
}
