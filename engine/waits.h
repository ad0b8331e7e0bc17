#pragma once

// Every fixed wait of the engine in one place, in milliseconds.
namespace Waits {

// Worker loop.
constexpr int kPacingPollMs = 1;      // one waitForReadyRead step inside the pacing wait
constexpr int kEndOfJobDrainMs = 200; // last look for input before the port is closed

// Window-thread exchanges.
constexpr int kQueryTimeoutMs = 40;       // status poll and hardware query answers
constexpr int kQueryTimeoutDev5Ms = 60;   // the slow bus of device 5
constexpr int kModeSwitchDrainMs = 100;   // manual mode switch: let the request leave

}  // namespace Waits
