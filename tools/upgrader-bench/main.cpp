// upgrader-bench: upgrades simulated devices with a large image and prints how close the engine
// comes to the pace its protocol allows, one `name: value` per line.
//
// Streaming figures count the loop passes paced for streaming: ticks delivered by the window
// thread's 1 ms timer, wire bytes sent, and wall time. The ceiling is the pacing table's bytes
// per pass over its ticks per pass, at the nominal 1 ms per tick.
#include "platform.h"
#include "sample_firmware.h"
#include "sim_family.h"
#include "sim_port_catalog.h"
#include "upgrade_server.h"
#include "waits.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>

namespace {

struct Pace {
    int bytes_per_pass;
    int ticks_per_pass;
};

// The streaming row of the pacing table.
Pace StreamingPace(int dev_id)
{
    switch (dev_id) {
    case 3: return {128, 5};
    case 5: return {30, 10};
    default: return {128, 1};
    }
}

void Print(const QString &name, double value)
{
    printf("%s: %.3f\n", qPrintable(name), value);
    fflush(stdout);
}

struct Result {
    bool ok = false;
    JobStats stats;
    double cpu_s = 0;
    double max_gui_stall_ms = 0;  // longest gap between two turns of this thread's event loop
};

Result RunJob(int dev_id, const QString &image, double loss)
{
    SimFamilyOptions options = SimFamilyOptions::Standard();
    // Restarts like real devices', shortened with the sequence's waits when those are scaled.
    const double scale = Waits::LongWaitScale();
    options.timings.device_restart_ms = std::max(5, int(300 * scale));
    options.timings.base_reenumerate_ms = std::max(5, int(1000 * scale));
    options.timings.display_boot_ms = std::max(5, int(100 * scale));
    options.faults.drop_data_frame = loss;
    options.faults.seed = 20261207;
    SimFamily family(options);

    UpgradeServer server;
    bool ended = false;
    Result result;
    QObject::connect(&server, &UpgradeServer::PushUpgRes, [&](bool ok) { result.ok = ok; });
    QObject::connect(&server, &QThread::finished, [&] { ended = true; });
    UpgradeJob job;
    job.usb_pid = options.product_id;
    job.dev_id = dev_id;
    job.firmware_path = image;
    const qint64 cpu_before = Platform::ProcessCpuNs();
    server.Start(job);
    QEventLoop loop;
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        if (ended)
            loop.quit();
    });
    check.start(20);
    // The engine's tick is delivered by this thread's event loop: a 1 ms probe timer shows how
    // long that loop was ever kept from turning while the job ran.
    QTimer probe;
    probe.setTimerType(Qt::PreciseTimer);
    QElapsedTimer since_last;
    since_last.start();
    QObject::connect(&probe, &QTimer::timeout, &loop, [&] {
        result.max_gui_stall_ms = std::max(result.max_gui_stall_ms, since_last.nsecsElapsed() / 1e6);
        since_last.start();
    });
    probe.start(1);
    loop.exec();
    result.cpu_s = (Platform::ProcessCpuNs() - cpu_before) / 1e9;
    result.stats = server.Stats();
    return result;
}

}  // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription("Measures upgrades of simulated devices against the protocol's pace.");
    parser.addHelpOption();
    parser.addOption({"size", "Image data per device in KiB (default 256).", "KiB", "256"});
    parser.addOption({"devices", "Device ids to upgrade (default 1,3,5).", "LIST", "1,3,5"});
    parser.addOption({"wait-scale", "Scale of the sequence's waits of a second or more (default 1).", "FACTOR", "1"});
    parser.addOption({"loss", "Also run with this share of data frames lost (e.g. 0.01); 0 skips it.", "SHARE", "0"});
    parser.process(app);
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &, const QString &message) {
        if (type != QtDebugMsg)
            fprintf(stderr, "%s\n", qPrintable(message));
    });
    Waits::SetLongWaitScale(parser.value("wait-scale").toDouble());
    SimPortCatalog::Install();

    QTemporaryDir dir;
    const int size = parser.value("size").toInt() * 1024;
    QList<double> losses{0.0};
    if (parser.value("loss").toDouble() > 0)
        losses << parser.value("loss").toDouble();
    bool all_ok = true;
    for (const QString &item : parser.value("devices").split(',')) {
        const int dev_id = item.toInt();
        // The motor takes raw sections only; the others get what compression gives.
        ImageRecipe recipe;
        recipe.section_size = 4096;
        recipe.raw = dev_id == 3;
        const QString image = dir.filePath(QStringLiteral("dev%1.bin").arg(dev_id));
        const QString error = WriteSampleImage(image, {{0x08000000, SampleFirmware(size, unsigned(dev_id))}}, recipe);
        if (!error.isEmpty()) {
            fprintf(stderr, "cannot write the image: %s\n", qPrintable(error));
            return 2;
        }
        for (double loss : losses) {
            const QString suffix = loss > 0 ? QStringLiteral("_dev%1_loss%2").arg(dev_id).arg(loss * 100) : QStringLiteral("_dev%1").arg(dev_id);
            const Result run = RunJob(dev_id, image, loss);
            const JobStats &s = run.stats;
            const Pace pace = StreamingPace(dev_id);
            const double per_tick = double(pace.bytes_per_pass) / pace.ticks_per_pass;
            const double streaming_s = s.streaming_ns / 1e9;
            const double tick_rate = s.streaming_ticks / streaming_s;
            const double ideal_streaming_s = s.streaming_bytes / per_tick / tick_rate;
            Print("result_ok" + suffix, run.ok ? 1 : 0);
            Print("job_s" + suffix, s.job_ns / 1e9);
            all_ok &= run.ok;
            if (!run.ok || s.streaming_ticks == 0)
                continue;  // a failed job's figures would mean nothing
            Print("fixed_waits_s" + suffix, s.fixed_wait_ms / 1e3);
            Print("streaming_s" + suffix, streaming_s);
            Print("streaming_bytes" + suffix, double(s.streaming_bytes));
            Print("tick_rate_hz" + suffix, tick_rate);
            Print("pacing_efficiency" + suffix, (s.streaming_bytes / double(s.streaming_ticks)) / per_tick);
            Print("streaming_ratio" + suffix, (s.streaming_bytes / streaming_s) / (per_tick * 1000.0));
            Print("overhead_ratio" + suffix, (s.job_ns / 1e9) / (s.fixed_wait_ms / 1e3 + ideal_streaming_s));
            Print("cpu_s_per_mib" + suffix, run.cpu_s / (size / 1048576.0));
            Print("max_gui_stall_ms" + suffix, run.max_gui_stall_ms);
            Print("job_thread_cpu_s_per_mib" + suffix, (s.thread_cpu_ns / 1e9) / (size / 1048576.0));
        }
    }
    SimPortCatalog::Uninstall();
    return all_ok ? 0 : 1;
}
