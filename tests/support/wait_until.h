#pragma once

#include <functional>

// Runs the caller's event loop until pred holds or timeout_ms pass; returns pred's last value.
// Unlike QTest::qWait, which sleeps between event batches, the loop keeps 1 ms timers (the
// engine's tick) running at their real rate.
bool WaitUntil(const std::function<bool()> &pred, int timeout_ms = 30000);
