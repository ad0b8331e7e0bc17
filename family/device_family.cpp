#include "device_family.h"

namespace {

// Bases of these models keep the motor off the bus by themselves.
const char *const kMotorStaysModels[] = {"V42D", "KT47-P06-HW ZR-LN", "R58", "T26"};

// Each row reads by field name. The first is written whole; every other starts from it and
// names only where its role differs, so two roles can be told apart at a glance.
std::vector<DeviceRole> MakeRoles()
{
    // A target behind the base without a role of its own: the base's pace and frames.
    DeviceRole target{};
    target.dev_id = 1;
    target.role = "target";
    target.pacing.pass_ticks = 2;
    target.pacing.streaming_pass_ticks = 1;
    target.pacing.max_bytes_per_pass = 128;
    target.max_data_chunk = 62;
    target.chunk_fits_escaped = false;
    target.raw_sections = false;
    target.behind_base = true;
    target.one_request_hw = false;
    target.upgradable = false;
    target.sends_motor_off_bus = false;
    target.may_be_swapped_display = false;
    target.hw_query_timeout_ms = 40;
    target.verify_wait_ms = 10;
    target.boot_settle_ms = 1000;
    target.after_flag_extra_ms = 0;
    target.target_check_delay_ms = 0;
    target.restart_from = 0;

    // The base: every exchange on its own USB link, 128 bytes per millisecond into its buffer.
    DeviceRole base = target;
    base.dev_id = DeviceId::Base;
    base.role = "base";
    base.behind_base = false;
    base.upgradable = true;

    // The motor's bus is slower; it takes raw sections and tells its hardware in one answer.
    DeviceRole motor = target;
    motor.dev_id = DeviceId::Motor;
    motor.role = "motor";
    motor.pacing.pass_ticks = 8;
    motor.pacing.streaming_pass_ticks = 5;
    motor.raw_sections = true;
    motor.behind_base = false;
    motor.one_request_hw = true;
    motor.upgradable = true;
    motor.verify_wait_ms = 8;

    // The display restarts from its upper part and needs longer after the flag.
    DeviceRole display = target;
    display.dev_id = DeviceId::Display;
    display.role = "display";
    display.upgradable = true;
    display.after_flag_extra_ms = 4000;
    display.restart_from = 0xC0232800;

    // The slow bus behind the base takes no more than 30 bytes a pass and settles for 2 s.
    DeviceRole slow_bus = target;
    slow_bus.dev_id = DeviceId::SlowBus;
    slow_bus.role = "slow bus";
    slow_bus.pacing.pass_ticks = 10;
    slow_bus.pacing.streaming_pass_ticks = 10;
    slow_bus.pacing.max_bytes_per_pass = 30;
    slow_bus.max_data_chunk = 23;
    slow_bus.chunk_fits_escaped = true;
    slow_bus.upgradable = true;
    slow_bus.sends_motor_off_bus = true;
    slow_bus.may_be_swapped_display = true;
    slow_bus.hw_query_timeout_ms = 60;
    slow_bus.boot_settle_ms = 2000;
    slow_bus.target_check_delay_ms = 2000;

    return {target, base, motor, display, slow_bus};
}

std::vector<TargetFacts> MakeTargets()
{
    std::vector<TargetFacts> targets;

    TargetFacts base{};
    base.name = "Base";
    base.dev_id = DeviceId::Base;
    base.poll_tries = 1;
    targets.push_back(base);

    TargetFacts motor{};
    motor.name = "Motor";
    motor.dev_id = DeviceId::Motor;
    motor.poll_tries = 1;
    targets.push_back(motor);

    TargetFacts steering{};
    steering.name = "Steering";
    steering.dev_id = DeviceId::SlowBus;
    steering.poll_tries = 3;
    targets.push_back(steering);

    TargetFacts meter{};
    meter.name = "Meter";
    meter.dev_id = DeviceId::Display;
    meter.poll_tries = 3;
    targets.push_back(meter);

    TargetFacts pedals{};
    pedals.name = "Pedals";
    pedals.dev_id = DeviceId::SlowBus;
    pedals.poll_tries = 1;
    targets.push_back(pedals);

    return targets;
}

// The role of an id of the family; null for any other id.
const DeviceRole *FindRole(int dev_id)
{
    for (const DeviceRole &role : DeviceRoles()) {
        if (role.dev_id == dev_id)
            return &role;
    }
    return nullptr;
}

}  // namespace

const std::vector<DeviceRole> &DeviceRoles()
{
    // Built on first use: a reader in another file's static initialisation finds it ready.
    static const std::vector<DeviceRole> roles = MakeRoles();
    return roles;
}

const DeviceRole &RoleOf(int dev_id)
{
    const DeviceRole *role = FindRole(dev_id);
    return role ? *role : DeviceRoles().front();
}

bool IsFamilyDevice(int dev_id)
{
    return FindRole(dev_id) != nullptr;
}

bool IsUpgradable(int dev_id)
{
    const DeviceRole *role = FindRole(dev_id);
    return role && role->upgradable;
}

std::vector<int> UpgradableIds()
{
    std::vector<int> ids;
    for (const DeviceRole &role : DeviceRoles()) {
        if (role.upgradable)
            ids.push_back(role.dev_id);
    }
    return ids;
}

bool IsBase(int dev_id)
{
    return dev_id == DeviceId::Base;
}

bool IsMotor(int dev_id)
{
    return dev_id == DeviceId::Motor;
}

bool IsDisplay(int dev_id)
{
    return dev_id == DeviceId::Display;
}

bool BaseKeepsMotorOffBus(const QString &hw_text)
{
    for (const char *model : kMotorStaysModels) {
        if (hw_text.contains(QLatin1String(model)))
            return true;
    }
    return false;
}

const std::vector<TargetFacts> &Targets()
{
    static const std::vector<TargetFacts> targets = MakeTargets();
    return targets;
}

QStringList TargetNames()
{
    QStringList names;
    for (const TargetFacts &target : Targets())
        names.append(QLatin1String(target.name));
    return names;
}

const TargetFacts *TargetNamed(const QString &name)
{
    for (const TargetFacts &target : Targets()) {
        if (name == QLatin1String(target.name))
            return &target;
    }
    return nullptr;
}

int PollTries(const QString &name)
{
    const TargetFacts *target = TargetNamed(name);
    return target ? target->poll_tries : 1;
}
