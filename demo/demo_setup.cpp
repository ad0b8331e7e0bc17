#include "demo_setup.h"

#include "device_family.h"
#include "sample_firmware.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cmath>
#include <iterator>

namespace {

// Two sets on the bench: the base with the motor, the display and the pedals, and a second base
// carrying the steering wheel. The launch serves device ids 2 to 5, so the steering wheel and
// the pedals both sit at 5, each behind its own base.
constexpr int kSetA = 4;
constexpr int kSetB = 5;

struct Variant {
    const char *hw;
    const char *file;
    const char *description;
};

// What the bench holds of one target of the family (its name and device id are the family's).
struct TargetPlan {
    int usb_pid;
    quint32 address;
    int kib;
    Variant attached;  // the variant the simulated device reports
    Variant other;     // a second hardware variant the configuration also knows
};

// In the family's order of targets: the base, the motor, the steering wheel, the display, the
// pedals.
const TargetPlan kPlan[] = {
    {kSetA, 0x08004000, 288, {"BASE-HW-A-REV-0003", "fw/base_a.bin", "base A"}, {"BASE-HW-B", "fw/base_b.bin", "base B"}},
    {kSetA, 0x00010000, 48, {"MOTOR-HW-A", "fw/motor_a.bin", "motor A"}, {"MOTOR-HW-B", "fw/motor_b.bin", "motor B"}},
    {kSetB, 0x08000000, 64, {"STEER-HW-B", "fw/steer_b.bin", "steering B"}, {"STEER-HW-A", "fw/steer_a.bin", "steering A"}},
    {kSetA, 0xC0230000, 64, {"METER-HW-2", "fw/meter_2.bin", "meter 2"}, {"METER-HW-1", "fw/meter_1.bin", "meter 1"}},
    {kSetA, 0x08000000, 24, {"PEDAL-HW-A", "fw/pedals_a.bin", "pedals A"}, {"PEDAL-HW-B", "fw/pedals_b.bin", "pedals B"}},
};
static_assert(std::size(kPlan) == 5, "one plan per target of the family");
// The order the bench is upgraded in (indices of kPlan): the steering wheel, alone on the second
// base, after the targets of the first.
constexpr int kBenchOrder[] = {0, 1, 3, 2, 4};

QString WriteImage(const QString &dir, const TargetFacts &target, const TargetPlan &plan, const Variant &variant,
                   unsigned seed)
{
    ImageRecipe recipe;
    recipe.section_size = 4096;
    recipe.raw = RoleOf(target.dev_id).raw_sections;
    recipe.product_code = QByteArray("DEMO-") + target.name;
    recipe.version_major = 2;
    recipe.version_minor = 1;
    recipe.version_patch = quint16(seed);
    return WriteSampleImage(QDir(dir).filePath(variant.file),
                            {{plan.address, SampleFirmware(plan.kib * 1024, seed, StatedVersion(recipe))}}, recipe);
}

QJsonObject Series(const Variant &variant)
{
    return QJsonObject{{"boot_ver", "1.0.0"},
                       {"hw_ver", variant.hw},
                       {"section_len", 4096},
                       {"path", variant.file},
                       {"description", variant.description}};
}

DemoTarget Target(const TargetFacts &target, const TargetPlan &plan)
{
    return {QLatin1String(target.name), plan.usb_pid, target.dev_id, plan.attached.hw, plan.attached.file, plan.kib,
            plan.other.hw, plan.address};
}

}  // namespace

QList<DemoTarget> DemoTargets()
{
    QList<DemoTarget> targets;
    for (int i : kBenchOrder)
        targets.append(Target(Targets()[i], kPlan[i]));
    return targets;
}

QList<DemoTarget> WriteDemoWorkspace(const QString &dir, bool english, QString *error)
{
    QDir().mkpath(QDir(dir).filePath("fw"));
    QJsonObject firmware;
    QList<DemoTarget> targets;
    unsigned seed = 1;
    for (int i : kBenchOrder) {
        const TargetFacts &target = Targets()[i];
        const TargetPlan &plan = kPlan[i];
        for (const Variant *variant : {&plan.attached, &plan.other}) {
            const QString problem = WriteImage(dir, target, plan, *variant, seed++);
            if (!problem.isEmpty()) {
                *error = problem;
                return {};
            }
        }
        firmware[target.name] = QJsonObject{{"dev_id", target.dev_id},
                                          {"USB_PID", QJsonArray{plan.usb_pid}},
                                          {"series", QJsonArray{Series(plan.other), Series(plan.attached)}}};
        targets.append(Target(target, plan));
    }
    const QJsonObject config{{"is_english", english}, {"check_boot_ver", false}, {"firmware", firmware}};
    QFile file(QDir(dir).filePath("config.json"));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        *error = file.errorString();
        return {};
    }
    file.write(QJsonDocument(config).toJson());
    return targets;
}

QList<SimFamilyOptions> DemoSets(const QList<DemoTarget> &targets, double time_scale)
{
    auto scaled = [time_scale](int ms) { return std::max(5, int(std::lround(ms * time_scale))); };
    QList<SimFamilyOptions> sets;
    for (int pid : {kSetA, kSetB}) {
        SimFamilyOptions options;
        options.product_id = quint16(pid);
        // Every set has its base; the base's own entry gives its hardware version.
        SimDeviceSpec base{2, "BASE-HW-A-REV-0003", {2, 0, 1, 2}, SimMode::App};
        options.devices.append(base);
        for (const DemoTarget &target : targets) {
            if (target.usb_pid != pid || IsBase(target.dev_id))
                continue;
            SimDeviceSpec device;
            device.id = target.dev_id;
            device.hw_version = target.hw_version.toUtf8();
            device.app_version = {2, 0, 1, uint8_t(target.dev_id)};
            options.devices.append(device);
        }
        options.timings.device_restart_ms = scaled(300);
        options.timings.base_detach_ms = scaled(20);
        options.timings.base_reenumerate_ms = scaled(1500);
        options.timings.display_boot_ms = scaled(200);
        options.timings.flash_busy_ms = 40;
        options.timings.power_off_ms = scaled(500);
        sets.append(options);
    }
    return sets;
}
