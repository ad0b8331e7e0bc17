#include "sim_program_options.h"

#include "demo_setup.h"
#include "sim_protocol.h"

#include <QCommandLineParser>
#include <QMap>
#include <QDir>
#include <QRegularExpression>
#include <QStandardPaths>

#include <limits>

namespace {

constexpr int kMaxUnits = 32;          // two bases each: a station's hub is full long before
constexpr double kFastTimeScale = 0.05;  // as the demo's --fast

QString PowerCutText()
{
    QString points;
    for (const auto &point : PowerCutPoints())
        points += QStringLiteral("  %1  %2\n").arg(point.first, -12).arg(point.second);
    return points;
}

QString Description()
{
    QString variants;
    for (const DemoTarget &target : DemoTargets()) {
        variants += QStringLiteral("  %1: device %2 behind the base of product id %3; reports %4, or %5 with "
                                   "--other-variant\n")
                        .arg(target.name)
                        .arg(target.dev_id)
                        .arg(target.usb_pid)
                        .arg(target.hw_version, target.other_hw_version);
    }
    return QStringLiteral(
               "Runs the simulated device family on pseudo-terminals until stopped (Ctrl+C, SIGTERM), for "
               "trying the other programs without hardware.\n"
               "\n"
               "A unit is the bench the configuration describes: a base of USB product id 4 with the motor, "
               "display and pedals, and a base of product id 5 with the steering wheel. --bases N attaches N "
               "identical units side by side (2N ports); every unit's bases have the same product ids, as "
               "real units of one model do, and each base has its own USB location, sim-UNIT-PRODUCT (e.g. "
               "sim-2-4), which stays the same when the base restarts under a new port path.\n"
               "\n"
               "Before its ports appear it writes config.json and the images it names into the work "
               "directory, and publishes its ports in DIR/ports.json, kept current across restarts. Point "
               "another program at it with the printed line:\n"
               "  export UPGRADER_SIM_CATALOG=DIR/ports.json\n"
               "\n"
               "Targets and their hardware variants:\n%1"
               "\n"
               "UNIT in --hw and --other-variant is a unit's number (1 to N); without it every unit is "
               "meant. Example: --hw 2:Meter=METER-HW-9 makes the display of unit 2 report a hardware version "
               "no variant matches.\n"
               "\n"
               "--power-cut UNIT:POINT cuts the power of unit UNIT (both its bases and every device behind "
               "them) once a job on one of its bases reaches POINT; the power returns after a short delay. "
               "Each device then starts in the mode it was last asked for, a section transfer or a "
               "programming under way is lost (the area being programmed is left erased), each base comes "
               "back on USB under a new path at its location, and the display stays unpowered while its base "
               "runs the bootloader. It strikes once per run. POINT is one of:\n%2"
               "\n"
               "Exit codes: 0 stopped by a signal; 1 could not start; 2 usage.\n\n"
               "upgrader-sim --version prints the program's name and version.")
        .arg(variants, PowerCutText());
}

bool ReadShare(const QCommandLineParser &parser, const QString &name, double *share, QString *message)
{
    if (!parser.isSet(name))
        return true;
    bool ok = false;
    *share = parser.value(name).toDouble(&ok);
    if (!ok || *share < 0 || *share > 1) {
        *message = QStringLiteral("--%1 takes a share between 0 and 1, not '%2'").arg(name, parser.value(name));
        return false;
    }
    return true;
}

bool ReadCount(const QCommandLineParser &parser, const QString &name, int low, int high, int *count,
               QString *message)
{
    if (!parser.isSet(name))
        return true;
    bool ok = false;
    *count = parser.value(name).toInt(&ok);
    if (!ok || *count < low || *count > high) {
        *message = QStringLiteral("--%1 takes a whole number from %2 to %3, not '%4'")
                       .arg(name)
                       .arg(low)
                       .arg(high)
                       .arg(parser.value(name));
        return false;
    }
    return true;
}

// "[UNIT:]TARGET" or "[UNIT:]TARGET=TEXT".
bool ReadOverride(const QString &text, bool with_hw_text, int units, HardwareOverride *result, QString *message)
{
    const QRegularExpression form(with_hw_text ? QStringLiteral("^(?:(\\d+):)?([A-Za-z]+)=(.+)$")
                                               : QStringLiteral("^(?:(\\d+):)?([A-Za-z]+)$"));
    const QRegularExpressionMatch match = form.match(text);
    const QString option = with_hw_text ? QStringLiteral("--hw") : QStringLiteral("--other-variant");
    if (!match.hasMatch()) {
        *message = QStringLiteral("%1 takes %2, not '%3'")
                       .arg(option, with_hw_text ? QStringLiteral("[UNIT:]TARGET=TEXT") : QStringLiteral("[UNIT:]TARGET"),
                            text);
        return false;
    }
    result->unit = match.captured(1).isEmpty() ? 0 : match.captured(1).toInt();
    if (!match.captured(1).isEmpty() && (result->unit < 1 || result->unit > units)) {
        *message = QStringLiteral("%1 %2: there is no unit %3 (units 1 to %4)")
                       .arg(option, text, match.captured(1))
                       .arg(units);
        return false;
    }
    QStringList names;
    int dev_id = 0;
    for (const DemoTarget &target : DemoTargets()) {
        names << target.name;
        if (target.name != match.captured(2))
            continue;
        result->target = target.name;
        result->hw_version = with_hw_text ? match.captured(3) : target.other_hw_version;
        dev_id = target.dev_id;
    }
    if (result->target.isEmpty()) {
        *message = QStringLiteral("%1 %2: unknown target '%3' (%4)").arg(option, text, match.captured(2), names.join(", "));
        return false;
    }
    // What the device's hardware text area holds: the motor answers in one shorter field.
    const int room = dev_id == SimProtocol::kMotorId ? SimProtocol::kMotorHwText
                                                     : SimProtocol::kHwChunks * SimProtocol::kHwChunkText;
    if (result->hw_version.toUtf8().size() > room) {
        *message = QStringLiteral("--hw %1: %2 reports at most %3 bytes").arg(text, result->target).arg(room);
        return false;
    }
    return true;
}

// "UNIT:POINT", one per unit.
bool ReadPowerCut(const QString &text, int units, QList<PowerCutPlan> &plans, QString *message)
{
    static const QRegularExpression form(QStringLiteral("^(\\d+):([a-z-]+)$"));
    const QRegularExpressionMatch match = form.match(text);
    QStringList names;
    for (const auto &point : PowerCutPoints())
        names << point.first;
    PowerCutPlan plan;
    plan.unit = match.hasMatch() ? match.captured(1).toInt() : 0;
    plan.point = match.captured(2);
    if (!match.hasMatch()) {
        *message = QStringLiteral("--power-cut takes UNIT:POINT, not '%1'").arg(text);
    } else if (plan.unit < 1 || plan.unit > units) {
        *message = QStringLiteral("--power-cut %1: there is no unit %2 (units 1 to %3)").arg(text).arg(plan.unit).arg(units);
    } else if (!names.contains(plan.point)) {
        *message = QStringLiteral("--power-cut %1: unknown point '%2' (%3)").arg(text, plan.point, names.join(", "));
    } else {
        for (const PowerCutPlan &earlier : plans) {
            if (earlier.unit == plan.unit) {
                *message = QStringLiteral("--power-cut %1: unit %2 already loses its power at %3")
                               .arg(text)
                               .arg(plan.unit)
                               .arg(earlier.point);
                return false;
            }
        }
        plans.append(plan);
        return true;
    }
    return false;
}

bool Byte0(const Frame &f, uint8_t value)
{
    return f.length >= 1 && f.payload[0] == value;
}

}  // namespace

QList<QPair<QString, QString>> PowerCutPoints()
{
    return {
        {QStringLiteral("boot-entry"), QStringLiteral("the base is asked to switch to its bootloader")},
        {QStringLiteral("first-header"), QStringLiteral("the first section header reaches a device")},
        {QStringLiteral("early-data"), QStringLiteral("the third data frame of the transfer")},
        {QStringLiteral("late-data"), QStringLiteral("a data frame halfway through the image's last section")},
        {QStringLiteral("flash"), QStringLiteral("the first programming of a section, while it runs")},
        {QStringLiteral("verify"), QStringLiteral("the second digest read of the final verification")},
        {QStringLiteral("flag"), QStringLiteral("the upgrade flag: a device in its bootloader is asked to start its application")},
        {QStringLiteral("return"), QStringLiteral("the base is asked to return to its application")},
    };
}

SimPowerCutTrigger PowerCutTrigger(const QString &point, int product_id, const QList<DemoTarget> &targets)
{
    using namespace SimProtocol;
    SimPowerCutTrigger trigger;
    if (point == QLatin1String("boot-entry")) {
        trigger.device = kBaseId;
        trigger.command = SwitchMode;
        trigger.when = [](const SimDevice &, const Frame &f) { return Byte0(f, kSwitchToBoot); };
    } else if (point == QLatin1String("first-header")) {
        trigger.command = SectionHeader;
    } else if (point == QLatin1String("early-data")) {
        trigger.command = SectionData;
        trigger.nth = 3;
    } else if (point == QLatin1String("late-data")) {
        // Where each device's image ends: its last section is the one that ends there.
        QMap<int, quint32> image_end;
        for (const DemoTarget &target : targets) {
            if (target.usb_pid == product_id)
                image_end[target.dev_id] = target.address + quint32(target.image_kib) * 1024;
        }
        trigger.command = SectionData;
        trigger.when = [image_end](const SimDevice &device, const Frame &f) {
            const SimTransfer &t = device.transfer;
            const int offset = f.length >= 2 ? f.payload[0] << 8 | f.payload[1] : -1;
            return image_end.contains(device.id) && t.address + t.length == image_end.value(device.id) &&
                   offset >= t.expected / 2;
        };
    } else if (point == QLatin1String("flash")) {
        constexpr uint8_t kProgram = 0;
        trigger.command = Flash;
        trigger.when = [](const SimDevice &device, const Frame &f) {
            return Byte0(f, kProgram) && device.transfer.flash == SimTransfer::Flash::Busy;
        };
    } else if (point == QLatin1String("verify")) {
        // The final pass announces each section and reads its digest without sending data again.
        trigger.command = ReadDigest;
        trigger.nth = 2;
        trigger.when = [](const SimDevice &device, const Frame &) {
            return device.transfer.announced && device.transfer.expected > 0 && device.transfer.next_offset == 0;
        };
    } else if (point == QLatin1String("flag")) {
        trigger.command = SwitchMode;
        trigger.when = [](const SimDevice &device, const Frame &f) {
            return Byte0(f, kSwitchToApp) && device.mode == SimMode::Boot;
        };
    } else if (point == QLatin1String("return")) {
        trigger.device = kBaseId;
        trigger.command = SwitchMode;
        trigger.when = [](const SimDevice &, const Frame &f) { return Byte0(f, kSwitchToApp); };
    }
    return trigger;
}

int ParseSimProgramOptions(const QStringList &arguments, SimProgramOptions *options, QString *message)
{
    const QString default_work = DefaultWorkDirectory();
    QCommandLineParser parser;
    parser.setApplicationDescription(Description());
    parser.addHelpOption();
    parser.addOption({"work", "Directory for config.json, the images and ports.json (default: " +
                                  default_work + ").", "DIR"});
    parser.addOption({"bases", "Attach N identical units side by side, each with its own ports and locations "
                               "(default 1).", "N", "1"});
    parser.addOption({"fast", "Restart the devices twentyfold faster than real ones (as upgrader-demo --fast)."});
    parser.addOption({"loss", "Lose this share of the data frames on their way to the device (e.g. 0.01).", "SHARE"});
    parser.addOption({"corrupt", "Flip a bit in this share of the bytes in both directions (e.g. 0.0005).", "SHARE"});
    parser.addOption({"drop-replies", "Lose this share of the devices' replies (e.g. 0.01).", "SHARE"});
    parser.addOption({"flash-errors", "Let the first N flash programmings of each base's devices come out wrong.",
                      "N"});
    parser.addOption({"busy-flash", "Keep every device's flash busy this long per section (ms).", "MS"});
    parser.addOption({"seed", "Seed of the random faults; base k of the run draws from SEED + k.", "SEED", "1"});
    parser.addOption({"hw", "Make a device report TEXT as its hardware version (repeatable).", "[UNIT:]TARGET=TEXT"});
    parser.addOption({"other-variant", "Make a device report the configuration's other hardware variant, so the "
                                       "launch picks that variant's image (repeatable).", "[UNIT:]TARGET"});
    parser.addOption({"never-return", "The bases of unit UNIT never come back on USB once they restart, as a unit "
                                      "whose cable was pulled (repeatable).", "UNIT"});
    parser.addOption({"power-cut", "Cut the power of unit UNIT when a job reaches POINT (see below; one per unit).",
                      "UNIT:POINT"});
    parser.addOption({"chinese", "Write the configuration with Chinese operator texts (is_english false)."});
    if (!parser.parse(arguments)) {
        *message = parser.errorText();
        return 2;
    }
    if (parser.isSet("help") || parser.isSet("help-all")) {
        *message = parser.helpText();
        return -1;
    }
    if (!parser.positionalArguments().isEmpty()) {
        *message = QStringLiteral("unexpected argument '%1'").arg(parser.positionalArguments().first());
        return 2;
    }
    const QString work = parser.isSet("work") ? parser.value("work") : default_work;
    if (work.isEmpty()) {
        *message = parser.isSet("work") ? QStringLiteral("--work needs a directory")
                                        : QStringLiteral("no private runtime directory here; give --work DIR");
        return 2;
    }
    options->work = QDir(work).absolutePath();
    options->time_scale = parser.isSet("fast") ? kFastTimeScale : 1.0;
    options->english = !parser.isSet("chinese");

    SimFaults &f = options->faults;
    int flash_errors = 0, busy_ms = 0;
    bool seed_ok = false;
    if (!ReadCount(parser, "bases", 1, kMaxUnits, &options->units, message) ||
        !ReadShare(parser, "loss", &f.drop_data_frame, message) ||
        !ReadShare(parser, "corrupt", &f.corrupt_host_byte, message) ||
        !ReadShare(parser, "drop-replies", &f.drop_reply, message) ||
        !ReadCount(parser, "flash-errors", 0, std::numeric_limits<int>::max(), &flash_errors, message) ||
        !ReadCount(parser, "busy-flash", 0, 600000, &busy_ms, message))
        return 2;
    f.corrupt_device_byte = f.corrupt_host_byte;
    f.flash_write_errors = flash_errors;
    if (parser.isSet("busy-flash")) {
        for (int id = 1; id <= 5; ++id)
            f.flash_busy_ms[id] = busy_ms;
    }
    f.seed = parser.value("seed").toUInt(&seed_ok);
    if (!seed_ok) {
        *message = QStringLiteral("--seed takes a whole number, not '%1'").arg(parser.value("seed"));
        return 2;
    }
    for (const QString &text : parser.values("never-return")) {
        bool ok = false;
        const int unit = text.toInt(&ok);
        if (!ok || unit < 1 || unit > options->units) {
            *message = QStringLiteral("--never-return takes a unit's number from 1 to %1, not '%2'")
                           .arg(options->units)
                           .arg(text);
            return 2;
        }
        options->never_return.append(unit);
    }
    for (const QString &text : parser.values("power-cut")) {
        if (!ReadPowerCut(text, options->units, options->power_cuts, message))
            return 2;
    }
    for (const QString &text : parser.values("other-variant")) {
        HardwareOverride entry;
        if (!ReadOverride(text, false, options->units, &entry, message))
            return 2;
        options->hardware.append(entry);
    }
    for (const QString &text : parser.values("hw")) {
        HardwareOverride entry;
        if (!ReadOverride(text, true, options->units, &entry, message))
            return 2;
        options->hardware.append(entry);
    }
    return 0;
}

QString DefaultWorkDirectory()
{
    // Without XDG_RUNTIME_DIR (under sudo, in CI) Qt makes a private one of its own and warns
    // about it; that directory serves as well, so the warning would only alarm.
    const QtMessageHandler previous = qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
    const QString runtime = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    qInstallMessageHandler(previous);
    return runtime.isEmpty() ? QString() : QDir(runtime).filePath(QStringLiteral("upgrader-sim"));
}
