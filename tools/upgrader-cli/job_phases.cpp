#include "job_phases.h"

#include <QtGlobal>

#include <cmath>

QString PhaseName(Phase phase)
{
    switch (phase) {
    case Phase::None: return QStringLiteral("starting");
    case Phase::EnteringBoot: return QStringLiteral("entering boot");
    case Phase::Transfer: return QStringLiteral("transfer");
    case Phase::FinalVerify: return QStringLiteral("final verify");
    case Phase::ReturningToApp: return QStringLiteral("returning to application");
    }
    return QString();
}

JobPhases::JobPhases(const QVector<qint64> &section_bytes)
{
    prefix.append(0);
    for (qint64 bytes : section_bytes)
        prefix.append(prefix.last() + bytes);
    now.sections = section_bytes.size();
    now.total_bytes = prefix.last();
}

void JobPhases::Enter(Phase phase, qint64 now_ms)
{
    const int sections = now.sections;
    const qint64 total = now.total_bytes;
    now = JobProgress();
    now.phase = phase;
    now.phase_start_ms = now_ms;
    now.sections = sections;
    now.total_bytes = total;
    sent_since_start = 0;
}

bool JobPhases::OnUpgradeProgress(bool show, float value, qint64 now_ms)
{
    if (!show)
        return false;  // the job's end, or Finish: the job's own end says how it went
    switch (now.phase) {
    case Phase::None:
        Enter(Phase::EnteringBoot, now_ms);
        return true;
    case Phase::EnteringBoot:
    case Phase::FinalVerify:  // a section failed its final check: the transfer starts over
        Enter(Phase::Transfer, now_ms);
        TransferReport(value, now_ms);
        return true;
    case Phase::Transfer:
        TransferReport(value, now_ms);
        return false;
    case Phase::ReturningToApp:
        return false;
    }
    return false;
}

bool JobPhases::OnVerifyProgress(bool show, float value, qint64 now_ms)
{
    if (!show) {
        if (now.phase != Phase::FinalVerify)
            return false;
        Enter(Phase::ReturningToApp, now_ms);
        return true;
    }
    const bool changed = now.phase != Phase::FinalVerify;
    if (changed)
        Enter(Phase::FinalVerify, now_ms);
    VerifyReport(value, now_ms);
    return changed;
}

void JobPhases::TransferReport(float value, qint64 now_ms)
{
    const int n = now.sections;
    const int k = qBound(0, int(std::lround(double(value) * (n + 1) / 100.0)), n);
    if (k == 0) {
        // The start, or a start over after a failed check: the pace is measured afresh.
        now.phase_start_ms = now_ms;
        sent_since_start = 0;
    } else {
        sent_since_start += prefix[k] - prefix[k - 1];
    }
    now.sections_done = k;
    now.bytes = prefix[k];
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

void JobPhases::VerifyReport(float value, qint64 now_ms)
{
    const int n = now.sections;
    const int k = n > 0 ? qBound(0, int(std::lround(double(value) * n / 100.0)), n) : 0;
    now.sections_done = k;
    now.percent = qBound(0.0, double(value), 100.0);
    const double seconds = double(now_ms - now.phase_start_ms) / 1000.0;
    now.seconds_left = k > 0 ? seconds / k * (n - k) : -1;
}
