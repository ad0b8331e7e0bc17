// sim-com-bridge: under Wine, shows the ports of a native upgrader-sim to the Windows programs.
//
// The simulator publishes its bases' pseudo-terminals (/dev/pts/N) in its catalog file. Wine opens
// COM port N through $WINEPREFIX/dosdevices/comN, a link to a Linux device. This program keeps one
// such link per base, numbered by the base's USB location so that a base restarting under a new
// pseudo-terminal keeps its COM port, and publishes the COM ports in a catalog of its own with its
// own (Windows) process id: the catalog's rules hold as on any Windows station, and the catalog
// goes stale the moment this program ends. It ends when the simulator does.
//
//   sim-com-bridge SIM_CATALOG COM_CATALOG FIRST_COM
//
// SIM_CATALOG and COM_CATALOG are Windows paths (Wine's Z: drive is the Linux root).
#include "port_catalog_file.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QThread>

#include <QElapsedTimer>

#include <algorithm>
#include <cstdio>
#include <string>

#include <windows.h>

namespace {

// How often the simulator's catalog is looked at: a base is back on USB within a second, and a
// job's reconnect waits seconds for it (milliseconds).
constexpr int kPollMs = 50;
// How long a Linux command (ln, rm) may take (milliseconds).
constexpr int kCommandMs = 10000;
// How long the simulator's catalog may take to appear (milliseconds).
constexpr int kFirstCatalogMs = 60000;

struct SimPort {
    QString device;  // the pseudo-terminal's Linux path
    PortInfo info;   // ids, location and serial number as the simulator gives them
};

// The simulator's ports and its Linux process id; false when its catalog cannot be read now.
bool ReadSimCatalog(const QString &path, qint64 *publisher, QList<SimPort> *ports)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll());
    if (!document.isObject())
        return false;
    const QJsonObject root = document.object();
    *publisher = qint64(root.value(QLatin1String("pid")).toDouble());
    ports->clear();
    for (const QJsonValue &value : root.value(QLatin1String("ports")).toArray()) {
        const QJsonObject entry = value.toObject();
        SimPort port;
        port.device = entry.value(QLatin1String("name")).toString();
        port.info.has_usb_ids = entry.contains(QLatin1String("vendor_id"));
        port.info.vendor_id = quint16(entry.value(QLatin1String("vendor_id")).toInt());
        port.info.product_id = quint16(entry.value(QLatin1String("product_id")).toInt());
        port.info.location = entry.value(QLatin1String("location")).toString();
        port.info.serial_number = entry.value(QLatin1String("serial_number")).toString();
        if (port.device.startsWith(QLatin1Char('/')) && !port.info.location.isEmpty())
            ports->append(port);
    }
    return true;
}

// Whether the simulator (a Linux process) still runs: Wine shows Linux's /proc on Z:.
bool SimRuns(qint64 pid)
{
    return pid > 0 && QFileInfo::exists(QStringLiteral("Z:/proc/%1").arg(pid));
}

// Runs a Linux command: Wine starts a Linux program that a Windows program names by its path.
// True when it ended within its time with exit code 0.
// Straight through CreateProcess, without the pipes QProcess would wait on.
bool RunLinux(const QString &program, const QStringList &arguments)
{
    QString line = program;
    for (const QString &argument : arguments)
        line += QStringLiteral(" \"%1\"").arg(argument);
    std::wstring command = line.toStdWString();
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!::CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return false;
    // Done only when it ended well: a link that failed is made again on the next look.
    DWORD exit_code = 1;
    const bool done = ::WaitForSingleObject(process.hProcess, kCommandMs) == WAIT_OBJECT_0 &&
                      ::GetExitCodeProcess(process.hProcess, &exit_code) && exit_code == 0;
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
    return done;
}

bool Same(const QList<PortInfo> &a, const QList<PortInfo> &b)
{
    auto same = [](const PortInfo &x, const PortInfo &y) {
        return x.name == y.name && x.has_usb_ids == y.has_usb_ids && x.vendor_id == y.vendor_id &&
               x.product_id == y.product_id && x.location == y.location && x.serial_number == y.serial_number;
    };
    return std::equal(a.cbegin(), a.cend(), b.cbegin(), b.cend(), same);
}

void Unlink(const QString &link)
{
    RunLinux(QStringLiteral("/bin/rm"), {QStringLiteral("-f"), link});
}

}  // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    bool number_ok = false;
    const int first_com = args.size() == 4 ? args[3].toInt(&number_ok) : 0;
    const QString prefix = qEnvironmentVariable("WINEPREFIX");
    if (!number_ok || first_com < 1 || prefix.isEmpty()) {
        std::fprintf(stderr, "usage: sim-com-bridge SIM_CATALOG COM_CATALOG FIRST_COM (under Wine, WINEPREFIX set)\n");
        return 2;
    }
    const QString sim_catalog = args[1];
    const QString com_catalog = args[2];
    const QString dosdevices = prefix + QStringLiteral("/dosdevices");  // a Linux path

    QMap<QString, int> com_of_location;  // stable for the bridge's life
    QMap<int, QString> linked;           // COM number -> the device its link names now
    QList<PortInfo> published;
    bool seen = false;
    QElapsedTimer waiting;
    waiting.start();
    for (;;) {
        if (!seen && waiting.elapsed() > kFirstCatalogMs) {
            std::fprintf(stderr, "sim-com-bridge: no running simulator's catalog at %s\n", qPrintable(sim_catalog));
            return 1;
        }
        qint64 publisher = 0;
        QList<SimPort> ports;
        const bool read = ReadSimCatalog(sim_catalog, &publisher, &ports);
        // Its end: the catalog gone or its writer gone, once it had been there.
        if (seen && (!read || !SimRuns(publisher)))
            break;
        if (read && SimRuns(publisher)) {
            seen = true;
            QList<PortInfo> now;
            QMap<int, QString> wanted;
            for (const SimPort &port : ports) {
                if (!com_of_location.contains(port.info.location))
                    com_of_location.insert(port.info.location, first_com + com_of_location.size());
                const int com = com_of_location.value(port.info.location);
                wanted.insert(com, port.device);
                PortInfo info = port.info;
                info.name = QStringLiteral("COM%1").arg(com);
                now.append(info);
            }
            // Links first, then the catalog: a port is never offered before Wine can open it, and
            // a base that left is withdrawn from the catalog before its link goes.
            for (auto it = wanted.cbegin(); it != wanted.cend(); ++it) {
                if (linked.value(it.key()) != it.value()) {
                    const QString link = QStringLiteral("%1/com%2").arg(dosdevices).arg(it.key());
                    if (RunLinux(QStringLiteral("/bin/ln"), {QStringLiteral("-sfn"), it.value(), link}))
                        linked.insert(it.key(), it.value());
                }
            }
            if (!Same(now, published)) {
                QString error;
                if (!PortCatalogFile::Write(com_catalog, now, QCoreApplication::applicationPid(), &error))
                    std::fprintf(stderr, "sim-com-bridge: cannot write %s: %s\n", qPrintable(com_catalog),
                                 qPrintable(error));
                else
                    published = now;
            }
            for (auto it = linked.begin(); it != linked.end();) {
                if (!wanted.contains(it.key())) {
                    Unlink(QStringLiteral("%1/com%2").arg(dosdevices).arg(it.key()));
                    it = linked.erase(it);
                } else {
                    ++it;
                }
            }
        }
        QThread::msleep(kPollMs);
    }
    for (auto it = linked.cbegin(); it != linked.cend(); ++it)
        Unlink(QStringLiteral("%1/com%2").arg(dosdevices).arg(it.key()));
    QFile::remove(com_catalog);
    return 0;
}
