#pragma once

// Every count of the upgrade sequence in one place: how many idle passes a waiting state allows,
// how often a request is tried. Never scaled. The pace of a pass (its ticks and bytes) is the
// device role's, in the family table.
namespace Limits {


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
constexpr int kMotorReturnAttempts = 3;   // requests that send the motor back to its application
constexpr int kMotorModeQueries = 5;      // mode queries after each, at the least
constexpr int kMotorPresenceQueries = 3;  // before a device-5 job sends the motor off the bus
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
// Requests that send the base to its bootloader before a base still in its application fails
// the job.
constexpr int kBaseBootRequests = 2;

// Window-thread exchanges.
constexpr int kLaunchHwChunks = 4;        // hardware text of up to 64 characters at launch
constexpr int kPollHwChunks = 2;          // the poll's details show at most 31 of them

}  // namespace Limits
