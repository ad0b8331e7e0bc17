#pragma once

#include <QMetaType>
#include <QtGlobal>

// Where a job stands, as the engine reports it: one value for every front end, so that the
// window's bars and the command's lines can never tell different stories.
enum class JobPhase {
    EnteringBoot,    // the port is open: the devices are brought into their bootloaders
    Transfer,        // sections sent, checked in the device's buffer, flashed and checked in flash
    FinalVerify,     // every section checked once more
    ReturningToApp,  // the devices are sent back to their applications and the target checked
    Ended,           // the sequence is over (reported again when the port has been let go)
};

struct UpgradeProgress {
    JobPhase phase = JobPhase::Ended;
    int section = 0;   // sections done in this phase (flashed, or verified)
    int sections = 0;  // of the image
    qint64 bytes_done = 0;   // image bytes (before compression) of the sections flashed: in the
                             // transfer, of the first `section` ones
    qint64 bytes_total = 0;  // image bytes of every section
    qint64 section_bytes = 0;  // image bytes of the section just done (0: none, as at a phase's start)
    qint64 wire_bytes_sent = 0;  // bytes the job has written to the port so far, resends included

    // The two bars of the operator's window: shown or not, and their value in percent.
    bool UpgradeBarShown() const { return phase == JobPhase::EnteringBoot || phase == JobPhase::Transfer; }
    float UpgradeBarPercent() const
    {
        if (phase == JobPhase::Ended)
            return 100.0f;
        // n sections fill n of n + 1 steps: the bar is full only once the job has ended.
        return phase == JobPhase::Transfer ? float(section * 100) / float(sections + 1) : 0.0f;
    }
    bool VerifyBarShown() const { return phase == JobPhase::FinalVerify; }
    float VerifyBarPercent() const
    {
        return phase == JobPhase::FinalVerify && section > 0 ? float(section) / float(sections) * 100.0f : 0.0f;
    }
    // Whether the report is one of the upgrade bar's (the others are the verify bar's).
    bool AboutUpgradeBar() const { return phase != JobPhase::FinalVerify && phase != JobPhase::ReturningToApp; }
};

Q_DECLARE_METATYPE(UpgradeProgress)

inline const char *JobPhaseName(JobPhase phase)
{
    switch (phase) {
    case JobPhase::EnteringBoot: return "entering boot";
    case JobPhase::Transfer: return "transfer";
    case JobPhase::FinalVerify: return "final verify";
    case JobPhase::ReturningToApp: return "returning to application";
    case JobPhase::Ended: return "ended";
    }
    return "ended";
}
