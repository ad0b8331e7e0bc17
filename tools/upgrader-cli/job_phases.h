#pragma once

#include <QString>
#include <QVector>

// The phases of a job as the engine's reports reveal them. The engine names no phase; its
// reports and the sequence's fixed order do:
//   - the job's first transfer report (shown, 0) comes when its port has opened: the sequence
//     starts by entering the bootloaders;
//   - its second comes when boot entry has succeeded, before the first section: the transfer
//     (each section sent, checked in the device's buffer, flashed and checked in flash) starts;
//     every further one reports a section flashed, or 0 when a failed check restarts the transfer;
//   - the first verification report starts the final verification of every section;
//   - the hidden verification report ends it: the sequence's Finish returns the devices to their
//     applications and checks the target.
// A transfer report of value v means sections 0 to k-1 are done, k = v (n+1) / 100 for n
// sections; a verification report, k = v n / 100.
enum class Phase { None, EnteringBoot, Transfer, FinalVerify, ReturningToApp };

QString PhaseName(Phase phase);

// Where the job stands.
struct JobProgress {
    Phase phase = Phase::None;
    qint64 phase_start_ms = 0;
    int sections_done = 0;        // transfer or final verification
    int sections = 0;
    double percent = -1;          // of the phase's work; -1 in phases without a measure
    qint64 bytes = 0;             // transfer: bytes of the image done (before compression)
    qint64 total_bytes = 0;
    double bytes_per_second = -1; // transfer: over the sections sent since the phase (re)started
    double seconds_left = -1;     // of this phase, at the pace so far; -1 unknown
};

class JobPhases {
public:
    // section_bytes: the length of each section of the image, in image order.
    explicit JobPhases(const QVector<qint64> &section_bytes);

    // The engine's reports, with the time they arrived. True when the phase changed.
    bool OnUpgradeProgress(bool show, float value, qint64 now_ms);
    bool OnVerifyProgress(bool show, float value, qint64 now_ms);

    const JobProgress &Current() const { return now; }

private:
    void Enter(Phase phase, qint64 now_ms);
    void TransferReport(float value, qint64 now_ms);
    void VerifyReport(float value, qint64 now_ms);

    QVector<qint64> prefix;  // prefix[k]: bytes of sections 0..k-1
    JobProgress now;
    qint64 sent_since_start = 0;  // bytes of the sections reported since the transfer (re)started
};
