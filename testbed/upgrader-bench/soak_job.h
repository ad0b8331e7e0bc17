#pragma once

#include "firmware_entry.h"
#include "job_end.h"
#include "upgrade_launch.h"

#include <QString>

#include <optional>

class SimFamily;
class UpgradeServer;

// Something that happens to a job while it runs, timed from its start.
struct Interruption {
    enum class Kind {
        None,
        Stop,           // the operator's Stop
        UnplugAndPlug,  // the cable pulled and put back
        Unplug,         // the cable pulled, put back only once the job has ended
    };
    Kind kind = Kind::None;
    int after_ms = 0;
    int plugged_for_ms = 0;  // UnplugAndPlug: how long the cable stays out
};

// How one launch went.
struct SoakJobResult {
    std::optional<LaunchRefusal::Kind> refused;  // the launch refused; no job ran
    bool link_busy = false;    // the engine would not start: its link was still busy
    bool ended = false;        // the job ended by itself (or by the interruption) before its deadline
    bool stopped_late = false; // it ran past its deadline and ended only once stopped
    JobEndReason reason = JobEndReason::DeviceFailed;
    qint64 ms = 0;             // from the job's start to its end
};

// The timings a job is held to.
struct SoakBounds {
    int deadline_ms = 0;    // a job still running after this long hangs
    int stop_grace_ms = 0;  // a hung job asked to stop must end within this
    // The base's own restart (leaving USB and coming back): a cable put back sooner could cross
    // a re-enumeration already under way.
    int replug_gap_ms = 0;
};

// One upgrade as the command launches it: the target's one device at the unit's USB location,
// the launch's checks and hardware read, the job, and its end. The engine's status poll stays
// off, as in the command. When the job hangs it is stopped; should it not end even then, the
// result says so (ended and stopped_late both false) and the engine must not be used again.
SoakJobResult RunSoakJob(UpgradeServer &server, SimFamily &family, const FirmwareEntries &entries,
                         const QString &target, const Interruption &interruption, const SoakBounds &bounds);
