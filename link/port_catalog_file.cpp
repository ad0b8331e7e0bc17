#include "port_catalog_file.h"

#include "link_log.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMutex>
#include <QMutexLocker>
#include <QSaveFile>
#include <QSet>

#include <cmath>

#ifdef Q_OS_UNIX
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#endif

#ifdef Q_OS_WIN
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
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
#elif defined(Q_OS_WIN)
    // A catalog names COM ports, not paths that vanish with their terminal: only the publisher's
    // life tells a stale file. A process that exists but may not be opened is another user's.
    if (pid > 0xFFFFFFFFLL)
        return false;
    const HANDLE process = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, DWORD(pid));
    if (!process)
        return ::GetLastError() == ERROR_ACCESS_DENIED;
    // An ended process whose handle someone still holds exists, signalled.
    const bool runs = ::WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
    ::CloseHandle(process);
    return runs;
#else
    Q_UNUSED(pid)
    return true;
#endif
}

#ifdef Q_OS_WIN
// The security identifier as Windows writes it ("S-1-5-21-...").
QString SidText(PSID sid)
{
    LPWSTR text = nullptr;
    if (!::ConvertSidToStringSidW(sid, &text))
        return QStringLiteral("an unreadable SID");
    const QString result = QString::fromWCharArray(text);
    ::LocalFree(text);
    return result;
}
#endif

// Who may have written a catalog: this user or root. Anyone else could list a path of their
// choosing (their own terminal, posing as a base) to a program that runs as this user. Empty when
// the file may be used, else why not.
QString ForeignOwner(const QFile &file)
{
#ifdef Q_OS_UNIX
    struct stat status;
    if (::fstat(file.handle(), &status) != 0)
        return QStringLiteral("its owner cannot be read");
    const uid_t me = ::geteuid();
    if (status.st_uid == me || status.st_uid == 0)
        return {};
    return QStringLiteral("it belongs to another user (uid %1), not to this one (uid %2) or root")
        .arg(status.st_uid)
        .arg(me);
#elif defined(Q_OS_WIN)
    // The file's owner SID against this user's, the Administrators group's (a file an
    // administrator creates may be owned by the group) and the system account's.
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const std::wstring path = QDir::toNativeSeparators(file.fileName()).toStdWString();
    if (::GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr,
                                nullptr, &descriptor) != ERROR_SUCCESS)
        return QStringLiteral("its owner cannot be read");
    QString why;
    HANDLE token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) {
        why = QStringLiteral("this user's SID cannot be read");
    } else {
        union {
            TOKEN_USER user;
            char bytes[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
        } me;
        DWORD size = 0;
        if (!::GetTokenInformation(token, TokenUser, &me, sizeof me, &size))
            why = QStringLiteral("this user's SID cannot be read");
        else if (!::EqualSid(owner, me.user.User.Sid) && !::IsWellKnownSid(owner, WinBuiltinAdministratorsSid) &&
                 !::IsWellKnownSid(owner, WinLocalSystemSid))
            why = QStringLiteral("it belongs to another user (%1), not to this one (%2), the administrators or the system")
                      .arg(SidText(owner), SidText(me.user.User.Sid));
        ::CloseHandle(token);
    }
    ::LocalFree(descriptor);
    return why;
#else
    Q_UNUSED(file)
    return {};
#endif
}

// Reads the file's top-level object. False with *why set when the file gives none; *foreign is
// set (and *why too) when the file's owner may not publish ports here.
bool ReadObject(const QString &path, QJsonObject *root, QString *why, QString *foreign = nullptr)
{
    const QFileInfo info(path);
    if (!info.exists()) {
        *why = QStringLiteral("it does not exist");
        return false;
    }
    if (!info.isFile()) {  // a FIFO or a device would block or never end
        *why = QStringLiteral("it is not a regular file");
        return false;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *why = QStringLiteral("it cannot be opened: %1").arg(file.errorString());
        return false;
    }
    if (foreign) {
        *foreign = ForeignOwner(file);  // of the file opened, whatever replaced the path since
        if (!foreign->isEmpty()) {
            *why = *foreign;
            return false;
        }
    }
    const QByteArray bytes = file.read(kMaxCatalogBytes + 1);
    if (bytes.size() > kMaxCatalogBytes) {
        *why = QStringLiteral("it is larger than %1 KiB, too large to be a catalog").arg(kMaxCatalogBytes / 1024);
        return false;
    }
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError) {
        *why = QStringLiteral("it is not JSON (%1 at byte %2)").arg(error.errorString()).arg(error.offset);
        return false;
    }
    if (!document.isObject()) {
        *why = QStringLiteral("it is not a JSON object");
        return false;
    }
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
    if (entry.contains(QLatin1String("serial_number"))) {
        const QJsonValue serial = entry.value(QLatin1String("serial_number"));
        if (!serial.isString())
            return false;
        port->serial_number = serial.toString();
    }
    // A port that has left (its pseudo-terminal closed) is not offered until the file is updated.
    return !QDir::isAbsolutePath(port->name) || QFileInfo::exists(port->name);
}

// Says once per file and reason why a catalog is ignored: programs enumerate ports every poll,
// and a line each time would bury everything else. A file that becomes usable again is
// forgotten, so that its next failure is told.
class IgnoredCatalogs {
public:
    void Tell(const QString &path, const QString &reason)
    {
        {
            QMutexLocker lock(&mutex);
            if (told.contains({path, reason}))
                return;
            told.insert({path, reason});
        }
        qCWarning(lcCatalog).noquote() << QStringLiteral("%1: ignoring %2: %3")
                                              .arg(QLatin1String(PortCatalog::kSimCatalogVariable), path, reason);
    }

    void Forget(const QString &path)
    {
        QMutexLocker lock(&mutex);
        for (auto it = told.begin(); it != told.end();) {
            if (it->first == path)
                it = told.erase(it);
            else
                ++it;
        }
    }

private:
    QMutex mutex;
    QSet<QPair<QString, QString>> told;
};

IgnoredCatalogs &Ignored()
{
    static IgnoredCatalogs ignored;
    return ignored;
}

}  // namespace

namespace {

// The publisher the file names, when it still runs: 0 with *why set otherwise.
qint64 CheckOwner(const QJsonObject &root, QString *why)
{
    const qint64 owner = RecordedOwner(root);
    if (owner <= 0) {
        *why = owner == 0 ? QStringLiteral("it names no publishing process (no \"pid\")")
                          : QStringLiteral("its \"pid\" is not a process id");
        return 0;
    }
    if (!ProcessRuns(owner)) {
        *why = QStringLiteral("the simulator that wrote it (process %1) no longer runs").arg(owner);
        return 0;
    }
    return owner;
}

}  // namespace

QList<PortInfo> PortCatalogFile::Read(const QString &path)
{
    QJsonObject root;
    QString why;
    QString foreign;
    if (!ReadObject(path, &root, &why, &foreign)) {
        if (!foreign.isEmpty())
            Ignored().Tell(path, foreign);
        return {};
    }
    if (CheckOwner(root, &why) == 0) {
        Ignored().Tell(path, why);
        return {};
    }
    Ignored().Forget(path);
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

QString PortCatalogFile::Problem(const QString &path)
{
    QJsonObject root;
    QString why;
    QString foreign;
    if (!ReadObject(path, &root, &why, &foreign))
        return why;
    if (CheckOwner(root, &why) == 0)
        return why;
    const QJsonValue list = root.value(QLatin1String("ports"));
    if (!list.isArray())
        return QStringLiteral("it has no \"ports\" array");
    int usable = 0;
    for (const QJsonValue &value : list.toArray()) {
        PortInfo port;
        if (ReadEntry(value, &port))
            ++usable;
    }
    if (usable == 0)
        return list.toArray().isEmpty() ? QStringLiteral("it lists no port")
                                        : QStringLiteral("none of its %1 ports is usable (malformed, or its device path is gone)")
                                              .arg(list.toArray().size());
    return {};
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
        if (!port.serial_number.isEmpty())
            entry.insert(QStringLiteral("serial_number"), port.serial_number);
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
    QString why;
    if (!ReadObject(path, &root, &why))
        return 0;
    const qint64 owner = RecordedOwner(root);
    return owner > 0 && ProcessRuns(owner) ? owner : 0;
}
