// upgrader-bench: upgrades simulated devices with a large image and prints how close the engine
// comes to the pace its protocol allows, one `name: value` per line.
//
// Streaming figures count the loop passes paced for streaming: ticks delivered by the window
// thread's 1 ms timer, wire bytes sent, and wall time. The ceiling is the family table's bytes
// per pass over its ticks per pass, at the nominal 1 ms per tick.
//
// The floor of a job is the least time its sequence allows for the image: the fixed waits it
// must make (as asked, at the wait scale) plus the image's wire bytes at one full pass per
// streaming interval of an ideal 1 ms tick. job_floor_ratio is the job's time over that floor.
//
// With --stations, the same image is upgraded on N simulated bases at once, as upgrader-cli's
// `upgrade --all` does: one engine per base, every engine's tick timer in this one thread.
//
// With --soak N, N upgrades with random faults and interruptions, launched as the command
// launches them, each judged against the simulated unit: figures of false successes, hangs,
// units not recovered, and what the process piled up (soak_run.h).
//
// With --idle-window S, the operator window's own CPU while it sits idle for S seconds with an
// upgrader-sim attached and its status poll running, each a process of its own; then how soon a
// status poll sees the simulated base again after its restarts (idle_window.h).
#include "device_family.h"
#include "idle_window.h"
#include "platform.h"
#include "program_version.h"
#include "sample_firmware.h"
#include "sim_family.h"
#include "sim_port_catalog.h"
#include "soak_run.h"
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
#include <functional>
#include <memory>
#include <numeric>
#include <vector>

namespace {

// A soak's jobs take about a second each with the sequence's long waits at this scale.
constexpr double kSoakWaitScale = 0.05;
// An idle window may take this share of one core at most.
constexpr double kIdleWindowCpuBound = 0.005;
// Restarts of the simulated base watched after the idle span (alternately into its bootloader
// and back).
constexpr int kBaseReturns = 6;

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

SimFamilyOptions BenchFamily(double loss, quint32 seed, const QString &location)
{
    SimFamilyOptions options = SimFamilyOptions::Standard();
    // Restarts like real devices', shortened with the sequence's waits when those are scaled.
    const double scale = Waits::LongWaitScale();
    options.timings.device_restart_ms = std::max(5, int(300 * scale));
    options.timings.base_reenumerate_ms = std::max(5, int(1000 * scale));
    options.timings.display_boot_ms = std::max(5, int(100 * scale));
    options.faults.drop_data_frame = loss;
    options.faults.seed = seed;
    options.location = location;
    return options;
}

// The longest gap between two turns of this thread's event loop while it runs: a 1 ms timer
// that notes how late each of its own turns came.
class StallProbe {
public:
    StallProbe()
    {
        probe.setTimerType(Qt::PreciseTimer);
        QObject::connect(&probe, &QTimer::timeout, [this] {
            longest_ms = std::max(longest_ms, since_last.nsecsElapsed() / 1e6);
            since_last.start();
        });
        since_last.start();
        probe.start(1);
    }
    double LongestMs() const { return longest_ms; }

private:
    QTimer probe;
    QElapsedTimer since_last;
    double longest_ms = 0;
};

// Runs this thread's event loop until done() holds.
void RunUntil(const std::function<bool()> &done)
{
    QEventLoop loop;
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        if (done())
            loop.quit();
    });
    check.start(20);
    loop.exec();
}

Result RunJob(int dev_id, const QString &image, double loss)
{
    const SimFamilyOptions options = BenchFamily(loss, 20261207, QString());
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
    // The engine's tick is delivered by this thread's event loop: the probe shows how long that
    // loop was ever kept from turning while the job ran.
    StallProbe probe;
    RunUntil([&] { return ended; });
    result.max_gui_stall_ms = probe.LongestMs();
    result.cpu_s = (Platform::ProcessCpuNs() - cpu_before) / 1e9;
    result.stats = server.Stats();
    return result;
}

// N bases upgraded at once, each with its own engine and job, the job held to its base's location.
struct StationResult {
    bool all_ok = true;
    QVector<double> job_s;        // per base, in base order
    QVector<double> tick_rate_hz; // ticks delivered per second while each job streamed
    double wall_s = 0;            // from the first start to the last end
    double cpu_share = 0;         // process CPU time over wall time over the machine's cores
    double max_tick_stall_ms = 0;
};

StationResult RunStation(int dev_id, const QString &image, double loss, int bases)
{
    std::vector<std::unique_ptr<SimFamily>> families;
    std::vector<std::unique_ptr<UpgradeServer>> servers;
    QVector<bool> ok(bases, false);
    int ended = 0;
    int product_id = 0;
    for (int i = 0; i < bases; ++i) {
        const QString location = QStringLiteral("bench-%1").arg(i + 1);
        const SimFamilyOptions options = BenchFamily(loss, 20261207 + quint32(i), location);
        product_id = options.product_id;
        families.push_back(std::make_unique<SimFamily>(options));
        servers.push_back(std::make_unique<UpgradeServer>());
        QObject::connect(servers.back().get(), &UpgradeServer::PushUpgRes, [&ok, i](bool result) { ok[i] = result; });
        QObject::connect(servers.back().get(), &QThread::finished, [&ended] { ++ended; });
    }
    StationResult result;
    QElapsedTimer wall;
    wall.start();
    const qint64 cpu_before = Platform::ProcessCpuNs();
    for (int i = 0; i < bases; ++i) {
        UpgradeJob job;
        job.usb_pid = product_id;
        job.dev_id = dev_id;
        job.firmware_path = image;
        job.port = families[size_t(i)]->Location();
        servers[size_t(i)]->Start(job);
    }
    StallProbe probe;
    RunUntil([&] { return ended == bases; });
    result.wall_s = wall.nsecsElapsed() / 1e9;
    result.max_tick_stall_ms = probe.LongestMs();
    const int cores = std::max(1, QThread::idealThreadCount());
    result.cpu_share = (Platform::ProcessCpuNs() - cpu_before) / 1e9 / result.wall_s / cores;
    for (int i = 0; i < bases; ++i) {
        const JobStats stats = servers[size_t(i)]->Stats();
        result.all_ok &= ok[i];
        result.job_s.append(stats.job_ns / 1e9);
        if (stats.streaming_ns > 0)
            result.tick_rate_hz.append(stats.streaming_ticks / (stats.streaming_ns / 1e9));
    }
    return result;
}

double Median(QVector<double> values)
{
    if (values.isEmpty())
        return 0;
    std::sort(values.begin(), values.end());
    const int n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// Every station size for one device: the median job time with N bases over that with one.
bool MeasureStations(int dev_id, const QString &image, double loss, QList<int> sizes)
{
    sizes.append(1);  // the reference every slowdown is measured against, run first
    std::sort(sizes.begin(), sizes.end());
    sizes.erase(std::unique(sizes.begin(), sizes.end()), sizes.end());
    bool all_ok = true;
    double alone_s = 0;
    for (int n : sizes) {
        const StationResult run = RunStation(dev_id, image, loss, n);
        const QString suffix = QStringLiteral("_%1_dev%2").arg(n).arg(dev_id);
        const double median_s = Median(run.job_s);
        if (n == 1)
            alone_s = median_s;
        all_ok &= run.all_ok;
        Print("station_ok" + suffix, run.all_ok ? 1 : 0);
        Print("station_job_s" + suffix, median_s);
        Print("station_slowest_job_s" + suffix, *std::max_element(run.job_s.begin(), run.job_s.end()));
        Print("station_slowdown" + suffix, alone_s > 0 ? median_s / alone_s : 0);
        Print("station_tick_rate_hz" + suffix, Median(run.tick_rate_hz));
        Print("station_cpu_share" + suffix, run.cpu_share);
        Print("station_max_tick_stall_ms" + suffix, run.max_tick_stall_ms);
    }
    return all_ok;
}

// Exit code 0 when the soak found nothing against the engine, 1 when it did, 2 on bad options.
int Soak(const QCommandLineParser &parser)
{
    bool jobs_ok = false;
    bool seed_ok = false;
    SoakOptions options;
    options.jobs = parser.value("soak").toInt(&jobs_ok);
    options.seed = parser.value("seed").toUInt(&seed_ok);
    if (!jobs_ok || options.jobs < 1) {
        fprintf(stderr, "--soak takes a number of jobs from 1 up, not '%s'\n", qPrintable(parser.value("soak")));
        return 2;
    }
    if (!seed_ok) {
        fprintf(stderr, "--seed takes a number from 0 to 4294967295, not '%s'\n", qPrintable(parser.value("seed")));
        return 2;
    }
    Waits::SetLongWaitScale(parser.isSet("wait-scale") ? parser.value("wait-scale").toDouble() : kSoakWaitScale);
    SimPortCatalog::Install();
    SoakFigures figures;
    {
        SoakRun soak(options);
        QString error;
        if (!soak.Prepare(&error)) {
            fprintf(stderr, "cannot write the images: %s\n", qPrintable(error));
            return 2;
        }
        figures = soak.Run();
    }
    SimPortCatalog::Uninstall();
    PrintSoakFigures(figures);
    return figures.Clean() ? 0 : 1;
}

// Exit code 0 when the window was measured and met its bound, 1 when not, 2 on bad options.
int IdleWindow(const QCommandLineParser &parser)
{
    bool ok = false;
    const int seconds = parser.value("idle-window").toInt(&ok);
    if (!ok || seconds < 1) {
        fprintf(stderr, "--idle-window takes a number of seconds from 1 up, not '%s'\n",
                qPrintable(parser.value("idle-window")));
        return 2;
    }
    const IdleWindowFigures figures = MeasureIdleWindow(seconds, kBaseReturns);
    Print("idle_window_measured", figures.measured ? 1 : 0);
    if (figures.seconds > 0) {
        Print("idle_window_s", figures.seconds);
        Print("idle_window_cpu_share", figures.cpu_share);
        Print("idle_window_bytes_to_devices", figures.bytes_to_devices);
    }
    if (figures.base_returns > 0) {
        Print("base_returns_seen", figures.base_returns);
        Print("base_return_seen_mean_ms", figures.return_seen_mean_ms);
        Print("base_return_seen_max_ms", figures.return_seen_max_ms);
        Print("base_return_missed_polls", figures.return_missed_polls);
    }
    return figures.measured && figures.cpu_share <= kIdleWindowCpuBound ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv)
{
    if (PrintVersionIfAsked(argc, argv, "upgrader-bench"))
        return 0;
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription("Measures upgrades of simulated devices against the protocol's pace.");
    parser.addHelpOption();
    parser.addOption({"size", "Image data per device in KiB (default 256).", "KiB", "256"});
    parser.addOption({"devices", "Device ids to upgrade (default 1,3,5).", "LIST", "1,3,5"});
    parser.addOption({"wait-scale", "Scale of the sequence's waits of a second or more (default 1).", "FACTOR", "1"});
    parser.addOption({"loss", "Also run with this share of data frames lost (e.g. 0.01); 0 skips it.", "SHARE", "0"});
    parser.addOption({"stations", "Instead, upgrade each device on this many simulated bases at once, for each "
                                  "number of the list (e.g. 1,4,8), and print how much the jobs slow down.",
                      "LIST"});
    parser.addOption({"soak", "Instead, run N upgrades in a row with random faults and interruptions, launched as "
                              "upgrader-cli launches them, and print how many successes were false, jobs hung and "
                              "units stayed unrecovered (waits scaled by 0.05 unless --wait-scale is given).",
                      "N"});
    parser.addOption({"idle-window", "Instead, run the operator window (upgrader, offscreen) against upgrader-sim for "
                                     "this many seconds untouched and print its own CPU share, then how soon a status "
                                     "poll sees the simulated base after its restarts.",
                      "SECONDS"});
    parser.addOption({"states", "Also print the seconds the job loop's passes spent in each state of the sequence "
                                "(state_s_N, N as in UpgradeServer::State)."});
    parser.addOption({"seed", "With --soak: the seed of the jobs' targets, faults and interruptions (default 1).", "SEED", "1"});
    parser.process(app);
    QList<int> stations;
    for (const QString &item : parser.value("stations").split(',', Qt::SkipEmptyParts)) {
        bool ok = false;
        const int n = item.toInt(&ok);
        if (!ok || n < 1 || n > 64) {
            fprintf(stderr, "--stations takes numbers of bases from 1 to 64, not '%s'\n", qPrintable(item));
            return 2;
        }
        stations.append(n);
    }
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &, const QString &message) {
        if (type != QtDebugMsg)
            fprintf(stderr, "%s\n", qPrintable(message));
    });
    if (parser.isSet("soak"))
        return Soak(parser);
    if (parser.isSet("idle-window"))
        return IdleWindow(parser);
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
        if (!stations.isEmpty()) {
            all_ok &= MeasureStations(dev_id, image, losses.last(), stations);
            continue;
        }
        for (double loss : losses) {
            const QString suffix = loss > 0 ? QStringLiteral("_dev%1_loss%2").arg(dev_id).arg(loss * 100) : QStringLiteral("_dev%1").arg(dev_id);
            const Result run = RunJob(dev_id, image, loss);
            const JobStats &s = run.stats;
            const Pacing &pacing = RoleOf(dev_id).pacing;
            const double per_tick = pacing.StreamingBytesPerMs();
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
            // The two parts of pacing_efficiency: the passes made of those the ticks allowed, and
            // how full they were (each section's last pass sends only what is left of it).
            Print("pass_share" + suffix, s.streaming_passes * double(pacing.streaming_pass_ticks) / s.streaming_ticks);
            Print("pass_fill" + suffix, s.streaming_bytes / double(s.streaming_passes * pacing.max_bytes_per_pass));
            Print("streaming_ratio" + suffix, (s.streaming_bytes / streaming_s) / (per_tick * 1000.0));
            Print("overhead_ratio" + suffix, (s.job_ns / 1e9) / (s.fixed_wait_ms / 1e3 + ideal_streaming_s));
            Print("cpu_s_per_mib" + suffix, run.cpu_s / (size / 1048576.0));
            Print("max_gui_stall_ms" + suffix, run.max_gui_stall_ms);
            Print("job_thread_cpu_s_per_mib" + suffix, (s.thread_cpu_ns / 1e9) / (size / 1048576.0));
            const double floor_s = s.fixed_wait_asked_ms / 1e3 +
                                   double(s.image_wire_bytes) / pacing.max_bytes_per_pass * pacing.streaming_pass_ticks / 1e3;
            Print("floor_s" + suffix, floor_s);
            Print("job_floor_ratio" + suffix, (s.job_ns / 1e9) / floor_s);
            // Where the time above the floor went; the four add up to job_s - floor_s. Streaming
            // slower than a full pass per ideal tick; the loop's other passes (requests and
            // answers at the device's pace, its flash time, the final check) less the fixed waits
            // inside them; fixed waits that overran what was asked; and the job outside its loop
            // (reading the image, opening the port, the last look for input).
            const double loop_s = std::accumulate(s.state_ns.begin(), s.state_ns.end(), qint64(0)) / 1e9;
            Print("above_floor_streaming_s" + suffix, streaming_s - double(s.image_wire_bytes) / per_tick / 1e3);
            Print("above_floor_exchanges_s" + suffix, loop_s - streaming_s - s.fixed_wait_ms / 1e3);
            Print("above_floor_wait_overrun_s" + suffix, (s.fixed_wait_ms - s.fixed_wait_asked_ms) / 1e3);
            Print("above_floor_outside_loop_s" + suffix, s.job_ns / 1e9 - loop_s);
            if (parser.isSet("states")) {
                for (size_t state = 0; state < s.state_ns.size(); ++state) {
                    if (s.state_ns[state] > 0)
                        Print(QStringLiteral("state_s_%1").arg(state) + suffix, s.state_ns[state] / 1e9);
                }
            }
        }
    }
    SimPortCatalog::Uninstall();
    return all_ok ? 0 : 1;
}
