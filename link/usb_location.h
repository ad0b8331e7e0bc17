#pragma once

#include <QString>

// Where a serial port sits on USB: the path of its USB device from the root hub (Linux writes
// "1-1.2" for bus 1, root port 1, hub port 2). The path belongs to the socket, not to the tty, so
// it stays the same when a device leaves USB and comes back under another tty name.
namespace UsbLocation {

// The USB device path of tty_name ("ttyACM0") in the sysfs tree at sysfs_root ("/sys" on a
// running system; a test passes a tree of its own). Empty when the tty is unknown or is not on
// USB (a platform UART, a pseudo-terminal).
QString FromSysfs(const QString &sysfs_root, const QString &tty_name);

}  // namespace UsbLocation
