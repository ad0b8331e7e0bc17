#pragma once

#include "sim_family.h"

// The long waits of the sequence scaled for tests: 3 s sleeps become 150 ms.
constexpr double kTestWaitScale = 0.05;

// The standard simulated family with restarts well inside the scaled waits.
SimFamilyOptions FastFamily(quint16 product_id = 4);

// How many requests with this command device id accepted.
int CountRequests(const SimFamily &family, int id, uint8_t command);
