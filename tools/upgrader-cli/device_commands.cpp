#include "device_commands.h"

#include "cli_config.h"
#include "cli_options.h"
#include "cli_output.h"
#include "cli_texts.h"
#include "exit_codes.h"
#include "messages.h"
#include "port_catalog.h"
#include "run_report.h"
#include "stop_signals.h"
#include "upgrade_server.h"
#include "waits.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QJsonObject>
#include <QTimer>

#include <algorithm>
#include <optional>

namespace {

// A real base is back on USB some five seconds after its switch: twice the sequence's own wait
// for it, and a poll period to see it, bound the confirmation. Not scaled: the poll is not.
constexpr int kSwitchConfirmMs = 2 * Waits::kBaseReturnMs + Waits::kPollIntervalMs;

QString ModeName(const TargetStatus &status)
{
    if (!status.Answering())
        return status.Present() ? QStringLiteral("absent (no answer)") : QStringLiteral("absent");
    return status.mode == Mode::Boot ? QStringLiteral("bootloader") : QStringLiteral("application");
}

QString VersionText(const std::optional<AppVersion> &version)
{
    if (!version)
        return {};
    const auto &v = version->parts;
    return QStringLiteral("%1.%2.%3.%4").arg(v[0]).arg(v[1]).arg(v[2]).arg(v[3]);
}

void ReportResult(CliOutput &output, int code, const QString &message, double seconds)
{
    if (!output.Json())
        return;
    output.Event(QStringLiteral("result"), {{QStringLiteral("result"), ExitCode::ResultName(code)},
                                            {QStringLiteral("exit_code"), code},
                                            {QStringLiteral("message"), message},
                                            {QStringLiteral("error"), code == 0 ? QString() : message},
                                            {QStringLiteral("duration_s"), qRound64(seconds * 1000) / 1000.0}});
}

int Refuse(CliOutput &output, int code, const QString &text, const QElapsedTimer &clock)
{
    if (!output.Json()) {
        output.Err(text);
        return code;
    }
    output.Event(QStringLiteral("refusal"), {{QStringLiteral("text"), text}, {QStringLiteral("exit_code"), code}});
    ReportResult(output, code, text, clock.elapsed() / 1000.0);
    return code;
}

// The family ports a command looks at: all of them, or those at the location (or with the name)
// given with --port.
QList<PortInfo> FamilyPortsAt(const QString &wanted)
{
    QList<PortInfo> ports;
    for (const PortInfo &port : ListFamilyPorts()) {
        if (PortMatches(port, wanted))
            ports.append(port);
    }
    return ports;
}

}  // namespace

int RunList(const CliOptions &options, CliOutput &output)
{
    QElapsedTimer clock;
    clock.start();
    const CliConfig config = ReadCliConfig(options.config, options.chinese);
    if (config.failure)
        return Refuse(output, ExitCode::kConfig, config.failure->Warning(config.chinese), clock);

    const QList<PortInfo> ports = FamilyPortsAt(options.port);
    if (!options.port.isEmpty() && ports.isEmpty())
        return Refuse(output, ExitCode::kDevice, CliTexts::kNoDeviceAtPort.In(config.chinese).arg(options.port), clock);

    UpgradeServer server;
    server.SetPollPort(options.port);
    TargetStatusList rows;
    // The poll emits in this thread: a direct call.
    QObject::connect(&server, &UpgradeServer::PushTargetStatus, [&](const TargetStatusList &statuses) { rows = statuses; });
    for (auto it = config.entries.cbegin(); it != config.entries.cend(); ++it)
        server.RequestDetails(it.key());
    server.SetFirmwareEntries(&config.entries);
    server.GetControlerState();
    server.SetFirmwareEntries(nullptr);

    if (output.Json()) {
        for (const TargetStatus &row : qAsConst(rows)) {
            const QString version = VersionText(row.app_version);
            const QString hw = row.hw_text.value_or(QString());
            output.SetContext(row.name, row.port, row.location);
            output.Event(QStringLiteral("device"),
                         {{QStringLiteral("present"), row.Present()},
                          {QStringLiteral("devices"), row.ports},
                          {QStringLiteral("mode"), ModeName(row)},
                          {QStringLiteral("mode_byte"), int(row.mode)},
                          {QStringLiteral("app_version"), version.isEmpty() ? QJsonValue() : version},
                          {QStringLiteral("hw_version"), hw.isEmpty() ? QJsonValue() : hw},
                          {QStringLiteral("product_id"), row.Present() ? QJsonValue(row.product_id) : QJsonValue()}});
        }
        output.SetContext(QString(), QString());
        ReportResult(output, ExitCode::kSuccess, QString(), clock.elapsed() / 1000.0);
        return ExitCode::kSuccess;
    }
    const QString format = QStringLiteral("%1  %2  %3  %4  %5  %6  %7  %8");
    auto cell = [](const QString &text, int width) {
        return (text.isEmpty() ? QStringLiteral("-") : text).leftJustified(width);
    };
    output.Out(format.arg(cell("target", 9), cell("present", 7), cell("mode", 18), cell("application", 11),
                          cell("hardware", 20), cell("port", 14), cell("location", 10), QStringLiteral("product id")));
    for (const TargetStatus &row : qAsConst(rows)) {
        const QString present = row.ports == 0   ? QStringLiteral("no")
                                : row.ports == 1 ? QStringLiteral("yes")
                                                 : QStringLiteral("%1 ports").arg(row.ports);
        output.Out(format.arg(cell(row.name, 9), cell(present, 7), cell(ModeName(row), 18),
                              cell(VersionText(row.app_version), 11), cell(row.hw_text.value_or(QString()), 20),
                              cell(row.port, 14), cell(row.location, 10),
                              row.Present() ? QString::number(row.product_id) : QStringLiteral("-")));
    }
    return ExitCode::kSuccess;
}

int RunSwitch(const CliOptions &options, CliOutput &output)
{
    QElapsedTimer clock;
    clock.start();
    const CliConfig config = ReadCliConfig(options.config, options.chinese);
    if (config.failure)
        return Refuse(output, ExitCode::kConfig, config.failure->Warning(config.chinese), clock);
    const bool chinese = config.chinese;

    // The engine switches only with exactly one family device attached (at --port, when given),
    // and says nothing otherwise: the command says why.
    const QList<PortInfo> attached = FamilyPortsAt(options.port);
    if (attached.isEmpty())
        return Refuse(output, ExitCode::kDevice,
                      options.port.isEmpty() ? CliTexts::kNoFamilyDevice.In(chinese)
                                             : CliTexts::kNoDeviceAtPort.In(chinese).arg(options.port),
                      clock);
    if (attached.size() > 1)
        return Refuse(output, ExitCode::kDevice, CliTexts::kSeveralFamilyDevices.In(chinese), clock);
    const PortInfo &base = attached.first();
    output.SetContext(QStringLiteral("Base"), base.name, base.location);
    // The base comes back under a new name: switch and confirmation keep to its location.
    QString keep;
    if (!options.port.isEmpty())
        keep = base.location.isEmpty() ? base.name : base.location;

    const bool to_boot = options.argument == QLatin1String("boot");
    UpgradeServer server;
    server.SetPollPort(keep);
    if (to_boot)
        server.BaseGoBoot(keep);
    else
        server.BaseGoApp(keep);

    const QString wanted = (to_boot ? CliTexts::kModeBoot : CliTexts::kModeApp).In(chinese);
    const QString done = (to_boot ? CliTexts::kBaseInBoot : CliTexts::kBaseInApp).In(chinese);
    if (!config.entries.contains(QStringLiteral("Base"))) {
        // Nothing configured to poll the base by: the switch was sent, and that is all one can say.
        if (!output.Json())
            output.Out(QStringLiteral("switch %1 sent").arg(options.argument));
        ReportResult(output, ExitCode::kSuccess, QStringLiteral("switch %1 sent").arg(options.argument),
                     clock.elapsed() / 1000.0);
        return ExitCode::kSuccess;
    }

    // The base restarts off USB and comes back: the status poll tells when it runs the mode asked for.
    // It asks device 2 under the product id of the base that was switched: the configured "Base"
    // names only the product ids of the base that is itself a target, not a base that only
    // carries other targets (the steering wheel's).
    FirmwareEntry switched = config.entries.value(QStringLiteral("Base"));
    switched.dev_id = DeviceId::Base;
    switched.usb_pids = {base.product_id};
    const FirmwareEntries base_only{{QStringLiteral("Base"), switched}};
    QEventLoop loop;
    int code = ExitCode::kFailed;
    QString message = CliTexts::kBaseNotSwitched.In(chinese).arg(wanted).arg(kSwitchConfirmMs / 1000.0);
    QObject::connect(&server, &UpgradeServer::PushTargetStatus, [&](const TargetStatusList &statuses) {
        const auto base = std::find_if(statuses.cbegin(), statuses.cend(), [](const TargetStatus &status) {
            return status.mode_asked && status.name == QLatin1String("Base");
        });
        if (base == statuses.cend() || !base->Answering() || (base->mode == Mode::Boot) != to_boot)
            return;
        code = ExitCode::kSuccess;
        message = done;
        loop.quit();
    });
    StopSignals stop;
    QObject::connect(&stop, &StopSignals::Stop, [&](int number) {
        const StopCause cause = SignalStopCause(number);
        code = StopExitCode(cause);
        message = StopReason(cause, chinese, 0);
        loop.quit();
    });
    QTimer::singleShot(kSwitchConfirmMs, &loop, &QEventLoop::quit);
    server.SetFirmwareEntries(&base_only);
    server.StartPolling();
    loop.exec();
    server.StopPolling();
    server.SetFirmwareEntries(nullptr);

    if (output.Json()) {
        ReportResult(output, code, message, clock.elapsed() / 1000.0);
    } else if (code == ExitCode::kSuccess) {
        output.Out(message);
    } else {
        output.Err(message);
    }
    return code;
}
