#include "tick_wake.h"

#include "waits.h"

#include "byte_channel.h"
#include <QtGlobal>

#include <algorithm>
#include <chrono>
#include <cstdint>

#if defined(Q_OS_LINUX)
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>
#endif

TickWake::TickWake()
{
#if defined(Q_OS_LINUX)
    event_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);  // on failure: the condition variable
#endif
}

TickWake::~TickWake()
{
#if defined(Q_OS_LINUX)
    if (event_fd >= 0)
        ::close(event_fd);
#endif
}

void TickWake::Signal()
{
    if (!armed.exchange(false))
        return;  // nobody waits: the next wait asks its condition first
#if defined(Q_OS_LINUX)
    if (event_fd >= 0) {
        const uint64_t one = 1;
        // Fails only when the counter would overflow: then a wake is pending anyway.
        if (::write(event_fd, &one, sizeof one) < 0) {
        }
        return;
    }
#endif
    {
        std::lock_guard<std::mutex> lock(mutex);
        pending = true;
    }
    signalled.notify_one();
}

TickWake::Woken TickWake::Wait(const ByteChannel *port, int timeout_ms, const std::function<bool()> &done)
{
    Woken woken;
    if (timeout_ms != 0) {
        armed = true;
        if (done()) {
            armed = false;
            return woken;
        }
    }
    woken = WaitArmed(port, timeout_ms);
    armed = false;
    return woken;
}

TickWake::Woken TickWake::WaitArmed(const ByteChannel *port, int timeout_ms)
{
    Woken woken;
#if defined(Q_OS_LINUX)
    if (event_fd >= 0) {
        pollfd fds[2] = {{event_fd, POLLIN, 0}, {port ? int(port->WaitHandle()) : -1, POLLIN, 0}};
        const nfds_t count = fds[1].fd >= 0 ? 2 : 1;
        // A port poll() cannot watch is looked at every few milliseconds instead.
        const bool blind = port && count == 1;
        const int poll_ms = blind ? (timeout_ms < 0 ? Waits::kPacingPollMs : std::min(timeout_ms, Waits::kPacingPollMs))
                                  : timeout_ms;
        if (::poll(fds, count, poll_ms) <= 0) {
            woken.port = blind;
            return woken;  // timed out, or a signal interrupted the wait: the caller looks again
        }
        if (fds[0].revents & POLLIN) {
            uint64_t count_read = 0;
            if (::read(event_fd, &count_read, sizeof count_read) < 0) {
            }
            woken.signalled = true;
        }
        woken.port = blind || (count == 2 && fds[1].revents != 0);
        woken.port_hung_up = count == 2 && (fds[1].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
        return woken;
    }
#endif
    // The port cannot wake this wait: it ends often enough for the caller to look at the port.
    const int step_ms = timeout_ms < 0 ? Waits::kPacingPollMs : std::min(timeout_ms, Waits::kPacingPollMs);
    std::unique_lock<std::mutex> lock(mutex);
    woken.signalled = signalled.wait_for(lock, std::chrono::milliseconds(step_ms), [this] { return pending; });
    pending = false;
    woken.port = port != nullptr;
    return woken;
}
