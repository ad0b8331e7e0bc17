#pragma once

#include <functional>

// Runs this thread's event loop (the engine's tick timer included) until done() holds or
// timeout_ms pass; returns done()'s last value.
bool RunEventsUntil(const std::function<bool()> &done, int timeout_ms);
