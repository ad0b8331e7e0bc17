// The operator's manual switch of the base between its application and its bootloader.
#include "upgrade_server.h"

#include "engine_log.h"
#include "log_unit.h"
#include "messages.h"
#include "port_catalog.h"
#include "byte_channel.h"
#include "waits.h"

bool UpgradeServer::BaseGoApp(const QString &port)
{
    return SwitchBase(SwitchTo::App, QStringLiteral("Main go app"), port);
}

bool UpgradeServer::BaseGoBoot(const QString &port)
{
    return SwitchBase(SwitchTo::Boot, QStringLiteral("Main go boot"), port);
}

bool UpgradeServer::SwitchBase(uint8_t to, const QString &line, const QString &port)
{
    Q_ASSERT(InWindowThread());
    const LogUnit::Scope unit(port);  // the refusal too is about the unit asked for
    // A job's thread owns the port until its run has ended: the switch must not touch it.
    if (LinkBusy()) {
        qCDebug(lcEngine).noquote() << line + QStringLiteral(": refused, an upgrade holds the port");
        return false;
    }
    QList<PortInfo> attached;
    for (const PortInfo &info : ListFamilyPorts()) {
        if (PortMatches(info, port))
            attached.append(info);
    }
    if (attached.size() != 1)
        return false;
    const bool sent = OpenExchange(attached.first().product_id, port);
    if (sent) {
        QueueFrame(Cmd::SwitchMode, &to, 1, DeviceId::Base);
        FlushTx();
        qCDebug(lcEngine).noquote() << line;
        job.link->WaitForInput(Waits::kModeSwitchDrainMs);
    }
    ReleaseLink();
    return sent;
}
