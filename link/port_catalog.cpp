#include "port_catalog.h"

#include "port_cache.h"
#include "port_catalog_file.h"
#include "usb_location.h"

#include <QMutex>
#include <QMutexLocker>
#include <QSerialPortInfo>

namespace {

QMutex provider_lock;
PortCatalog::Provider provider;

QList<PortInfo> SystemPorts()
{
    QList<PortInfo> ports;
    for (const QSerialPortInfo &info : QSerialPortInfo::availablePorts()) {
        PortInfo port;
        port.name = info.portName();
        port.has_usb_ids = info.hasVendorIdentifier() && info.hasProductIdentifier();
        port.vendor_id = info.vendorIdentifier();
        port.product_id = info.productIdentifier();
        port.serial_number = info.serialNumber();
#if defined(Q_OS_LINUX)
        port.location = UsbLocation::FromSysfs(QStringLiteral("/sys"), info.portName());
#elif defined(Q_OS_WIN)
        // The device manager's location of the port's USB device belongs here: the "location
        // paths" registry property (SetupDiGetDeviceRegistryProperty with SPDRP_LOCATION_PATHS)
        // of the parent of the port's device node. Qt does not report it, so until that is written
        // and tried on Windows the location stays empty and ports are told apart by name only.
#endif
        ports.append(port);
    }
    return ports;
}

PortCache &SystemCache()
{
    static PortCache cache(SystemPorts, {QLatin1String(PortCatalog::kDeviceFolder)}, PortCatalog::kSettleMs,
                           PortCatalog::kRefreshMs);
    return cache;
}

}  // namespace

QList<PortInfo> PortCatalog::AvailablePorts(View view)
{
    Provider current;
    {
        QMutexLocker lock(&provider_lock);
        current = provider;
    }
    if (current)
        return current();
    QList<PortInfo> ports = view == View::Recent ? SystemCache().Recent() : SystemCache().Fresh();
    const QString catalog = qEnvironmentVariable(PortCatalog::kSimCatalogVariable);
    if (!catalog.isEmpty())
        ports += PortCatalogFile::Read(catalog);
    return ports;
}

int PortCatalog::SystemEnumerations()
{
    return SystemCache().Enumerations();
}

void PortCatalog::SetProvider(Provider replacement)
{
    QMutexLocker lock(&provider_lock);
    provider = std::move(replacement);
}

quint16 FamilyVendorId()
{
    return FAMILY_USB_VID;
}

QList<PortInfo> ListFamilyPorts(PortCatalog::View view)
{
    QList<PortInfo> family;
    for (const PortInfo &port : PortCatalog::AvailablePorts(view)) {
        if (port.has_usb_ids && port.vendor_id == FamilyVendorId())
            family.append(port);
    }
    return family;
}

QList<int> ListFamilyPids(PortCatalog::View view)
{
    QList<int> pids;
    for (const PortInfo &port : ListFamilyPorts(view))
        pids.append(port.product_id);
    return pids;
}

bool IsUsablePortName(const QString &name)
{
#ifdef Q_OS_WIN
    return name.contains(QLatin1String("COM"));
#else
    return !name.isEmpty();
#endif
}

bool NaturalBefore(const QString &a, const QString &b)
{
    int i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (a[i].isDigit() && b[j].isDigit()) {
            int i_end = i, j_end = j;
            while (i_end < a.size() && a[i_end].isDigit())
                ++i_end;
            while (j_end < b.size() && b[j_end].isDigit())
                ++j_end;
            const qulonglong x = a.mid(i, i_end - i).toULongLong();
            const qulonglong y = b.mid(j, j_end - j).toULongLong();
            if (x != y)
                return x < y;
            i = i_end;
            j = j_end;
            continue;
        }
        if (a[i] != b[j])
            return a[i] < b[j];
        ++i;
        ++j;
    }
    return a.size() - i < b.size() - j;
}
