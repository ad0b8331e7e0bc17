#pragma once

#include "bilingual.h"
#include "firmware_entry.h"
#include "unit_key.h"
#include "upgrade_launch.h"

#include <QList>
#include <QString>

#include <optional>

// The checks a front end makes around the launch's own decisions, before anything reaches a
// unit: whether the unit's port can be opened now, why no device (or several) was found, in
// words a person can act on, and whether the upgrade history can take the job's record.

// Whether a port can be opened now. busy: it exists and is ours to open, but another program holds
// it (an upgrade, a terminal program); reason is the system's word otherwise.
struct PortProbe {
    bool opened = false;
    bool busy = false;
    QString reason;
};
PortProbe ProbePort(const QString &name);

// The port of the unit the launch found (product id pid, at the launch's unit) checked before
// its hardware version is read through it: a port that is busy or gone would look like a device
// that does not answer. The refusal's text names the port and why; none when it opened.
std::optional<QString> PortRefusal(int pid, const PortInfo &port, Language language);

// The order in which units are shown and taken: the natural order of their USB locations
// ("1-1.9" before "1-1.10"), then of their port names (for ports without a location).
bool UnitBefore(const PortInfo &a, const PortInfo &b);
QList<PortInfo> InUsbOrder(QList<PortInfo> ports);
// How a unit is named to a person: its USB location, else its serial number, else its port.
QString UnitName(const PortInfo &port);

// Why no device of the target was found, for a person: the product ids looked for (at the
// location or port name wanted, when given), the family ports that are attached, and a
// simulator's catalog (UPGRADER_SIM_CATALOG) that gives no port, with its reason.
QString NoDeviceDetail(const FirmwareEntries &entries, const QString &target, const UnitKey &wanted, Language language);
// A simulator's catalog (UPGRADER_SIM_CATALOG) that gives no port: why, in words; empty when
// none is named or it is usable.
QString CatalogProblem(Language language);

// The launch's refusal worded for a station that may hold several units: NoDeviceDetail added
// to a "no device" one, and several units told to choose one with --port or take them all with
// --all (where the window, with one unit to a station, asks to leave one attached).
LaunchRefusal ExplainRefusal(const LaunchRefusal &refusal, const FirmwareEntries &entries, const QString &target,
                             const UnitKey &wanted);

// Whether the upgrade history at database can take a record now, asked before a job so that a
// run that needs its record is refused before anything reaches the unit. Empty when it can;
// otherwise the warning an append would give (naming the file and why). A file that exists is
// asked in a write transaction, as an append is; a file still to be made needs a folder (or the
// nearest existing folder above it) that takes new files.
QString HistoryWriteProblem(const QString &database);

// The operator texts of these checks.
namespace LaunchTexts {
extern const Bilingual kPortNotOpened;       // %1 the port, %2 the system's reason
extern const Bilingual kPortGone;            // %1 the product id
extern const Bilingual kPortBusy;            // %1 the port, %2 the system's reason
extern const Bilingual kSeveralUnits;        // %1 the target, %2 how many units, %3 the units
extern const Bilingual kNoDeviceLookedFor;   // %1 target, %2 product ids
extern const Bilingual kAttachedPorts;       // %1 the family ports attached ("4 at 1-1.2, ...")
extern const Bilingual kNoFamilyPortAttached;
extern const Bilingual kCatalogUnusable;     // %1 the variable, %2 the file, %3 why
}  // namespace LaunchTexts
