#include "device_family.h"

namespace {

const std::vector<DeviceRole> kRoles = {
    // A target behind the base without a role of its own: the base's pace and frames.
    {1, "target", {2, 1, 128}, 62, false, false, true, false, 40, 10, 1000, 0, 0, 0},
    // The base: every exchange on its own USB link, 128 bytes per millisecond into its buffer.
    {DeviceId::Base, "base", {2, 1, 128}, 62, false, false, false, false, 40, 10, 1000, 0, 0, 0},
    // The motor's bus is slower; it takes raw sections and tells its hardware in one answer.
    {DeviceId::Motor, "motor", {8, 5, 128}, 62, false, true, false, true, 40, 8, 1000, 0, 0, 0},
    // The display restarts from its upper part and needs longer after the flag.
    {DeviceId::Display, "display", {2, 1, 128}, 62, false, false, true, false, 40, 10, 1000, 4000, 0,
     0xC0232800},
    // The slow bus behind the base takes no more than 30 bytes a pass and settles for 2 s.
    {DeviceId::SlowBus, "slow bus", {10, 10, 30}, 23, true, false, true, false, 60, 10, 2000, 0, 2000, 0},
};

const std::vector<TargetFacts> kTargets = {
    {"Base", DeviceId::Base, 1},
    {"Motor", DeviceId::Motor, 1},
    {"Steering", DeviceId::SlowBus, 3},
    {"Meter", DeviceId::Display, 3},
    {"Pedals", DeviceId::SlowBus, 1},
};

}  // namespace

const std::vector<DeviceRole> &DeviceRoles()
{
    return kRoles;
}

const DeviceRole &RoleOf(int dev_id)
{
    for (const DeviceRole &role : kRoles) {
        if (role.dev_id == dev_id)
            return role;
    }
    return kRoles.front();
}

const std::vector<TargetFacts> &Targets()
{
    return kTargets;
}

QStringList TargetNames()
{
    QStringList names;
    for (const TargetFacts &target : kTargets)
        names.append(QLatin1String(target.name));
    return names;
}

const TargetFacts *TargetNamed(const QString &name)
{
    for (const TargetFacts &target : kTargets) {
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
