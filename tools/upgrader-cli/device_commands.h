#pragma once

#include "firmware_entry.h"
#include "port_catalog.h"

#include <QList>
#include <QString>

struct CliOptions;
class CliOutput;
struct LaunchRefusal;

// `list`: the station, one block per attached base (unit): its port, USB location and serial
// number, its mode, and every configured device behind it as one status poll with details reads
// it; a unit whose port another program holds is shown busy. Returns the exit code.
int RunList(const CliOptions &options, CliOutput &output);

// `switch app|boot`: the manual switch of the base, then the status poll until the base reports
// the mode asked for (bounded; SIGINT and SIGTERM end the wait). A base already in that mode is
// left alone. Returns the exit code.
int RunSwitch(const CliOptions &options, CliOutput &output);

// Whether a port can be opened now. busy: it exists and is ours to open, but another program holds
// it (an upgrade, a terminal program); reason is the system's word otherwise.
struct PortProbe {
    bool opened = false;
    bool busy = false;
    QString reason;
};
PortProbe ProbePort(const QString &name);

// The order in which the command shows and takes units: the natural order of their USB locations
// ("1-1.9" before "1-1.10"), then of their port names (for ports without a location).
bool UnitBefore(const PortInfo &a, const PortInfo &b);
QList<PortInfo> InUsbOrder(QList<PortInfo> ports);

// Why no device of the target was found, for a person: the product ids looked for (at the
// location or port name wanted, when given), the family ports that are attached, and a
// simulator's catalog (UPGRADER_SIM_CATALOG) that gives no port, with its reason.
QString NoDeviceDetail(const FirmwareEntries &entries, const QString &target, const QString &wanted, bool chinese);

// The launch's refusal as the command words it: NoDeviceDetail added to a "no device" one, and
// a station of several units told to choose one with --port or take them all with --all (where
// the window, with one unit to a station, asks to leave one attached).
LaunchRefusal ExplainRefusal(const LaunchRefusal &refusal, const FirmwareEntries &entries, const QString &target,
                             const QString &wanted);
