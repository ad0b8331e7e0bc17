#include "fast_family.h"

SimFamilyOptions FastFamily(quint16 product_id)
{
    SimFamilyOptions options = SimFamilyOptions::Standard();
    options.transport = SimTransport::Memory;
    options.product_id = product_id;
    options.timings.device_restart_ms = 60;
    options.timings.base_detach_ms = 10;
    options.timings.base_reenumerate_ms = 80;
    options.timings.display_boot_ms = 30;
    options.timings.flash_busy_ms = 10;
    return options;
}

SimFamilyOptions OnPty(SimFamilyOptions options)
{
    options.transport = SimTransport::Pty;
    return options;
}

int CountRequests(const SimFamily &family, int id, uint8_t command)
{
    int count = 0;
    for (const SimRequest &request : family.Requests(id))
        count += request.frame.command == command;
    return count;
}
