#include "progress_pace.h"

#include <QtGlobal>

QString PhaseName(const JobProgress &now)
{
    return now.started ? QString::fromLatin1(JobPhaseName(now.phase)) : QStringLiteral("starting");
}

void ProgressPace::Enter(JobPhase phase, qint64 now_ms)
{
    now = JobProgress();
    now.started = true;
    now.phase = phase;
    now.phase_start_ms = now_ms;
    sent_since_start = 0;
}

bool ProgressPace::OnProgress(const UpgradeProgress &report, qint64 now_ms)
{
    if (report.phase == JobPhase::Ended)
        return false;  // the job's own end says how it went
    const bool changed = !now.started || report.phase != now.phase;
    if (changed)
        Enter(report.phase, now_ms);
    now.sections = report.sections;
    now.total_bytes = report.bytes_total;
    if (report.phase == JobPhase::Transfer)
        TransferReport(report, now_ms);
    else if (report.phase == JobPhase::FinalVerify)
        VerifyReport(report, now_ms);
    return changed;
}

void ProgressPace::TransferReport(const UpgradeProgress &report, qint64 now_ms)
{
    if (report.section == 0) {
        // The start, or a start over after a failed check: the pace is measured afresh.
        now.phase_start_ms = now_ms;
        sent_since_start = 0;
    } else {
        sent_since_start += report.section_bytes;
    }
    now.sections_done = report.section;
    now.bytes = report.bytes_done;
    now.percent = now.total_bytes > 0 ? 100.0 * double(now.bytes) / double(now.total_bytes) : 0.0;
    const double seconds = double(now_ms - now.phase_start_ms) / 1000.0;
    if (sent_since_start > 0 && seconds > 0) {
        now.bytes_per_second = double(sent_since_start) / seconds;
        now.seconds_left = double(now.total_bytes - now.bytes) / now.bytes_per_second;
    } else {
        now.bytes_per_second = -1;
        now.seconds_left = -1;
    }
}

void ProgressPace::VerifyReport(const UpgradeProgress &report, qint64 now_ms)
{
    const int n = now.sections;
    const int k = qBound(0, report.section, n);
    now.sections_done = k;
    now.percent = qBound(0.0, double(report.VerifyBarPercent()), 100.0);
    const double seconds = double(now_ms - now.phase_start_ms) / 1000.0;
    now.seconds_left = k > 0 ? seconds / k * (n - k) : -1;
}
