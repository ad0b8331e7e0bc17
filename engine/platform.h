#pragma once

#include <QtGlobal>

// The engine's few calls into the operating system, each with a portable fallback.
namespace Platform {

// CPU time the calling thread has used, in nanoseconds; 0 where the platform cannot tell.
qint64 ThreadCpuNs();

// CPU time the whole process has used (user and system, all threads), in nanoseconds; 0 where the
// platform cannot tell. For measurements that include the window's thread and the simulators.
qint64 ProcessCpuNs();

// Lets the calling thread's timed waits end as close to their deadline as the kernel can: the
// 1 ms tick and the pacing wait's 1 ms steps otherwise run late by the default timer slack
// (50 µs on Linux) on every wait. Nothing elsewhere.
void TightenTimerSlack();

}  // namespace Platform
