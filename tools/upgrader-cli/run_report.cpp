#include "run_report.h"

#include "cli_log.h"
#include "cli_output.h"
#include "cli_texts.h"
#include "exit_codes.h"


#include <cmath>
#include <csignal>

void ReportRefusal(CliOutput &output, const CliOutput::Context *context, const QString &prefix, int code,
                   const QString &warning, const QStringList &debug_lines, bool debug_after)
{
    auto debug = [&] {
        for (const QString &line : debug_lines)
            qCWarning(lcCommand).noquote() << line;
    };
    if (!debug_after)
        debug();
    const QJsonObject fields{{QStringLiteral("text"), warning}, {QStringLiteral("exit_code"), code}};
    if (!output.Json())
        output.Err(prefix + warning);
    else if (context)
        output.Event(*context, QStringLiteral("refusal"), fields);
    else
        output.Event(QStringLiteral("refusal"), fields);
    if (debug_after)
        debug();
}

StopKind EngineStopKind(StopCause cause)
{
    return cause == StopCause::Timeout ? StopKind::TimeLimit : StopKind::Operator;
}

StopCause SignalStopCause(int signal_number)
{
    if (signal_number == SIGINT)
        return StopCause::Interrupt;
#ifdef SIGHUP
    if (signal_number == SIGHUP)
        return StopCause::Hangup;
#endif
    return StopCause::Terminate;
}

QString StopReason(StopCause cause, Language language, double timeout_s)
{
    switch (cause) {
    case StopCause::Timeout: return CliTexts::kStoppedByTimeout.In(language).arg(timeout_s);
    case StopCause::Interrupt: return CliTexts::kStoppedBySigint.In(language);
    case StopCause::Terminate: return CliTexts::kStoppedBySigterm.In(language);
    case StopCause::Hangup: return CliTexts::kStoppedBySighup.In(language);
    case StopCause::None: break;
    }
    return QString();
}

QJsonValue Rounded(double value, double parts)
{
    return value < 0 ? QJsonValue(QJsonValue::Null) : QJsonValue(std::round(value * parts) / parts);
}

QJsonValue TextOrNull(const QString &text)
{
    return text.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(text);
}

QJsonObject ProgressFields(const JobProgress &now)
{
    QJsonObject progress{{QStringLiteral("phase"), PhaseName(now)},
                         {QStringLiteral("percent"), Rounded(now.percent, 100)},
                         {QStringLiteral("sections_done"), now.sections_done},
                         {QStringLiteral("sections"), now.sections},
                         {QStringLiteral("seconds_left"), Rounded(now.seconds_left, 10)}};
    if (now.phase == JobPhase::Transfer) {
        progress.insert(QStringLiteral("bytes"), now.bytes);
        progress.insert(QStringLiteral("total_bytes"), now.total_bytes);
        progress.insert(QStringLiteral("bytes_per_second"), Rounded(now.bytes_per_second, 1));
    }
    return progress;
}

QStringList ProgressParts(const JobProgress &now, qint64 now_ms)
{
    QStringList parts{PhaseName(now)};
    if (now.percent >= 0)
        parts << QStringLiteral("%1%").arg(int(now.percent));  // truncated, as the window's bars show it
    if (now.bytes_per_second >= 0)
        parts << FormatRate(now.bytes_per_second);
    if (now.seconds_left >= 0)
        parts << FormatMinutes(now.seconds_left) + QStringLiteral(" left");
    else
        parts << FormatMinutes(double(now_ms - now.phase_start_ms) / 1000.0);
    return parts;
}
