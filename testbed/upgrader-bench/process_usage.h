#pragma once

#include <QtGlobal>

// What this process holds of the system at one moment, to see whether a long run piles anything
// up. A figure the platform does not give is -1.
struct ProcessUsage {
    int open_files = -1;    // open file descriptors
    int threads = -1;       // the process's threads
    qint64 heap_bytes = -1; // bytes the C library's allocator has handed out and not taken back

    static ProcessUsage Now();
};
