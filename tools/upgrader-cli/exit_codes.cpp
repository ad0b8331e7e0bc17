#include "exit_codes.h"

int RefusalExitCode(LaunchRefusal::Kind kind)
{
    switch (kind) {
    case LaunchRefusal::Kind::TargetAbsent: return ExitCode::kConfig;
    case LaunchRefusal::Kind::NoDevice:
    case LaunchRefusal::Kind::SeveralDevices:
    case LaunchRefusal::Kind::UnitNotReady: return ExitCode::kDevice;
    case LaunchRefusal::Kind::NoHardwareVersion:
    case LaunchRefusal::Kind::HardwareMismatch: return ExitCode::kHardware;
    case LaunchRefusal::Kind::EmptyPath:
    case LaunchRefusal::Kind::MissingFile:
    case LaunchRefusal::Kind::InvalidImage:
    case LaunchRefusal::Kind::UntrustedImage: return ExitCode::kImage;
    case LaunchRefusal::Kind::Halted: return ExitCode::kHalted;
    case LaunchRefusal::Kind::GuardMistyped: return ExitCode::kConfig;
    }
    return ExitCode::kFailed;
}

int StopExitCode(StopCause cause)
{
    switch (cause) {
    case StopCause::Timeout: return ExitCode::kTimeout;
    case StopCause::Interrupt: return ExitCode::kInterrupted;
    case StopCause::Terminate: return ExitCode::kTerminated;
    case StopCause::Hangup: return ExitCode::kHangup;
    case StopCause::None: break;
    }
    return ExitCode::kFailed;
}

int JobEndExitCode(JobEndReason reason, StopCause cause)
{
    switch (reason) {
    case JobEndReason::Success: return ExitCode::kSuccess;
    case JobEndReason::Stopped:
    case JobEndReason::TimedOut: return StopExitCode(cause);
    case JobEndReason::ImageInvalid: return ExitCode::kImage;
    case JobEndReason::PortNotOpened:
    case JobEndReason::LinkLost: return ExitCode::kPort;
    case JobEndReason::DeviceSilent:
    case JobEndReason::DeviceFailed: return ExitCode::kFailed;
    }
    return ExitCode::kFailed;
}
