#include "soak_workspace.h"

#include "device_family.h"
#include "sample_firmware.h"

#include <QDir>

#include <iterator>

namespace {

// Where each device's application lives and how big the soak's images are: small enough that a
// job with scaled waits takes about a second (the bus of device 5 carries 3 bytes a millisecond),
// large enough for several sections. The pedals and the steering wheel are both device 5, each
// a target of the configuration of its own, as on a line where either may sit behind the base.
// Device 1 has no target here: the launch reads hardware versions of devices 2 to 5 only.
struct Plan {
    quint32 address;
    int kib;
};

// In the family's order of targets: the base, the motor, the steering wheel, the display, the
// pedals.
const Plan kPlans[] = {
    {0x08004000, 32},
    {0x00010000, 16},
    {0x08000000, 6},
    {0xC0230000, 24},
    {0x08000000, 6},
};
static_assert(std::size(kPlans) == 5, "one plan per target of the family");

constexpr int kSectionBytes = 2048;

}  // namespace

bool SoakWorkspace::Write(const QString &dir, const QList<SimDeviceSpec> &devices, int product_id, QString *error)
{
    targets.clear();
    usb_pid = product_id;
    unsigned seed = 1;
    for (size_t t = 0; t < std::size(kPlans); ++t) {
        const TargetFacts &facts = ::Targets()[t];
        const Plan &plan = kPlans[t];
        const SimDeviceSpec *device = nullptr;
        for (const SimDeviceSpec &simulated : devices) {
            if (simulated.id == facts.dev_id)
                device = &simulated;
        }
        if (!device)
            continue;
        SoakTarget target;
        target.name = QString::fromLatin1(facts.name);
        target.dev_id = facts.dev_id;
        target.hw_version = QString::fromLatin1(device->hw_version);
        ImageRecipe recipe;
        recipe.section_size = kSectionBytes;
        recipe.raw = RoleOf(facts.dev_id).raw_sections;
        recipe.product_code = QByteArray("SOAK-") + facts.name;
        for (int i = 0; i < 2; ++i) {
            recipe.version_patch = quint16(i);
            target.segments[i] = {{plan.address, SampleFirmware(plan.kib * 1024, seed++, StatedVersion(recipe))}};
            target.images[i] = QDir(dir).absoluteFilePath(QStringLiteral("%1_%2.bin").arg(target.name.toLower()).arg(i));
            const QString problem = WriteSampleImage(target.images[i], target.segments[i], recipe);
            if (!problem.isEmpty()) {
                *error = QStringLiteral("%1: %2").arg(target.images[i], problem);
                return false;
            }
        }
        targets.append(target);
    }
    return true;
}

FirmwareEntries SoakWorkspace::Entries(int t, int image) const
{
    FirmwareEntries entries;
    for (int i = 0; i < targets.size(); ++i) {
        const SoakTarget &target = targets[i];
        FirmwareSeries series;
        series.boot_ver = QStringLiteral("1.0.0");
        series.hw_ver = target.hw_version;
        series.section_len = kSectionBytes;
        series.path = target.images[i == t ? image : 0];
        series.description = QStringLiteral("%1 %2").arg(target.name.toLower()).arg(i == t ? image : 0);
        FirmwareEntry entry;
        entry.dev_id = target.dev_id;
        entry.usb_pids = {usb_pid};
        entry.series = {series};
        entries.insert(target.name, entry);
    }
    return entries;
}
