#include "station_unit.h"

#include "cli_texts.h"
#include "exit_codes.h"
#include "log_unit.h"
#include "run_report.h"

#include <QDebug>
#include <QSerialPort>
#include <QThread>

namespace {

// The key the launch and the engine name this base's lines by: what the launch pins the job to.
QString UnitOf(const PortInfo &base, const QString &where)
{
    const QString key = UnitKey(base);
    return key.isEmpty() ? where : key;
}

}  // namespace

StationUnit::StationUnit(const QString &name, const PortInfo &port, CliOutput &out, bool zh, const QString &file)
    : target(name),
      base(port),
      where(port.location.isEmpty() ? port.name : port.location),
      output(out),
      chinese(zh),
      context{name, port.name, port.location},
      history(file)
{
    // A history that cannot take the record costs a line or an event, never the result.
    connect(&record_keeper, &JobRecordKeeper::Recorded, this, [this](const UpgradeRecord &, const QString &warning) {
        if (warning.isEmpty())
            return;
        if (output.Json())
            output.Event(context, QStringLiteral("warning"),
                         {{QStringLiteral("what"), QStringLiteral("history")}, {QStringLiteral("text"), warning}});
        else
            output.Err(where + QStringLiteral(": ") + warning);
    });
}

StationUnit::~StationUnit()
{
    output.SetUnitContext(UnitOf(base, where), {});
}

bool StationUnit::Prepare(const FirmwareEntries &entries)
{
    clock.start();
    // The console lines (--verbose) of the launch, then of the job, are about this base.
    output.SetUnitContext(UnitOf(base, where), context);
    const LogUnit::Scope unit(UnitOf(base, where));
    return Launch(entries);
}

bool StationUnit::Launch(const FirmwareEntries &entries)
{
    UpgradeLaunch launch(server);
    if (const auto refusal = launch.FindDevice(entries, target, where))
        return RefuseLaunch(*refusal);
    // The launch reads the hardware version through this port: one that is busy or gone would
    // look like a device that does not answer.
    const PortInfo port = FamilyPort(launch.ProductId(), launch.Port());
    if (port.name.isEmpty())
        return Refuse(ExitCode::kPort, CliTexts::kPortGone.In(chinese).arg(launch.ProductId()));
    {
        QSerialPort probe(port.name);
        if (!probe.open(QIODevice::ReadWrite))
            return Refuse(ExitCode::kPort, CliTexts::kPortNotOpened.In(chinese).arg(port.name, probe.errorString()));
    }

    const auto refusal = launch.Prepare(job);
    // The command polls nothing: the launch restarted the window's poll, which has no table here.
    server.StopPolling();
    if (refusal)
        return RefuseLaunch(*refusal);
    const ImageFacts image = ReadImageFacts(job);
    image_sha256 = image.sha256;
    if (!image.problem.isEmpty())
        return Refuse(ExitCode::kImage, CliTexts::kImageInvalid.In(chinese).arg(image.problem));
    phases = std::make_unique<JobPhases>(image.section_lengths);

    if (output.Json()) {
        output.Event(context, QStringLiteral("start"),
                     {{QStringLiteral("hw_version"), job.hw_version},
                      {QStringLiteral("variant"), job.description},
                      {QStringLiteral("image"), job.firmware_path},
                      {QStringLiteral("image_sha256"), image_sha256},
                      {QStringLiteral("dev_id"), job.dev_id},
                      {QStringLiteral("usb_pid"), job.usb_pid}});
    } else {
        output.Out(QStringLiteral("%1 (%2): %3, hardware %4, variant \"%5\", image %6")
                       .arg(where, base.name, target, job.hw_version, job.description, job.firmware_path));
    }
    return true;
}

bool StationUnit::Start()
{
    connect(&server, &UpgradeServer::UpdateUpgradeProgress, this, [this](bool show, float value) {
        OnReport(phases->OnUpgradeProgress(show, value, clock.elapsed()));
    });
    connect(&server, &UpgradeServer::UpdateVerifyProgress, this, [this](bool show, float value) {
        OnReport(phases->OnVerifyProgress(show, value, clock.elapsed()));
    });
    connect(&server, &UpgradeServer::PushLogMsg, this, [this](const QString &line) {
        if (output.Json())
            output.Event(context, QStringLiteral("log"), {{QStringLiteral("text"), line}});
        else
            output.Err(where + QStringLiteral(": ") + line);
    });
    // Only the text: whether the job succeeded is the end reason's to say, never the text's.
    connect(&server, &UpgradeServer::PushErrorMsg, this, [this](const QString &text) { error_text += text; });
    // Queued behind every report of the job: they have all arrived when this one does.
    connect(&server, &QThread::finished, this, &StationUnit::OnJobEnded, Qt::QueuedConnection);

    record_keeper.Begin(target, job, history);
    if (!server.Start(job)) {
        record_keeper.Abandon();
        Conclude(ExitCode::kPort, CliTexts::kPortNotOpenedByJob.In(chinese).arg(base.name), false);
        return false;
    }
    running = true;
    return true;
}

void StationUnit::Stop(StopCause cause, const QString &reason)
{
    if (ended)
        return;
    if (!running) {
        Conclude(StopExitCode(cause), reason, false);  // nothing was sent to this base's devices
        return;
    }
    stop_cause = cause;
    stop_reason = reason;
    server.Stop(EngineStopKind(cause));
}

void StationUnit::Abandon(int exit_code, const QString &reason)
{
    if (ended)
        return;
    running = false;
    Conclude(exit_code, stop_reason.isEmpty() ? reason : stop_reason + QLatin1Char('\n') + reason, true);
}

void StationUnit::OnReport(bool phase_changed)
{
    const JobProgress &now = phases->Current();
    const bool measured = now.phase == Phase::Transfer || now.phase == Phase::FinalVerify;
    if (output.Json()) {
        if (phase_changed)
            output.Event(context, QStringLiteral("phase"), {{QStringLiteral("phase"), PhaseName(now.phase)}});
        if (measured)
            output.Event(context, QStringLiteral("progress"), ProgressFields(now));
    } else if (output.GetMode() == CliOutput::Mode::Plain) {
        // A line per phase and per tenth of it, as for one base, each saying which base it is.
        const int tenth = measured ? int(now.percent) / 10 : -1;
        if (phase_changed || tenth != last_tenth) {
            last_tenth = tenth;
            output.Out(QStringLiteral("%1 %2: %3")
                           .arg(where, target, ProgressParts(now, clock.elapsed()).join(QStringLiteral(", "))));
        }
    }
    emit Progressed(phase_changed);
}

void StationUnit::OnJobEnded()
{
    if (ended)
        return;  // abandoned after its stop, and ended at last
    running = false;
    QString why = error_text.trimmed();
    const JobEndReason reason = server.LastJobEnd();
    // A job that failed on its own before the stop took effect ends with its own code and text.
    const int exit_code = JobEndExitCode(reason, stop_cause);
    if (reason == JobEndReason::Stopped || reason == JobEndReason::TimedOut) {
        why = why.isEmpty() ? stop_reason : stop_reason + QLatin1Char('\n') + why;
    } else if (reason == JobEndReason::ImageInvalid || reason == JobEndReason::PortNotOpened) {
        why = exit_code == ExitCode::kPort ? CliTexts::kPortNotOpenedByJob.In(chinese).arg(base.name)
                                           : CliTexts::kImageNotLoaded.In(chinese).arg(job.firmware_path);
    }
    // The unit ends once its job's record is written (or its warning said).
    if (record_keeper.Idle()) {
        Conclude(exit_code, why, true);
        return;
    }
    connect(&record_keeper, &JobRecordKeeper::Recorded, this, [this, exit_code, why] {
        if (!ended)
            Conclude(exit_code, why, true);
    });
}

bool StationUnit::RefuseLaunch(const LaunchRefusal &refusal)
{
    return Refuse(RefusalExitCode(refusal.kind), refusal.Warning(chinese), refusal.debug_lines,
                  refusal.debug_after_warning);
}

bool StationUnit::Refuse(int exit_code, const QString &warning, const QStringList &debug_lines, bool debug_after)
{
    ReportRefusal(output, &context, where + QStringLiteral(": "), exit_code, warning, debug_lines, debug_after);
    Conclude(exit_code, warning, false);
    return false;
}

void StationUnit::Conclude(int exit_code, const QString &why, bool job_ran)
{
    ended = true;
    code = exit_code;
    error = why;
    seconds = Seconds();
    if (output.Json()) {
        const QString message = !job_ran ? why
                                : exit_code == ExitCode::kSuccess ? CliTexts::kUpdateSuccess.In(chinese)
                                                                   : CliTexts::kUpdateFailed.In(chinese);
        output.Event(context, QStringLiteral("result"),
                     {{QStringLiteral("result"), ExitCode::ResultName(exit_code)},
                      {QStringLiteral("exit_code"), exit_code},
                      {QStringLiteral("message"), message},
                      {QStringLiteral("error"), why},
                      {QStringLiteral("duration_s"), Rounded(seconds, 1000)},
                      {QStringLiteral("hw_version"), TextOrNull(job.hw_version)},
                      {QStringLiteral("image"), TextOrNull(job.firmware_path)},
                      {QStringLiteral("image_sha256"), TextOrNull(image_sha256)}});
    } else if (job_ran) {
        if (exit_code != ExitCode::kSuccess) {
            for (const QString &line : why.split(QLatin1Char('\n'), Qt::SkipEmptyParts))
                output.Err(where + QStringLiteral(": ") + line);
        }
        output.Out(QStringLiteral("%1 %2: %3 (%4 s)")
                       .arg(where, target,
                            (exit_code == ExitCode::kSuccess ? CliTexts::kUpdateSuccess : CliTexts::kUpdateFailed)
                                .In(chinese))
                       .arg(seconds, 0, 'f', 1));
    }
    emit Ended();
}

double StationUnit::Seconds() const
{
    return clock.isValid() ? double(clock.elapsed()) / 1000.0 : 0.0;
}

QString StationUnit::StatusLine() const
{
    QStringList parts{where, target};
    if (ended) {
        parts << QString::fromLatin1(ExitCode::ResultName(code)) << QStringLiteral("%1 s").arg(seconds, 0, 'f', 1);
        if (code != ExitCode::kSuccess && !error.isEmpty())
            parts << error.split(QLatin1Char('\n')).first();
    } else if (phases) {
        parts << ProgressParts(phases->Current(), clock.elapsed());
    } else {
        parts << PhaseName(Phase::None);
    }
    return parts.join(QStringLiteral("  "));
}

QStringList StationUnit::SummaryCells() const
{
    QStringList errors = error.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    if (code == ExitCode::kSuccess)
        errors.clear();
    return {where, job.hw_version.isEmpty() ? QStringLiteral("-") : job.hw_version,
            QString::fromLatin1(ExitCode::ResultName(code)), QStringLiteral("%1 s").arg(seconds, 0, 'f', 1),
            errors.join(QStringLiteral("; "))};
}

QJsonObject StationUnit::SummaryFields() const
{
    return {{QStringLiteral("location"), TextOrNull(base.location)},
            {QStringLiteral("port"), base.name},
            {QStringLiteral("hw_version"), TextOrNull(job.hw_version)},
            {QStringLiteral("result"), ExitCode::ResultName(code)},
            {QStringLiteral("exit_code"), code},
            {QStringLiteral("duration_s"), Rounded(seconds, 1000)},
            {QStringLiteral("error"), code == ExitCode::kSuccess ? QString() : error}};
}
