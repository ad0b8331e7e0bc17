#pragma once

// Every fixed wait of the engine in one place, in milliseconds (the waits that differ from device
// to device are in the family table). Sleeps and waits of a second or
// more are read through Long(), which tests may scale so that an end-to-end job takes seconds;
// protocol time-outs below a second and idle-pass counts are never scaled.
namespace Waits {

// Worker loop.
constexpr int kTickIntervalMs = 1;     // the tick that paces the job loop
constexpr int kPacingPollMs = 1;       // where the port cannot wake the pacing wait: look at it this often
constexpr int kIdleStepMs = 2;         // idle passes closer together than this do not count
constexpr int kEndOfJobDrainMs = 200;  // last look for input before the port is closed
constexpr int kStopPollMs = 10;        // a long sleep looks at the stop request this often

// Boot entry.
constexpr int kTargetRestartMs = 3000;       // a target sent to its bootloader restarts
constexpr int kReleasePortMs = 1000;         // reconnect: the base starts its restart before we let go
constexpr int kReenumerateMs = 4000;         // reconnect: the base's USB port comes back
constexpr int kDisplayProbeDelayMs = 3000;   // the display starts behind a restarted base
constexpr int kBootExchangeMs = 200;         // mode queries and the motor's and display's requests
constexpr int kProbeChunkMs = 40;

// Section transfer.
constexpr int kLossDrainMs = 8;        // after a loss report, three looks at the input
constexpr int kLossDrainLooks = 3;
constexpr int kQueryIndexMs = 10;      // index query after a loss report
constexpr int kIndexMismatchDrainMs = 20;
constexpr int kIndexMismatchLooks = 2;
constexpr int kFlashStatusMs = 2000;   // no flash status: ask for the result (a time-out, never scaled)

// Final verification.
// Header and digest answers wait as long as the device's role says; the flash check 3x that.

// Return to the application.
constexpr int kAfterFlagMs = 1000;        // the target restarts with the upgrade flag
constexpr int kBaseReturnDrainMs = 100;
constexpr int kBaseReturnMs = 5000;       // the base's application enumerates again
constexpr int kBaseReturnQueryMs = 100;
constexpr int kMotorReturnMs = 500;
constexpr int kMotorModePollMs = 50;      // a motor still in its bootloader is asked again after this
constexpr int kTargetCheckMs = 200;
constexpr int kUnitWatchMs = 20;          // a restarting base: how often its port is looked for
// A restarting base not seen gone and back within the restart time is waited for up to this long
// after the job let go of its port (a time-out, never scaled below it): a slow machine or a
// driver installed for the bootloader's port can take longer than the sequence's waits.
constexpr int kBaseBackLimitMs = 10000;

// A job whose devices have stopped answering (and which is not streaming to them) gives up after
// this long instead of repeating its requests forever. Read through NoReplyLimit().
constexpr int kNoReplyLimitMs = 30000;
// Scaled in tests, but never below the longest silence a working device keeps (the flash status
// comes after 2 s, a target check takes 20 x 200 ms).
constexpr int kNoReplyFloorMs = 5000;

// A device that keeps answering "busy" to a flash request counts as failed after the no-reply
// limit too: erasing and programming one section takes a real device well under a second.

// Window-thread exchanges.
constexpr int kPollIntervalMs = 1500;     // the status poll
constexpr int kQueryTimeoutMs = 40;       // status poll and hardware query answers
constexpr int kModeSwitchDrainMs = 100;   // manual mode switch: let the request leave

// A wait of a second or more, scaled for tests (1.0 in the shipped programs).
int Long(int ms);
void SetLongWaitScale(double scale);
double LongWaitScale();
int NoReplyLimit();

}  // namespace Waits
