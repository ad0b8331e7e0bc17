// The unit after a job: the motor and the base confirmed back in their applications, a base found
// in its bootloader or slow to come back, and the unit followed by its location through restarts.
#include "sequence_suite.h"

#include <QtTest>

class TestUnitReturn : public SequenceSuite {
    Q_OBJECT

private slots:
    // A device-5 job sends the motor off the bus; the job counts as a success only once the
    // motor answers from its application again, whatever was lost on the way.
    void motorConfirmedBack_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<bool>("success");
        QTest::newRow("its return request lost") << "request lost" << true;
        QTest::newRow("its mode replies lost") << "replies lost" << true;
        QTest::newRow("it stays in its bootloader") << "stays in boot" << false;
        // A steering wheel's base has no motor: nothing to send away, nothing to wait for.
        QTest::newRow("a unit without a motor") << "no motor" << true;
    }

    void motorConfirmedBack()
    {
        QFETCH(QString, fault);
        QFETCH(bool, success);
        SimFamilyOptions options = FastFamily();
        if (fault == "no motor") {
            for (int i = options.devices.size() - 1; i >= 0; --i) {
                if (options.devices[i].id == 3)
                    options.devices.removeAt(i);
            }
        }
        SimFamily family(options);
        SimFaults faults;
        std::atomic<int> returns{0};
        std::atomic<int> lost_replies{0};
        auto is_return = [](int id, const Frame &request) {
            return id == 3 && request.command == Cmd::SwitchMode && request.payload[0] == SwitchTo::App;
        };
        if (fault == "request lost") {
            faults.drop_request_if = [&](int id, const Frame &request) { return is_return(id, request) && returns++ == 0; };
        } else if (fault == "replies lost") {
            faults.drop_request_if = [&](int id, const Frame &request) {
                returns += is_return(id, request);
                return false;
            };
            // The motor's answers after its return are lost, three times.
            faults.drop_reply_if = [&](int id, const Frame &reply) {
                return id == 3 && reply.command == Cmd::QueryMode && returns > 0 && lost_replies++ < 3;
            };
        } else if (fault == "stays in boot") {
            faults.stay_in_boot = {3};
        }
        family.SetFaults(faults);
        const Firmware firmware = ForDevice(5);
        const Outcome outcome = Run(5, firmware, true);
        if (success) {
            VerifySuccess(family, 5, firmware, outcome);
        } else {
            QVERIFY(outcome.finished);
            QVERIFY(!outcome.result);
            QCOMPARE(outcome.error, QStringLiteral("Motor go app failed\n"));
            QVERIFY(outcome.reason == JobEndReason::DeviceFailed);
            QVERIFY2(WaitUntil([&] { return family.Mode(2) == SimMode::App && family.IsResponsive(2); }, 5000),
                     "the base back in its application");
        }
    }

    // A motor job's success means the motor restarted into its application: its upgrade flag is
    // confirmed like any return, and sent again when it was lost.
    void motorTargetConfirmedBack_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::newRow("its upgrade flag lost") << "flag lost";
        QTest::newRow("it stays in its bootloader") << "stays in boot";
    }

    void motorTargetConfirmedBack()
    {
        QFETCH(QString, fault);
        SimFamily family(FastFamily());
        SimFaults faults;
        std::shared_ptr<std::atomic<int>> flags = std::make_shared<std::atomic<int>>(0);
        if (fault == "flag lost") {
            faults.drop_request_if = [flags](int id, const Frame &request) {
                return id == 3 && request.command == Cmd::SwitchMode && request.payload[0] == SwitchTo::App &&
                       (*flags)++ == 0;
            };
        } else {
            faults.stay_in_boot = {3};  // into its bootloader as asked, and never out again
        }
        family.SetFaults(faults);
        const Firmware firmware = ForDevice(3);
        const Outcome outcome = Run(3, firmware, true);
        if (fault == "flag lost") {
            VerifySuccess(family, 3, firmware, outcome);
        } else {
            QVERIFY(outcome.finished);
            QVERIFY(!outcome.result);
            QCOMPARE(outcome.error, QStringLiteral("Motor go app failed\n"));
            QVERIFY(outcome.reason == JobEndReason::DeviceFailed);
        }
    }

    // A unit an earlier job left with its base in the bootloader (cut off in the middle): the
    // next job takes it from there and leaves it in its application.
    // A device-5 job cut off after it had sent the motor away leaves the motor there too.
    void baseFoundInItsBootloaderGoesBack_data()
    {
        QTest::addColumn<int>("dev_id");
        QTest::addColumn<bool>("motor_in_boot");
        QTest::newRow("device 1") << 1 << false;
        QTest::newRow("device 5, the motor in its bootloader too") << 5 << true;
    }

    void baseFoundInItsBootloaderGoesBack()
    {
        QFETCH(int, dev_id);
        QFETCH(bool, motor_in_boot);
        SimFamilyOptions options = FastFamily();
        for (SimDeviceSpec &device : options.devices) {
            if (device.id == 2 || (device.id == 3 && motor_in_boot))
                device.mode = SimMode::Boot;
        }
        SimFamily family(options);
        QCOMPARE(family.Mode(2), SimMode::Boot);
        const Firmware firmware = ForDevice(dev_id);
        const Outcome outcome = Run(dev_id, firmware, motor_in_boot);
        VerifySuccess(family, dev_id, firmware, outcome);
        QCOMPARE(family.Reenumerations(), 1);  // only back to its application
    }

    // A base asked to restart leaves USB when it is ready and comes back when it has started: a
    // job must neither open its old port just before it vanishes nor give up on a port that is
    // not back yet, as long as the restart stays within its bound.
    void slowBaseRestart_data()
    {
        QTest::addColumn<int>("dev_id");
        QTest::addColumn<int>("detach_ms");
        QTest::addColumn<int>("reenumerate_ms");
        // The scaled waits let go of the port after 50 ms and open it again 200 ms later.
        QTest::newRow("base job, leaves late") << 2 << 400 << 80;
        QTest::newRow("behind the base, leaves late") << 1 << 400 << 80;
        QTest::newRow("base job, back late") << 2 << 10 << 700;
        QTest::newRow("behind the base, back late") << 1 << 10 << 700;
    }

    void slowBaseRestart()
    {
        QFETCH(int, dev_id);
        QFETCH(int, detach_ms);
        QFETCH(int, reenumerate_ms);
        SimFamilyOptions options = FastFamily();
        options.timings.base_detach_ms = detach_ms;
        options.timings.base_reenumerate_ms = reenumerate_ms;
        SimFamily family(options);
        const Firmware firmware = ForDevice(dev_id);
        const Outcome outcome = Run(dev_id, firmware);
        VerifySuccess(family, dev_id, firmware, outcome);
        QCOMPARE(family.Reenumerations(), 2);  // into its bootloader and back
    }

    // Two units of one model on a hub: a job given its base's USB location follows that base
    // through its restart under a new tty name, while the other base, plugged in meanwhile, is
    // the newest port with the same product id.
    void reconnectFollowsTheLocation()
    {
        SimFamilyOptions ours = FastFamily();
        ours.location = "1-1.1";
        SimFamilyOptions other = FastFamily();
        other.location = "1-1.2";
        SimFamily first(ours);
        SimFamily second(other);
        const Firmware firmware = ForDevice(1);
        const Outcome outcome = Run(1, firmware, false, false, [&](UpgradeServer &) {
            QVERIFY(WaitUntil([&] { return !first.IsPlugged(); }, 20000));
            second.Unplug();
            second.Plug();
        }, 60000, UnitKey::AtLocation(ours.location));
        VerifySuccess(first, 1, firmware, outcome);
        QCOMPARE(first.Reenumerations(), 2);  // into its bootloader and back
        for (int id : second.DeviceIds())
            QVERIFY2(second.Requests(id).isEmpty(), qPrintable(QStringLiteral("device %1 of the other unit").arg(id)));
    }
};

QTEST_GUILESS_MAIN(TestUnitReturn)
#include "tst_unit_return.moc"
