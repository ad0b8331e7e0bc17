#pragma once

// What an operator window costs while nobody touches it, measured against an upgrader-sim in a
// process of its own, and how soon a base that restarted is seen again by the status poll.
struct IdleWindowFigures {
    bool measured = false;          // false: the programs could not be found or run (reason on stderr)
    double seconds = 0;             // the window's measured span
    double cpu_share = 0;           // the window's own CPU time over that span, in cores
    double bytes_to_devices = 0;    // what the window wrote meanwhile: its polls' requests
    int base_returns = 0;           // restarts of the simulated base watched by a status poll
    double return_seen_mean_ms = 0; // from the base's re-enumeration to the poll's report of it
    double return_seen_max_ms = 0;
    int return_missed_polls = 0;    // polls begun after a re-enumeration that did not report the base
};

// Runs `upgrader` (offscreen) against `upgrader-sim` for window_seconds and reads the window's
// CPU time from the system before and after; then restarts the simulated base `returns` times
// under a status poll of this process that reads the same catalog file. Linux only (elsewhere
// nothing is measured).
IdleWindowFigures MeasureIdleWindow(int window_seconds, int returns);
