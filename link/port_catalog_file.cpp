#include "port_catalog_file.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

#include <cmath>

#ifdef Q_OS_UNIX
#include <signal.h>

#include <cerrno>
#endif

namespace {

// A catalog lists a few ports; a file beyond this is not one (and is not read whole on every
// enumeration).
constexpr qint64 kMaxCatalogBytes = 256 * 1024;

bool ProcessRuns(qint64 pid)
{
#ifdef Q_OS_UNIX
    // Signal 0 only asks whether the process exists; EPERM means it does but is another user's.
    return ::kill(pid_t(pid), 0) == 0 || errno == EPERM;
#else
    // Not checked elsewhere: a stale file is then caught by its paths that no longer exist.
    Q_UNUSED(pid)
    return true;
#endif
}

bool ReadObject(const QString &path, QJsonObject *root)
{
    if (!QFileInfo(path).isFile())  // a FIFO or a device would block or never end
        return false;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray bytes = file.read(kMaxCatalogBytes + 1);
    if (bytes.size() > kMaxCatalogBytes)
        return false;
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return false;
    *root = document.object();
    return true;
}

// The recorded publisher: 0 when none is recorded, -1 when the field is malformed.
qint64 RecordedOwner(const QJsonObject &root)
{
    if (!root.contains(QLatin1String("pid")))
        return 0;
    const QJsonValue value = root.value(QLatin1String("pid"));
    const double pid = value.toDouble(-1);
    if (!value.isDouble() || pid < 1 || pid > 2147483647.0 || std::floor(pid) != pid)
        return -1;
    return qint64(pid);
}

bool ReadId(const QJsonObject &entry, const char *key, quint16 *id)
{
    const QJsonValue value = entry.value(QLatin1String(key));
    const double number = value.toDouble(-1);
    if (!value.isDouble() || number < 0 || number > 0xFFFF || std::floor(number) != number)
        return false;
    *id = quint16(number);
    return true;
}

bool ReadEntry(const QJsonValue &value, PortInfo *port)
{
    if (!value.isObject())
        return false;
    const QJsonObject entry = value.toObject();
    const QJsonValue name = entry.value(QLatin1String("name"));
    if (!name.isString() || name.toString().isEmpty())
        return false;
    port->name = name.toString();
    const bool has_vendor = entry.contains(QLatin1String("vendor_id"));
    const bool has_product = entry.contains(QLatin1String("product_id"));
    if (has_vendor || has_product) {
        if (!ReadId(entry, "vendor_id", &port->vendor_id) || !ReadId(entry, "product_id", &port->product_id))
            return false;
        port->has_usb_ids = true;
    }
    if (entry.contains(QLatin1String("location"))) {
        const QJsonValue location = entry.value(QLatin1String("location"));
        if (!location.isString())
            return false;
        port->location = location.toString();
    }
    // A port that has left (its pseudo-terminal closed) is not offered until the file is updated.
    return !QDir::isAbsolutePath(port->name) || QFileInfo::exists(port->name);
}

}  // namespace

QList<PortInfo> PortCatalogFile::Read(const QString &path)
{
    QJsonObject root;
    if (!ReadObject(path, &root))
        return {};
    const qint64 owner = RecordedOwner(root);
    if (owner < 0 || (owner > 0 && !ProcessRuns(owner)))
        return {};
    const QJsonValue list = root.value(QLatin1String("ports"));
    if (!list.isArray())
        return {};
    QList<PortInfo> ports;
    for (const QJsonValue &value : list.toArray()) {
        PortInfo port;
        if (ReadEntry(value, &port))
            ports.append(port);
    }
    return ports;
}

bool PortCatalogFile::Write(const QString &path, const QList<PortInfo> &ports, qint64 owner_pid, QString *error)
{
    QJsonArray list;
    for (const PortInfo &port : ports) {
        QJsonObject entry{{QStringLiteral("name"), port.name}};
        if (port.has_usb_ids) {
            entry.insert(QStringLiteral("vendor_id"), int(port.vendor_id));
            entry.insert(QStringLiteral("product_id"), int(port.product_id));
        }
        if (!port.location.isEmpty())
            entry.insert(QStringLiteral("location"), port.location);
        list.append(entry);
    }
    const QJsonObject root{{QStringLiteral("pid"), owner_pid}, {QStringLiteral("ports"), list}};
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        *error = file.errorString();
        return false;
    }
    file.write(QJsonDocument(root).toJson());
    if (!file.commit()) {
        *error = file.errorString();
        return false;
    }
    return true;
}

qint64 PortCatalogFile::LiveOwner(const QString &path)
{
    QJsonObject root;
    if (!ReadObject(path, &root))
        return 0;
    const qint64 owner = RecordedOwner(root);
    return owner > 0 && ProcessRuns(owner) ? owner : 0;
}
