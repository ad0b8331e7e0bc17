#pragma once

#include "sim_memory_port.h"

#include <QTemporaryDir>

#include <memory>

class UpgradeServer;

// A job that holds an engine's link, as one does while a unit is upgraded: it runs against a
// port where nothing answers, so it keeps asking for its handshake until the holder lets it
// go. Its port, in memory, has a product id no configuration names, so no status poll looks at
// it; the simulated port catalog must be in place.
class JobInFlight {
public:
    explicit JobInFlight(UpgradeServer &server);
    // Stops the job and waits for its thread to end.
    ~JobInFlight();
    JobInFlight(const JobInFlight &) = delete;
    JobInFlight &operator=(const JobInFlight &) = delete;

    // The job started and holds the link.
    bool Holding() const;

private:
    UpgradeServer &server;
    std::shared_ptr<SimMemoryPort> port = SimMemoryPort::Create();  // nobody reads it
    int port_handle = -1;
    QTemporaryDir dir;
};
