#include "upgrade_run.h"

#include "cli_config.h"
#include "cli_output.h"
#include "cli_texts.h"
#include "exit_codes.h"
#include "firmware_image.h"
#include "history_store.h"
#include "port_catalog.h"
#include "run_report.h"
#include "upgrade_launch.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QJsonObject>
#include <QSerialPort>

#include <cstdio>
#include <cstdlib>

namespace {

constexpr int kStatusRedrawMs = 250;

}  // namespace

UpgradeRun::UpgradeRun(const CliOptions &opts, CliOutput &out, const QElapsedTimer &started)
    : options(opts), output(out), clock(started)
{
    connect(&status_timer, &QTimer::timeout, this, &UpgradeRun::RenderStatus);
    stop_grace_timer.setSingleShot(true);
    connect(&stop_grace_timer, &QTimer::timeout, this, &UpgradeRun::OnStopGraceOver);
    // A history that cannot take the job's record costs a line or an event, never the result.
    connect(&record_keeper, &JobRecordKeeper::Recorded, this, [this](const UpgradeRecord &, const QString &warning) {
        if (warning.isEmpty())
            return;
        if (output.Json())
            output.Event(QStringLiteral("warning"), {{QStringLiteral("what"), QStringLiteral("history")},
                                                     {QStringLiteral("text"), warning}});
        else
            output.Err(warning);
    });
}

UpgradeRun::~UpgradeRun() = default;

int UpgradeRun::Launch()
{
    const QString target = options.argument;
    output.SetContext(target, QString());

    const CliConfig config = ReadCliConfig(options.config, options.chinese);
    chinese = config.chinese;
    if (config.failure)
        return Refuse(ExitCode::kConfig, config.failure->Warning(chinese));
    // Firmware paths are relative to the configuration's folder, as the window's are to its own.
    QDir::setCurrent(QFileInfo(config.path).absolutePath());

    UpgradeLaunch launch(server);
    if (const auto refusal = launch.FindDevice(config.entries, target, options.port))
        return RefuseLaunch(*refusal);
    const PortInfo base = FamilyPort(launch.ProductId(), launch.Port());
    port = base.name;
    output.SetContext(target, port, base.location);
    QCoreApplication::processEvents();
    if (stop_cause != StopCause::None)
        return StoppedBeforeJob();

    // The launch reads the hardware version through this port: one that is busy or gone would
    // look like a device that does not answer.
    if (port.isEmpty())
        return Refuse(ExitCode::kPort, CliTexts::kPortGone.In(chinese).arg(launch.ProductId()));
    {
        QSerialPort probe(port);
        if (!probe.open(QIODevice::ReadWrite))
            return Refuse(ExitCode::kPort, CliTexts::kPortNotOpened.In(chinese).arg(port, probe.errorString()));
    }

    LaunchJob job;
    const auto refusal = launch.Prepare(job);
    // The command polls nothing: the launch restarted the window's poll, which has no table here.
    server.StopPolling();
    hw_version = job.hw_version;
    if (refusal)
        return RefuseLaunch(*refusal);
    QCoreApplication::processEvents();
    if (stop_cause != StopCause::None)
        return StoppedBeforeJob();
    if (!ReadImage(job.firmware_path, job.dev_id))
        return ExitCode::kImage;

    if (output.Json()) {
        output.Event(QStringLiteral("start"), {{QStringLiteral("hw_version"), hw_version},
                                               {QStringLiteral("variant"), job.description},
                                               {QStringLiteral("image"), image_path},
                                               {QStringLiteral("image_sha256"), image_sha256},
                                               {QStringLiteral("dev_id"), job.dev_id},
                                               {QStringLiteral("usb_pid"), job.usb_pid}});
    } else {
        const QString where = job.port.isEmpty() ? port : QStringLiteral("%1 (%2)").arg(port, job.port);
        output.Out(QStringLiteral("%1 on %2: hardware %3, variant \"%4\", image %5")
                       .arg(target, where, hw_version, job.description, image_path));
    }

    connect(&server, &UpgradeServer::UpdateUpgradeProgress, this, &UpgradeRun::OnUpgradeProgress);
    connect(&server, &UpgradeServer::UpdateVerifyProgress, this, &UpgradeRun::OnVerifyProgress);
    connect(&server, &UpgradeServer::PushLogMsg, this, [this](const QString &line) {
        if (output.Json())
            output.Event(QStringLiteral("log"), {{QStringLiteral("text"), line}});
        else
            output.Err(line);
    });
    // Only the text: whether the job succeeded is the end reason's to say, never the text's.
    connect(&server, &UpgradeServer::PushErrorMsg, this, [this](const QString &text) { error_text += text; });
    // Queued behind every report of the job: they have all arrived when this one does.
    connect(&server, &QThread::finished, this, &UpgradeRun::OnJobEnded, Qt::QueuedConnection);

    record_keeper.Begin(target, job, HistoryStore::Location(config.path));
    if (!launch.Start(job)) {  // nothing else of this process uses the link: only a job still ending could
        record_keeper.Abandon();
        return Refuse(ExitCode::kPort, CliTexts::kPortNotOpenedByJob.In(chinese).arg(port));
    }
    job_running = true;
    if (output.GetMode() == CliOutput::Mode::Terminal)
        status_timer.start(kStatusRedrawMs);
    return -1;
}

bool UpgradeRun::ReadImage(const QString &path, int dev_id)
{
    image_path = path;
    const ImageFacts facts = ReadImageFacts(path, dev_id);
    image_sha256 = facts.sha256;
    if (!facts.problem.isEmpty()) {
        Refuse(ExitCode::kImage, CliTexts::kImageInvalid.In(chinese).arg(facts.problem));
        return false;
    }
    phases = std::make_unique<JobPhases>(facts.section_lengths);
    return true;
}

int UpgradeRun::RefuseLaunch(const LaunchRefusal &refusal)
{
    return Refuse(RefusalExitCode(refusal.kind), refusal.Warning(chinese), refusal.debug_lines,
                  refusal.debug_after_warning);
}

int UpgradeRun::Refuse(int code, const QString &warning, const QStringList &debug_lines, bool debug_after)
{
    ReportRefusal(output, nullptr, QString(), code, warning, debug_lines, debug_after);
    Conclude(code, warning, false);
    return code;
}

int UpgradeRun::StoppedBeforeJob()
{
    const int code = StopCode();
    if (!output.Json())
        output.Err(StopText());
    Conclude(code, StopText(), false);
    return code;
}

void UpgradeRun::RequestStop(StopCause cause)
{
    if (stop_cause != StopCause::None)
        return;
    stop_cause = cause;
    if (!job_running)
        return;  // the launch looks at the cause between its steps
    // As the Stop button: the job ends after its current pass, leaving the devices where they
    // are (a target left in its bootloader is taken from there by the next run). The engine ends
    // it as timed out for --timeout, as stopped for a signal; the record says which.
    server.Stop(EngineStopKind(cause));
    stop_grace_timer.start(kStopGraceMs);
}

void UpgradeRun::OnStopGraceOver()
{
    const int code = StopCode();
    const QString text = CliTexts::kJobDidNotEnd.In(chinese).arg(kStopGraceMs / 1000);
    Conclude(code, StopText() + QLatin1Char('\n') + text, true);
    // Destroying the engine would wait for its thread without end; the system releases the port.
    fflush(stdout);
    fflush(stderr);
    std::_Exit(code);
}

int UpgradeRun::StopCode() const
{
    return StopExitCode(stop_cause);
}

QString UpgradeRun::StopText() const
{
    return StopReason(stop_cause, chinese, options.timeout_s);
}

void UpgradeRun::OnUpgradeProgress(bool show, float value)
{
    Report(phases->OnUpgradeProgress(show, value, clock.elapsed()));
}

void UpgradeRun::OnVerifyProgress(bool show, float value)
{
    Report(phases->OnVerifyProgress(show, value, clock.elapsed()));
}

void UpgradeRun::Report(bool phase_changed)
{
    const JobProgress &now = phases->Current();
    const bool measured = now.phase == Phase::Transfer || now.phase == Phase::FinalVerify;
    if (output.Json()) {
        if (phase_changed)
            output.Event(QStringLiteral("phase"), {{QStringLiteral("phase"), PhaseName(now.phase)}});
        if (measured)
            output.Event(QStringLiteral("progress"), ProgressFields(now));
        return;
    }
    if (output.GetMode() == CliOutput::Mode::Terminal) {
        RenderStatus();
        return;
    }
    // Not a terminal: a line per phase and per tenth of it (also when a transfer starts over).
    const int tenth = measured ? int(now.percent) / 10 : -1;
    if (!phase_changed && tenth == last_tenth)
        return;
    last_tenth = tenth;
    RenderStatus();
}

void UpgradeRun::RenderStatus()
{
    if (!phases || phases->Current().phase == Phase::None)
        return;
    const QStringList parts = ProgressParts(phases->Current(), clock.elapsed());
    const QString separator = output.GetMode() == CliOutput::Mode::Terminal ? QStringLiteral("  ")
                                                                             : QStringLiteral(", ");
    output.Status(options.argument + (output.GetMode() == CliOutput::Mode::Terminal ? QStringLiteral("  ")
                                                                                    : QStringLiteral(": ")) +
                  parts.join(separator));
}

void UpgradeRun::OnJobEnded()
{
    job_running = false;
    status_timer.stop();
    stop_grace_timer.stop();
    // The code is the end reason's: a stop that came too late to matter leaves a success, and a
    // job that failed on its own before the stop took effect keeps its own code and text.
    const JobEndReason reason = server.LastJobEnd();
    const int code = JobEndExitCode(reason, stop_cause);
    QString error = error_text.trimmed();
    if (reason == JobEndReason::Stopped || reason == JobEndReason::TimedOut) {
        error = error.isEmpty() ? StopText() : StopText() + QLatin1Char('\n') + error;
    } else if (reason == JobEndReason::PortNotOpened) {
        error = CliTexts::kPortNotOpenedByJob.In(chinese).arg(port);
    } else if (reason == JobEndReason::ImageInvalid) {
        error = CliTexts::kImageNotLoaded.In(chinese).arg(image_path);
    }
    // The result is the last word, and the command ends only once the job's record is written
    // (or its warning said); the code is decided already, so a late signal cannot change it.
    auto conclude = [this, code, error] {
        Conclude(code, error, true);
        emit Finished(code);
    };
    if (record_keeper.Idle())
        conclude();
    else
        connect(&record_keeper, &JobRecordKeeper::Recorded, this, conclude);
}

void UpgradeRun::Conclude(int code, const QString &error, bool job_ran)
{
    const double seconds = double(clock.elapsed()) / 1000.0;
    QString message = error;
    if (job_ran)
        message = (code == ExitCode::kSuccess ? CliTexts::kUpdateSuccess : CliTexts::kUpdateFailed).In(chinese);
    if (output.Json()) {
        output.Event(QStringLiteral("result"), {{QStringLiteral("result"), ExitCode::ResultName(code)},
                                                {QStringLiteral("exit_code"), code},
                                                {QStringLiteral("message"), message},
                                                {QStringLiteral("error"), error},
                                                {QStringLiteral("duration_s"), Rounded(seconds, 1000)},
                                                {QStringLiteral("hw_version"), TextOrNull(hw_version)},
                                                {QStringLiteral("image"), TextOrNull(image_path)},
                                                {QStringLiteral("image_sha256"), TextOrNull(image_sha256)}});
        return;
    }
    if (!job_ran)
        return;  // the refusal or the stop is already said
    output.EndStatus();
    if (code != ExitCode::kSuccess) {
        for (const QString &line : error.split(QLatin1Char('\n'), Qt::SkipEmptyParts))
            output.Err(line);
    }
    output.Out(QStringLiteral("%1: %2 (%3 s)").arg(options.argument, message).arg(seconds, 0, 'f', 1));
}
