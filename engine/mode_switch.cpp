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
    // A job's thread owns the port until its run has ended: the switch must not touch it.
    if (upgrading || isRunning()) {
        qDebug().noquote() << line + QStringLiteral(": refused, an upgrade holds the port");
        return;
    }
    const QList<int> attached = ListFamilyPids();
    if (attached.size() != 1)
        return;
    if (OpenExchangeDriver(attached.first())) {
        QueueFrame(Cmd::SwitchMode, &to, 1, DeviceId::Base);
        FlushTx();
        qDebug().noquote() << line;
        driver->port.waitForReadyRead(Waits::kModeSwitchDrainMs);
    }
    driver->Disconnect();
    driver->deleteLater();
    driver = nullptr;
}
