#pragma once

#include <QMetaType>

// Why a job ended, decided by the engine and reported once, after every other report of the job.
// Front ends take their texts, exit codes and records from it, never from the error text.
enum class JobEndReason {
    Success,        // every step succeeded, the target runs the new image, the unit is back in use
    Stopped,        // Stop() ended it (the operator, a signal, the window closing)
    TimedOut,       // Stop(StopKind::TimeLimit): the front end's own time limit ran out
    ImageInvalid,   // the image could not be read or used; nothing was sent
    PortNotOpened,  // the unit's port did not open at the start; nothing was sent
    LinkLost,       // the unit's port went away and did not come back
    DeviceSilent,   // the devices stopped answering for longer than the no-reply limit
    DeviceFailed,   // a device refused or failed a step, or a bound on retries was reached
};

// Who asked a job to stop; decides whether it ends as Stopped or TimedOut.
enum class StopKind {
    Operator,   // the Stop button, Ctrl+C, SIGTERM, SIGHUP
    TimeLimit,  // --timeout
    Closing,    // the window is closing
};

inline const char *JobEndName(JobEndReason reason)
{
    switch (reason) {
    case JobEndReason::Success: return "success";
    case JobEndReason::Stopped: return "stopped";
    case JobEndReason::TimedOut: return "timed out";
    case JobEndReason::ImageInvalid: return "image invalid";
    case JobEndReason::PortNotOpened: return "port not opened";
    case JobEndReason::LinkLost: return "link lost";
    case JobEndReason::DeviceSilent: return "device silent";
    case JobEndReason::DeviceFailed: return "device failed";
    }
    return "device failed";
}

Q_DECLARE_METATYPE(JobEndReason)
