#include "sim_port_catalog.h"

#include "channel_opener.h"
#include "sim_memory_channel.h"

#include <QMutex>
#include <QMutexLocker>

#include <map>

namespace {

QMutex lock;
std::map<int, PortInfo> ports;  // handle order is enumeration order
int next_handle = 1;
std::function<void()> listener;

void Notify()
{
    std::function<void()> current;
    {
        QMutexLocker locker(&lock);
        current = listener;
    }
    if (current)
        current();
}

}  // namespace

void SimPortCatalog::Install()
{
    PortCatalog::SetProvider(&SimPortCatalog::Ports);
    SetChannelOpener(&SimMemoryChannel::OpenIfInMemory);
}

void SimPortCatalog::Uninstall()
{
    PortCatalog::SetProvider({});
    SetChannelOpener({});
}

int SimPortCatalog::Add(const PortInfo &port)
{
    int handle = 0;
    {
        QMutexLocker locker(&lock);
        ports[next_handle] = port;
        handle = next_handle++;
    }
    Notify();
    return handle;
}

void SimPortCatalog::Remove(int handle)
{
    {
        QMutexLocker locker(&lock);
        ports.erase(handle);
    }
    Notify();
}

void SimPortCatalog::Clear()
{
    {
        QMutexLocker locker(&lock);
        ports.clear();
    }
    Notify();
}

QList<PortInfo> SimPortCatalog::Ports()
{
    QMutexLocker locker(&lock);
    QList<PortInfo> list;
    for (const auto &entry : ports)
        list.append(entry.second);
    return list;
}

void SimPortCatalog::SetListener(std::function<void()> replacement)
{
    QMutexLocker locker(&lock);
    listener = std::move(replacement);
}
