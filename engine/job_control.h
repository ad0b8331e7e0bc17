#pragma once

#include "job_end.h"
#include "tick_wake.h"

#include <atomic>

// What the window's thread and a job's thread share while the job runs: whether the link is in
// use, the stop request, and the ticks that pace the job's passes. Everything else of a job is
// its own thread's.
struct JobControl {
    std::atomic<bool> upgrading{false};       // the link is in use
    std::atomic<bool> stop_requested{false};  // the job ends after the current pass
    std::atomic<bool> stopped_by_operator{false};
    std::atomic<StopKind> stop_kind{StopKind::Operator};
    std::atomic<int> tick_count{0};           // advanced by the 1 ms tick
    std::atomic<int> passes{0};               // passes the pacing wait has let go in this job
    TickWake tick_wake;                       // the tick and a stop wake the pacing wait

    // A new job takes the link: no stop, no ticks, no passes yet.
    void Begin()
    {
        upgrading = true;
        stop_requested = false;
        stopped_by_operator = false;
        tick_count = 0;
        passes = 0;
    }
    // Any thread.
    void Tick()
    {
        tick_count.fetch_add(1);  // ordered before Signal(): a wait armed since sees the new count
        tick_wake.Signal();
    }
    // Asks the job to stop, as kind; any thread.
    void RequestStop(StopKind kind)
    {
        stop_kind = kind;
        stopped_by_operator = true;
        stop_requested = true;
        upgrading = false;
        tick_wake.Signal();
    }
};
