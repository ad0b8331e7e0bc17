// Short exchanges made from the window's thread while no job holds the link: the status poll
// and the launch's hardware-version query.
#include "upgrade_server.h"

#include "engine_log.h"
#include "sequence_limits.h"
#include "messages.h"
#include "port_catalog.h"
#include "byte_channel.h"
#include "waits.h"

#include <QMutexLocker>

namespace {

constexpr uint8_t kZeroPayload[Frame::kMaxPayload] = {};

QString TextUpToZero(const uint8_t *bytes, int size)
{
    int n = 0;
    while (n < size && bytes[n] != 0)
        ++n;
    return QString::fromUtf8(reinterpret_cast<const char *>(bytes), n);
}

}  // namespace

bool UpgradeServer::OpenExchange(int p, const QString &port, PortCatalog::View view)
{
    Q_ASSERT(InWindowThread());
    job = JobState();
    job.usb_pid = p;
    job.port = port;
    return OpenLink(view);
}

UpgradeServer::HwRead UpgradeServer::ReadHwChunks(int d, int timeout_ms, int max_chunks, uint8_t *area)
{
    for (int k = 1; k <= max_chunks; ++k) {
        const uint8_t chunk = uint8_t(k);
        QueueFrame(Cmd::ReadHwVersion, &chunk, 1, uint8_t(d));
        uint8_t reply[kHwChunkReplyLength];
        if (!Transact(Cmd::ReadHwVersion, timeout_ms, reply, kHwChunkReplyLength))
            return HwRead::Failed;
        uint8_t *text = area + kHwChunkTextLength * (k - 1);
        memcpy(text, reply + 1, kHwChunkTextLength);
        if (memchr(text, 0, kHwChunkTextLength))
            return HwRead::Terminated;
    }
    return HwRead::Exhausted;
}

QString UpgradeServer::ReadHwText(int d, int timeout_ms)
{
    uint8_t area[Limits::kLaunchHwChunks * kHwChunkTextLength] = {};
    if (ReadHwChunks(d, timeout_ms, Limits::kLaunchHwChunks, area) == HwRead::Failed)
        return {};  // a missing chunk voids what earlier chunks gave
    return TextUpToZero(area, sizeof area);
}

bool UpgradeServer::ReadMotorHw(int timeout_ms, QString &text)
{
    QueueFrame(Cmd::ReadHwVersion, kZeroPayload, kMotorHwLength, DeviceId::Motor);
    uint8_t reply[kMotorHwLength];
    if (!Transact(Cmd::ReadHwVersion, timeout_ms, reply, kMotorHwLength))
        return false;
    text = TextUpToZero(reply, kMotorHwLength);
    return true;
}

void UpgradeServer::QueryHwVersion(int p, int d, QString &text, const QString &port)
{
    Q_ASSERT(InWindowThread());
    if (LinkBusy()) {
        qCDebug(lcEngine).noquote() << QString::fromUtf8("请重试");
        return;
    }
    if (d < DeviceId::Base || d > DeviceId::SlowBus)
        return;
    upgrading = true;
    const int timeout_ms = RoleOf(d).hw_query_timeout_ms;
    TargetStatus status;
    status.name = TargetOf(d, p);
    status.dev_id = d;
    status.product_id = p;
    if (OpenExchange(p, port)) {
        status.ports = 1;
        if (RoleOf(d).one_request_hw) {
            QString motor;
            if (ReadMotorHw(timeout_ms, motor)) {
                text += motor;
                status.hw_text = motor;
            }
        } else {
            // Empty also when a chunk got no answer: a text was read only when one came whole.
            const QString read = ReadHwText(d, timeout_ms);
            text += read;
            if (!read.isEmpty())
                status.hw_text = read;
        }
    }
    ReleaseLink();
    upgrading = false;
    if (status.hw_text && !status.name.isEmpty())
        last_heard[status.name] = QDateTime::currentDateTimeUtc();
    status.last_heard = last_heard.value(status.name);
    emit PushTargetStatus({status});
}

QString UpgradeServer::TargetOf(int d, int p) const
{
    if (!firmware_entries)
        return {};
    for (auto it = firmware_entries->cbegin(); it != firmware_entries->cend(); ++it) {
        if (it.value().dev_id == d && it.value().usb_pids.contains(p))
            return it.key();
    }
    return {};
}

bool UpgradeServer::PowerDisplayOfBaseInBoot(int p, const QString &port)
{
    Q_ASSERT(InWindowThread());
    if (LinkBusy())
        return false;
    upgrading = true;
    bool powered = false;
    if (OpenExchange(p, port)) {
        const uint8_t query = 0;
        QueueFrame(Cmd::QueryMode, &query, 1, DeviceId::Base);
        uint8_t mode = 0;
        if (Transact(Cmd::QueryMode, Waits::kQueryTimeoutMs, &mode, 1) && mode == Mode::Boot) {
            qCDebug(lcEngine).noquote() << "---Main is at Boot, force power on for display";
            const uint8_t on = kDisplayPowerOn;
            QueueFrame(Cmd::DisplayPowerOn, &on, 1, DeviceId::Base);
            uint8_t reply = 0;
            powered = Transact(Cmd::DisplayPowerOn, Waits::kBootExchangeMs, &reply, 1) && reply == kDisplayPowerOn;
        }
    }
    ReleaseLink();
    upgrading = false;
    return powered;
}

void UpgradeServer::GetControlerState()
{
    Q_ASSERT(InWindowThread());
    // A recent view: the poll only watches, and enumerating the system's ports every 1.5 s
    // costs more than everything else an idle window does.
    QList<PortInfo> attached;
    for (const PortInfo &port : ListFamilyPorts(PortCatalog::View::Recent)) {
        if (PortMatches(port, poll_port))
            attached.append(port);
    }
    // A job's thread keeps the port until its run ends, even after a stop request has cleared
    // `upgrading`; without a configuration there is nothing to poll.
    if (LinkBusy() || !firmware_entries)
        return;
    TargetStatusList statuses;
    upgrading = true;
    for (auto it = firmware_entries->cbegin(); it != firmware_entries->cend(); ++it) {
        const QString &name = it.key();
        const FirmwareEntry &entry = it.value();
        TargetStatus status;
        status.name = name;
        status.dev_id = entry.dev_id;
        status.mode_asked = true;
        bool heard = false;
        for (int pid : entry.usb_pids) {
            // The port a driver for this product id opens: with several, the last one.
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
            if (OpenExchange(pid, poll_port, PortCatalog::View::Recent)) {
                const int tries = PollTries(name);
                for (int i = 0; i < tries; ++i) {
                    const uint8_t query = 0;
                    QueueFrame(Cmd::QueryMode, &query, 1, uint8_t(entry.dev_id));
                    uint8_t mode = 0;
                    if (Transact(Cmd::QueryMode, Waits::kQueryTimeoutMs, &mode, 1)) {
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
                    ReadDetails(entry.dev_id, status);
            }
            ReleaseLink();
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
    upgrading = false;
    emit PushTargetStatus(statuses);
}

AppVersionReading UpgradeServer::ReadAppVersion(int p, int d, const QString &port, int tries)
{
    Q_ASSERT(InWindowThread());
    AppVersionReading reading;
    reading.asked = true;
    if (LinkBusy())
        return reading;
    upgrading = true;
    if (OpenExchange(p, port)) {
        reading.reached = true;
        for (int i = 0; i < tries && !reading.version && !reading.InBootloader(); ++i) {
            const uint8_t query = 0;
            QueueFrame(Cmd::QueryMode, &query, 1, uint8_t(d));
            uint8_t mode = Mode::Absent;
            if (!Transact(Cmd::QueryMode, Waits::kQueryTimeoutMs, &mode, 1))
                continue;
            reading.mode = mode;
            if (mode != Mode::App)
                continue;
            QueueFrame(Cmd::QueryAppVersion, kZeroPayload, kAppVersionLength, uint8_t(d));
            uint8_t version[kAppVersionLength];
            if (Transact(Cmd::QueryAppVersion, Waits::kQueryTimeoutMs, version, kAppVersionLength))
                reading.version = AppVersion::FromReply(version);
        }
    }
    ReleaseLink();
    upgrading = false;
    return reading;
}

QMap<int, uint8_t> UpgradeServer::ReadModes(int p, const QList<int> &devices, const QString &port, int tries)
{
    Q_ASSERT(InWindowThread());
    QMap<int, uint8_t> modes;
    for (int d : devices)
        modes[d] = Mode::Absent;
    if (LinkBusy())
        return modes;
    upgrading = true;
    if (OpenExchange(p, port)) {
        for (int d : devices) {
            for (int i = 0; i < tries && modes[d] == Mode::Absent; ++i) {
                const uint8_t query = 0;
                QueueFrame(Cmd::QueryMode, &query, 1, uint8_t(d));
                uint8_t mode = Mode::Absent;
                if (Transact(Cmd::QueryMode, Waits::kQueryTimeoutMs, &mode, 1))
                    modes[d] = mode;
            }
        }
    }
    ReleaseLink();
    upgrading = false;
    return modes;
}

void UpgradeServer::ReadDetails(int d, TargetStatus &status)
{
    // Details of an earlier device of the same target give way to this one's.
    status.details_asked = true;
    status.app_version.reset();
    status.hw_text.reset();
    QueueFrame(Cmd::QueryAppVersion, kZeroPayload, kAppVersionLength, uint8_t(d));
    uint8_t version[kAppVersionLength];
    if (Transact(Cmd::QueryAppVersion, Waits::kQueryTimeoutMs, version, kAppVersionLength))
        status.app_version = AppVersion::FromReply(version);

    if (RoleOf(d).one_request_hw) {
        QString motor;
        if (ReadMotorHw(Waits::kQueryTimeoutMs, motor))
            status.hw_text = motor;
        return;
    }
    // Only two chunks here: a text longer than 31 characters is never shown.
    uint8_t area[Limits::kPollHwChunks * kHwChunkTextLength] = {};
    if (ReadHwChunks(d, Waits::kQueryTimeoutMs, Limits::kPollHwChunks, area) == HwRead::Terminated)
        status.hw_text = TextUpToZero(area, sizeof area);
}
