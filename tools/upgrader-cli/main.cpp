// upgrader-cli: upgrades without the window, for production lines and scripts. It uses the
// window's launch layer and the same engine, so a launch is decided and run exactly as the
// window's is; what it adds is the report: progress for a person, JSON for a log, an exit code
// for a script.
#include "bounded_file.h"
#include "cli_options.h"
#include "cli_output.h"
#include "console.h"
#include "device_commands.h"
#include "exit_codes.h"
#include "firmware_image.h"
#include "history_command.h"
#include "history_server.h"
#include "image_info.h"
#include "image_seal.h"
#include "line_report.h"
#include "program_version.h"
#include "run_report.h"
#include "station_run.h"
#include "stop_signals.h"
#include "waits.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QFileInfo>
#include <QJsonArray>
#include <QElapsedTimer>
#include <QJsonObject>
#include <QTimer>

#include <cstdio>
#include <memory>

namespace {

// The test-only factor for the sequence's long waits (see --help).
constexpr char kWaitScaleVariable[] = "UPGRADER_WAIT_SCALE";
// The test-only bound on each statement to the line's server (see --help).
constexpr char kStatementBoundVariable[] = "UPGRADER_HISTORY_STATEMENT_MS";

// The image's facts as fields, for a log that keeps what it checked: its version, product code,
// sections, seal and SHA-256 (of the whole file, as the upgrade records name an image).
QJsonObject ImageFields(const QString &path)
{
    QJsonObject fields;
    const BoundedFile::Result file = BoundedFile::Read(path, FirmwareImage::kMaxImageBytes);
    if (!file.Ok())
        return fields;
    fields.insert(QStringLiteral("size"), file.bytes.size());
    fields.insert(QStringLiteral("sha256"),
                  QString::fromLatin1(QCryptographicHash::hash(file.bytes, QCryptographicHash::Sha256).toHex()));
    ImageHeader header;
    QString reason;
    std::vector<FirmwareSection> sections;
    if (FirmwareImage::ReadHeader(file.bytes, header, reason) != FirmwareImage::Verdict::Ok)
        return fields;
    fields.insert(QStringLiteral("version"), QStringLiteral("%1.%2.%3")
                                                 .arg(header.app_ver_major)
                                                 .arg(header.app_ver_minor)
                                                 .arg(header.app_ver_patch));
    fields.insert(QStringLiteral("product_code"), header.product_code);
    fields.insert(QStringLiteral("layout"), QStringLiteral("%1.%2").arg(header.layout_major).arg(header.layout_minor));
    switch (ImageSeal::Check(file.bytes)) {
    case ImageSeal::State::Matches: fields.insert(QStringLiteral("seal"), QStringLiteral("matches")); break;
    case ImageSeal::State::Broken: fields.insert(QStringLiteral("seal"), QStringLiteral("broken")); break;
    case ImageSeal::State::Unsealed: fields.insert(QStringLiteral("seal"), QStringLiteral("none")); break;
    }
    if (FirmwareImage::ReadSections(file.bytes, header, 0, sections, reason) != FirmwareImage::Verdict::Ok)
        return fields;
    QJsonArray list;
    for (const FirmwareSection &section : sections) {
        list.append(QJsonObject{{QStringLiteral("address"), QStringLiteral("0x%1").arg(section.address, 8, 16, QLatin1Char('0'))},
                                {QStringLiteral("length"), qint64(section.length)},
                                {QStringLiteral("stored"), section.data.size()},
                                {QStringLiteral("form"), section.data.size() == int(section.length) ? QStringLiteral("raw")
                                                                                                  : QStringLiteral("lz4")},
                                {QStringLiteral("md5"), QString::fromLatin1(section.digest.toHex())}});
    }
    fields.insert(QStringLiteral("sections"), list);
    return fields;
}

int RunImage(const CliOptions &options, CliOutput &output)
{
    ImageInfo info = DescribeImage(options.argument);
    const int code = info.problem.isEmpty() ? ExitCode::kSuccess : ExitCode::kImage;
    if (output.Json()) {
        QJsonObject fields = ImageFields(options.argument);
        fields.insert(QStringLiteral("result"), ExitCode::ResultName(code));
        fields.insert(QStringLiteral("exit_code"), code);
        fields.insert(QStringLiteral("error"), info.problem);
        fields.insert(QStringLiteral("image"), options.argument);
        fields.insert(QStringLiteral("report"), info.text);
        output.Event(QStringLiteral("result"), fields);
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
// recorded before the command exits. After the jobs, a stop signal ends the wait for the line's
// server.
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
    int code = run.Launch();
    if (code < 0)
        code = app.exec();
    return run.FinishHistorySync(code);
}

}  // namespace

int main(int argc, char **argv)
{
    if (PrintVersionIfAsked(argc, argv, "upgrader-cli"))
        return ExitCode::kSuccess;
    QElapsedTimer clock;
    clock.start();
    // The line's report draws charts, which needs a QApplication; every other command runs without.
    const std::unique_ptr<QCoreApplication> application = MakeCliApplication(argc, argv);
    QCoreApplication &app = *application;
    // A reader of our output that goes away must not end the command in the middle of a job.
    IgnoreBrokenPipe();

    CliOptions options;
    QString message;
    const int parsed = ParseCliOptions(app.arguments(), qEnvironmentVariable(kWaitScaleVariable),
                                       qEnvironmentVariable(kStatementBoundVariable), &options, &message);
    if (parsed < 0) {
        fputs((message.endsWith(QLatin1Char('\n')) ? message : message + QLatin1Char('\n')).toUtf8().constData(), stdout);
        return ExitCode::kSuccess;
    }
    if (parsed > 0) {
        fprintf(stderr, "upgrader-cli: %s (see --help)\n", message.toUtf8().constData());
        // A script that asked for JSON reads its result line, whatever went wrong; one that asked
        // for CSV as well gets no line in either form.
        const QStringList given = app.arguments().mid(1);
        if (given.contains(QStringLiteral("--json")) && !given.contains(QStringLiteral("--csv"))) {
            CliOutput output(true, false);
            output.Event(QStringLiteral("result"), {{QStringLiteral("result"), ExitCode::ResultName(ExitCode::kUsage)},
                                                    {QStringLiteral("exit_code"), ExitCode::kUsage},
                                                    {QStringLiteral("error"), message},
                                                    {QStringLiteral("duration_s"), clock.elapsed() / 1000.0}});
        }
        return ExitCode::kUsage;
    }
    Waits::SetLongWaitScale(options.wait_scale);
    if (options.history_statement_ms > 0)
        HistoryServer::SetDefaultStatementBoundMs(options.history_statement_ms);

    CliOutput output(options.json, options.verbose);
    output.InstallMessageHandler();
    switch (options.command) {
    case CliOptions::Command::Image: return RunImage(options, output);
    case CliOptions::Command::List: return RunList(options, output);
    case CliOptions::Command::Switch: return RunSwitch(options, output);
    case CliOptions::Command::Upgrade: return RunUpgrade(app, options, output, clock);
    case CliOptions::Command::History: return RunHistory(options, output);
    case CliOptions::Command::HistorySync: return RunHistorySync(options, output);
    case CliOptions::Command::LineRelease:
    case CliOptions::Command::LineStatus: return RunLine(options, output);
    }
    return ExitCode::kUsage;
}
