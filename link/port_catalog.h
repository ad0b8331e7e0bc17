#pragma once

#include <QList>
#include <QString>

#include <functional>

// One serial port as the system enumerates it.
struct PortInfo {
    QString name;              // what QSerialPort::setPortName takes: "ttyACM0", "COM3" or a full path
    bool has_usb_ids = false;  // false for ports that are not USB devices
    quint16 vendor_id = 0;
    quint16 product_id = 0;
    // Where the device sits on USB (Linux: its sysfs device path such as "1-1.2"). Unlike the
    // name it survives the device leaving USB and coming back; empty when not known.
    QString location;
    // The USB serial number the device reports; empty when it reports none.
    QString serial_number;
};

// The one place that asks the system for its serial ports. A simulated device family replaces
// the provider for the whole process; production code never knows the difference.
//
// A simulator running as a program of its own publishes its ports in a catalog file; when the
// environment variable UPGRADER_SIM_CATALOG names one, its entries follow the system's ports.
// An installed provider stands for the whole machine, the file included: a process that
// simulates its own family is not disturbed by a simulator another terminal has announced.
//
// Enumerating the system's ports is costly, so a caller that only watches (the status poll), or
// that follows a fresh look by moments (a launch's readings and its job's first open, after the
// launch found its unit), may take a recent view: the last enumeration, kept while no port can
// have come or gone (see port_cache.h). Finding a unit, and finding it again after its base
// restarted, takes a fresh view, the default.
namespace PortCatalog {

using Provider = std::function<QList<PortInfo>()>;

// The environment variable naming the catalog file of a simulator in another process.
constexpr char kSimCatalogVariable[] = "UPGRADER_SIM_CATALOG";

enum class View {
    Fresh,   // the system asked now
    Recent,  // the system's last answer while nothing says a port came or went since
};

// The system's port nodes appear here (watched for the recent view).
constexpr char kDeviceFolder[] = "/dev";
// After a node appeared or left, recent views enumerate again for this long: the node exists
// before udev has added the USB ids a family port is recognised by (milliseconds).
constexpr int kSettleMs = 3000;
// A recent view is never older than this, whatever the watch says (milliseconds).
constexpr int kRefreshMs = 60000;

// Ports in enumeration order. Safe to call from any thread. The simulator's catalog file is read
// in either view (a small file, and a simulator that was killed must vanish at once); an
// installed provider is asked every time.
QList<PortInfo> AvailablePorts(View view = View::Fresh);

// Times the system's ports were enumerated in this process.
int SystemEnumerations();

// Replaces the system enumeration and the catalog file; an empty provider restores both.
void SetProvider(Provider provider);

}  // namespace PortCatalog

// The family's USB vendor identifier (a build constant).
quint16 FamilyVendorId();

// Every attached family port, in enumeration order.
QList<PortInfo> ListFamilyPorts(PortCatalog::View view = PortCatalog::View::Fresh);

// Product identifiers of every attached family port, in enumeration order, duplicates kept.
QList<int> ListFamilyPids(PortCatalog::View view = PortCatalog::View::Fresh);

// The order in which units are shown: by their names (USB locations, serial numbers or port
// names), "1-1.10" after "1-1.9" and "sim-10-4" after "sim-2-4": numbers in a name compare as numbers.
bool NaturalBefore(const QString &a, const QString &b);

// Whether a port name can be opened on this platform: on Windows it must name a COM port,
// elsewhere any non-empty name or device path will do.
bool IsUsablePortName(const QString &name);
