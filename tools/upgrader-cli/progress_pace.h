#pragma once

#include "upgrade_progress.h"

#include <QString>

// Where the job stands, with the pace a person waiting for it wants to know.
struct JobProgress {
    bool started = false;  // no report has come yet
    JobPhase phase = JobPhase::EnteringBoot;
    qint64 phase_start_ms = 0;
    int sections_done = 0;        // transfer or final verification
    int sections = 0;
    double percent = -1;          // of the phase's work; -1 in phases without a measure
    qint64 bytes = 0;             // transfer: bytes of the image done (before compression)
    qint64 total_bytes = 0;
    double bytes_per_second = -1; // transfer: over the sections sent since the phase (re)started
    double seconds_left = -1;     // of this phase, at the pace so far; -1 unknown
};

// "starting" before the first report, then the phase's name.
QString PhaseName(const JobProgress &now);

// Follows the engine's progress reports and the times they arrived.
class ProgressPace {
public:
    // True when the phase changed.
    bool OnProgress(const UpgradeProgress &report, qint64 now_ms);

    const JobProgress &Current() const { return now; }

private:
    void Enter(JobPhase phase, qint64 now_ms);
    void TransferReport(const UpgradeProgress &report, qint64 now_ms);
    void VerifyReport(const UpgradeProgress &report, qint64 now_ms);

    JobProgress now;
    qint64 sent_since_start = 0;  // bytes of the sections reported since the transfer (re)started
};
