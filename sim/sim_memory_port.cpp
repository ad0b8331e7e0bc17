#include "sim_memory_port.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <map>

namespace {

// Memory ports' names: the prefix and a number never given twice in the process, so that a base
// that comes back after leaving USB is a new port, as its new tty name makes it on a real bus.
constexpr char kNamePrefix[] = "sim-memory-";

std::mutex registry_lock;
std::map<QString, std::weak_ptr<SimMemoryPort>> registry;
int ports_made = 0;

}  // namespace

std::shared_ptr<SimMemoryPort> SimMemoryPort::Create(std::function<void()> wake_device)
{
    std::lock_guard<std::mutex> lock(registry_lock);
    const QString name = QLatin1String(kNamePrefix) + QString::number(++ports_made);
    std::shared_ptr<SimMemoryPort> port(new SimMemoryPort(name));
    port->wake_device = std::move(wake_device);
    registry[name] = port;
    return port;
}

std::shared_ptr<SimMemoryPort> SimMemoryPort::Find(const QString &name)
{
    std::lock_guard<std::mutex> lock(registry_lock);
    const auto it = registry.find(name);
    return it == registry.end() ? nullptr : it->second.lock();
}

bool SimMemoryPort::IsMemoryPortName(const QString &name)
{
    return name.startsWith(QLatin1String(kNamePrefix));
}

SimMemoryPort::SimMemoryPort(const QString &port_name) : name(port_name)
{
    host_wake_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
}

SimMemoryPort::~SimMemoryPort()
{
    {
        std::lock_guard<std::mutex> lock(registry_lock);
        registry.erase(name);
    }
    if (host_wake_fd >= 0)
        ::close(host_wake_fd);
}

void SimMemoryPort::WakeHost()
{
    const uint64_t one = 1;
    // Fails only when the count would overflow: the host is woken anyway.
    [[maybe_unused]] const ssize_t n = ::write(host_wake_fd, &one, sizeof one);
}

void SimMemoryPort::ClearWake()
{
    uint64_t count = 0;
    [[maybe_unused]] const ssize_t n = ::read(host_wake_fd, &count, sizeof count);
}

// --- The device's side -----------------------------------------------------------------------

QByteArray SimMemoryPort::TakeFromHost(int max)
{
    std::lock_guard<std::mutex> lock(mutex);
    const QByteArray taken = from_host.left(max);
    from_host.remove(0, taken.size());
    if (!taken.isEmpty() && host_waits_for_room) {
        host_waits_for_room = false;
        room.notify_all();
        WakeHost();  // the host passes on what it held back at its next look
    }
    return taken;
}

void SimMemoryPort::SendToHost(const QByteArray &bytes)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (gone || !held || bytes.isEmpty())
        return;
    to_host += bytes;
    WakeHost();
}

void SimMemoryPort::Detach()
{
    std::lock_guard<std::mutex> lock(mutex);
    if (gone)
        return;
    gone = true;
    from_host.clear();
    to_host.clear();
    wake_device = nullptr;
    room.notify_all();
    WakeHost();  // and it stays readable: nothing clears it any more
}

bool SimMemoryPort::IsGone() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return gone;
}

bool SimMemoryPort::IsHeld() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return held;
}

// --- The host's side -------------------------------------------------------------------------

SimMemoryPort::OpenResult SimMemoryPort::Open()
{
    std::lock_guard<std::mutex> lock(mutex);
    if (gone)
        return OpenResult::Gone;
    if (held)
        return OpenResult::Held;
    held = true;
    to_host.clear();
    ClearWake();
    return OpenResult::Opened;
}

void SimMemoryPort::Close()
{
    std::lock_guard<std::mutex> lock(mutex);
    held = false;
    host_waits_for_room = false;
    to_host.clear();
}

int SimMemoryPort::Write(const QByteArray &bytes)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (gone)
        return -1;
    const int taken = qMin(bytes.size(), kHostBufferBytes - from_host.size());
    if (taken > 0) {
        from_host.append(bytes.constData(), taken);
        if (wake_device)
            wake_device();
    }
    if (taken < bytes.size())
        host_waits_for_room = true;
    return taken;
}

bool SimMemoryPort::WaitForRoom(int ms)
{
    std::unique_lock<std::mutex> lock(mutex);
    return room.wait_for(lock, std::chrono::milliseconds(ms),
                         [this] { return gone || from_host.size() < kHostBufferBytes; }) &&
           !gone;
}

QByteArray SimMemoryPort::Read(bool *gone_now)
{
    std::lock_guard<std::mutex> lock(mutex);
    *gone_now = gone;
    if (!gone)
        ClearWake();  // with the bytes it told of; whatever the device sends next wakes it again
    QByteArray taken;
    taken.swap(to_host);
    return taken;
}

void SimMemoryPort::DropInFlight()
{
    std::lock_guard<std::mutex> lock(mutex);
    from_host.clear();
    to_host.clear();
}
