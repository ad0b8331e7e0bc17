#pragma once

#include "debug_capture.h"
#include "family_suite.h"
#include "fast_family.h"
#include "frame_codec.h"
#include "job_recorder.h"
#include "messages.h"
#include "sample_firmware.h"
#include "scoped_fixtures.h"
#include "sim_family.h"
#include "sim_port_catalog.h"
#include "upgrade_server.h"
#include "wait_until.h"
#include "waits.h"

#include <QtTest>

#include <atomic>
#include <functional>
#include <optional>

// Section headers device id heard for the section at address. A header repeated because its
// answer came late (a loaded machine) counts once: only the announcements count.
inline int CountHeaders(const SimFamily &family, int id, quint32 address)
{
    int count = 0;
    const Frame *previous = nullptr;
    const QList<SimRequest> requests = family.Requests(id);
    for (const SimRequest &request : requests) {
        const Frame &f = request.frame;
        const quint32 at = quint32(f.payload[0]) << 24 | quint32(f.payload[1]) << 16 | quint32(f.payload[2]) << 8 |
                           f.payload[3];
        const bool repeated = previous && previous->command == f.command && previous->length == f.length &&
                              memcmp(previous->payload, f.payload, f.length) == 0;
        count += f.command == Cmd::SectionHeader && at == address && !repeated;
        previous = &f;
    }
    return count;
}

// Progress texts as the recorder writes them.
inline QString Percent(double value)
{
    return QStringLiteral("%1").arg(value);
}

// What the suites of the upgrade sequence share: images for each device, a job run to its end
// against the simulated family, and what a success must leave behind.
class SequenceSuite : public SimulatedFamilySuite {
public:
    SequenceSuite() : SimulatedFamilySuite(kTestWaitScale) {}

    QTemporaryDir dir;

    struct Firmware {
        QList<ImageSegment> segments;
        QString path;
        int sections = 0;
    };

    // An image of `count` sections of `size` bytes from `address` on.
    Firmware MakeFirmware(const QString &name, quint32 address, int count, int size = 2048, bool raw = false,
                          unsigned seed = 1)
    {
        Firmware firmware;
        firmware.segments = {{address, SampleFirmware(count * size, seed)}};
        firmware.path = dir.filePath(name);
        firmware.sections = count;
        ImageRecipe recipe;
        recipe.section_size = size;
        recipe.raw = raw;
        const QString error = WriteSampleImage(firmware.path, firmware.segments, recipe);
        if (!error.isEmpty())
            qFatal("%s", qPrintable(error));
        return firmware;
    }

    // The display's image: two sections below its upper part and two from 0xC0232800 on.
    Firmware DisplayFirmware()
    {
        Firmware firmware;
        firmware.segments = {{0xC0231800, SampleFirmware(4096, 41)}, {0xC0232800, SampleFirmware(4096, 42)}};
        firmware.path = dir.filePath("display.bin");
        firmware.sections = 4;
        ImageRecipe recipe;
        recipe.section_size = 2048;
        const QString error = WriteSampleImage(firmware.path, firmware.segments, recipe);
        if (!error.isEmpty())
            qFatal("%s", qPrintable(error));
        return firmware;
    }

    Firmware ForDevice(int dev_id)
    {
        switch (dev_id) {
        case 2: return MakeFirmware("base.bin", 0x08004000, 3, 2048, false, 2);
        case 3: return MakeFirmware("motor.bin", 0x00010000, 3, 1024, true, 3);
        case 4: return DisplayFirmware();
        default: return MakeFirmware(QStringLiteral("dev%1.bin").arg(dev_id), 0x08000000, 4, 2048, false, unsigned(dev_id));
        }
    }

    struct Outcome {
        bool finished = false;
        bool result = false;
        std::optional<JobEndReason> reason;
        QString error;
        QStringList upgrade, verify, logs, events;
    };

    // Runs one job to its end. `during` runs in the test's thread while the job runs.
    Outcome Run(int dev_id, const Firmware &firmware, bool motor_to_boot = false,
                bool display_swap_check = false, const std::function<void(UpgradeServer &)> &during = {},
                int timeout_ms = 60000, const UnitKey &unit = UnitKey())
    {
        UpgradeServer server;
        JobRecorder recorder(server);
        UpgradeJob job;
        job.usb_pid = 4;
        job.dev_id = dev_id;
        job.display_swap_check = display_swap_check;
        job.firmware_path = firmware.path;
        job.motor_to_boot = motor_to_boot;
        job.unit = unit;
        if (!server.Start(job))
            qFatal("the engine refused a job on an idle link");
        if (during)
            during(server);
        Outcome outcome;
        outcome.finished = recorder.WaitFinished(1, timeout_ms);
        if (!outcome.finished) {
            server.Stop();
            recorder.WaitFinished(1, 30000);
        }
        outcome.events = recorder.events;
        outcome.upgrade = recorder.Of("upgrade");
        outcome.verify = recorder.Of("verify");
        outcome.logs = recorder.Of("log");
        outcome.result = recorder.Of("result") == QStringList{"true"};
        outcome.error = recorder.Of("error").join(QString());
        if (recorder.reasons.size() == 1)
            outcome.reason = recorder.reasons.first();
        return outcome;
    }

    static QStringList CleanUpgradeProgress(int sections)
    {
        QStringList expected{"true 0", "true 0"};
        for (int k = 1; k <= sections; ++k)
            expected << "true " + Percent(double(float(k * 100) / float(sections + 1)));
        return expected << "false 100" << "false 100";
    }

    static QStringList CleanVerifyProgress(int sections)
    {
        QStringList expected{"true 0"};
        for (int k = 1; k <= sections; ++k)
            expected << "true " + Percent(double(float(k) / float(sections) * 100.0f));
        return expected << "false 0";
    }

    // Everything a user cares about after a success.
    void VerifySuccess(const SimFamily &family, int flashed_id, const Firmware &firmware, const Outcome &outcome)
    {
        QVERIFY(outcome.finished);
        QVERIFY2(outcome.error.isEmpty(), qPrintable(outcome.error));
        QVERIFY(outcome.result);
        QVERIFY(outcome.reason == JobEndReason::Success);
        QString why;
        QVERIFY2(FlashHolds(family, flashed_id, firmware.segments, &why), qPrintable(why));
        QVERIFY2(WaitUntil([&] {
                     for (int id : family.DeviceIds()) {
                         if (family.Mode(id) != SimMode::App || !family.IsResponsive(id))
                             return false;
                     }
                     return true;
                 }, 3000),
                 "every device back in its application");
        QVERIFY2(family.Rejections().isEmpty(), qPrintable(family.Rejections().join('\n')));
    }
};
