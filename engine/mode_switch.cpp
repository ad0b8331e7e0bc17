// The operator's manual switch of the base between its application and its bootloader.
#include "upgrade_server.h"

#include "messages.h"
#include "port_catalog.h"
#include "usb_cdc_driver.h"
#include "waits.h"

#include <QDebug>

void UpgradeServer::BaseGoApp()
{
    SwitchBase(SwitchTo::App, QStringLiteral("Main go app"));
}

void UpgradeServer::BaseGoBoot()
{
    SwitchBase(SwitchTo::Boot, QStringLiteral("Main go boot"));
}

void UpgradeServer::SwitchBase(uint8_t to, const QString &line)
{
    Q_ASSERT(InWindowThread());
    // A job's thread owns the port until its run has ended: the switch must not touch it.
    if (LinkBusy()) {
        qDebug().noquote() << line + QStringLiteral(": refused, an upgrade holds the port");
        return;
    }
    const QList<int> attached = ListFamilyPids();
    if (attached.size() != 1)
        return;
    if (OpenExchange(attached.first())) {
        QueueFrame(Cmd::SwitchMode, &to, 1, DeviceId::Base);
        FlushTx();
        qDebug().noquote() << line;
        job.driver->port.waitForReadyRead(Waits::kModeSwitchDrainMs);
    }
    ReleaseDriver();
}
