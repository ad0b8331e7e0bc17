#pragma once

#include "bilingual.h"
#include "config_reader.h"
#include "image_signature.h"
#include "firmware_entry.h"
#include "target_status.h"
#include "upgrade_job.h"

#include <QDir>
#include <QMap>
#include <QString>
#include <QStringList>

#include <optional>

class UpgradeServer;

// Why a launch was refused: the console lines and the operator's warning in both languages.
struct LaunchRefusal {
    // Which check refused, for front ends that report more than the warning (an exit code).
    enum class Kind {
        TargetAbsent,      // the target is not in the configuration's table
        NoDevice,          // none of its product ids is attached
        SeveralDevices,    // more than one of them is
        NoHardwareVersion, // the device gave no hardware version
        HardwareMismatch,  // no variant is configured for the version it gave
        EmptyPath,         // the matched variant names no image
        MissingFile,       // its image file does not exist
        InvalidImage,      // it is no sound image for the device (nothing was sent)
        UntrustedImage,    // the line trusts keys, and no trusted key signed these very bytes
        UnitNotReady,      // another device of the unit waits in its bootloader, and this job
                           // would leave it there
        Halted,            // the line's guard: the image failed too often on the line lately
        GuardMistyped,     // the configuration's "line_guard" is no sound guard
    };

    QStringList debug_lines;
    bool debug_after_warning = false;  // some refusals write their console line after the warning
    QString zh;
    QString en;
    Kind kind = Kind::TargetAbsent;

    const QString &Warning(Language language) const { return language == Language::Chinese ? zh : en; }
};

// Everything a job needs, decided before it starts, and what the launch learnt on the way.
struct LaunchJob : UpgradeJob {
    QString hw_version;   // the target's own hardware version text
    QString description;  // the firmware variant chosen for it
    // The target's application version before the job, read once its hardware version was.
    AppVersionReading version_before;
};

// Whether the target already runs the version its image states. An image states three numbers
// (major.minor.patch) and a device reports four (a.b.c.d): the target is current when a, b and c
// equal the image's three. The fourth is the device's build number, which no image states, so it
// is not compared. Where no comparison can be made, why says so and current is false: the caller
// upgrades rather than guess.
struct VersionCheck {
    bool current = false;
    QString stated;  // the image's version, "major.minor.patch"; empty when it states none
    QString why;     // why no comparison could be made; empty when one was
};
VersionCheck CompareWithImage(const LaunchJob &job);

// How the history writes a reading: "a.b.c.d", or why there is none.
QString VersionRecordText(const AppVersionReading &reading);

// The decisions of an upgrade launch, free of any window: which attached device, its hardware
// version, the firmware variant and image, and the job's flags. The window (or any other front
// end) reloads the configuration first and shows what comes back.
class UpgradeLaunch {
public:
    // config_file: the configuration the entries come from; a relative image path starts at its
    // folder, whatever the process's working directory. Empty only for entries made in memory
    // whose image paths are absolute.
    UpgradeLaunch(UpgradeServer &server, const QString &config_file);

    // The target and its one attached device, from the configuration's table and the attached
    // family ports: two ports of the target's product ids are two units, and refused. With a
    // unit named (a USB location, serial number or port name) only the device there counts. Everything
    // after, the job's reconnects included, keeps to the unit found, by its USB location (or
    // serial number), so the job follows the base through its restarts and never another unit.
    // On success the product id and the unit are kept for Prepare.
    std::optional<LaunchRefusal> FindDevice(const FirmwareEntries &entries, const QString &target,
                                            const UnitKey &wanted = UnitKey());

    // The keys whose signatures make an image acceptable, as the configuration lists them
    // (relative key files start at its folder). Absent: images are judged on their structure and
    // seal alone. Present, an image passes only when a key of the list signed its very bytes, and a
    // list that cannot be read (a file gone, a mistyped value) takes no image at all.
    void SetTrustedKeys(const std::optional<TrustedKeyList> &keys);

    // Waits until the link is free, reads the hardware version (with the status poll paused),
    // chooses the variant and checks its image. Call after FindDevice succeeded. On success the
    // job holds the image's absolute path and the launch's one reading of it.
    std::optional<LaunchRefusal> Prepare(LaunchJob &job);

    // Hands the job to the engine and starts it; false when the link was busy after all.
    bool Start(const LaunchJob &job);

    // The product id of the one attached device FindDevice found; 0 before.
    int ProductId() const { return usb_pid; }
    // The unit the launch and the job keep to, as FindDevice settled on it.
    const UnitKey &Unit() const { return unit; }

    static constexpr int kHwTries = 10;
    // Rounds of the application-version reading before and after a job: the device has just
    // answered (before) or the job has just seen it in its application (after), so a few.
    static constexpr int kVersionTries = 3;

    // Mode queries per device when the launch looks at the unit's other devices.
    static constexpr int kUnitModeTries = 3;

private:
    // An earlier job cut off can leave devices of the unit in their bootloaders. This job takes
    // back the base (a job behind it) and the motor it sends off the bus (a device-5 job); any
    // other would stay there while the job reported the unit ready, so the launch refuses and
    // names the target to upgrade first.
    std::optional<LaunchRefusal> CheckUnitReady(const LaunchJob &job);
    // The trust's word on the image read for the job; on success the signer is noted on it.
    std::optional<LaunchRefusal> CheckSignature(const QString &description, ImageSnapshot &image);

    UpgradeServer &server;
    QDir config_folder;
    QString target;
    FirmwareEntry entry;
    int usb_pid = 0;
    UnitKey unit;
    std::optional<ImageSignature::TrustedKeys> trust;
    QMap<int, QString> unit_targets;  // the unit's other configured targets, by device id
};
