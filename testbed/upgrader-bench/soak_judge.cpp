#include "soak_judge.h"

#include "event_wait.h"
#include "sample_firmware.h"

namespace {

constexpr int kBaseId = 2;

bool AllInApplication(const SimFamily &family)
{
    for (int id : family.DeviceIds()) {
        if (family.Mode(id) != SimMode::App)
            return false;
    }
    return true;
}

}  // namespace

QStringList SuccessProblems(const SimFamily &family, int dev_id, const QList<ImageSegment> &segments, int grace_ms)
{
    RunEventsUntil([&] { return family.IsPlugged() && AllInApplication(family); }, grace_ms);
    QStringList problems;
    QString why;
    if (!FlashHolds(family, dev_id, segments, &why))
        problems << QStringLiteral("flash: %1").arg(why);
    if (!family.IsPlugged())
        problems << QStringLiteral("the base is not on USB");
    for (int id : family.DeviceIds()) {
        if (family.Mode(id) != SimMode::App)
            problems << (id == kBaseId ? QStringLiteral("the base is in its bootloader")
                                       : QStringLiteral("device %1 is in its bootloader").arg(id));
    }
    return problems;
}
