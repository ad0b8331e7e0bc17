#pragma once

#include "byte_channel.h"
#include "port_catalog.h"

#include <QString>

#include <functional>
#include <memory>

// How a port the catalog chose is opened. The shipped programs open every port as a serial port;
// a process that simulates its family in memory installs an opener for the ports it publishes,
// much as it replaces the catalog's provider. One opener for the whole process.

// For a chosen port (its name empty when none was found): a channel, or null to open the port as a
// serial port. Called in the thread that will own the channel.
using ChannelOpener = std::function<std::unique_ptr<ByteChannel>(const PortInfo &port)>;

// Installs the opener; an empty one restores the serial port for every port. Safe from any thread.
void SetChannelOpener(ChannelOpener opener);

// The installed opener's channel for the port choose() gives; null when none is installed (choose
// is then not called: looking a port up can cost a system enumeration) or it left the port alone.
std::unique_ptr<ByteChannel> OpenWithChannelOpener(const std::function<PortInfo()> &choose);

// The console lines of a port that would not open, the same for every kind of channel: one line
// that it is taken, one with the port's name and the system's reason (a port held by another
// program and one the user may not open are different problems).
void LogPortNotOpened(const QString &port, const QString &reason);
