#pragma once

#include "sim_family.h"

// The long waits of the sequence scaled for tests: 3 s sleeps become 150 ms.
constexpr double kTestWaitScale = 0.05;

// The standard simulated family with restarts well inside the scaled waits, its base's port in
// memory: the engine in this process reaches it through the channel opener, with no terminal in
// between.
SimFamilyOptions FastFamily(quint16 product_id = 4);

// The family with its base on a pseudo-terminal instead, opened by a real QSerialPort: for a
// process of its own (through the catalog file), a test that opens the port itself, and the few
// jobs kept end to end over the terminal and the serial driver.
SimFamilyOptions OnPty(SimFamilyOptions options);

// How many requests with this command device id accepted.
int CountRequests(const SimFamily &family, int id, uint8_t command);
