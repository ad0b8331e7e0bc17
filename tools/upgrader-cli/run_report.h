#pragma once

#include "bilingual.h"
#include "cli_output.h"
#include "exit_codes.h"
#include "firmware_image.h"
#include "job_end.h"
#include "progress_pace.h"

#include <QJsonObject>
#include <QJsonValue>
#include <QString>
#include <QStringList>
#include <QVector>

// What the reports of an upgrade share, for one base or for every base of a station.

// A refusal as the command reports it: the launch's console lines before or after the warning, as
// the window writes them, and the warning as a line (after prefix) or as a "refusal" event (about
// context, or the output's own when null).
void ReportRefusal(CliOutput &output, const CliOutput::Context *context, const QString &prefix, int code,
                   const QString &warning, const QStringList &debug_lines, bool debug_after);

// A stopped job ends after its current pass and returns its unit to its application: the base
// restarts, which takes up to 5 s to come back on USB and 5 s to answer. Far longer means the
// job is stuck in the system, and the command must not hang with it.
constexpr int kStopGraceMs = 20000;

// How the engine is told to stop for the cause: --timeout as its time limit, a signal as the
// operator's Stop.
StopKind EngineStopKind(StopCause cause);
// The cause a stop signal stands for (SIGINT, SIGTERM and, where there is one, SIGHUP).
StopCause SignalStopCause(int signal_number);
// What the command says about a job stopped for the cause (timeout_s: the --timeout given).
QString StopReason(StopCause cause, Language language, double timeout_s);

// A measure rounded to what it means (a rate to whole bytes, a time to tenths): parts is how
// many steps make one unit. Null when unknown (negative).
QJsonValue Rounded(double value, double parts);
QJsonValue TextOrNull(const QString &text);

// A progress report's fields in the JSON stream (the "progress" event).
QJsonObject ProgressFields(const JobProgress &now);
// The pieces of a progress line: phase, percent, rate, and time left (or so far, at now_ms).
QStringList ProgressParts(const JobProgress &now, qint64 now_ms);
