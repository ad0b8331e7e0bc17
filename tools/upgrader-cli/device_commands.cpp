#include "device_commands.h"

#include "cli_config.h"
#include "cli_options.h"
#include "cli_output.h"
#include "cli_texts.h"
#include "device_family.h"
#include "exit_codes.h"
#include "launch_checks.h"
#include "messages.h"
#include "port_catalog.h"
#include "run_report.h"
#include "stop_signals.h"
#include "upgrade_launch.h"
#include "upgrade_server.h"
#include "waits.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QJsonArray>
#include <QJsonObject>
#include <QTimer>

#include <algorithm>
#include <optional>


namespace {

// A real base is back on USB some five seconds after its switch: twice the sequence's own wait
// for it, and a poll period to see it, bound the confirmation. Not scaled: the poll is not.
constexpr int kSwitchConfirmMs = 2 * Waits::kBaseReturnMs + Waits::kPollIntervalMs;

QString VersionText(const std::optional<AppVersion> &version)
{
    return version ? version->Text() : QString();
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

// The family ports a command looks at: all of them, or those of the unit given with --port.
QList<PortInfo> FamilyPortsAt(const UnitKey &wanted)
{
    QList<PortInfo> ports;
    for (const PortInfo &port : ListFamilyPorts()) {
        if (wanted.Matches(port))
            ports.append(port);
    }
    return InUsbOrder(ports);
}

// The application version a device told, for the list: a device in its bootloader runs none, and
// what it answers then is no application's version.
QString AppVersionText(const TargetStatus &status)
{
    return status.mode == Mode::Boot ? QString() : VersionText(status.app_version);
}

QString DeviceMode(const TargetStatus &status)
{
    if (!status.Answering())
        return QStringLiteral("no answer");
    return status.mode == Mode::Boot ? QStringLiteral("bootloader") : QStringLiteral("application");
}

// What the list learnt of one attached base.
struct Unit {
    PortInfo port;
    PortProbe probe;
    std::optional<TargetStatus> base;  // the base's own answer (device 2 behind its product id)
    TargetStatusList devices;          // every configured target this base's product id carries
};

// The poll's name for the base when no configured target is the base behind this product id.
const QString kUnitBase = QStringLiteral(" base");

QString UnitMode(const Unit &unit)
{
    if (unit.probe.busy)
        return QStringLiteral("busy");
    if (!unit.probe.opened)
        return QStringLiteral("not opened");
    return unit.base ? DeviceMode(*unit.base) : QStringLiteral("no answer");
}

QString NoUnitText(Language language)
{
    QString text = CliTexts::kNoFamilyDevice.In(language);
    const QString catalog = CatalogProblem(language);
    if (!catalog.isEmpty())
        text += QStringLiteral(" (") + catalog + QLatin1Char(')');
    return text;
}

// One status poll with details of one base, kept to its port: its own mode and every configured
// target behind its product id. A port another program holds is not polled: every device would
// read absent.
Unit LookAtUnit(UpgradeServer &server, const PortInfo &port, const FirmwareEntries &configured)
{
    Unit unit;
    unit.port = port;
    unit.probe = ProbePort(port.name);
    if (!unit.probe.opened)
        return unit;
    FirmwareEntries entries;
    bool base_configured = false;
    for (auto it = configured.cbegin(); it != configured.cend(); ++it) {
        if (!it.value().usb_pids.contains(port.product_id))
            continue;
        entries.insert(it.key(), it.value());
        base_configured = base_configured || IsBase(it.value().dev_id);
    }
    if (!base_configured) {
        FirmwareEntry base;
        base.dev_id = DeviceId::Base;
        base.usb_pids = {port.product_id};
        entries.insert(kUnitBase, base);
    }
    TargetStatusList rows;
    // The poll emits in this thread: a direct call.
    const QMetaObject::Connection connection = QObject::connect(
        &server, &UpgradeServer::PushTargetStatus, [&](const TargetStatusList &statuses) { rows = statuses; });
    server.Probe().SetPollUnit(UnitKey::Of(port));
    for (auto it = entries.cbegin(); it != entries.cend(); ++it) {
        if (it.key() != kUnitBase)
            server.Probe().RequestDetails(it.key());
    }
    server.SetFirmwareEntries(&entries);
    server.GetControlerState();
    server.SetFirmwareEntries(nullptr);
    QObject::disconnect(connection);
    for (const TargetStatus &row : qAsConst(rows)) {
        if (IsBase(row.dev_id) && (!unit.base || row.Answering()))
            unit.base = row;
        if (row.name != kUnitBase)
            unit.devices.append(row);
    }
    return unit;
}

}  // namespace

int RunList(const CliOptions &options, CliOutput &output)
{
    QElapsedTimer clock;
    clock.start();
    const CliConfig config = ReadCliConfig(options.config, options.language);
    if (config.failure)
        return Refuse(output, ExitCode::kConfig, config.failure->Warning(config.language), clock);

    QList<PortInfo> ports = FamilyPortsAt(options.unit);
    if (!options.unit.IsAnything() && ports.isEmpty()) {
        QStringList attached;
        for (const PortInfo &port : InUsbOrder(ListFamilyPorts()))
            attached << UnitName(port);
        QString text = CliTexts::kNoDeviceAtPort.In(config.language).arg(options.unit.Text()) + QStringLiteral(" (") +
                       (attached.isEmpty() ? LaunchTexts::kNoFamilyPortAttached.In(config.language)
                                           : LaunchTexts::kAttachedPorts.In(config.language).arg(attached.join(QStringLiteral(", ")))) +
                       QLatin1Char(')');
        return Refuse(output, ExitCode::kDevice, text, clock);
    }
    QList<Unit> units;
    UpgradeServer server;
    for (const PortInfo &port : qAsConst(ports))
        units.append(LookAtUnit(server, port, config.entries));

    // Targets no unit can carry: not attached anywhere (a busy unit may carry them: unknown).
    QStringList not_attached;
    if (options.unit.IsAnything()) {
        for (auto it = config.entries.cbegin(); it != config.entries.cend(); ++it) {
            const bool carried = std::any_of(ports.cbegin(), ports.cend(), [&](const PortInfo &port) {
                return it.value().usb_pids.contains(port.product_id);
            });
            if (!carried)
                not_attached << it.key();
        }
    }

    if (output.Json()) {
        for (const Unit &unit : qAsConst(units)) {
            QJsonArray devices;
            for (const TargetStatus &row : unit.devices) {
                const QString version = AppVersionText(row);
                const QString hw = row.hw_text.value_or(QString());
                devices.append(QJsonObject{{QStringLiteral("target"), row.name},
                                           {QStringLiteral("dev_id"), row.dev_id},
                                           {QStringLiteral("mode"), DeviceMode(row)},
                                           {QStringLiteral("mode_byte"), int(row.mode)},
                                           {QStringLiteral("app_version"), TextOrNull(version)},
                                           {QStringLiteral("boot_version"), TextOrNull(row.boot_version.value_or(QString()))},
                                           {QStringLiteral("hw_version"), TextOrNull(hw)}});
            }
            output.SetContext(QString(), unit.port.name, unit.port.location);
            output.Event(QStringLiteral("unit"),
                         {{QStringLiteral("serial_number"), TextOrNull(unit.port.serial_number)},
                          {QStringLiteral("product_id"), unit.port.product_id},
                          {QStringLiteral("busy"), unit.probe.busy},
                          {QStringLiteral("error"), TextOrNull(unit.probe.reason)},
                          {QStringLiteral("mode"), UnitMode(unit)},
                          {QStringLiteral("devices"), devices}});
        }
        output.SetContext(QString(), QString());
        QString message;
        if (units.isEmpty())
            message = NoUnitText(config.language);
        output.Event(QStringLiteral("result"),
                     {{QStringLiteral("result"), ExitCode::ResultName(ExitCode::kSuccess)},
                      {QStringLiteral("exit_code"), ExitCode::kSuccess},
                      {QStringLiteral("message"), message},
                      {QStringLiteral("error"), QString()},
                      {QStringLiteral("units"), units.size()},
                      {QStringLiteral("not_attached"), QJsonArray::fromStringList(not_attached)},
                      {QStringLiteral("duration_s"), clock.elapsed() / 1000.0}});
        return ExitCode::kSuccess;
    }

    if (units.isEmpty()) {
        output.Out(NoUnitText(config.language));
        return ExitCode::kSuccess;
    }
    auto cell = [](const QString &text, int width) {
        return (text.isEmpty() ? QStringLiteral("-") : text).leftJustified(width);
    };
    bool first = true;
    for (const Unit &unit : qAsConst(units)) {
        if (!first)
            output.Out(QString());
        first = false;
        output.Out(QStringLiteral("unit %1: port %2, serial %3, product id %4, %5")
                       .arg(UnitName(unit.port), unit.port.name,
                            unit.port.serial_number.isEmpty() ? QStringLiteral("-") : unit.port.serial_number)
                       .arg(unit.port.product_id)
                       .arg(unit.probe.busy ? QStringLiteral("busy: another program holds the port (%1)").arg(unit.probe.reason)
                            : !unit.probe.opened ? QStringLiteral("port not opened: %1").arg(unit.probe.reason)
                                                 : QStringLiteral("base ") + UnitMode(unit)));
        if (unit.devices.isEmpty())
            continue;
        const QString format = QStringLiteral("  %1  %2  %3  %4  %5");
        output.Out(format.arg(cell("target", 9), cell("mode", 18), cell("application", 11), cell("boot", 7),
                              QStringLiteral("hardware")));
        for (const TargetStatus &row : unit.devices) {
            output.Out(format.arg(cell(row.name, 9), cell(DeviceMode(row), 18), cell(AppVersionText(row), 11),
                                  cell(row.boot_version.value_or(QString()), 7), row.hw_text.value_or(QStringLiteral("-"))));
        }
    }
    if (!not_attached.isEmpty()) {
        output.Out(QString());
        output.Out(QStringLiteral("not attached: %1").arg(not_attached.join(QStringLiteral(", "))));
    }
    return ExitCode::kSuccess;
}

int RunSwitch(const CliOptions &options, CliOutput &output)
{
    QElapsedTimer clock;
    clock.start();
    const CliConfig config = ReadCliConfig(options.config, options.language);
    if (config.failure)
        return Refuse(output, ExitCode::kConfig, config.failure->Warning(config.language), clock);
    const Language language = config.language;

    // The engine switches only with exactly one family device attached (at --port, when given),
    // and says nothing otherwise: the command says why.
    const QList<PortInfo> attached = FamilyPortsAt(options.unit);
    if (attached.isEmpty()) {
        QStringList others;
        for (const PortInfo &port : InUsbOrder(ListFamilyPorts()))
            others << UnitName(port);
        QString text = options.unit.IsAnything() ? NoUnitText(language)
                                              : CliTexts::kNoDeviceAtPort.In(language).arg(options.unit.Text());
        if (!others.isEmpty())
            text += QStringLiteral(" (") + LaunchTexts::kAttachedPorts.In(language).arg(others.join(QStringLiteral(", "))) +
                    QLatin1Char(')');
        return Refuse(output, ExitCode::kDevice, text, clock);
    }
    if (attached.size() > 1) {
        QStringList names;
        for (const PortInfo &port : attached)
            names << UnitName(port);
        return Refuse(output, ExitCode::kDevice,
                      CliTexts::kSeveralFamilyDevices.In(language) + QStringLiteral(" (") +
                          LaunchTexts::kAttachedPorts.In(language).arg(names.join(QStringLiteral(", "))) +
                          QStringLiteral("; --port LOCATION)"),
                      clock);
    }
    const PortInfo &base = attached.first();
    output.SetContext(QStringLiteral("Base"), base.name, base.location);
    // The base comes back under a new name: switch and confirmation keep to its location (or
    // serial number) when a unit was asked for.
    const UnitKey keep = UnitKey::Pinned(base, options.unit);

    const bool to_boot = options.argument == QLatin1String("boot");
    UpgradeServer server;
    server.Probe().SetPollUnit(keep);

    // A base already in the mode asked for is not restarted: a restart costs it five seconds off
    // USB and a new port name, for nothing.
    {
        const Unit unit = LookAtUnit(server, base, FirmwareEntries());
        if (unit.probe.busy) {
            return Refuse(output, ExitCode::kPort, LaunchTexts::kPortBusy.In(language).arg(base.name, unit.probe.reason),
                          clock);
        }
        if (unit.base && unit.base->Answering() && (unit.base->mode == Mode::Boot) == to_boot) {
            const QString already = (to_boot ? CliTexts::kBaseAlreadyInBoot : CliTexts::kBaseAlreadyInApp).In(language);
            if (!output.Json())
                output.Out(already);
            ReportResult(output, ExitCode::kSuccess, already, clock.elapsed() / 1000.0);
            return ExitCode::kSuccess;
        }
        server.Probe().SetPollUnit(keep);
    }
    if (to_boot)
        server.Probe().BaseGoBoot(keep);
    else
        server.Probe().BaseGoApp(keep);

    const QString wanted = (to_boot ? CliTexts::kModeBoot : CliTexts::kModeApp).In(language);
    const QString done = (to_boot ? CliTexts::kBaseInBoot : CliTexts::kBaseInApp).In(language);
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
    QString message = CliTexts::kBaseNotSwitched.In(language).arg(wanted).arg(kSwitchConfirmMs / 1000.0);
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
        message = StopReason(cause, language, 0);
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
