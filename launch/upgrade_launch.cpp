#include "upgrade_launch.h"

#include "device_family.h"
#include "launch_log.h"
#include "log_unit.h"
#include "messages.h"
#include "unit_key.h"
#include "upgrade_record.h"
#include "upgrade_server.h"
#include "waits.h"

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QTimer>
#include <QFileInfo>

#include <algorithm>

namespace {

constexpr int kWaitStepMs = 1;  // how often the launch looks whether the link has come free

using Kind = LaunchRefusal::Kind;

LaunchRefusal Refusal(Kind kind, QStringList debug, bool after, const QString &zh, const QString &en)
{
    return LaunchRefusal{std::move(debug), after, zh, en, kind};
}

QString Zh(const char *text)
{
    return QString::fromUtf8(text);
}

// The launch runs in the window's thread: timers and queued reports keep going while it waits,
// operator input does not.
void WaitKeepingEventsGoing(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec(QEventLoop::ExcludeUserInputEvents);
}

}  // namespace

UpgradeLaunch::UpgradeLaunch(UpgradeServer &engine, const QString &config_file)
    : server(engine), config_folder(QFileInfo(config_file).absoluteDir())
{
}

std::optional<LaunchRefusal> UpgradeLaunch::FindDevice(const FirmwareEntries &entries, const QString &name,
                                                       const UnitKey &wanted)
{
    target = name;
    unit = UnitKey();
    if (!entries.contains(target))
        return Refusal(Kind::TargetAbsent, {Zh("---配置文件无效")}, true, Zh("配置文件无效！"),
                       QStringLiteral("Invalid configuration file!"));
    entry = entries.value(target);

    // Every attached port of the entry's product ids counts: identical units show the same id,
    // and a job must never take one of them at random.
    PortInfo found;
    int count = 0;
    for (const PortInfo &info : ListFamilyPorts()) {
        if (wanted.Matches(info) && entry.usb_pids.contains(info.product_id)) {
            ++count;
            found = info;
        }
    }
    usb_pid = found.product_id;
    unit_targets.clear();
    for (auto it = entries.cbegin(); it != entries.cend(); ++it) {
        const int d = it.value().dev_id;
        if (it.key() != target && d != entry.dev_id && IsUpgradable(d) &&
            it.value().usb_pids.contains(usb_pid) && !unit_targets.contains(d))
            unit_targets.insert(d, it.key());
    }
    if (count == 0)
        return Refusal(Kind::NoDevice, {Zh("未找到设备")}, false, Zh("未找到可升级设备!"),
                       QStringLiteral("No target found!"));
    if (count > 1)
        return Refusal(Kind::SeveralDevices, {Zh("检测%1有到多个相同网络ID的USB设备，请只保留一个进行升级").arg(target)},
                       true,
                       Zh("检测\"%1\"有到多个相同网络ID的USB设备，请只保留一个进行升级").arg(target),
                       QStringLiteral("Multiple ZORV device detected, please leave one only!"));
    // The job is pinned to this unit: every open, the reconnects after the base's restarts
    // included, takes only the port at its place on USB (a tty name lasts only until the base
    // restarts). Without a location the USB serial number names the unit; without either, a
    // name that was asked for is kept, else the job takes the one port of its product id.
    unit = UnitKey::Pinned(found, wanted);
    return std::nullopt;
}

std::optional<LaunchRefusal> UpgradeLaunch::Prepare(LaunchJob &job)
{
    // Every line of the launch from here on is about the unit it found.
    const LogUnit::Scope scope(unit.Text());
    // A job still ending holds the port. Its pacing runs on this thread's timer, so the wait keeps
    // timers and queued reports going, but no operator input.
    while (server.LinkBusy()) {
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents, kWaitStepMs);
        QThread::msleep(kWaitStepMs);
        qCDebug(lcLaunch).noquote() << "wait";
    }

    server.StopPolling();
    QString hw;
    bool display_woken = false;
    for (int i = 0; i < kHwTries && hw.isEmpty(); ++i) {
        server.Probe().QueryHwVersion(usb_pid, entry.dev_id, hw, unit);
        if (!hw.isEmpty())
            break;
        qCDebug(lcLaunch).noquote() << QString::fromUtf8("查询硬件版本超时");
        // The display of a base left in its bootloader has no power: give it power once and
        // the time to start, and the next plain upgrade takes the unit as it is.
        if (!display_woken && IsDisplay(entry.dev_id) &&
            server.Probe().PowerDisplayOfBaseInBoot(usb_pid, unit)) {
            display_woken = true;
            WaitKeepingEventsGoing(Waits::Long(RoleOf(entry.dev_id).boot_settle_ms));
        }
    }
    qCInfo(lcLaunch).noquote() << "\nHardware Version: " + hw;
    // What the target runs now, for the history and for a caller that skips a current target.
    if (!hw.isEmpty())
        job.version_before = server.Probe().ReadAppVersion(usb_pid, entry.dev_id, unit, kVersionTries);
    server.StartPolling();
    if (hw.isEmpty())
        return Refusal(Kind::NoHardwareVersion, {Zh("未查询到%1的硬件版本，请重试").arg(target)}, true,
                       Zh("未查询到\"%1\"的硬件版本!").arg(target),
                       QStringLiteral("Cannot get hardware version, please retry!"));

    const FirmwareSeries *variant = nullptr;
    for (const FirmwareSeries &series : qAsConst(entry.series)) {
        if (series.hw_ver == hw) {
            variant = &series;
            break;
        }
    }
    if (!variant)
        return Refusal(Kind::HardwareMismatch, {Zh("%1 配置的硬件版本，与获取到的不匹配: %2").arg(target, hw)},
                       true,
                       Zh("\"%1\"配置的硬件版本，与获取到的不匹配: \"%2\"!").arg(target, hw),
                       QStringLiteral("Hardware doesn't match!"));

    job.usb_pid = usb_pid;
    job.dev_id = entry.dev_id;
    job.unit = unit;
    job.hw_version = hw;
    job.description = variant->description;
    if (variant->path.isEmpty())
        return Refusal(Kind::EmptyPath, {Zh("%1固件路径为空").arg(variant->description)}, true,
                       Zh("\"%1\"固件路径为空!").arg(variant->description),
                       QStringLiteral("Firmware path of \"%1\" is invalid!").arg(variant->description));
    const QString path = config_folder.absoluteFilePath(variant->path);
    if (!QFileInfo::exists(path))
        return Refusal(Kind::MissingFile, {"firm_path:" + path, Zh("固件文件不存在")}, false,
                       Zh("\"%1\"固件路径找不到指定固件!").arg(variant->description),
                       QStringLiteral("Firmware of \"%1\" doesn't exist!").arg(variant->description));
    // The image is read and judged once, before any device leaves its application.
    auto image = std::make_shared<ImageSnapshot>();
    QString problem;
    FirmwareImage::Verdict verdict = FirmwareImage::Verdict::Ok;
    if (!FirmwareImage::Load(path, uint8_t(entry.dev_id), *image, problem, &verdict)) {
        if (verdict == FirmwareImage::Verdict::NotImageName)
            return Refusal(Kind::InvalidImage, {"firm_path:" + path, Zh("---固件必须是.bin文件")}, false,
                           Zh("\"%1\"固件必须是.bin文件（路径中须含小写的\".bin\"）: %2").arg(variant->description, path),
                           QStringLiteral("Firmware of \"%1\" must be a .bin file (its path must contain \".bin\", in "
                                          "lower case): %2")
                               .arg(variant->description, path));
        return Refusal(Kind::InvalidImage, {"firm_path:" + path, problem}, false,
                       Zh("\"%1\"固件无效: %2").arg(variant->description, problem),
                       QStringLiteral("Firmware of \"%1\" is invalid: %2").arg(variant->description, problem));
    }
    if (const auto refusal = CheckSignature(variant->description, *image))
        return refusal;
    job.image = std::move(image);
    job.display_swap_check =
        hw.contains(QLatin1String(kSwappedDisplayModel)) && RoleOf(entry.dev_id).may_be_swapped_display;
    job.firmware_path = path;

    // The base's own version decides whether the motor has to leave the bus for the job.
    QString combined = hw;
    server.Probe().QueryHwVersion(usb_pid, DeviceId::Base, combined, unit);
    job.motor_to_boot = !BaseKeepsMotorOffBus(combined);
    return CheckUnitReady(job);
}

void UpgradeLaunch::SetTrustedKeys(const std::optional<TrustedKeyList> &keys)
{
    trust.reset();
    if (!keys)
        return;
    trust = ImageSignature::ReadTrustedKeys(keys->entries, config_folder.absolutePath());
    if (!keys->sound)
        trust->problem = QStringLiteral("\"trusted_keys\" must be a list of key files or key texts");
}

std::optional<LaunchRefusal> UpgradeLaunch::CheckSignature(const QString &description, ImageSnapshot &image)
{
    if (!trust)
        return std::nullopt;
    using Verdict = ImageSignature::Verdict::Kind;
    // Judged on the bytes the job will send, read once above: what was checked is what is sent.
    const ImageSignature::Verdict verdict = ImageSignature::Judge(image.path, image.bytes, *trust);
    const QString &key = verdict.key_id;
    auto refuse = [&](const QString &zh, const QString &en) {
        return Refusal(Kind::UntrustedImage, {"firm_path:" + image.path, en}, false, zh, en);
    };
    switch (verdict.kind) {
    case Verdict::Trusted:
        image.signer_key_id = key;
        qCInfo(lcLaunch).noquote() << QStringLiteral("Image signed by trusted key %1").arg(key);
        return std::nullopt;
    case Verdict::Unsigned:
        return refuse(Zh("\"%1\"固件未签名，本产线只接受可信密钥签名的固件（找不到%2）").arg(description, verdict.detail),
                      QStringLiteral("Firmware of \"%1\" is not signed, and this line takes only images signed by a "
                                     "trusted key (no %2)")
                          .arg(description, verdict.detail));
    case Verdict::Unreadable:
        return refuse(Zh("\"%1\"固件的签名无法读取: %2").arg(description, verdict.detail),
                      QStringLiteral("The signature of firmware \"%1\" cannot be read: %2").arg(description, verdict.detail));
    case Verdict::UnknownKey:
        return refuse(Zh("\"%1\"固件由密钥%2签名，本产线不信任该密钥").arg(description, key),
                      QStringLiteral("Firmware of \"%1\" is signed by key %2, which this line does not trust")
                          .arg(description, key));
    case Verdict::Mismatch:
        return refuse(Zh("\"%1\"固件与密钥%2的签名不符：签名后被修改，或签名属于另一个固件").arg(description, key),
                      QStringLiteral("Firmware of \"%1\" does not match its signature by key %2: it changed after "
                                     "signing, or the signature is another image's")
                          .arg(description, key));
    case Verdict::KeysUnusable:
        return refuse(Zh("可信密钥无法读取，不接受任何固件: %1").arg(verdict.detail),
                      QStringLiteral("The trusted keys cannot be read, so no image is taken: %1").arg(verdict.detail));
    }
    return std::nullopt;
}

std::optional<LaunchRefusal> UpgradeLaunch::CheckUnitReady(const LaunchJob &job)
{
    if (unit_targets.isEmpty())
        return std::nullopt;
    QMap<int, uint8_t> modes = server.Probe().ReadModes(usb_pid, unit_targets.keys(), unit, kUnitModeTries);
    // The base's bootloader leaves the display unpowered: it is asked once it has power.
    const bool display_dark = modes.value(DeviceId::Base) == Mode::Boot && modes.contains(DeviceId::Display) &&
                              modes.value(DeviceId::Display) == Mode::Absent;
    if (display_dark && server.Probe().PowerDisplayOfBaseInBoot(usb_pid, unit)) {
        WaitKeepingEventsGoing(Waits::Long(RoleOf(DeviceId::Display).boot_settle_ms));
        modes[DeviceId::Display] =
            server.Probe().ReadModes(usb_pid, {DeviceId::Display}, unit, kUnitModeTries).value(DeviceId::Display);
    }
    const bool returns_base = RoleOf(job.dev_id).behind_base;
    const bool returns_motor = RoleOf(job.dev_id).sends_motor_off_bus && job.motor_to_boot;
    QStringList left;
    int first = 0;  // the device whose own upgrade takes back the most
    // A device-5 job takes back the motor and the base, a display job the base.
    for (int d : {DeviceId::SlowBus, DeviceId::Display, DeviceId::Base, DeviceId::Motor}) {
        if (modes.value(d) != Mode::Boot || (IsBase(d) && returns_base) || (IsMotor(d) && returns_motor))
            continue;
        left << unit_targets.value(d);
        if (!first)
            first = d;
    }
    if (left.isEmpty())
        return std::nullopt;
    // Named in the window's order of the targets.
    const QStringList order = TargetNames();
    std::sort(left.begin(), left.end(),
              [&](const QString &a, const QString &b) { return order.indexOf(a) < order.indexOf(b); });
    const QString upgrade_first = unit_targets.value(first);
    const QString quoted = QLatin1Char('"') + left.join(Zh("\"、\"")) + QLatin1Char('"');
    return Refusal(Kind::UnitNotReady,
                   {QStringLiteral("---%1 in boot, upgrade %2 first").arg(left.join(QStringLiteral(", ")), upgrade_first)},
                   true, Zh("%1处于Bootloader中，上次升级未完成，请先升级\"%2\"!").arg(quoted, upgrade_first),
                   left.size() == 1
                       ? QStringLiteral("%1 is in its bootloader: an earlier upgrade did not finish. Upgrade %2 first!")
                             .arg(left.first(), upgrade_first)
                       : QStringLiteral("%1 are in their bootloaders: an earlier upgrade did not finish. Upgrade %2 first!")
                             .arg(left.join(QStringLiteral(" and ")), upgrade_first));
}

bool UpgradeLaunch::Start(const LaunchJob &job)
{
    return server.Start(job);
}

VersionCheck CompareWithImage(const LaunchJob &job)
{
    VersionCheck check;
    // The launch's one reading of the image, judged whole: its header is read already.
    if (!job.image) {
        check.why = QStringLiteral("the image's header could not be read");
        return check;
    }
    const ImageHeader &header = job.image->header;
    if (header.app_ver_major || header.app_ver_minor || header.app_ver_patch)
        check.stated = QStringLiteral("%1.%2.%3").arg(header.app_ver_major).arg(header.app_ver_minor).arg(header.app_ver_patch);
    const AppVersionReading &before = job.version_before;
    if (check.stated.isEmpty())
        check.why = QStringLiteral("the image states no version (0.0.0)");
    else if (header.app_ver_patch > 0xFF)
        check.why = QStringLiteral("the image's patch number %1 is larger than a device can report").arg(header.app_ver_patch);
    else if (job.display_swap_check)
        // The device answering as 5 may be the swapped display, which the job only tells apart
        // in its bootloader: its version says nothing of the device the image is for.
        check.why = QStringLiteral("the device may be the swapped display model, known only in its bootloader");
    else if (before.InBootloader())
        check.why = QStringLiteral("the target runs its bootloader, which reports no application version");
    else if (!before.version)
        check.why = QStringLiteral("the target did not report its application version");
    if (!check.why.isEmpty())
        return check;
    const auto &v = before.version->parts;
    check.current = v[0] == header.app_ver_major && v[1] == header.app_ver_minor && v[2] == header.app_ver_patch;
    return check;
}

QString VersionRecordText(const AppVersionReading &reading)
{
    if (!reading.asked)
        return {};
    if (reading.version)
        return reading.version->Text();
    return QLatin1String(reading.InBootloader() ? UpgradeRecord::kInBootloader : UpgradeRecord::kNoAnswer);
}
