// Short exchanges made from the window's thread while no job holds the link: the status poll,
// the launch's readings and the operator's manual switch of the base.
#include "unit_probe.h"

#include "device_family.h"
#include "engine_log.h"
#include "frame_link.h"
#include "log_unit.h"
#include "messages.h"
#include "port_catalog.h"
#include "sequence_limits.h"
#include "waits.h"

#include <QMutexLocker>

namespace {

// The readings before a job come just after the launch found the unit: that view of the ports
// serves them unless a port came or went since (the catalog's watch says so), and a launch
// enumerates the system's ports once.
constexpr PortCatalog::View kReadingView = PortCatalog::View::Recent;

constexpr uint8_t kZeroPayload[Frame::kMaxPayload] = {};

// Holds the link for one short exchange (or one round of the poll); gives it back however the
// exchange ends.
class GateHold {
public:
    explicit GateHold(LinkGate &gate) : gate(gate), taken(gate.TakeLink()) {}
    ~GateHold()
    {
        if (taken)
            gate.GiveLink();
    }
    GateHold(const GateHold &) = delete;
    GateHold &operator=(const GateHold &) = delete;

    // False while a job or another exchange holds the link.
    bool Taken() const { return taken; }

private:
    LinkGate &gate;
    bool taken;
};

bool Ask(FrameLink &link, uint8_t command, const uint8_t *payload, uint8_t length, int d, uint8_t *reply, int reply_length)
{
    link.QueueFrame(command, payload, length, uint8_t(d));
    return link.Transact(command, Waits::kQueryTimeoutMs, reply, reply_length);
}

}  // namespace

UnitProbe::UnitProbe(LinkGate &link_gate) : gate(link_gate) {}

void UnitProbe::RequestDetails(const QString &target)
{
    QMutexLocker lock(&info_lock);
    info_requests.insert(target);
}

QSet<QString> UnitProbe::DetailRequests() const
{
    QMutexLocker lock(&info_lock);
    return info_requests;
}

void UnitProbe::QueryHwVersion(int p, int d, QString &text, const UnitKey &unit)
{
    const GateHold hold(gate);
    if (!hold.Taken()) {
        qCWarning(lcEngine).noquote() << QString::fromUtf8("请重试");
        return;
    }
    if (!IsUpgradable(d))
        return;
    const int timeout_ms = RoleOf(d).hw_query_timeout_ms;
    TargetStatus status;
    status.name = TargetOf(d, p);
    status.dev_id = d;
    status.product_id = p;
    {
        FrameLink link;
        if (link.Open(p, unit, kReadingView)) {
            status.ports = 1;
            if (RoleOf(d).one_request_hw) {
                QString motor;
                if (link.ReadMotorHw(timeout_ms, motor)) {
                    text += motor;
                    status.hw_text = motor;
                }
            } else {
                // Empty also when a chunk got no answer: a text was read only when one came whole.
                const QString read = link.ReadHwText(d, timeout_ms);
                text += read;
                if (!read.isEmpty())
                    status.hw_text = read;
            }
        }
    }
    if (status.hw_text && !status.name.isEmpty())
        last_heard[status.name] = QDateTime::currentDateTimeUtc();
    status.last_heard = last_heard.value(status.name);
    emit PushTargetStatus({status});
}

QString UnitProbe::TargetOf(int d, int p) const
{
    if (!firmware_entries)
        return {};
    for (auto it = firmware_entries->cbegin(); it != firmware_entries->cend(); ++it) {
        if (it.value().dev_id == d && it.value().usb_pids.contains(p))
            return it.key();
    }
    return {};
}

bool UnitProbe::PowerDisplayOfBaseInBoot(int p, const UnitKey &unit)
{
    const GateHold hold(gate);
    if (!hold.Taken())
        return false;
    FrameLink link;
    if (!link.Open(p, unit, kReadingView))
        return false;
    const uint8_t query = 0;
    uint8_t mode = 0;
    if (!Ask(link, Cmd::QueryMode, &query, 1, DeviceId::Base, &mode, 1) || mode != Mode::Boot)
        return false;
    qCInfo(lcEngine).noquote() << "---Main is at Boot, force power on for display";
    const uint8_t on = kDisplayPowerOn;
    link.QueueFrame(Cmd::DisplayPowerOn, &on, 1, DeviceId::Base);
    uint8_t reply = 0;
    return link.Transact(Cmd::DisplayPowerOn, Waits::kBootExchangeMs, &reply, 1) && reply == kDisplayPowerOn;
}

void UnitProbe::Poll()
{
    // A recent view: the poll only watches, and enumerating the system's ports every 1.5 s
    // costs more than everything else an idle window does.
    QList<PortInfo> attached;
    for (const PortInfo &port : ListFamilyPorts(PortCatalog::View::Recent)) {
        if (poll_unit.Matches(port))
            attached.append(port);
    }
    // A job's thread keeps the port until its run ends, even after a stop request has cleared
    // `upgrading`; without a configuration there is nothing to poll.
    if (!firmware_entries)
        return;
    const GateHold hold(gate);
    if (!hold.Taken())
        return;
    TargetStatusList statuses;
    for (auto it = firmware_entries->cbegin(); it != firmware_entries->cend(); ++it) {
        const QString &name = it.key();
        const FirmwareEntry &entry = it.value();
        TargetStatus status;
        status.name = name;
        status.dev_id = entry.dev_id;
        status.mode_asked = true;
        bool heard = false;
        for (int pid : entry.usb_pids) {
            // The port a link for this product id opens: with several, the last one.
            const PortInfo *port = nullptr;
            for (const PortInfo &candidate : qAsConst(attached)) {
                if (candidate.product_id == pid)
                    port = &candidate;
            }
            if (!port)
                continue;
            ++status.ports;
            status.product_id = pid;
            status.port = port->name;
            status.location = port->location;
            FrameLink link;
            if (!link.Open(pid, poll_unit, PortCatalog::View::Recent))
                continue;
            const int tries = PollTries(name);
            for (int i = 0; i < tries; ++i) {
                const uint8_t query = 0;
                uint8_t mode = 0;
                if (Ask(link, Cmd::QueryMode, &query, 1, entry.dev_id, &mode, 1)) {
                    status.mode = mode;
                    heard = true;
                    break;
                }
            }
            bool wanted = false;
            {
                QMutexLocker lock(&info_lock);
                wanted = info_requests.contains(name);
            }
            if (status.mode != Mode::Absent && wanted)
                ReadDetails(link, entry.dev_id, status);
        }
        {
            QMutexLocker lock(&info_lock);
            info_requests.remove(name);
        }
        if (heard)
            last_heard[name] = QDateTime::currentDateTimeUtc();
        status.last_heard = last_heard.value(name);
        statuses.append(status);
    }
    emit PushTargetStatus(statuses);
}

AppVersionReading UnitProbe::ReadAppVersion(int p, int d, const UnitKey &unit, int tries)
{
    AppVersionReading reading;
    reading.asked = true;
    const GateHold hold(gate);
    if (!hold.Taken())
        return reading;
    FrameLink link;
    if (!link.Open(p, unit, kReadingView))
        return reading;
    reading.reached = true;
    for (int i = 0; i < tries && !reading.version && !reading.InBootloader(); ++i) {
        const uint8_t query = 0;
        uint8_t mode = Mode::Absent;
        if (!Ask(link, Cmd::QueryMode, &query, 1, d, &mode, 1))
            continue;
        reading.mode = mode;
        if (mode != Mode::App)
            continue;
        uint8_t version[kAppVersionLength];
        if (Ask(link, Cmd::QueryAppVersion, kZeroPayload, kAppVersionLength, d, version, kAppVersionLength))
            reading.version = AppVersion::FromReply(version);
    }
    return reading;
}

QMap<int, uint8_t> UnitProbe::ReadModes(int p, const QList<int> &devices, const UnitKey &unit, int tries)
{
    QMap<int, uint8_t> modes;
    for (int d : devices)
        modes[d] = Mode::Absent;
    const GateHold hold(gate);
    if (!hold.Taken())
        return modes;
    FrameLink link;
    if (!link.Open(p, unit, kReadingView))
        return modes;
    for (int d : devices) {
        for (int i = 0; i < tries && modes[d] == Mode::Absent; ++i) {
            const uint8_t query = 0;
            uint8_t mode = Mode::Absent;
            if (Ask(link, Cmd::QueryMode, &query, 1, d, &mode, 1))
                modes[d] = mode;
        }
    }
    return modes;
}

void UnitProbe::ReadDetails(FrameLink &link, int d, TargetStatus &status)
{
    // Details of an earlier device of the same target give way to this one's.
    status.details_asked = true;
    status.app_version.reset();
    status.hw_text.reset();
    uint8_t version[kAppVersionLength];
    if (Ask(link, Cmd::QueryAppVersion, kZeroPayload, kAppVersionLength, d, version, kAppVersionLength))
        status.app_version = AppVersion::FromReply(version);

    if (RoleOf(d).one_request_hw) {
        QString motor;
        if (link.ReadMotorHw(Waits::kQueryTimeoutMs, motor))
            status.hw_text = motor;
        return;
    }
    // Only two chunks here: a text longer than 31 characters is never shown.
    uint8_t area[Limits::kPollHwChunks * kHwChunkTextLength] = {};
    if (link.ReadHwChunks(d, Waits::kQueryTimeoutMs, Limits::kPollHwChunks, area) == FrameLink::HwRead::Terminated)
        status.hw_text = TextUpToZero(area, sizeof area);
}

bool UnitProbe::BaseGoApp(const UnitKey &unit)
{
    return SwitchBase(SwitchTo::App, QStringLiteral("Main go app"), unit);
}

bool UnitProbe::BaseGoBoot(const UnitKey &unit)
{
    return SwitchBase(SwitchTo::Boot, QStringLiteral("Main go boot"), unit);
}

bool UnitProbe::SwitchBase(uint8_t to, const QString &line, const UnitKey &unit)
{
    const LogUnit::Scope scope(unit.Text());  // the refusal too is about the unit asked for
    // A job's thread owns the port until its run has ended: the switch must not touch it.
    const GateHold hold(gate);
    if (!hold.Taken()) {
        qCWarning(lcEngine).noquote() << line + QStringLiteral(": refused, an upgrade holds the port");
        return false;
    }
    QList<PortInfo> attached;
    for (const PortInfo &info : ListFamilyPorts()) {
        if (unit.Matches(info))
            attached.append(info);
    }
    if (attached.size() != 1)
        return false;
    FrameLink link;
    // The port was just looked up afresh: the open takes that view.
    if (!link.Open(attached.first().product_id, unit, PortCatalog::View::Recent))
        return false;
    link.QueueFrame(Cmd::SwitchMode, &to, 1, DeviceId::Base);
    link.FlushTx();
    qCInfo(lcEngine).noquote() << line;
    link.WaitInput(Waits::kModeSwitchDrainMs);
    return true;
}
