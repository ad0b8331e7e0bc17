#pragma once

#include "sim_port_catalog.h"
#include "waits.h"

// Process-wide settings a test changes for its own duration only: each guard puts back what
// was there when it goes out of scope, also when a check fails half-way.

// The simulated port catalog in place of the system's, emptied before and after.
class ScopedSimCatalog {
public:
    ScopedSimCatalog()
    {
        SimPortCatalog::Clear();
        SimPortCatalog::Install();
    }
    ~ScopedSimCatalog()
    {
        SimPortCatalog::Uninstall();
        SimPortCatalog::Clear();
    }
    ScopedSimCatalog(const ScopedSimCatalog &) = delete;
    ScopedSimCatalog &operator=(const ScopedSimCatalog &) = delete;
};

// The sequence's long waits scaled by a factor.
class ScopedWaitScale {
public:
    explicit ScopedWaitScale(double scale) : previous(Waits::LongWaitScale()) { Waits::SetLongWaitScale(scale); }
    ~ScopedWaitScale() { Waits::SetLongWaitScale(previous); }
    ScopedWaitScale(const ScopedWaitScale &) = delete;
    ScopedWaitScale &operator=(const ScopedWaitScale &) = delete;

private:
    double previous;
};
