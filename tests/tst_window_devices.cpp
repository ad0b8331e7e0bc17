// The window's view of the attached devices: buttons enabled and coloured by the status poll,
// versions on hover, the manual switch of the base, and the poll keeping off a job's port.
#include "family_suite.h"
#include "fast_family.h"
#include "main_window.h"
#include "my_pushbtn.h"
#include "sample_firmware.h"
#include "sim_family.h"
#include "sim_port_catalog.h"
#include "sim_protocol.h"
#include "test_workspace.h"
#include "wait_until.h"
#include "waits.h"
#include "window_access.h"

#include <QLabel>
#include <QtTest>

#include <atomic>
#include <memory>
#include <vector>

Q_DECLARE_METATYPE(SimMode)

namespace {

constexpr int kPollMs = 1500;
constexpr int kTwoPollsMs = 2 * kPollMs + 500;  // two poll periods and the polls' own exchanges
constexpr int kJobMs = 30000;

// Buttons in the window's target order.
const char *const kButtons[] = {"btn_start_main", "btn_start_motor", "btn_start_display", "btn_start_steer",
                                "btn_start_pedals"};

// Base on either family's product id, Pedals on one that no simulated family uses.
const QByteArray kConfig = R"({"is_english": true, "firmware": {
    "Base": {"dev_id": 2, "USB_PID": [4, 5], "series": []},
    "Motor": {"dev_id": 3, "USB_PID": [4], "series": [{"boot_ver": "1.0.0", "hw_ver": "MOTOR-HW-A",
              "section_len": 1024, "path": "fw/motor.bin", "description": "motor A"}]},
    "Meter": {"dev_id": 4, "USB_PID": [4], "series": []},
    "Steering": {"dev_id": 5, "USB_PID": [4], "series": []},
    "Pedals": {"dev_id": 1, "USB_PID": [9], "series": []}}})";

SimDeviceSpec &DeviceOf(SimFamilyOptions &options, int id)
{
    for (SimDeviceSpec &device : options.devices) {
        if (device.id == id)
            return device;
    }
    qFatal("no device %d", id);
}

// The motor's image, written where the configuration expects it.
QList<ImageSegment> WriteMotorImage()
{
    const QList<ImageSegment> segments{{0x00010000, SampleFirmware(3 * 1024, 3)}};
    ImageRecipe recipe;
    recipe.section_size = 1024;
    recipe.raw = true;
    QDir().mkpath("fw");
    const QString error = WriteSampleImage(QDir::current().absoluteFilePath("fw/motor.bin"), segments, recipe);
    if (!error.isEmpty())
        qFatal("%s", qPrintable(error));
    return segments;
}

// "green", "red" or "off" (disabled, no colour, no tool tip), or what else the button shows.
QString Look(MyPushbtn *button)
{
    if (!button->isEnabled())
        return button->styleSheet().isEmpty() && button->toolTip().isEmpty() ? "off" : "disabled but marked";
    if (button->styleSheet() == kAppStyle)
        return "green";
    if (button->styleSheet() == kBootStyle)
        return "red";
    return "enabled, style " + button->styleSheet();
}

// The status poll, called directly instead of by its 1.5 s timer (stopped first), until pred
// holds: a device that restarts needs a few polls before it answers again.
bool PollUntil(MainWindow &w, const std::function<bool()> &pred, int timeout_ms = 10000)
{
    w.upgrade_server.StopPolling();
    QElapsedTimer clock;
    clock.start();
    do {
        w.upgrade_server.GetControlerState();
        if (pred())
            return true;
    } while (clock.elapsed() < timeout_ms);
    return false;
}

QStringList Looks(MainWindow &w)
{
    QStringList looks;
    for (const char *name : kButtons)
        looks << Look(Get<MyPushbtn>(w, name));
    return looks;
}

}  // namespace

class TestWindowDevices : public SimulatedFamilySuite {
    Q_OBJECT

public:
    TestWindowDevices() : SimulatedFamilySuite(kTestWaitScale) {}

private slots:
    // Each button starts enabled, styled and with a tool tip, so that every report must be
    // applied, not just left in place. QueryMode tries per poll for devices 2, 3, 4 and 5.
    void buttonsFollowTheDevices_data()
    {
        QTest::addColumn<bool>("attached");
        QTest::addColumn<QList<int>>("in_boot");
        QTest::addColumn<QList<int>>("silent");
        QTest::addColumn<QStringList>("looks");  // main, motor, display, steer, pedals
        QTest::addColumn<QList<int>>("tries");

        QTest::newRow("all in their applications")
            << true << QList<int>{} << QList<int>{} << QStringList{"green", "green", "green", "green", "off"}
            << QList<int>{1, 1, 1, 1};
        QTest::newRow("motor and steering in their bootloaders")
            << true << QList<int>{3, 5} << QList<int>{} << QStringList{"green", "red", "green", "red", "off"}
            << QList<int>{1, 1, 1, 1};
        QTest::newRow("silent meter and base")
            << true << QList<int>{} << QList<int>{2, 4} << QStringList{"off", "green", "off", "green", "off"}
            << QList<int>{1, 1, 3, 1};
        QTest::newRow("silent steering") << true << QList<int>{} << QList<int>{5}
                                         << QStringList{"green", "green", "green", "off", "off"}
                                         << QList<int>{1, 1, 1, 3};
        QTest::newRow("nothing attached") << false << QList<int>{} << QList<int>{}
                                          << QStringList{"off", "off", "off", "off", "off"} << QList<int>{0, 0, 0, 0};
    }

    void buttonsFollowTheDevices()
    {
        QFETCH(bool, attached);
        QFETCH(QList<int>, in_boot);
        QFETCH(QList<int>, silent);
        QFETCH(QStringList, looks);
        QFETCH(QList<int>, tries);

        SimFamilyOptions options = FastFamily();
        for (int id : in_boot)
            DeviceOf(options, id).mode = SimMode::Boot;
        for (int id : silent)
            options.faults.silent.insert(id);
        std::unique_ptr<SimFamily> family;
        if (attached)
            family = std::make_unique<SimFamily>(options);

        TestWorkspace workspace(kConfig);
        MainWindow w;
        int polls = 0;
        connect(&w.upgrade_server, &UpgradeServer::PushTargetStatus, this, [&](const TargetStatusList &statuses) {
            polls += !statuses.isEmpty() && statuses.first().mode_asked;
        });
        for (MyPushbtn *button : qAsConst(w.target_buttons)) {
            button->setEnabled(true);
            button->setStyleSheet("stale");
            button->setToolTip("stale");
        }
        // The poll's own 1.5 s timer brings the first report.
        QVERIFY2(WaitUntil([&] { return Looks(w) == looks; }, kTwoPollsMs), qPrintable(Looks(w).join(", ")));

        // From here on the poll is called directly, so every request can be counted: each poll
        // asks each device as often as its target's tries say, and changes nothing. The motor's
        // answer to a query behind the polls shows that the family has read everything before it.
        w.upgrade_server.StopPolling();
        auto caught_up = [&] {
            QString hw;
            w.upgrade_server.Probe().QueryHwVersion(FastFamily().product_id, 3, hw);
            return !hw.isEmpty();
        };
        const int ids[] = {2, 3, 4, 5};
        int before[4] = {};
        if (family) {
            QVERIFY(caught_up());
            for (int i = 0; i < 4; ++i)
                before[i] = CountRequests(*family, ids[i], SimProtocol::QueryMode);
        }
        constexpr int kPolls = 2;
        for (int i = 0; i < kPolls; ++i) {
            w.upgrade_server.GetControlerState();
            QCOMPARE(Looks(w), looks);
        }
        if (family) {
            QVERIFY(caught_up());
            for (int i = 0; i < 4; ++i)
                QCOMPARE(CountRequests(*family, ids[i], SimProtocol::QueryMode) - before[i], tries[i] * kPolls);
            QVERIFY2(family->Rejections().isEmpty(), qPrintable(family->Rejections().join('\n')));
        }
    }

    // A hover asks once; the next poll brings "APP: " with the version bytes 0, 1, 3, 2, then the
    // hardware text when the poll's two chunks hold all of it.
    void hoverShowsVersions_data()
    {
        QTest::addColumn<QString>("button");
        QTest::addColumn<int>("id");
        QTest::addColumn<QByteArray>("hw");  // empty: the family's own
        QTest::addColumn<QString>("tip");

        QTest::newRow("base, chunked text") << "btn_start_main" << 2 << QByteArray()
                                            << "APP: 2.1.7.0\nBASE-HW-A-REV-0003";
        QTest::newRow("motor, one 24-byte text") << "btn_start_motor" << 3 << QByteArray() << "APP: 3.0.0.1\nMOTOR-HW-A";
        QTest::newRow("meter") << "btn_start_display" << 4 << QByteArray() << "APP: 1.1.5.0\nMETER-HW-A";
        QTest::newRow("31 characters still shown")
            << "btn_start_steer" << 5 << QByteArray("STEER-HW-0123456789-ABCDEFGHIJK")
            << "APP: 5.2.1.0\nSTEER-HW-0123456789-ABCDEFGHIJK";
        QTest::newRow("32 characters: version only")
            << "btn_start_steer" << 5 << QByteArray("STEER-HW-0123456789-ABCDEFGHIJKL") << "APP: 5.2.1.0";
        QTest::newRow("absent device, no tool tip") << "btn_start_pedals" << 1 << QByteArray() << "";
    }

    void hoverShowsVersions()
    {
        QFETCH(QString, button);
        QFETCH(int, id);
        QFETCH(QByteArray, hw);
        QFETCH(QString, tip);

        SimFamilyOptions options = FastFamily();
        if (!hw.isEmpty())
            DeviceOf(options, id).hw_version = hw;
        SimFamily family(options);
        TestWorkspace workspace(kConfig);
        MainWindow w;
        QList<TargetStatusList> reports;
        connect(&w.upgrade_server, &UpgradeServer::PushTargetStatus, this,
                [&](const TargetStatusList &statuses) { reports.append(statuses); });
        w.upgrade_server.StopPolling();
        auto *target = Get<MyPushbtn>(w, qPrintable(button));
        for (int i = 0; i < 3; ++i)
            Hover(w, qPrintable(button));
        // The targets whose details a report holds.
        auto detailed = [](const TargetStatusList &statuses) {
            QStringList names;
            for (const TargetStatus &status : statuses) {
                if (status.details_asked)
                    names << status.name;
            }
            return names;
        };

        w.upgrade_server.GetControlerState();
        QCOMPARE(reports.size(), 1);
        QCOMPARE(detailed(reports[0]), tip.isEmpty() ? QStringList() : QStringList{target->target_name});
        QCOMPARE(target->toolTip(), tip);
        for (const char *other : kButtons) {
            if (other != button)
                QCOMPARE(Get(w, other)->toolTip(), QString());
        }

        // Served once: the following poll asks for no details.
        w.upgrade_server.GetControlerState();
        QCOMPARE(reports.size(), 2);
        QCOMPARE(detailed(reports[1]), QStringList());
        QCOMPARE(target->toolTip(), tip);
        int details = 0;
        for (int device : family.DeviceIds())
            details += CountRequests(family, device, SimProtocol::QueryAppVersion);
        QCOMPARE(details, tip.isEmpty() ? 0 : 1);
        QCOMPARE(CountRequests(family, id, SimProtocol::QueryAppVersion), details);
        QVERIFY2(family.Rejections().isEmpty(), qPrintable(family.Rejections().join('\n')));
    }

    void unpluggedDeviceLosesItsToolTip()
    {
        SimFamily family(FastFamily());
        TestWorkspace workspace(kConfig);
        MainWindow w;
        auto *motor = Get<MyPushbtn>(w, "btn_start_motor");
        Hover(w, "btn_start_motor");
        QVERIFY(PollUntil(w, [&] { return motor->toolTip() == "APP: 3.0.0.1\nMOTOR-HW-A"; }));

        family.Unplug();
        w.upgrade_server.GetControlerState();
        QCOMPARE(Looks(w), (QStringList{"off", "off", "off", "off", "off"}));
    }

    // One attached base follows the button; with two attached neither is touched.
    void manualSwitch_data()
    {
        QTest::addColumn<QString>("button");
        QTest::addColumn<int>("families");
        QTest::addColumn<bool>("base_in_boot");
        QTest::addColumn<QList<SimMode>>("history");
        QTest::addColumn<QString>("look");  // of btn_start_main after the next polls

        QTest::newRow("go boot, one base") << "btn_main_go_boot" << 1 << false
                                           << QList<SimMode>{SimMode::App, SimMode::Boot} << "red";
        QTest::newRow("go app, one base") << "btn_main_go_app" << 1 << true
                                          << QList<SimMode>{SimMode::Boot, SimMode::App} << "green";
        QTest::newRow("go boot, two bases") << "btn_main_go_boot" << 2 << false << QList<SimMode>{SimMode::App}
                                            << "green";
        QTest::newRow("go app, two bases") << "btn_main_go_app" << 2 << true << QList<SimMode>{SimMode::Boot}
                                           << "red";
    }

    void manualSwitch()
    {
        QFETCH(QString, button);
        QFETCH(int, families);
        QFETCH(bool, base_in_boot);
        QFETCH(QList<SimMode>, history);
        QFETCH(QString, look);

        std::vector<std::unique_ptr<SimFamily>> bases;
        for (int i = 0; i < families; ++i) {
            SimFamilyOptions options = FastFamily(quint16(4 + i));
            DeviceOf(options, 2).mode = base_in_boot ? SimMode::Boot : SimMode::App;
            bases.push_back(std::make_unique<SimFamily>(options));
        }
        TestWorkspace workspace(kConfig);
        MainWindow w;
        auto *main = Get<MyPushbtn>(w, "btn_start_main");
        QVERIFY(PollUntil(w, [&] { return main->isEnabled(); }));

        std::vector<int> queries_before;
        for (const auto &base : bases)
            queries_before.push_back(CountRequests(*base, 2, SimProtocol::QueryMode));
        QTest::mouseClick(Get<QPushButton>(w, qPrintable(button)), Qt::LeftButton);
        QVERIFY(w.upgrade_server.IsPolling());  // the switch leaves the poll running

        // A poll after the press has reached every base, behind anything the press sent.
        QVERIFY(PollUntil(w, [&] {
            for (size_t i = 0; i < bases.size(); ++i) {
                if (CountRequests(*bases[i], 2, SimProtocol::QueryMode) <= queries_before[i])
                    return false;
            }
            return Look(main) == look;
        }));
        for (const auto &base : bases) {
            QCOMPARE(base->ModeHistory(2), history);
            QCOMPARE(CountRequests(*base, 2, SimProtocol::SwitchMode), families == 1 ? 1 : 0);
            QVERIFY2(base->Rejections().isEmpty(), qPrintable(base->Rejections().join('\n')));
        }
    }

    // The motor's job never asks the base to switch: any SwitchMode the base hears is stray.
    void switchDuringAJobLeavesItAlone()
    {
        SimFamily family(FastFamily());
        TestWorkspace workspace(kConfig);
        const QList<ImageSegment> image = WriteMotorImage();
        MainWindow w;
        auto *motor = Get<MyPushbtn>(w, "btn_start_motor");
        QVERIFY(PollUntil(w, [&] { return motor->isEnabled(); }));

        QTest::mouseClick(motor, Qt::LeftButton);
        QVERIFY(w.upgrade_server.LinkBusy());
        QVERIFY(WaitUntil([&] { return CountRequests(family, 3, SimProtocol::SectionData) > 0; }, kJobMs));
        QTest::mouseClick(Get<QPushButton>(w, "btn_main_go_boot"), Qt::LeftButton);
        QTest::mouseClick(Get<QPushButton>(w, "btn_main_go_app"), Qt::LeftButton);
        QVERIFY(w.upgrade_server.LinkBusy());  // still the motor's job

        auto *result = Get<QLabel>(w, "label_sucess_cnt");
        QVERIFY(WaitUntil([&] { return !result->text().isEmpty(); }, kJobMs));
        QCOMPARE(result->text(), QString("Update success: 1"));
        QString why;
        QVERIFY2(FlashHolds(family, 3, image, &why), qPrintable(why));
        QCOMPARE(CountRequests(family, 2, SimProtocol::SwitchMode), 0);
        QCOMPARE(family.ModeHistory(2), QList<SimMode>{SimMode::App});
        QVERIFY2(family.Rejections().isEmpty(), qPrintable(family.Rejections().join('\n')));
    }

    // Polls come every 20 ms during a motor job and right up to the end of its thread, also after
    // Stop has released `upgrading`: none may report, and none may reach the other devices.
    void pollKeepsOffAJobsPort()
    {
        SimFamily family(FastFamily());
        TestWorkspace workspace(kConfig);
        WriteMotorImage();
        MainWindow w;
        UpgradeServer &engine = w.upgrade_server;
        int reports_while_running = 0;
        connect(&engine, &UpgradeServer::PushTargetStatus, this, [&](const TargetStatusList &) {
            reports_while_running += engine.isRunning();
        });
        auto others = [&] {
            return CountRequests(family, 2, SimProtocol::QueryMode) + CountRequests(family, 4, SimProtocol::QueryMode) +
                   CountRequests(family, 5, SimProtocol::QueryMode);
        };
        std::atomic<int> others_at_end{-1};
        connect(&engine, &QThread::finished, this, [&] { others_at_end = others(); }, Qt::DirectConnection);

        auto *motor = Get<MyPushbtn>(w, "btn_start_motor");
        motor->setEnabled(true);
        QTest::mouseClick(motor, Qt::LeftButton);
        QVERIFY(engine.isRunning());
        const int others_at_start = others();
        // The poll comes far more often than the window's: none may touch the job's port.
        QTimer often;
        connect(&often, &QTimer::timeout, &engine, &UpgradeServer::GetControlerState);
        often.start(20);

        QVERIFY(WaitUntil([&] { return CountRequests(family, 3, SimProtocol::SectionData) > 0; }, kJobMs));
        // A silent motor leaves the port quiet, so the job's last look for input lasts its full
        // time after Stop.
        SimFaults quiet;
        quiet.silent = {3};
        family.SetFaults(quiet);
        const int heard = family.Requests(3).size();
        QVERIFY(WaitUntil([&] { return family.Requests(3).size() > heard; }, kJobMs));

        QTest::mouseClick(Get<QPushButton>(w, "btn_stop"), Qt::LeftButton);
        QVERIFY(!engine.Upgrading());
        int polls_after_stop = 0;
        QVERIFY(WaitUntil([&] {
            if (!engine.isRunning())
                return true;
            engine.GetControlerState();
            ++polls_after_stop;
            return false;
        }, kJobMs));
        QVERIFY2(polls_after_stop > 0, "no poll fell between Stop and the end of the job");
        QCOMPARE(reports_while_running, 0);
        QCOMPARE(others_at_end.load(), others_at_start);
        // The result comes by a queued report the job sent before its thread ended.
        auto *result = Get<QLabel>(w, "label_sucess_cnt");
        QVERIFY2(WaitUntil([&] { return !result->text().isEmpty(); }, kJobMs), "no result shown");
        QCOMPARE(result->text(), QString("Update failed!"));

        // The port is free again: the polls report.
        family.SetFaults(SimFaults());
        QVERIFY(PollUntil(w, [&] { return motor->isEnabled(); }));
        QVERIFY(others() > others_at_start);
    }
};

QTEST_MAIN(TestWindowDevices)
#include "tst_window_devices.moc"
