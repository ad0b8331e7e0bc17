#include "upgrade_session.h"

#include "cli_config.h"
#include "cli_texts.h"
#include "device_commands.h"
#include "history_store.h"
#include "log_unit.h"
#include "run_report.h"

#include <QCoreApplication>
#include <QSerialPort>
#include <QThread>

namespace {

QString Where(const PortInfo &port)
{
    return port.location.isEmpty() ? port.name : port.location;
}

}  // namespace

UpgradeSession::UpgradeSession(const QString &name, const UnitKey &wanted, CliOutput &out,
                               const QElapsedTimer &command_clock)
    : UpgradeSession(name, wanted, QString(), CliOutput::Context{name, QString(), QString()}, Voice::Alone, out,
                     command_clock)
{
}

UpgradeSession::UpgradeSession(const QString &name, const PortInfo &base, CliOutput &out,
                               const QElapsedTimer &command_clock)
    : UpgradeSession(name, UnitKey::Of(base), Where(base), CliOutput::Context{name, base.name, base.location},
                     Voice::InStation, out, command_clock)
{
    // The key the launch pins the job to, and so the one its lines carry.
    log_unit = unit.Text();
}

UpgradeSession::UpgradeSession(const QString &name, const UnitKey &key, const QString &at,
                               const CliOutput::Context &about, Voice how, CliOutput &out,
                               const QElapsedTimer &command_clock)
    : target(name),
      unit(key),
      voice(how),
      output(out),
      clock(how == Voice::Alone ? command_clock : own_clock),
      context(about),
      where(at)
{
    // A history that cannot take the job's record costs a line or an event, never the result.
    connect(&record_keeper, &JobRecordKeeper::Recorded, this, [this](const UpgradeRecord &record, const QString &warning) {
        recorded = record;
        history_warning = warning;
        if (!warning.isEmpty())
            Log(QStringLiteral("warning"), {{QStringLiteral("what"), QStringLiteral("history")},
                                            {QStringLiteral("text"), warning}},
                warning);
    });
}

UpgradeSession::~UpgradeSession()
{
    if (!log_unit.isEmpty())
        output.SetUnitContext(log_unit, {});
}

bool UpgradeSession::Launch(const CliConfig &config, const SessionRules &asked)
{
    language = config.language;
    rules = asked;
    history = HistoryStore::Location(config.path);
    if (voice == Voice::InStation) {
        own_clock.start();
        // The console lines (--verbose) of the launch, then of the job, are about this base.
        output.SetUnitContext(log_unit, context);
    }
    launching = true;
    bool launched = false;
    {
        const LogUnit::Scope in_launch(log_unit);
        launched = Prepare(config);
    }
    launching = false;
    if (launched && stop_cause != StopCause::None) {
        StoppedBeforeJob();
        launched = false;
    }
    ready = launched;
    return launched;
}

bool UpgradeSession::Prepare(const CliConfig &config)
{
    UpgradeLaunch launch(server, config.path);
    launch.SetTrustedKeys(config.trusted_keys);
    if (const auto refusal = launch.FindDevice(config.entries, target, unit))
        return RefuseLaunch(ExplainRefusal(*refusal, config.entries, target, unit));
    const PortInfo port = FamilyPort(launch.ProductId(), launch.Unit(), PortCatalog::View::Recent);
    if (!port.name.isEmpty())
        SetPort(port);
    if (StoppedInLaunch())
        return false;

    if (const auto refused = PortRefusal(launch.ProductId(), port, language))
        return Refused(ExitCode::kPort, *refused);

    const auto refusal = launch.Prepare(job);
    // The command polls nothing: the launch restarted the window's poll, which has no table here.
    server.StopPolling();
    if (refusal)
        return RefuseLaunch(*refusal);
    if (StoppedInLaunch())
        return false;

    image_sha256 = job.image->Sha256Hex();
    if (rules.skip_current) {
        const VersionCheck check = CompareWithImage(job);
        if (check.current)
            return Current(check);
        const QString line =
            check.why.isEmpty()
                ? QStringLiteral("%1 reports %2, the image states %3: upgrading")
                      .arg(target, job.version_before.version->Text(), check.stated)
                : QStringLiteral("cannot tell whether %1 runs the image's version (%2): upgrading").arg(target, check.why);
        Log(QStringLiteral("notice"), {{QStringLiteral("what"), QStringLiteral("skip-current")}, {QStringLiteral("text"), line}},
            line);
    }
    if (!AskLineGuard(config))
        return false;
    phases = std::make_unique<ProgressPace>();
    if (output.Json()) {
        output.Event(context, QStringLiteral("start"),
                     {{QStringLiteral("hw_version"), job.hw_version},
                      {QStringLiteral("variant"), job.description},
                      {QStringLiteral("image"), job.firmware_path},
                      {QStringLiteral("image_sha256"), image_sha256},
                      {QStringLiteral("signer_key_id"), job.image->signer_key_id.isEmpty()
                                                            ? QJsonValue(QJsonValue::Null)
                                                            : QJsonValue(job.image->signer_key_id)},
                      {QStringLiteral("dev_id"), job.dev_id},
                      {QStringLiteral("usb_pid"), job.usb_pid}});
    } else if (voice == Voice::Alone) {
        const QString at =
            job.unit.IsAnything() ? port.name : QStringLiteral("%1 (%2)").arg(port.name, job.unit.Text());
        const QString signer = job.image->signer_key_id.isEmpty()
                                   ? QString()
                                   : QStringLiteral(", signed by key %1").arg(job.image->signer_key_id);
        output.Out(QStringLiteral("%1 on %2: hardware %3, variant \"%4\", image %5%6")
                       .arg(target, at, job.hw_version, job.description, job.firmware_path, signer));
    } else {
        output.Out(QStringLiteral("%1 (%2): %3, hardware %4, variant \"%5\", image %6")
                       .arg(where, context.port, target, job.hw_version, job.description, job.firmware_path));
    }
    return true;
}

bool UpgradeSession::AskLineGuard(const CliConfig &config)
{
    if (!rules.line_guard)
        return true;
    const LineGuard::Verdict verdict = rules.line_guard->Ask(config.line_guard, config.history_server, image_sha256);
    if (verdict.refusal)
        return RefuseLaunch(*verdict.refusal);
    // A line must not stop because its record is down: the job runs, and the run says so once.
    if (verdict.outcome == LineGuard::Outcome::Unanswered && verdict.news)
        Log(QStringLiteral("warning"), {{QStringLiteral("what"), QStringLiteral("line-guard")},
                                        {QStringLiteral("text"), verdict.warning}},
            verdict.warning);
    return !StoppedInLaunch();
}

bool UpgradeSession::Current(const VersionCheck &check)
{
    current = true;
    const QString why = CliTexts::kAlreadyCurrent.In(language).arg(check.stated, job.version_before.version->Text());
    record_keeper.RecordCurrent(target, job, history);
    // The record is written on its own thread; the result comes once it is.
    connect(&record_keeper, &JobRecordKeeper::Recorded, this, [this, why] {
        if (!ended)
            Conclude(ExitCode::kSuccess, why, true);
    });
    return false;
}

QString UpgradeSession::ResultName() const
{
    return current && code == ExitCode::kSuccess ? QStringLiteral("current") : QString::fromLatin1(ExitCode::ResultName(code));
}

void UpgradeSession::SetPort(const PortInfo &port)
{
    context.port = port.name;
    context.location = port.location;
    if (voice == Voice::Alone)
        output.SetContext(context.target, context.port, context.location);
    else
        output.SetUnitContext(log_unit, context);
}

bool UpgradeSession::Start()
{
    // Only a job the launch made ready: a current target's session waits for its record, and
    // a job started for it would upgrade the unit the record calls current.
    if (!ready || ended)
        return false;
    ready = false;
    connect(&server, &UpgradeServer::Progress, this, [this](const UpgradeProgress &report) {
        if (report.phase != JobPhase::Ended)  // the job's own end says how it went
            OnReport(phases->OnProgress(report, clock.elapsed()));
    });
    connect(&server, &UpgradeServer::PushLogMsg, this,
            [this](const QString &line) { Log(QStringLiteral("log"), {{QStringLiteral("text"), line}}, line); });
    // Only the text: whether the job succeeded is the end reason's to say, never the text's.
    connect(&server, &UpgradeServer::PushErrorMsg, this, [this](const QString &text) { error_text += text; });
    // Queued behind every report of the job: they have all arrived when this one does.
    connect(&server, &QThread::finished, this, &UpgradeSession::OnJobEnded, Qt::QueuedConnection);

    record_keeper.Begin(target, job, history);
    if (!server.Start(job)) {  // nothing else of this process uses the link: only a job still ending could
        record_keeper.Abandon();
        return Refused(ExitCode::kPort, CliTexts::kPortNotOpenedByJob.In(language).arg(context.port));
    }
    running = true;
    return true;
}

void UpgradeSession::Stop(StopCause cause, const QString &reason)
{
    // A current target's result is decided and nothing runs: its session ends with its record.
    if (ended || current || stop_cause != StopCause::None)
        return;
    stop_cause = cause;
    stop_reason = reason;
    if (launching)
        return;  // the launch looks at the cause between its steps
    if (!running) {
        ready = false;
        StoppedBeforeJob();  // nothing was sent to this unit's devices
        return;
    }
    // As the Stop button: the job ends after its current pass, leaving the devices where they
    // are (a target left in its bootloader is taken from there by the next run). The engine ends
    // it as timed out for --timeout, as stopped for a signal; the record says which.
    server.Stop(EngineStopKind(cause));
}

void UpgradeSession::Abandon(const QString &reason)
{
    if (ended)
        return;
    running = false;
    Conclude(StopExitCode(stop_cause), stop_reason.isEmpty() ? reason : stop_reason + QLatin1Char('\n') + reason,
             true);
}

bool UpgradeSession::StoppedInLaunch()
{
    QCoreApplication::processEvents();  // a stop signal is seen between two steps
    if (stop_cause == StopCause::None)
        return false;
    StoppedBeforeJob();
    return true;
}

void UpgradeSession::StoppedBeforeJob()
{
    // Alone, the stop is the command's last word but one; a station's summary says it per base.
    if (voice == Voice::Alone && !output.Json())
        output.Err(stop_reason);
    Conclude(StopExitCode(stop_cause), stop_reason, false);
}

void UpgradeSession::Refuse(int exit_code, const QString &warning, const QStringList &debug_lines, bool debug_after)
{
    Refused(exit_code, warning, debug_lines, debug_after);
}

bool UpgradeSession::RefuseLaunch(const LaunchRefusal &refusal)
{
    return Refused(RefusalExitCode(refusal.kind), refusal.Warning(language), refusal.debug_lines,
                   refusal.debug_after_warning);
}

bool UpgradeSession::Refused(int exit_code, const QString &warning, const QStringList &debug_lines, bool debug_after)
{
    ReportRefusal(output, &context, LinePrefix(), exit_code, warning, debug_lines, debug_after);
    Conclude(exit_code, warning, false);
    return false;
}

void UpgradeSession::OnReport(bool phase_changed)
{
    const JobProgress &now = phases->Current();
    const bool measured = now.phase == JobPhase::Transfer || now.phase == JobPhase::FinalVerify;
    if (output.Json()) {
        if (phase_changed)
            output.Event(context, QStringLiteral("phase"), {{QStringLiteral("phase"), PhaseName(now)}});
        if (measured)
            output.Event(context, QStringLiteral("progress"), ProgressFields(now));
    } else if (output.GetMode() == CliOutput::Mode::Plain) {
        // Not a terminal: a line per phase and per tenth of it (also when a transfer starts over).
        const int tenth = measured ? int(now.percent) / 10 : -1;
        if (phase_changed || tenth != last_tenth) {
            last_tenth = tenth;
            output.Out(Name() + QStringLiteral(": ") +
                       ProgressParts(now, clock.elapsed()).join(QStringLiteral(", ")));
        }
    }
    emit Progressed();
}

void UpgradeSession::OnJobEnded()
{
    if (ended)
        return;  // abandoned after its stop, and ended at last
    running = false;
    // The code is the end reason's: a stop that came too late to matter leaves a success, and a
    // job that failed on its own before the stop took effect keeps its own code and text.
    const JobEndReason reason = server.LastJob().end;
    const int exit_code = JobEndExitCode(reason, stop_cause);
    QString why = error_text.trimmed();
    if (reason == JobEndReason::Stopped || reason == JobEndReason::TimedOut)
        why = why.isEmpty() ? stop_reason : stop_reason + QLatin1Char('\n') + why;
    else if (reason == JobEndReason::PortNotOpened)
        why = CliTexts::kPortNotOpenedByJob.In(language).arg(context.port);
    else if (reason == JobEndReason::ImageInvalid)
        why = CliTexts::kImageNotLoaded.In(language).arg(job.firmware_path);
    // The result is the session's last word, said once the job's record is written (or its
    // warning said); the code is decided already, so a late signal cannot change it.
    if (record_keeper.Idle()) {
        Conclude(exit_code, why, true);
        return;
    }
    connect(&record_keeper, &JobRecordKeeper::Recorded, this, [this, exit_code, why] {
        if (!ended)
            Conclude(exit_code, why, true);
    });
}

void UpgradeSession::Conclude(int exit_code, const QString &why_ended, bool job_ran)
{
    QString why = why_ended;
    // What became of the unit: upgraded (or already current), or not.
    QString verdict = current && exit_code == ExitCode::kSuccess
                          ? why
                          : (exit_code == ExitCode::kSuccess ? CliTexts::kUpdateSuccess : CliTexts::kUpdateFailed)
                                .In(language);
    // The job's own failure comes first; a unit that is fine but has no record fails on that,
    // and its words still say what became of the unit.
    if (job_ran && rules.require_history && !history_warning.isEmpty() && exit_code == ExitCode::kSuccess) {
        exit_code = ExitCode::kHistory;
        why = CliTexts::kHistoryNotWritten.In(language).arg(history_warning);
        verdict = CliTexts::kDoneNotRecorded.In(language).arg(verdict);
    }
    ended = true;
    code = exit_code;
    error = why;
    seconds = Seconds();
    if (output.Json()) {
        output.Event(context, QStringLiteral("result"),
                     {{QStringLiteral("result"), ResultName()},
                      {QStringLiteral("exit_code"), exit_code},
                      {QStringLiteral("message"), job_ran ? verdict : why},
                      {QStringLiteral("error"), current && exit_code == ExitCode::kSuccess ? QString() : why},
                      {QStringLiteral("duration_s"), Rounded(seconds, 1000)},
                      {QStringLiteral("hw_version"), TextOrNull(job.hw_version)},
                      {QStringLiteral("image"), TextOrNull(job.firmware_path)},
                      {QStringLiteral("image_sha256"), TextOrNull(image_sha256)},
                      {QStringLiteral("serial"), TextOrNull(recorded.unit_serial)},
                      {QStringLiteral("version_before"), TextOrNull(recorded.version_before)},
                      {QStringLiteral("version_after"), TextOrNull(recorded.version_after)}});
    } else if (job_ran) {  // a refusal or a stop before the job is said already
        if (voice == Voice::Alone)
            output.EndStatus();  // the last progress stays on the screen, the result below it
        if (exit_code != ExitCode::kSuccess) {
            for (const QString &line : why.split(QLatin1Char('\n'), Qt::SkipEmptyParts))
                output.Err(LinePrefix() + line);
        }
        output.Out(QStringLiteral("%1: %2 (%3 s)").arg(Name(), verdict).arg(seconds, 0, 'f', 1));
    }
    emit Ended();
}

void UpgradeSession::Log(const QString &event, const QJsonObject &fields, const QString &line)
{
    if (output.Json())
        output.Event(context, event, fields);
    else
        output.Err(LinePrefix() + line);
}

QString UpgradeSession::LinePrefix() const
{
    return voice == Voice::Alone ? QString() : where + QStringLiteral(": ");
}

QString UpgradeSession::Name() const
{
    return voice == Voice::Alone ? target : where + QLatin1Char(' ') + target;
}

double UpgradeSession::Seconds() const
{
    return clock.isValid() ? double(clock.elapsed()) / 1000.0 : 0.0;
}

QString UpgradeSession::StatusLine() const
{
    if (voice == Voice::Alone) {
        // Alone, the result line replaces the status line; there is none before the first report.
        if (ended || !phases || !phases->Current().started)
            return QString();
        return target + QStringLiteral("  ") +
               ProgressParts(phases->Current(), clock.elapsed()).join(QStringLiteral("  "));
    }
    QStringList parts{where, target};
    if (ended) {
        parts << ResultName() << QStringLiteral("%1 s").arg(seconds, 0, 'f', 1);
        if (code != ExitCode::kSuccess && !error.isEmpty())
            parts << error.split(QLatin1Char('\n')).first();
    } else if (phases) {
        parts << ProgressParts(phases->Current(), clock.elapsed());
    } else {
        parts << PhaseName(JobProgress());
    }
    return parts.join(QStringLiteral("  "));
}

QStringList UpgradeSession::SummaryCells() const
{
    QStringList errors = error.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    if (code == ExitCode::kSuccess)
        errors.clear();
    return {where, job.hw_version.isEmpty() ? QStringLiteral("-") : job.hw_version,
            ResultName(), QStringLiteral("%1 s").arg(seconds, 0, 'f', 1),
            errors.join(QStringLiteral("; "))};
}

QJsonObject UpgradeSession::SummaryFields() const
{
    return {{QStringLiteral("location"), TextOrNull(context.location)},
            {QStringLiteral("port"), context.port},
            {QStringLiteral("hw_version"), TextOrNull(job.hw_version)},
            {QStringLiteral("result"), ResultName()},
            {QStringLiteral("exit_code"), code},
            {QStringLiteral("duration_s"), Rounded(seconds, 1000)},
            {QStringLiteral("error"), code == ExitCode::kSuccess ? QString() : error}};
}
