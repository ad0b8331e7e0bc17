#include "job_in_flight.h"

#include "firmware_image.h"
#include "image_writer.h"
#include "port_catalog.h"
#include "sim_port_catalog.h"
#include "upgrade_server.h"

#include <QFile>

namespace {
constexpr quint16 kUnconfiguredPid = 0x7E;
}

JobInFlight::JobInFlight(UpgradeServer &engine) : server(engine)
{
    port_handle = SimPortCatalog::Add(PortInfo{port->Name(), true, FamilyVendorId(), kUnconfiguredPid, {}, {}});
    ImageRecipe recipe;
    recipe.raw = true;
    QString error;
    const QByteArray image = BuildImage(recipe, {{0x08000000, QByteArray(600, 'x')}}, &error);
    const QString path = dir.filePath("held.bin");
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(image) != image.size())
        return;
    file.close();
    UpgradeJob job;
    job.dev_id = 1;
    job.usb_pid = kUnconfiguredPid;
    job.firmware_path = path;
    server.Start(job);
}

JobInFlight::~JobInFlight()
{
    server.Stop();
    server.wait();
    SimPortCatalog::Remove(port_handle);
}

bool JobInFlight::Holding() const
{
    return server.Upgrading() && server.isRunning();
}
