#include "sim_port_catalog.h"

#include <QMutex>
#include <QMutexLocker>

#include <map>

namespace {

QMutex lock;
std::map<int, PortInfo> ports;  // handle order is enumeration order
int next_handle = 1;

}  // namespace

void SimPortCatalog::Install()
{
    PortCatalog::SetProvider(&SimPortCatalog::Ports);
}

void SimPortCatalog::Uninstall()
{
    PortCatalog::SetProvider({});
}

int SimPortCatalog::Add(const PortInfo &port)
{
    QMutexLocker locker(&lock);
    ports[next_handle] = port;
    return next_handle++;
}

void SimPortCatalog::Remove(int handle)
{
    QMutexLocker locker(&lock);
    ports.erase(handle);
}

void SimPortCatalog::Clear()
{
    QMutexLocker locker(&lock);
    ports.clear();
}

QList<PortInfo> SimPortCatalog::Ports()
{
    QMutexLocker locker(&lock);
    QList<PortInfo> list;
    for (const auto &entry : ports)
        list.append(entry.second);
    return list;
}
