#include "usb_location.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

namespace {

// A tty's "device" is the USB interface it belongs to (CDC ACM) or a port device below that
// interface (USB-serial adapters), so the interface is at most a few levels up.
constexpr int kMaxLevelsToInterface = 3;

}  // namespace

QString UsbLocation::FromSysfs(const QString &sysfs_root, const QString &tty_name)
{
    if (tty_name.isEmpty() || tty_name.contains(QLatin1Char('/')) || tty_name.startsWith(QLatin1Char('.')))
        return {};
    // Resolves the class link and the device link to the device's place in the device tree.
    const QString device =
        QFileInfo(QStringLiteral("%1/class/tty/%2/device").arg(sysfs_root, tty_name)).canonicalFilePath();
    if (device.isEmpty())
        return {};
    // USB names: a device is "bus-port[.port...]", one of its interfaces "device:config.interface".
    const QRegularExpression interface_name(QStringLiteral("^\\d+-\\d+(\\.\\d+)*:\\d+\\.\\d+$"));
    const QRegularExpression device_name(QStringLiteral("^\\d+-\\d+(\\.\\d+)*$"));
    QDir dir(device);
    for (int level = 0; level <= kMaxLevelsToInterface; ++level) {
        if (interface_name.match(dir.dirName()).hasMatch()) {
            if (!dir.cdUp())
                return {};
            return device_name.match(dir.dirName()).hasMatch() ? dir.dirName() : QString();
        }
        if (!dir.cdUp())
            return {};
    }
    return {};
}
