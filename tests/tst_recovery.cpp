// A unit cut off in the middle of an upgrade (its power gone at any point from the boot entry to
// the final return): what the cut job reports is true, and the next plain upgrade of the same
// target, launched as the window and the command launch it, takes the unit as it was left and
// ends in success with the image in flash and every device back in its application.
#include "family_suite.h"
#include "fast_family.h"
#include "messages.h"
#include "sample_firmware.h"
#include "sim_family.h"
#include "sim_port_catalog.h"
#include "upgrade_launch.h"
#include "upgrade_server.h"
#include "wait_until.h"

#include <QtTest>

#include <optional>

namespace {

constexpr int kJobMs = 60000;

struct Ended {
    std::optional<LaunchRefusal> refusal;
    std::optional<JobEndReason> reason;
};

}  // namespace

class TestRecovery : public SimulatedFamilySuite {
    Q_OBJECT

public:
    TestRecovery() : SimulatedFamilySuite(kTestWaitScale) {}

    QTemporaryDir dir;
    FirmwareEntries entries;
    QMap<QString, QList<ImageSegment>> images;  // by target

    void AddTarget(const QString &name, int dev_id, const QString &hw, quint32 address, unsigned seed)
    {
        // Raw sections of 2048 bytes: 34 data frames each, so that a point "late in the transfer"
        // is a known frame count.
        const QList<ImageSegment> segments{{address, SampleFirmware(4 * 2048, seed)}};
        ImageRecipe recipe;
        recipe.section_size = 2048;
        recipe.raw = true;
        const QString path = dir.filePath(name + ".bin");
        const QString error = WriteSampleImage(path, segments, recipe);
        if (!error.isEmpty())
            qFatal("%s", qPrintable(error));
        entries[name] = FirmwareEntry{dev_id, {4}, {FirmwareSeries{2048, "1.0.0", hw, path, name + " A"}}};
        images[name] = segments;
    }

    // One plain upgrade of the target, as a front end launches it.
    Ended Upgrade(UpgradeServer &server, const QString &target)
    {
        Ended ended;
        UpgradeLaunch launch(server, dir.filePath("config.json"));
        ended.refusal = launch.FindDevice(entries, target);
        if (ended.refusal)
            return ended;
        LaunchJob job;
        ended.refusal = launch.Prepare(job);
        server.StopPolling();  // no window here to show what it finds
        if (ended.refusal)
            return ended;
        QMetaObject::Connection connection =
            connect(&server, &UpgradeServer::JobEnded, this, [&](JobEndReason reason) { ended.reason = reason; });
        if (!launch.Start(job))
            qFatal("the engine refused a job on an idle link");
        WaitUntil([&] { return ended.reason.has_value() && !server.LinkBusy(); }, kJobMs);
        disconnect(connection);
        return ended;
    }

    // A fast family whose power goes at the nth request of command device accepts.
    static SimFamilyOptions CutAt(int device, int command, int nth)
    {
        SimFamilyOptions options = FastFamily();
        options.power_cut.device = device;
        options.power_cut.command = command;
        options.power_cut.nth = nth;
        return options;
    }

    static bool AllInApplication(const SimFamily &family)
    {
        for (int id : family.DeviceIds()) {
            if (family.Mode(id) != SimMode::App || !family.IsResponsive(id))
                return false;
        }
        return true;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        AddTarget("Meter", DeviceId::Display, "METER-HW-A", 0xC0231800, 44);
        AddTarget("Pedals", DeviceId::SlowBus, "DEV5-HW-A", 0x08000000, 55);
        AddTarget("Base", DeviceId::Base, "BASE-HW-A-REV-0003", 0x08004000, 22);
        AddTarget("Motor", DeviceId::Motor, "MOTOR-HW-A", 0x00010000, 33);
    }

    void cutOffAnywhere_data()
    {
        QTest::addColumn<QString>("target");
        QTest::addColumn<int>("device");   // the device whose request is the point
        QTest::addColumn<int>("command");
        QTest::addColumn<int>("nth");

        // The display's job: the target's and the base's boot entries, the display's power,
        // the transfer early and late, the flash, the final verification, the flag, the return.
        QTest::newRow("Meter: the target's switch to its bootloader") << "Meter" << 4 << int(Cmd::SwitchMode) << 1;
        QTest::newRow("Meter: the base's switch to its bootloader") << "Meter" << 2 << int(Cmd::SwitchMode) << 1;
        QTest::newRow("Meter: the display's power") << "Meter" << 2 << int(Cmd::DisplayPowerOn) << 1;
        QTest::newRow("Meter: the first section header") << "Meter" << 4 << int(Cmd::SectionHeader) << 1;
        QTest::newRow("Meter: early in the transfer") << "Meter" << 4 << int(Cmd::SectionData) << 3;
        QTest::newRow("Meter: late in the transfer") << "Meter" << 4 << int(Cmd::SectionData) << 120;
        QTest::newRow("Meter: the first flash") << "Meter" << 4 << int(Cmd::Flash) << 1;
        QTest::newRow("Meter: the final verification") << "Meter" << 4 << int(Cmd::SectionHeader) << 6;
        QTest::newRow("Meter: a digest of the final pass") << "Meter" << 4 << int(Cmd::ReadDigest) << 10;
        QTest::newRow("Meter: the upgrade flag") << "Meter" << 4 << int(Cmd::SwitchMode) << 2;
        QTest::newRow("Meter: the base's return") << "Meter" << 2 << int(Cmd::SwitchMode) << 2;
        // Device 5 sends the motor off the bus first; the motor must come back too.
        QTest::newRow("Pedals: the motor off the bus") << "Pedals" << 3 << int(Cmd::SwitchMode) << 1;
        QTest::newRow("Pedals: late in the transfer") << "Pedals" << 5 << int(Cmd::SectionData) << 100;
        QTest::newRow("Pedals: the final verification") << "Pedals" << 5 << int(Cmd::SectionHeader) << 7;
        // The base's own upgrade: cut off, its bootloader holds a half-written image.
        QTest::newRow("Base: late in the transfer") << "Base" << 2 << int(Cmd::SectionData) << 80;
        QTest::newRow("Base: the final verification") << "Base" << 2 << int(Cmd::SectionHeader) << 6;
    }

    void cutOffAnywhere()
    {
        QFETCH(QString, target);
        QFETCH(int, device);
        QFETCH(int, command);
        QFETCH(int, nth);
        SimFamily family(CutAt(device, command, nth));
        const int dev_id = entries[target].dev_id;
        UpgradeServer server;

        const Ended cut = Upgrade(server, target);
        QVERIFY2(!cut.refusal, cut.refusal ? qPrintable(cut.refusal->en) : "");
        QVERIFY2(cut.reason.has_value(), "the cut-off job ends by itself");
        QCOMPARE(family.PowerCuts(), 1);
        if (*cut.reason == JobEndReason::Success) {
            // Said only of a unit that holds the image and is in use again.
            QString why;
            QVERIFY2(FlashHolds(family, dev_id, images[target], &why), qPrintable(why));
            QVERIFY(WaitUntil([&] { return AllInApplication(family); }, 5000));
        }

        // The operator upgrades again once the unit is back on USB, with no other step.
        QVERIFY(WaitUntil([&] { return family.IsPlugged(); }, 10000));
        const Ended again = Upgrade(server, target);
        QVERIFY2(!again.refusal, again.refusal ? qPrintable(again.refusal->en) : "");
        QVERIFY2(again.reason == JobEndReason::Success, JobEndName(again.reason.value_or(JobEndReason::Stopped)));
        QString why;
        QVERIFY2(FlashHolds(family, dev_id, images[target], &why), qPrintable(why));
        QVERIFY2(WaitUntil([&] { return AllInApplication(family); }, 5000), "every device back in its application");
    }

    // A job cut off leaves devices in their bootloaders that a job for another target would not
    // take back: that job is refused before it touches the unit, naming the target to upgrade
    // first, and never reports the unit ready while they wait there.
    void otherTargetAfterACut_data()
    {
        QTest::addColumn<QString>("cut");     // the target whose job is cut off
        QTest::addColumn<int>("device");
        QTest::addColumn<int>("command");
        QTest::addColumn<int>("nth");
        QTest::addColumn<QString>("next");    // the target launched after the cut
        QTest::addColumn<QStringList>("left");  // the devices left, as the refusal names them
        QTest::addColumn<QString>("first");   // the target it says to upgrade first
        QTest::newRow("Pedals cut at its flash, then Meter")
            << "Pedals" << 5 << int(Cmd::Flash) << 1 << "Meter" << QStringList{"Motor", "Pedals"} << "Pedals";
        QTest::newRow("Pedals cut late in its transfer, then Meter")
            << "Pedals" << 5 << int(Cmd::SectionData) << 100 << "Meter" << QStringList{"Motor", "Pedals"} << "Pedals";
        QTest::newRow("Meter cut at its flash, then Motor")
            << "Meter" << 4 << int(Cmd::Flash) << 1 << "Motor" << QStringList{"Meter"} << "Meter";
    }

    void otherTargetAfterACut()
    {
        QFETCH(QString, cut);
        QFETCH(int, device);
        QFETCH(int, command);
        QFETCH(int, nth);
        QFETCH(QString, next);
        QFETCH(QStringList, left);
        QFETCH(QString, first);
        SimFamily family(CutAt(device, command, nth));
        UpgradeServer server;

        const Ended cutoff = Upgrade(server, cut);
        QVERIFY(cutoff.reason.has_value() && *cutoff.reason != JobEndReason::Success);
        QVERIFY(WaitUntil([&] { return family.IsPlugged() && family.IsResponsive(DeviceId::Base); }, 10000));

        // Refused with nothing but questions asked of the unit.
        family.ClearRecords();
        const Ended refused = Upgrade(server, next);
        QVERIFY2(refused.refusal, "the unit is not ready for another target");
        QVERIFY(refused.refusal->kind == LaunchRefusal::Kind::UnitNotReady);
        const QString names = left.size() == 1 ? left.first() : left.join(" and ");
        QCOMPARE(refused.refusal->en, QStringLiteral("%1 %2: an earlier upgrade did not finish. Upgrade %3 first!")
                                          .arg(names, left.size() == 1 ? "is in its bootloader" : "are in their bootloaders", first));
        QCOMPARE(refused.refusal->zh, QString::fromUtf8("\"%1\"处于Bootloader中，上次升级未完成，请先升级\"%2\"!")
                                          .arg(left.join(QString::fromUtf8("\"、\"")), first));
        for (int id : family.DeviceIds()) {
            for (const SimRequest &request : family.Requests(id)) {
                const int c = request.frame.command;
                QVERIFY2(c == Cmd::QueryMode || c == Cmd::ReadHwVersion || c == Cmd::QueryAppVersion ||
                             c == Cmd::DisplayPowerOn,
                         qPrintable(QStringLiteral("device %1 heard command 0x%2").arg(id).arg(c, 0, 16)));
            }
        }

        // The target named first takes the unit back; then the other target's job runs.
        const Ended recovered = Upgrade(server, first);
        QVERIFY2(recovered.reason == JobEndReason::Success, JobEndName(recovered.reason.value_or(JobEndReason::Stopped)));
        const Ended done = Upgrade(server, next);
        QVERIFY2(!done.refusal, done.refusal ? qPrintable(done.refusal->en) : "");
        QVERIFY2(done.reason == JobEndReason::Success, JobEndName(done.reason.value_or(JobEndReason::Stopped)));
        QVERIFY2(WaitUntil([&] { return AllInApplication(family); }, 5000), "every device back in its application");
    }
};

QTEST_MAIN(TestRecovery)
#include "tst_recovery.moc"
