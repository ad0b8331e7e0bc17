#pragma once

#include "job_end.h"
#include "upgrade_launch.h"

// Why the command was asked to stop before its job ended.
enum class StopCause { None, Timeout, Interrupt, Terminate, Hangup };

// What upgrader-cli's exit code tells a script. The values are part of the command's interface.
namespace ExitCode {

constexpr int kSuccess = 0;
constexpr int kUsage = 2;
constexpr int kConfig = 3;       // configuration missing or invalid
constexpr int kDevice = 4;       // no device of the target, or several, or another device of the
                                 // unit left in its bootloader by an earlier job
constexpr int kHardware = 5;     // hardware version missing or matching no variant
constexpr int kImage = 6;        // image path missing, file missing or invalid
constexpr int kPort = 7;         // port could not be opened or was lost
constexpr int kFailed = 8;       // the upgrade (or the base's switch) failed
constexpr int kTimeout = 9;      // stopped by --timeout
constexpr int kHistory = 10;     // the record could not be written, with --require-history
constexpr int kHalted = 11;      // the line's guard halted the image: it failed too often lately
constexpr int kHangup = 129;       // stopped by SIGHUP: the terminal was closed
constexpr int kInterrupted = 130;  // stopped by SIGINT
constexpr int kTerminated = 143;   // stopped by SIGTERM

// The result's name in the JSON stream, by exit code.
inline const char *ResultName(int code)
{
    switch (code) {
    case kSuccess: return "success";
    case kUsage: return "usage";
    case kConfig: return "configuration";
    case kDevice: return "device";
    case kHardware: return "hardware";
    case kImage: return "image";
    case kPort: return "port";
    case kTimeout: return "timeout";
    case kHistory: return "history";
    case kHalted: return "halted";
    case kHangup: return "hangup";
    case kInterrupted: return "interrupted";
    case kTerminated: return "terminated";
    default: return "failed";
    }
}

}  // namespace ExitCode

// The exit code of a refused launch.
int RefusalExitCode(LaunchRefusal::Kind kind);
// The exit code of a job stopped for the cause.
int StopExitCode(StopCause cause);
// The exit code of a job, from why the engine says it ended and, for a stopped job, the cause the
// command stopped it for. A stop that came too late to matter leaves a success, and a job that
// failed on its own before the stop took effect keeps its own code.
int JobEndExitCode(JobEndReason reason, StopCause cause);
