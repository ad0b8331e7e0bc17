// The upgrade sequence's failures: every way a device or the link can fail a job and what it
// ends as, and a transfer cut off.
#include "sequence_suite.h"

#include <QtTest>

class TestSequenceFailures : public SequenceSuite {
    Q_OBJECT

private slots:
    void failures_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<int>("dev_id");
        QTest::addColumn<QString>("error");
        QTest::addColumn<JobEndReason>("reason");
        const JobEndReason failed = JobEndReason::DeviceFailed;
        const JobEndReason silent = JobEndReason::DeviceSilent;
        QTest::newRow("header echo with another address") << "echo address" << 2 << "Recv different addr/len\n" << failed;
        QTest::newRow("base stays in its application") << "base stays" << 1 << "Main go boot failed!\n" << failed;
        QTest::newRow("target stays in its application") << "target stays in app" << 1 << "Target go boot failed\n"
                                                         << failed;
        QTest::newRow("final pass unanswered") << "verify silent" << 2 << "Second verify failed\n" << failed;
        QTest::newRow("target stays in its bootloader") << "target stays in boot" << 1 << "Target go app failed\n"
                                                        << failed;
        QTest::newRow("target silent after the flag") << "silent after flag" << 1
                                                      << "Target connect lost after upgrade.\n" << silent;
        QTest::newRow("five handshake time-outs") << "silent" << 2 << "Timeout reach max count\n" << silent;
        QTest::newRow("base never comes back") << "no re-enumeration" << 1 << "USB connection lost!\n"
                                               << JobEndReason::LinkLost;
        QTest::newRow("motor's switch to its bootloader lost") << "motor switch lost" << 3
                                                               << "The device stopped answering\n" << silent;
        QTest::newRow("target silent in the middle of the transfer") << "silent mid-transfer" << 1
                                                                     << "The device stopped answering\n" << silent;
        // The image is flashed and the target runs it, but the unit is not usable: no success.
        QTest::newRow("base stays in its bootloader at the end") << "base stays in boot" << 1 << "Main go app failed\n"
                                                                 << failed;
        // Loops that a device could keep going for ever end by themselves at their bound.
        QTest::newRow("flash busy without end") << "busy forever" << 1 << "Section 0x8000000 was not flashed within"
                                                << failed;
        QTest::newRow("announcements answered with something else") << "header answered otherwise" << 1
                                                                   << "Section 0x8000000 was announced for" << failed;
        QTest::newRow("every data frame lost") << "all data lost" << 1
                                               << "Section 0x8000000: the device lost its data at 0 again and again"
                                               << failed;
    }

    void failures()
    {
        QFETCH(QString, fault);
        QFETCH(int, dev_id);
        QFETCH(QString, error);
        QFETCH(JobEndReason, reason);
        SimFamily family(FastFamily());
        SimFaults faults;
        std::atomic<bool> flag_seen{false};
        std::atomic<int> flashed{0};
        if (fault == "echo address") {
            faults.tamper_reply = [](int, Frame &reply) {
                if (reply.command == Cmd::SectionHeader)
                    reply.payload[3] ^= 0x01;
            };
        } else if (fault == "base stays") {
            faults.stay_in_app = {2};
        } else if (fault == "target stays in app") {
            faults.stay_in_app = {dev_id};
        } else if (fault == "verify silent") {
            // Every reply to Verify after the first pass's two per section is lost.
            faults.drop_reply_if = [&](int, const Frame &reply) {
                return reply.command == Cmd::Verify && ++flashed > 2 * 3;
            };
        } else if (fault == "target stays in boot") {
            faults.stay_in_boot = {dev_id};
        } else if (fault == "silent after flag") {
            faults.drop_request_if = [&](int id, const Frame &request) {
                if (id == dev_id && request.command == Cmd::SwitchMode && request.payload[0] == SwitchTo::App)
                    flag_seen = true;
                return false;
            };
            faults.drop_reply_if = [&](int id, const Frame &) { return id == dev_id && flag_seen; };
        } else if (fault == "silent") {
            faults.silent = {dev_id};
        } else if (fault == "base stays in boot") {
            faults.stay_in_boot = {2};
        } else if (fault == "busy forever") {
            faults.flash_busy_ms[dev_id] = 600000;
        } else if (fault == "header answered otherwise") {
            faults.tamper_reply = [](int id, Frame &reply) {
                if (id == 1 && reply.command == Cmd::SectionHeader)
                    reply.command = Cmd::Flash;
            };
        } else if (fault == "all data lost") {
            faults.drop_data_frame = 1.0;
        } else if (fault == "no re-enumeration") {
            faults.never_reenumerate = true;
        } else if (fault == "motor switch lost") {
            // The motor never hears it: it keeps its application and refuses every section.
            faults.drop_request_if = [](int id, const Frame &request) {
                return id == 3 && request.command == Cmd::SwitchMode;
            };
        } else if (fault == "silent mid-transfer") {
            std::atomic<int> *data_frames = &flashed;
            faults.drop_reply_if = [data_frames](int id, const Frame &) { return id == 1 && *data_frames > 40; };
            faults.drop_request_if = [data_frames](int id, const Frame &request) {
                if (id == 1 && request.command == Cmd::SectionData)
                    ++*data_frames;
                return false;
            };
        }
        family.SetFaults(faults);
        DebugCapture debug;
        const Outcome outcome = Run(dev_id, ForDevice(dev_id));
        QVERIFY(outcome.finished);
        QVERIFY(!outcome.result);
        QVERIFY2(outcome.error.startsWith(error), qPrintable(outcome.error));
        QVERIFY2(outcome.reason == reason, JobEndName(outcome.reason.value_or(JobEndReason::Success)));
        QCOMPARE(outcome.events.mid(outcome.events.size() - 4),
                 (QStringList{"upgrade false 100", "error " + outcome.error, "result false", "finished"}));
        if (fault == "verify silent")
            QVERIFY(debug.Contains(QString::fromUtf8("---校验失败或超时，需要重新升级")));
        if (fault == "no re-enumeration")
            QVERIFY(debug.Contains(QString::fromUtf8("USB断开!")));
        // Whatever failed, the upgrade flag was sent only after a complete final pass.
        if (fault != "target stays in boot" && fault != "silent after flag" && fault != "base stays in boot") {
            for (const SimRequest &request : family.Requests(dev_id))
                QVERIFY(!(request.frame.command == Cmd::SwitchMode && request.frame.payload[0] == SwitchTo::App));
        }
        // Whatever failed behind the base, the base went back to its application.
        if (dev_id != 2 && dev_id != 3 && fault != "base stays in boot" && fault != "no re-enumeration")
            QVERIFY2(WaitUntil([&] { return family.Mode(2) == SimMode::App && family.IsResponsive(2); }, 5000),
                     "the base back in its application");
        // The motor left in its application refuses the section headers; nothing else is refused.
        const QStringList refused = family.Rejections();
        if (fault == "motor switch lost")
            QVERIFY(!refused.isEmpty() && refused.filter("unknown command 0x14 in app mode").size() == refused.size());
        else
            QVERIFY2(refused.isEmpty(), qPrintable(refused.join('\n')));
    }

    // The link or the operator ends a job in the middle of its transfer: promptly, and failed.
    void interruptedTransfer_data()
    {
        QTest::addColumn<bool>("unplug");
        QTest::addColumn<bool>("over_pty");
        QTest::newRow("unplugged") << true << false;
        // The job learns of the unplug from the serial driver's read error on the terminal.
        QTest::newRow("unplugged, over a pseudo-terminal") << true << true;
        QTest::newRow("stopped by the operator") << false << false;
    }

    void interruptedTransfer()
    {
        QFETCH(bool, unplug);
        QFETCH(bool, over_pty);
        SimFamily family(over_pty ? OnPty(FastFamily()) : FastFamily());
        DebugCapture debug;
        const Firmware firmware = MakeFirmware("long.bin", 0x08000000, 8, 4096, true, 9);
        const Outcome outcome = Run(1, firmware, false, false, [&](UpgradeServer &server) {
            QVERIFY(WaitUntil([&] { return CountRequests(family, 1, Cmd::SectionData) >= 40; }, 20000));
            if (unplug)
                family.Unplug();
            else
                server.Stop();
        }, 5000);
        QVERIFY2(outcome.finished, "the job ends within moments");
        QVERIFY(!outcome.result);
        QVERIFY(outcome.reason == (unplug ? JobEndReason::LinkLost : JobEndReason::Stopped));
        // A stopped unit is usable: its base went back to its application (it may still be
        // starting there when the job has ended on a loaded machine).
        if (!unplug) {
            QVERIFY2(WaitUntil([&] { return family.Mode(2) == SimMode::App && family.IsResponsive(2); }, 5000),
                     "the base back in its application");
            // The stop came between two passes of the stream, mostly inside a frame: that frame
            // was finished, or the base's parser would have swallowed the return request.
            QCOMPARE(family.BrokenFrames(), 0);
        }
        if (unplug) {
            QVERIFY(debug.Contains(QString::fromUtf8("USB断开!")));
            QCOMPARE(outcome.error, QStringLiteral("USB connection lost!\n"));
        } else {
            QVERIFY(outcome.error.isEmpty());
            QCOMPARE(outcome.events.mid(outcome.events.size() - 3),
                     (QStringList{"upgrade false 100", "result false", "finished"}));
        }
    }
};

QTEST_GUILESS_MAIN(TestSequenceFailures)
#include "tst_sequence_failures.moc"
