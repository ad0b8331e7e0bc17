// upgrader-cli: upgrades without the window, for production lines and scripts. It uses the
// window's launch layer and the same engine, so a launch is decided and run exactly as the
// window's is; what it adds is the report: progress for a person, JSON for a log, an exit code
// for a script.
#include "cli_options.h"
#include "cli_output.h"
#include "console.h"
#include "device_commands.h"
#include "exit_codes.h"
#include "history_command.h"
#include "image_info.h"
#include "program_version.h"
#include "run_report.h"
#include "station_run.h"
#include "stop_signals.h"
#include "waits.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonObject>
#include <QTimer>

#include <cstdio>

namespace {

// The test-only factor for the sequence's long waits (see --help).
constexpr char kWaitScaleVariable[] = "UPGRADER_WAIT_SCALE";

int RunImage(const CliOptions &options, CliOutput &output)
{
    const ImageInfo info = DescribeImage(options.argument);
    const int code = info.problem.isEmpty() ? ExitCode::kSuccess : ExitCode::kImage;
    if (output.Json()) {
        output.Event(QStringLiteral("result"), {{QStringLiteral("result"), ExitCode::ResultName(code)},
                                                {QStringLiteral("exit_code"), code},
                                                {QStringLiteral("error"), info.problem},
                                                {QStringLiteral("image"), options.argument},
                                                {QStringLiteral("report"), info.text}});
        return code;
    }
    // Word for word what `fwimage info` prints.
    if (!info.text.isEmpty())
        fputs(info.text.toUtf8().constData(), stdout);
    fflush(stdout);
    if (!info.problem.isEmpty())
        output.Err(QStringLiteral("upgrader-cli: ") + info.problem);
    return code;
}

// Runs one base's or a station's upgrade to its end: SIGINT, SIGTERM, SIGHUP (the terminal it
// ran in was closed) and --timeout stop it as the Stop button does, and the stopped jobs are
// recorded before the command exits.
int RunUpgrade(QCoreApplication &app, const CliOptions &options, CliOutput &output, const QElapsedTimer &clock)
{
    StationRun run(options, output, clock);
    StopSignals stop;
    QObject::connect(&stop, &StopSignals::Stop, &run,
                     [&run](int number) { run.RequestStop(SignalStopCause(number)); });
    QTimer timeout;
    if (options.timeout_s > 0) {
        timeout.setSingleShot(true);
        QObject::connect(&timeout, &QTimer::timeout, &run, [&run] { run.RequestStop(StopCause::Timeout); });
        timeout.start(int(options.timeout_s * 1000));
    }
    QObject::connect(&run, &StationRun::Finished, &app, &QCoreApplication::exit);
    const int code = run.Launch();
    if (code >= 0)
        return code;
    return app.exec();
}

}  // namespace

int main(int argc, char **argv)
{
    if (PrintVersionIfAsked(argc, argv, "upgrader-cli"))
        return ExitCode::kSuccess;
    QElapsedTimer clock;
    clock.start();
    QCoreApplication app(argc, argv);
    // A reader of our output that goes away must not end the command in the middle of a job.
    IgnoreBrokenPipe();

    CliOptions options;
    QString message;
    const int parsed = ParseCliOptions(app.arguments(), qEnvironmentVariable(kWaitScaleVariable), &options, &message);
    if (parsed < 0) {
        fputs((message.endsWith(QLatin1Char('\n')) ? message : message + QLatin1Char('\n')).toUtf8().constData(), stdout);
        return ExitCode::kSuccess;
    }
    if (parsed > 0) {
        fprintf(stderr, "upgrader-cli: %s (see --help)\n", message.toUtf8().constData());
        return ExitCode::kUsage;
    }
    Waits::SetLongWaitScale(options.wait_scale);

    CliOutput output(options.json, options.verbose);
    output.InstallMessageHandler();
    switch (options.command) {
    case CliOptions::Command::Image: return RunImage(options, output);
    case CliOptions::Command::List: return RunList(options, output);
    case CliOptions::Command::Switch: return RunSwitch(options, output);
    case CliOptions::Command::Upgrade: return RunUpgrade(app, options, output, clock);
    case CliOptions::Command::History: return RunHistory(options, output);
    }
    return ExitCode::kUsage;
}
