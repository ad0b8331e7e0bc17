#include "launch_checks.h"

#include "history_store.h"
#include "port_catalog_file.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSerialPort>

#include <algorithm>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

namespace LaunchTexts {

const Bilingual kPortNotOpened = {"无法打开端口 %1: %2", "Port %1 could not be opened: %2"};
const Bilingual kPortGone = {"产品ID %1 的端口已不存在", "The port of product id %1 is gone"};
const Bilingual kPortBusy = {"无法打开端口 %1：另一个程序正占用它 (%2)。请关闭该程序（或等待其升级结束）后重试",
                             "Port %1 is held by another program (%2): close that program, or wait for its upgrade "
                             "to end, and try again"};
const Bilingual kSeveralUnits = {"\"%1\" 连接在 %2 个设备上 (%3)：请用 --port 位置 选择其中一个，或用 --all 全部升级",
                                 "%1 is on %2 units (%3): choose one with --port LOCATION, or upgrade every one "
                                 "with --all"};
const Bilingual kNoDeviceLookedFor = {"未找到 \"%1\" 的设备 (产品ID %2)", "no device of \"%1\" (product id %2)"};
const Bilingual kAttachedPorts = {"已连接: %1", "attached: %1"};
const Bilingual kNoFamilyPortAttached = {"未连接任何设备端口；请检查 USB 连接", "no port of the family is attached; check the USB cable"};
const Bilingual kCatalogUnusable = {"%1=%2 不可用: %3", "%1=%2 is unusable: %3"};

}  // namespace LaunchTexts

namespace {

// Folders above a history file, at most: a path deeper than this is no folder of ours.
constexpr int kMaxFolderDepth = 256;

}  // namespace

PortProbe ProbePort(const QString &name)
{
    PortProbe probe;
    QSerialPort port(name);
    if (port.open(QIODevice::ReadWrite)) {
        probe.opened = true;
        return probe;
    }
    probe.reason = port.errorString();
    // The system says "permission" both for a port another program holds (its lock, or its
    // exclusive open) and for one this user may not open at all: only the second lacks access.
    bool ours = true;
#ifdef Q_OS_UNIX
    const QString path = QDir::isAbsolutePath(name) ? name : QStringLiteral("/dev/") + name;
    ours = ::access(QFile::encodeName(path).constData(), R_OK | W_OK) == 0;
#endif
    probe.busy = port.error() == QSerialPort::PermissionError && ours;
    return probe;
}

std::optional<QString> PortRefusal(int pid, const PortInfo &port, Language language)
{
    if (port.name.isEmpty())
        return LaunchTexts::kPortGone.In(language).arg(pid);
    const PortProbe probe = ProbePort(port.name);
    if (probe.opened)
        return std::nullopt;
    return (probe.busy ? LaunchTexts::kPortBusy : LaunchTexts::kPortNotOpened)
        .In(language)
        .arg(port.name, probe.reason);
}

bool UnitBefore(const PortInfo &a, const PortInfo &b)
{
    if (a.location != b.location)
        return NaturalBefore(a.location, b.location);
    return NaturalBefore(a.name, b.name);
}

QList<PortInfo> InUsbOrder(QList<PortInfo> ports)
{
    std::stable_sort(ports.begin(), ports.end(), UnitBefore);
    return ports;
}

QString UnitName(const PortInfo &port)
{
    return UnitKey::Of(port).Text();
}

QString CatalogProblem(Language language)
{
    const QString catalog = qEnvironmentVariable(PortCatalog::kSimCatalogVariable);
    if (catalog.isEmpty())
        return QString();
    const QString problem = PortCatalogFile::Problem(catalog);
    if (problem.isEmpty())
        return QString();
    return LaunchTexts::kCatalogUnusable.In(language).arg(QLatin1String(PortCatalog::kSimCatalogVariable), catalog,
                                                          problem);
}

QString NoDeviceDetail(const FirmwareEntries &entries, const QString &target, const UnitKey &wanted, Language language)
{
    QList<int> pids = entries.value(target).usb_pids.values();
    std::sort(pids.begin(), pids.end());
    QStringList pid_texts;
    for (int pid : qAsConst(pids))
        pid_texts << QString::number(pid);
    QString detail = LaunchTexts::kNoDeviceLookedFor.In(language).arg(target, pid_texts.join(QStringLiteral(", ")));
    if (!wanted.IsAnything())
        detail += QStringLiteral(" @ ") + wanted.Text();
    QStringList attached;
    // Said right after the launch looked: its view of the ports serves.
    for (const PortInfo &port : InUsbOrder(ListFamilyPorts(PortCatalog::View::Recent)))
        attached << QStringLiteral("%1 @ %2").arg(port.product_id).arg(UnitName(port));
    detail += QStringLiteral("; ") + (attached.isEmpty() ? LaunchTexts::kNoFamilyPortAttached.In(language)
                                                        : LaunchTexts::kAttachedPorts.In(language).arg(attached.join(QStringLiteral(", "))));
    const QString catalog = CatalogProblem(language);
    if (!catalog.isEmpty())
        detail += QStringLiteral("; ") + catalog;
    return detail;
}

LaunchRefusal ExplainRefusal(const LaunchRefusal &refusal, const FirmwareEntries &entries, const QString &target,
                             const UnitKey &wanted)
{
    LaunchRefusal explained = refusal;
    if (refusal.kind == LaunchRefusal::Kind::SeveralDevices) {
        QStringList units;
        for (const PortInfo &port : InUsbOrder(ListFamilyPorts(PortCatalog::View::Recent))) {
            if (wanted.Matches(port) && entries.value(target).usb_pids.contains(port.product_id))
                units << UnitName(port);
        }
        const QString names = units.join(QStringLiteral(", "));
        explained.zh = LaunchTexts::kSeveralUnits.In(Language::Chinese).arg(target).arg(units.size()).arg(names);
        explained.en = LaunchTexts::kSeveralUnits.In(Language::English).arg(target).arg(units.size()).arg(names);
        return explained;
    }
    if (refusal.kind != LaunchRefusal::Kind::NoDevice)
        return refusal;
    explained.zh +=
        QStringLiteral(" (") + NoDeviceDetail(entries, target, wanted, Language::Chinese) + QLatin1Char(')');
    explained.en +=
        QStringLiteral(" (") + NoDeviceDetail(entries, target, wanted, Language::English) + QLatin1Char(')');
    return explained;
}

QString HistoryWriteProblem(const QString &database)
{
    if (QFileInfo::exists(database)) {
        // Counting the outbox is a write transaction on the file (it brings an older file to the
        // present layout first): where it commits, an append commits too.
        QString warning;
        HistoryStore::CountWaiting(database, &warning);
        return warning;
    }
    // The first record makes the file, and the folders to it.
    QFileInfo folder(QFileInfo(database).absolutePath());
    for (int depth = 0; depth < kMaxFolderDepth && !folder.exists(); ++depth)
        folder = QFileInfo(folder.absolutePath());
    if (folder.exists() && folder.isDir() && folder.isWritable())
        return QString();
    return QStringLiteral("Upgrade history not written to %1: the folder %2 does not take new files")
        .arg(QDir::toNativeSeparators(database), QDir::toNativeSeparators(folder.absoluteFilePath()));
}
