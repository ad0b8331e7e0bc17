#pragma once

#include "port_catalog.h"

#include <functional>

// The simulated port catalog: ports appear and vanish as simulated devices are plugged,
// restarted and unplugged. Installing it replaces the system enumeration for the whole process,
// and opens the memory ports it lists (any other port it lists is opened as a serial port).
namespace SimPortCatalog {

void Install();
void Uninstall();

// Publishes a port at the end of the enumeration order; returns a handle for Remove.
int Add(const PortInfo &port);
void Remove(int handle);
// Removes every port (a fresh start for the next test).
void Clear();

QList<PortInfo> Ports();

// Called after every change of the ports, in the thread that made it (a family's own thread,
// holding that family's lock): it must return quickly and must not call into a family. An empty
// listener removes it. Used to republish the ports to other processes.
void SetListener(std::function<void()> listener);

}  // namespace SimPortCatalog
