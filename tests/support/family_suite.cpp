#include "family_suite.h"

SimulatedFamilySuite::SimulatedFamilySuite(double wait_scale) : waits(wait_scale) {}

void SimulatedFamilySuite::init()
{
    SimPortCatalog::Clear();
}
