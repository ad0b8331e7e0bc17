#pragma once

// Every count and pace of the upgrade sequence in one place: how many ticks a loop pass waits,
// how many idle passes a waiting state allows, how often a request is tried. Never scaled.
namespace Limits {

// Pacing: ticks of 1 ms that one pass of the job loop waits before it sends.
constexpr int kPassTicks = 2;            // exchanges with the base and the targets on its fast bus
constexpr int kStreamingPassTicks = 1;   // section data: one frame's worth per millisecond
constexpr int kMotorPassTicks = 8;       // the motor's bus is slower...
constexpr int kMotorStreamingPassTicks = 5;  // ...and takes its data at this pace
constexpr int kSlowBusPassTicks = 10;    // device 5, streaming or not

// Bytes one pass sends at most.
constexpr int kMaxBytesPerPass = 128;        // the base's receive buffer per millisecond
constexpr int kMaxBytesPerPassSlowBus = 30;  // the slow bus behind the base takes no more
constexpr int kTracedBytesBelow = 20;        // longer sends are traced without their bytes

// Idle passes a waiting state allows before it repeats its request (or gives up on it).
constexpr int kHandshakeIdlePasses = 50;
constexpr int kQueryModeIdlePasses = 30;
constexpr int kHeaderIdlePasses = 10;         // then the section is announced again
constexpr int kIndexIdlePasses = 30;
constexpr int kBufferVerifyIdlePasses = 20;   // then the section is sent again
constexpr int kBufferDigestIdlePasses = 10;
constexpr int kFlashVerifyIdlePasses = 20;
constexpr int kFlashDigestIdlePasses = 20;

// Tries and failures a job survives.
constexpr int kMaxHandshakeRetries = 5;   // handshake time-outs that end the job
constexpr int kMaxVerifyFailures = 3;     // flash digest mismatches; the fourth ends the job
constexpr int kVerifyMisses = 10;         // unanswered requests per step of the final check
constexpr int kVerifyQuietMisses = 5;     // misses after which each further one is logged
constexpr int kVerifyFlashWaitFactor = 3; // the device reads its flash before it answers
constexpr int kDisplayPowerTries = 4;
constexpr int kProbeDisplayTries = 5;
constexpr int kBaseReturnPolls = 50;      // mode queries after the base's return
constexpr int kBaseReturnAttempts = 2;
constexpr int kTargetCheckTries = 20;

// Bounds that end a job whose devices keep answering but never get anywhere. Without them a
// device that answers each request with something else, or a section whose data never pass the
// buffer check, would keep the job going until someone pressed Stop.
// Buffer checks of one section that failed or went unanswered. On a sound link a section passes
// at the first or second try; ten failures in a row mean its bytes do not match the digest the
// image gives for them.
constexpr int kMaxSectionAttempts = 10;
// Resends from a loss report that did not get past the furthest point reached before: a link
// losing 1 % of its frames moves forward at almost every resend.
constexpr int kMaxStalledResumes = 20;
// Index queries after a loss report without an answer of the index.
constexpr int kMaxIndexQueries = 50;
// Repeated requests of one waiting state (mode, buffer digest, flash check, flash digest) that
// got no answer of their kind.
constexpr int kMaxRequestRepeats = 20;
// Mode queries while the base or the target restarts into its bootloader (200 ms each at most).
constexpr int kMaxBootEntryQueries = 50;

// Window-thread exchanges.
constexpr int kPollTries = 1;             // mode queries per target and status poll
constexpr int kPollTriesSlowTargets = 3;  // the steering wheel and the display answer late
constexpr int kLaunchHwChunks = 4;        // hardware text of up to 64 characters at launch
constexpr int kPollHwChunks = 2;          // the poll's details show at most 31 of them

}  // namespace Limits
