// The upgrade sequence end to end against the simulated family: clean upgrades of every device,
// loss recovery, restarts after a digest mismatch, stops and the next job, the data frames' chunks.
#include "sequence_suite.h"

#include <QtTest>

class TestUpgradeSequence : public SequenceSuite {
    Q_OBJECT

private slots:
    void cleanUpgrade_data()
    {
        QTest::addColumn<int>("dev_id");
        QTest::addColumn<bool>("motor_to_boot");
        QTest::addColumn<bool>("display_swap_check");
        QTest::addColumn<bool>("over_pty");
        QTest::newRow("base, re-enumerating") << 2 << false << false << false;
        // The whole job once through a pseudo-terminal and the serial driver, as on a station: the
        // base's two re-enumerations under new tty names, reopened by QSerialPort.
        QTest::newRow("base, re-enumerating, over a pseudo-terminal") << 2 << false << false << true;
        QTest::newRow("motor, raw data") << 3 << false << false << false;
        QTest::newRow("device 1 behind the base") << 1 << false << false << false;
        QTest::newRow("display, powered by the base") << 4 << false << false << false;
        QTest::newRow("device 5") << 5 << false << false << false;
        QTest::newRow("device 5 with the motor's trip") << 5 << true << false << false;
        QTest::newRow("device 5 retargeted to the display") << 5 << false << true << false;
        // The motor sent off the bus comes back although the job's id was the display's then.
        QTest::newRow("device 5 retargeted, with the motor's trip") << 5 << true << true << false;
    }

    void cleanUpgrade()
    {
        QFETCH(int, dev_id);
        QFETCH(bool, motor_to_boot);
        QFETCH(bool, display_swap_check);
        QFETCH(bool, over_pty);
        SimFamilyOptions options = over_pty ? OnPty(FastFamily()) : FastFamily();
        if (display_swap_check) {
            // A display that answers as device 5 from its application and as device 4 from its
            // bootloader, in a set without the usual display.
            for (int i = options.devices.size() - 1; i >= 0; --i) {
                if (options.devices[i].id == 4 || options.devices[i].id == 5)
                    options.devices.removeAt(i);
            }
            options.devices.append({5, "KT47-P02-HW QX-LN R2", {4, 0, 0, 1}, SimMode::App, 4});
        }
        SimFamily family(options);
        DebugCapture debug;
        const Firmware firmware = ForDevice(dev_id);
        const Outcome outcome = Run(dev_id, firmware, motor_to_boot, display_swap_check);
        VerifySuccess(family, dev_id, firmware, outcome);
        QCOMPARE(outcome.upgrade, CleanUpgradeProgress(firmware.sections));
        QCOMPARE(outcome.verify, CleanVerifyProgress(firmware.sections));
        QCOMPARE(outcome.events.mid(outcome.events.size() - 2), (QStringList{"result true", "finished"}));

        switch (dev_id) {
        case 2:
            QCOMPARE(family.Reenumerations(), 2);  // into its bootloader, and back with its own flag
            QCOMPARE(family.ModeHistory(2), (QList<SimMode>{SimMode::App, SimMode::Boot, SimMode::App}));
            break;
        case 3:
            // Six-byte headers, and every byte of every section sent raw.
            for (const SimRequest &request : family.Requests(3)) {
                if (request.frame.command == Cmd::SectionHeader)
                    QCOMPARE(int(request.frame.length), 6);
            }
            QCOMPARE(family.Reenumerations(), 0);
            QCOMPARE(CountRequests(family, 2, Cmd::QueryMode), 0);  // the base is never asked
            break;
        case 4:
            QVERIFY(CountRequests(family, 2, Cmd::DisplayPowerOn) >= 1);
            QCOMPARE(family.Reenumerations(), 2);  // into the bootloader and back
            break;
        default:
            QCOMPARE(family.Reenumerations(), 2);
            break;
        }
        if (motor_to_boot) {
            QVERIFY(family.ModeHistory(3).contains(SimMode::Boot));
            QVERIFY(debug.Contains("---Let motor go back app"));
        } else if (dev_id != 3) {
            QCOMPARE(family.ModeHistory(3), QList<SimMode>{SimMode::App});
        }
        if (display_swap_check) {
            QVERIFY(debug.Contains("---Target turn to display"));
            // From the probe on, the job spoke to the bootloader as device 4; the target check
            // went back to device 5.
            QVERIFY(CountRequests(family, 5, Cmd::SectionData) > 0);
            for (const SimRequest &request : family.Requests(5)) {
                if (request.frame.command == Cmd::SectionData)
                    QCOMPARE(int(request.frame.address), 0x14);
            }
            QCOMPARE(int(family.Requests(5).last().frame.address), 0x15);
        }
    }

    void threeSectionsReport25_50_75()
    {
        SimFamily family(FastFamily());
        const Firmware firmware = MakeFirmware("three.bin", 0x08000000, 3);
        const Outcome outcome = Run(1, firmware);
        VerifySuccess(family, 1, firmware, outcome);
        QCOMPARE(outcome.upgrade.mid(2, 3), (QStringList{"true 25", "true 50", "true 75"}));
    }

    // Faults the transfer recovers from; the job still succeeds with the image in flash.
    void recovery_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QString>("trace");
        QTest::newRow("data frames lost at random") << "lost data" << "---Firmware frame loss, query index";
        QTest::newRow("index one short") << "short index" << "---Index resp err";
        QTest::newRow("buffer verify time-out") << "verify timeout"
                                                << "---Wait buffer verify status time_out, resend this section!";
        QTest::newRow("buffer digest mismatch") << "buffer digest" << "---Verify error";
        QTest::newRow("flash busy for two seconds") << "busy flash" << "---Wait flash status time_out, query result!!!";
        // The device's word that it finished comes out as "busy": asked to program again, it
        // would program the section twice and be busy when the next one is announced.
        QTest::newRow("the base's switch to its bootloader lost") << "base switch lost" << "---Main is still at app";
        QTest::newRow("busy status after the flash finished") << "late busy" << "---Flash verified sucess";
        QTest::newRow("one flash mismatch") << "flash x1" << "---Flash verify error, need reupgrade";
        QTest::newRow("three flash mismatches") << "flash x3" << "---Flash verify error, need reupgrade";
        QTest::newRow("header echo with another stored length") << "echo" << "---Receive addr and length";
        QTest::newRow("replies with bit 7 set") << "bit 7" << "---Flash verified sucess";
    }

    void recovery()
    {
        QFETCH(QString, fault);
        QFETCH(QString, trace);
        SimFamily family(FastFamily());
        SimFaults faults;
        std::atomic<int> buffer_verifies{0};
        if (fault == "lost data") {
            faults.drop_data_frame = 0.05;
        } else if (fault == "short index") {
            faults.short_index_replies = 1;
        } else if (fault == "verify timeout") {
            faults.drop_reply_if = [&](int, const Frame &reply) {
                return reply.command == Cmd::Verify && buffer_verifies++ == 0;
            };
        } else if (fault == "buffer digest") {
            faults.buffer_digest_errors = 1;
        } else if (fault == "busy flash") {
            faults.flash_busy_ms[1] = 2300;
        } else if (fault == "base switch lost") {
            std::shared_ptr<std::atomic<int>> switches = std::make_shared<std::atomic<int>>(0);
            faults.drop_request_if = [switches](int id, const Frame &request) {
                return id == 2 && request.command == Cmd::SwitchMode && request.payload[0] == SwitchTo::Boot &&
                       (*switches)++ == 0;
            };
        } else if (fault == "late busy") {
            std::shared_ptr<std::atomic<int>> completions = std::make_shared<std::atomic<int>>(0);
            faults.tamper_reply = [completions](int, Frame &reply) {
                // Every other "done": the one the device sends when it finishes, not the answer
                // to the host's later question.
                if (reply.command == Cmd::Flash && reply.payload[0] == FlashStatus::Done && (*completions)++ % 2 == 0)
                    reply.payload[0] = FlashStatus::Busy;
            };
        } else if (fault == "flash x1") {
            faults.flash_write_errors = 1;
        } else if (fault == "flash x3") {
            faults.flash_write_errors = 3;
        } else if (fault == "echo") {
            faults.tamper_reply = [](int, Frame &reply) {
                if (reply.command == Cmd::SectionHeader)
                    reply.payload[7] ^= 0x55;
            };
        } else if (fault == "bit 7") {
            faults.tamper_reply = [](int, Frame &reply) { reply.command |= 0x80; };
        }
        family.SetFaults(faults);
        DebugCapture debug;
        const Firmware firmware = MakeFirmware("recovery.bin", 0x08000000, 4, 4096, fault == "lost data", 7);
        const Outcome outcome = Run(1, firmware);
        VerifySuccess(family, 1, firmware, outcome);
        QVERIFY2(debug.Contains(trace), qPrintable(trace));

        if (fault == "lost data") {
            QVERIFY(family.LossReports(1).size() >= 3);
            // The stream stopped at each report, but never inside a frame: cut off, its rest
            // would take the next request's first bytes (the index query) with it.
            QCOMPARE(family.BrokenFrames(), 0);
        }
        if (fault == "late busy")
            QCOMPARE(family.FlashOperations(1), firmware.sections);  // each section programmed once
        if (fault.startsWith("flash x")) {
            const int count = fault.right(1).toInt();
            QCOMPARE(outcome.logs.size(), count);
            for (int k = 1; k <= count; ++k) {
                QVERIFY2(QRegularExpression(QString::fromUtf8("^\\d\\d:\\d\\d:\\d\\d:第%1次校验失败\\(1轮\\):8000000$").arg(k))
                             .match(outcome.logs[k - 1])
                             .hasMatch(),
                         qPrintable(outcome.logs[k - 1]));
            }
            // Each mismatch drops the progress back to 0.
            QCOMPARE(outcome.upgrade.count("true 0"), 2 + count);
        }
    }

    // A flash mismatch restarts every section, except on the display, which sends again only
    // what lies from 0xC0232800 up. In the final pass the display needs an address above it.
    void restartAfterMismatch_data()
    {
        QTest::addColumn<int>("dev_id");
        QTest::addColumn<bool>("final_pass");
        QTest::addColumn<quint32>("address");
        QTest::addColumn<QList<int>>("headers");
        // Headers each of the four sections hears: first pass, resends, final passes.
        QTest::newRow("display, first pass, upper part") << 4 << false << 0xC0233000u << QList<int>{2, 2, 3, 3};
        QTest::newRow("display, final pass, exactly at 0xC0232800") << 4 << true << 0xC0232800u << QList<int>{4, 4, 4, 3};
        QTest::newRow("display, final pass, above 0xC0232800") << 4 << true << 0xC0233000u << QList<int>{3, 3, 4, 4};
        QTest::newRow("device 1, first pass, last section") << 1 << false << 0x08001800u << QList<int>{3, 3, 3, 3};
    }

    void restartAfterMismatch()
    {
        QFETCH(int, dev_id);
        QFETCH(bool, final_pass);
        QFETCH(quint32, address);
        QFETCH(QList<int>, headers);
        SimFamily family(FastFamily());
        SimFaults faults;
        std::atomic<int> verifies{0};
        if (final_pass) {
            // The section's second flash check is the final pass's: report it wrong once.
            faults.wrong_flash_digest_if = [&](int id, quint32 at) { return id == dev_id && at == address && ++verifies == 2; };
        } else {
            faults.corrupt_flash_if = [&](int id, quint32 at) { return id == dev_id && at == address && verifies++ == 0; };
        }
        family.SetFaults(faults);
        const Firmware firmware = dev_id == 4 ? DisplayFirmware() : MakeFirmware("restart.bin", 0x08000000, 4);
        const Outcome outcome = Run(dev_id, firmware);
        VerifySuccess(family, dev_id, firmware, outcome);
        QCOMPARE(outcome.logs.size(), 1);
        QVERIFY(outcome.logs[0].contains(final_pass ? QString::fromUtf8("(2轮)") : QString::fromUtf8("(1轮)")));
        const quint32 first = dev_id == 4 ? 0xC0231800 : 0x08000000;
        QList<int> heard;
        for (quint32 k = 0; k < 4; ++k)
            heard << CountHeaders(family, dev_id, first + k * 0x800);
        QCOMPARE(heard, headers);
    }

    void fourthMismatchFails()
    {
        SimFamily family(FastFamily());
        SimFaults faults;
        faults.flash_write_errors = 4;
        family.SetFaults(faults);
        const Outcome outcome = Run(2, ForDevice(2));
        QVERIFY(outcome.finished);
        QVERIFY(!outcome.result);
        QCOMPARE(outcome.error, QStringLiteral("Flash verify failed 4 times, upgrade again!\n"));
        QCOMPARE(outcome.logs.size(), 4);
        QCOMPARE(outcome.logs.last(), QString::fromUtf8("重试3次失败"));
        QVERIFY(!outcome.verify.contains("false 0"));  // the final pass never started
        QVERIFY(family.Rejections().isEmpty());
    }

    // A job that ends inside its loss recovery leaves nothing for the next job on the same
    // engine: the next one streams its first section from offset 0 and needs no index repair.
    void nextJobAfterAnEndInsideLossRecovery_data()
    {
        QTest::addColumn<bool>("unplug");
        QTest::newRow("stopped by the operator") << false;
        QTest::newRow("unplugged") << true;
    }

    void nextJobAfterAnEndInsideLossRecovery()
    {
        QFETCH(bool, unplug);
        SimFamily family(FastFamily());
        const Firmware firmware = MakeFirmware("recovery.bin", 0x08000000, 3, 4096, true, 17);
        // The 5th data frame is lost and its recovery answered (the job resumes mid-section);
        // the 30th is lost too, and then no index query gets through.
        std::atomic<int> data_frames{0};
        std::atomic<int> index_queries_lost{0};
        SimFaults faults;
        faults.drop_request_if = [&](int id, const Frame &request) {
            if (id != 1)
                return false;
            if (request.command == Cmd::SectionData) {
                const int n = ++data_frames;
                return n == 5 || n == 30;
            }
            if (request.command == Cmd::QueryIndex && data_frames >= 30) {
                ++index_queries_lost;
                return true;
            }
            return false;
        };
        family.SetFaults(faults);

        UpgradeServer server;
        JobRecorder recorder(server);
        UpgradeJob job;
        job.usb_pid = 4;
        job.dev_id = 1;
        job.firmware_path = firmware.path;
        QVERIFY(server.Start(job));
        QVERIFY(WaitUntil([&] { return index_queries_lost >= 3; }, 20000));
        if (unplug)
            family.Unplug();
        else
            QVERIFY(server.Stop());
        QVERIFY(recorder.WaitFinished(1, 20000));
        QCOMPARE(recorder.Of("result"), QStringList{"false"});

        if (unplug)
            family.Plug();
        family.SetFaults(SimFaults());
        family.ClearRecords();
        const int losses_before = family.LossReports(1).size();
        DebugCapture debug;
        QVERIFY(WaitUntil([&] { return !server.LinkBusy(); }, 5000));
        QVERIFY(server.Start(job));
        QVERIFY(recorder.WaitFinished(2, 60000));
        QCOMPARE(recorder.Of("result"), (QStringList{"false", "true"}));
        QString why;
        QVERIFY2(FlashHolds(family, 1, firmware.segments, &why), qPrintable(why));

        QList<SimRequest> data;
        for (const SimRequest &request : family.Requests(1)) {
            if (request.frame.command == Cmd::SectionData)
                data << request;
        }
        QVERIFY(!data.isEmpty());
        QCOMPARE(int(data.first().frame.payload[0] << 8 | data.first().frame.payload[1]), 0);
        QVERIFY(!debug.Contains("---Index resp err"));
        QCOMPARE(family.LossReports(1).size(), losses_before);
    }

    // Stop is honoured inside the long blocking steps too. The sleeps are stretched tenfold
    // (30 s to 50 s), so a job that sat its sleep out could never end inside the deadline, however
    // loaded the machine.
    void stopInsideBlockingSteps_data()
    {
        QTest::addColumn<int>("dev_id");
        QTest::addColumn<int>("command");
        QTest::addColumn<int>("payload");
        QTest::newRow("reconnect after the base's restart") << 1 << int(Cmd::SwitchMode) << int(SwitchTo::Boot);
        QTest::newRow("target restart") << 3 << int(Cmd::SwitchMode) << int(SwitchTo::Boot);
        QTest::newRow("after the upgrade flag (display)") << 4 << int(Cmd::SwitchMode) << int(SwitchTo::App);
    }

    void stopInsideBlockingSteps()
    {
        QFETCH(int, dev_id);
        QFETCH(int, command);
        QFETCH(int, payload);
        ScopedWaitScale stretched(10.0);
        SimFamilyOptions options = FastFamily();
        if (dev_id == DeviceId::Display) {
            // The base and the display already in their bootloaders: the display's job reaches
            // its flag without a long wait on the way.
            for (SimDeviceSpec &device : options.devices) {
                if (device.id == DeviceId::Base || device.id == DeviceId::Display)
                    device.mode = SimMode::Boot;
            }
        }
        SimFamily family(options);
        std::atomic<bool> seen{false};
        SimFaults faults;
        faults.drop_request_if = [&](int, const Frame &request) {
            if (request.command == command && request.payload[0] == payload)
                seen = true;
            return false;
        };
        family.SetFaults(faults);
        const Outcome outcome = Run(dev_id, ForDevice(dev_id), false, false, [&](UpgradeServer &server) {
            QVERIFY(WaitUntil([&] { return bool(seen); }, 60000));
            server.Stop();
        }, 15000);
        QVERIFY2(outcome.finished, "Stop ends the job inside the sleep");
        QVERIFY(!outcome.result);
    }

    // The chunking rule: 62 data bytes unless their doubled 0x7E bytes would not fit in 64.
    void chunking_data()
    {
        QTest::addColumn<int>("dev_id");
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<QList<int>>("chunks");
        QByteArray mixed(130, 'a');
        mixed[3] = mixed[10] = mixed[20] = char(0x7E);     // three in the first 62: 62 - 3 = 59 is odd: 58
        mixed[70] = mixed[100] = char(0x7E);               // two in the next 62: 62 + 2 = 64 fits
        QTest::newRow("three, two, remainder") << 1 << mixed << QList<int>{58, 62, 10};
        QTest::newRow("device 5 takes 23") << 5 << QByteArray(50, char(0x7E)) << QList<int>{23, 23, 4};
        QTest::newRow("all 0x7E never shrinks to nothing") << 1 << QByteArray(70, char(0x7E)) << QList<int>{32, 32, 6};
        QTest::newRow("motor, all 0x7E") << 3 << QByteArray(33, char(0x7E)) << QList<int>{32, 1};
    }

    void chunking()
    {
        QFETCH(int, dev_id);
        QFETCH(QByteArray, data);
        QFETCH(QList<int>, chunks);
        UpgradeJob request;
        request.dev_id = dev_id;
        request.usb_pid = 4;
        JobControl control;
        UpgradeSequence sequence(request, control);
        FirmwareSection section;
        section.address = 0x1000;
        section.length = quint16(data.size());
        section.compressed_length = quint16(data.size());
        section.data = data;
        sequence.Job().sections = {section};
        sequence.Job().current_section = &sequence.Job().sections[0];
        sequence.SetState(UpgradeSequence::SendData);
        sequence.Step(false, Frame());
        QCOMPARE(sequence.CurrentState(), int(UpgradeSequence::DataInFlight));

        const QByteArray wire = sequence.Link().tx_queue;
        FrameParser parser;
        FrameCodec::ResetDecoder(parser);
        QList<int> sizes;
        QByteArray rebuilt;
        int frame_start = 0;
        for (int i = 0; i < wire.size(); ++i) {
            const uint8_t r = FrameCodec::Decode(parser, uint8_t(wire[i]));
            QVERIFY(r != FrameCodec::FrameBadChecksum);
            if (r != FrameCodec::FrameOk)
                continue;
            QVERIFY(i + 1 - frame_start <= 136);
            frame_start = i + 1;
            const Frame &f = parser.frame;
            QCOMPARE(int(f.command), int(Cmd::SectionData));
            QCOMPARE(int(f.address), 0x10 | dev_id);
            QCOMPARE((f.payload[0] << 8) | f.payload[1], rebuilt.size());  // offset of its first byte
            sizes << f.length - 2;
            rebuilt.append(reinterpret_cast<const char *>(f.payload + 2), f.length - 2);
        }
        QCOMPARE(sizes, chunks);
        QCOMPARE(rebuilt, data);
    }
};

QTEST_GUILESS_MAIN(TestUpgradeSequence)
#include "tst_upgrade_sequence.moc"
