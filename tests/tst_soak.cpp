// Many upgrades in a row against the simulated family, each with its own random faults: lost and
// corrupted frames both ways, lost requests and replies, a busy flash, wrong flash writes and
// digests. Every job must end, either in success with the image in flash, or in failure with a
// text saying why; and nothing may pile up from job to job.
//
// UPGRADER_SOAK_JOBS sets the number of jobs (default 10), UPGRADER_SOAK_SEED the first seed.
#include "fast_family.h"
#include "job_recorder.h"
#include "link_log.h"
#include "messages.h"
#include "sample_firmware.h"
#include "scoped_fixtures.h"
#include "sim_family.h"
#include "sim_port_catalog.h"
#include "upgrade_server.h"
#include "wait_until.h"
#include "waits.h"

#include <QFile>
#include <QMutex>
#include <QMutexLocker>
#include <QtTest>

#include <optional>

#include <malloc.h>

#include <random>

namespace {

int ThreadCount()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("Threads:"))
            return line.mid(8).trimmed().toInt();
    }
    return -1;
}

size_t HeapInUse()
{
    return mallinfo2().uordblks;
}

// The engine's console lines would flood the log of a long run: only the soak's own lines and
// warnings go through.
QtMessageHandler test_log = nullptr;
QMutex recent_lock;
QStringList recent;  // the engine's last console lines, shown when a job never ends
constexpr int kRecentLines = 60;

void QuietEngine(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type != QtDebugMsg && !IsUpgradeAccount(type, context.category)) {
        if (test_log)
            test_log(type, context, message);
        return;
    }
    QMutexLocker lock(&recent_lock);
    recent << message;
    if (recent.size() > kRecentLines)
        recent.removeFirst();
}

struct Image {
    QList<ImageSegment> segments;
    QString path;
};

}  // namespace

class TestSoak : public QObject {
    Q_OBJECT

    // The simulated port catalog and the scaled waits for the whole suite, put back however it ends.
    std::optional<ScopedSimCatalog> catalog;
    std::optional<ScopedWaitScale> waits;

    QTemporaryDir dir;

    Image Write(int dev_id)
    {
        Image image;
        image.segments = {{dev_id == 4 ? 0xC0232000u : 0x08000000u, SampleFirmware(4 * 2048, unsigned(dev_id) * 7)}};
        image.path = dir.filePath(QStringLiteral("soak%1.bin").arg(dev_id));
        ImageRecipe recipe;
        recipe.section_size = 2048;
        recipe.raw = dev_id == DeviceId::Motor;
        const QString error = WriteSampleImage(image.path, image.segments, recipe);
        if (!error.isEmpty())
            qFatal("%s", qPrintable(error));
        return image;
    }

    static SimFaults RandomFaults(std::mt19937 &rng, int dev_id, quint32 seed)
    {
        auto share = [&rng](double max) { return std::uniform_real_distribution<double>(0, max)(rng); };
        SimFaults faults;
        faults.seed = seed;
        faults.drop_data_frame = share(0.03);
        faults.drop_request = share(0.01);
        faults.drop_reply = share(0.02);
        faults.corrupt_host_byte = share(0.0005);
        faults.corrupt_device_byte = share(0.0005);
        faults.flash_write_errors = int(rng() % 3);
        faults.buffer_digest_errors = int(rng() % 2);
        faults.short_index_replies = int(rng() % 2);
        if (rng() % 4 == 0)
            faults.flash_busy_ms[dev_id] = 2300;  // past the engine's 2 s status time-out
        return faults;
    }

private slots:
    void initTestCase()
    {
        test_log = qInstallMessageHandler(QuietEngine);
        catalog.emplace();
        waits.emplace(kTestWaitScale);
    }

    void cleanupTestCase()
    {
        waits.reset();
        catalog.reset();
        qInstallMessageHandler(test_log);
    }

    void upgradesInARow()
    {
        const int jobs = qEnvironmentVariableIsSet("UPGRADER_SOAK_JOBS") ? qEnvironmentVariableIntValue("UPGRADER_SOAK_JOBS") : 10;
        const quint32 first_seed = quint32(qEnvironmentVariableIntValue("UPGRADER_SOAK_SEED")) + 1;
        SimPortCatalog::Clear();
        const SimFamilyOptions options = FastFamily();
        SimFamily family(options);

        const QList<int> order = {2, 3, 1, 4, 5};
        QMap<int, Image> images;
        for (int id : order)
            images[id] = Write(id);

        UpgradeServer server;  // one engine for the whole run, as the window has
        JobRecorder recorder(server);
        std::mt19937 rng(first_seed);
        int successes = 0;
        const int idle_threads = ThreadCount();
        int baseline_threads = -1;
        size_t baseline_heap = 0;
        for (int k = 0; k < jobs; ++k) {
            const int dev_id = order[k % order.size()];
            // As the operator waits for the status poll: the base back on USB after the last job.
            QVERIFY(WaitUntil([&] { return family.IsResponsive(DeviceId::Base); }, 10000));
            family.SetFaults(RandomFaults(rng, dev_id, first_seed + quint32(k)));
            const int events_before = recorder.events.size();
            UpgradeJob job;
            job.usb_pid = options.product_id;
            job.dev_id = dev_id;
            job.motor_to_boot = dev_id == 5 && rng() % 2;
            job.firmware_path = images[dev_id].path;
            QVERIFY(server.Start(job));
            const bool ended = recorder.WaitFinished(k + 1, 120000);
            if (!ended) {
                server.Stop();
                recorder.WaitFinished(k + 1, 30000);
            }
            if (!ended) {
                QMutexLocker lock(&recent_lock);
                qInfo("last console lines:\n  %s", qPrintable(recent.join("\n  ")));
            }
            QVERIFY2(ended, qPrintable(QStringLiteral("job %1 (device %2) never ended").arg(k).arg(dev_id)));

            const QStringList events = recorder.events.mid(events_before);
            const bool success = events.contains("result true");
            QString error;
            for (const QString &event : events) {
                if (event.startsWith("error "))
                    error += event.mid(6);
            }
            QString why;
            if (success) {
                ++successes;
                QVERIFY2(FlashHolds(family, dev_id, images[dev_id].segments, &why),
                         qPrintable(QStringLiteral("job %1 reported success with a wrong flash: %2").arg(k).arg(why)));
            } else {
                QVERIFY2(!error.isEmpty(), qPrintable(QStringLiteral("job %1 (device %2) failed without saying why")
                                                          .arg(k)
                                                          .arg(dev_id)));
            }
            qInfo("job %d, device %d: %s%s", k, dev_id, success ? "success" : "failed: ",
                  qPrintable(error.trimmed().replace('\n', "; ")));
            // A request the device refused must be one it could not take in its current mode (its
            // switch to the bootloader was lost); never a malformed one.
            const QStringList refused = family.Rejections();
            QVERIFY2(refused.filter(QRegularExpression("^device \\d: unknown command 0x1[4-9] in app mode$")).size() ==
                         refused.size(),
                     qPrintable(refused.join('\n')));
            family.ClearRecords();  // the simulator's own records would otherwise grow with every job

            // Warmed up after the first round of devices: from then on the counts stay put.
            if (k == order.size() - 1) {
                // The idle count once the last warm-up job's thread is gone (plus any thread a
                // library started for good in the meantime).
                QVERIFY(server.wait(2000));
                WaitUntil([&] { return ThreadCount() == idle_threads; }, 2000);
                baseline_threads = ThreadCount();
                baseline_heap = HeapInUse();
            } else if (k > order.size() - 1) {
                // A job's thread reports its end a moment before the system has let it go.
                WaitUntil([&] { return ThreadCount() == baseline_threads; }, 2000);
                QCOMPARE(ThreadCount(), baseline_threads);
            }
        }
        if (jobs > order.size()) {
            const qint64 growth = qint64(HeapInUse()) - qint64(baseline_heap);
            qInfo("heap in use grew by %lld bytes over %d jobs", growth, jobs - order.size());
            QVERIFY2(growth < 512 * 1024, qPrintable(QString::number(growth)));
        }
        // The faults are survivable: most jobs must succeed, or this run proved little.
        QVERIFY2(successes * 2 >= jobs, qPrintable(QStringLiteral("%1 of %2").arg(successes).arg(jobs)));
    }
};

int main(int argc, char **argv)
{
    // A long soak runs far past QtTest's five-minute watchdog; every job has its own deadline.
    qputenv("QTEST_FUNCTION_TIMEOUT", QByteArray::number(7 * 24 * 3600 * 1000));
    QCoreApplication app(argc, argv);
    TestSoak soak;
    return QTest::qExec(&soak, argc, argv);
}
#include "tst_soak.moc"
