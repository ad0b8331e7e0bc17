#include "sim_memory_channel.h"

#include "channel_opener.h"

#include <QElapsedTimer>

#include <poll.h>

namespace {

// How long a write waits for room in a full port, as the serial driver waits for its bytes to
// leave (milliseconds).
constexpr int kSendWaitMs = 1;

// The system's words for a port that cannot be opened, as the serial port reports them.
constexpr char kGoneReason[] = "No such file or directory";
constexpr char kHeldReason[] = "Permission error while locking the device";

}  // namespace

std::unique_ptr<ByteChannel> SimMemoryChannel::OpenIfInMemory(const PortInfo &port)
{
    if (!SimMemoryPort::IsMemoryPortName(port.name))
        return nullptr;
    return std::make_unique<SimMemoryChannel>(port);
}

SimMemoryChannel::SimMemoryChannel(const PortInfo &info)
{
    if (info.name.isEmpty())
        return;
    catalog_name = info.name;
    std::shared_ptr<SimMemoryPort> found = SimMemoryPort::Find(info.name);
    const SimMemoryPort::OpenResult opened = found ? found->Open() : SimMemoryPort::OpenResult::Gone;
    if (opened != SimMemoryPort::OpenResult::Opened) {
        LogPortNotOpened(info.name, QLatin1String(opened == SimMemoryPort::OpenResult::Held ? kHeldReason : kGoneReason));
        return;
    }
    port = std::move(found);
    connected = true;
}

SimMemoryChannel::~SimMemoryChannel()
{
    if (port)
        port->Close();
}

void SimMemoryChannel::PassOn()
{
    if (!port || held_back.isEmpty())
        return;
    const int taken = port->Write(held_back);
    if (taken < 0)
        held_back.clear();  // the device is gone: nothing will ever read them
    else
        held_back.remove(0, taken);
}

bool SimMemoryChannel::Collect()
{
    if (!port)
        return false;
    bool gone = false;
    const QByteArray bytes = port->Read(&gone);
    if (gone)
        connected = false;
    rx_bytes += bytes;
    return !bytes.isEmpty();
}

void SimMemoryChannel::Send(const QByteArray &bytes)
{
    if (!connected)
        return;
    held_back += bytes;
    PassOn();
    if (!held_back.isEmpty() && port->WaitForRoom(kSendWaitMs))
        PassOn();
}

void SimMemoryChannel::TakeInput()
{
    PassOn();
    Collect();
}

bool SimMemoryChannel::WaitForInput(int ms)
{
    if (!port)
        return false;
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        PassOn();
        if (Collect())
            return true;
        if (port->IsGone())
            return false;
        int wait_ms = -1;  // a negative ms waits without a time limit, as the serial port's wait does
        if (ms >= 0) {
            const qint64 left = ms - clock.elapsed();
            if (left <= 0)
                return false;
            wait_ms = int(left);
        }
        pollfd fd{port->HostWakeFd(), POLLIN, 0};
        ::poll(&fd, 1, wait_ms);
    }
}

QByteArray SimMemoryChannel::TakeReceived()
{
    QByteArray taken;
    taken.swap(rx_bytes);
    return taken;
}

qintptr SimMemoryChannel::WaitHandle() const
{
    return port ? port->HostWakeFd() : -1;
}

void SimMemoryChannel::Disconnect()
{
    connected = false;
    held_back.clear();
    rx_bytes.clear();
    if (port)
        port->DropInFlight();
}
