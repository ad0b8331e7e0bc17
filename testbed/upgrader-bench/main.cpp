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
//
// With --history, the line's shared history against a PostgreSQL server of the bench's own: how
// long a station takes to append N records and to push all of them to an empty server (checked
// there: exactly N distinct records), and what pushes of such records in this process, one after
// the other for as long as the job runs, cost the ticks of a job (history_bench.h).
#include "device_family.h"
#include "history_bench.h"
#include "history_sync.h"
#include "idle_window.h"
#include "link_log.h"
#include "local_pg_server.h"
#include "platform.h"
#include "program_version.h"
#include "sample_firmware.h"
#include "sim_family.h"
#include "sim_port_catalog.h"
#include "soak_run.h"
#include "stop_signals.h"
#include "upgrade_server.h"
#include "waits.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QMap>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <functional>
#include <memory>
#include <numeric>
#include <vector>

namespace {

// A soak's jobs take about a second each with the sequence's long waits at this scale.
constexpr double kSoakWaitScale = 0.05;
// A history run's jobs take a few seconds each with the sequence's long waits at this scale.
constexpr double kHistoryWaitScale = 0.05;
// The batch a station's HistorySync pushes in.
constexpr int kHistorySyncBatch = HistorySync::Pacing().batch;
// A batch is one statement with a parameter per field of each record; PostgreSQL takes 65535 at most.
constexpr int kMostHistoryBatch = 2000;
// Pushes made ready for one job at most (a copy of the station's file and a table on the server each).
constexpr int kMostPushPasses = 64;
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

// started: called as soon as the job has begun (something to run alongside it).
Result RunJob(int dev_id, const QString &image, double loss, const std::function<void()> &started = {})
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
    if (started)
        started();
    // The engine's tick is delivered by this thread's event loop: the probe shows how long that
    // loop was ever kept from turning while the job ran.
    StallProbe probe;
    RunUntil([&] { return ended; });
    result.max_gui_stall_ms = probe.LongestMs();
    result.cpu_s = (Platform::ProcessCpuNs() - cpu_before) / 1e9;
    result.stats = server.LastJob().stats;
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
        job.unit = UnitKey::AtLocation(families[size_t(i)]->Location());
        servers[size_t(i)]->Start(job);
    }
    StallProbe probe;
    RunUntil([&] { return ended == bases; });
    result.wall_s = wall.nsecsElapsed() / 1e9;
    result.max_tick_stall_ms = probe.LongestMs();
    const int cores = std::max(1, QThread::idealThreadCount());
    result.cpu_share = (Platform::ProcessCpuNs() - cpu_before) / 1e9 / result.wall_s / cores;
    for (int i = 0; i < bases; ++i) {
        const JobStats stats = servers[size_t(i)]->LastJob().stats;
        result.all_ok &= ok[i];
        result.job_s.append(stats.job_ns / 1e9);
        if (stats.streaming_ns > 0)
            result.tick_rate_hz.append(stats.streaming_ticks / (stats.streaming_ns / 1e9));
    }
    return result;
}

// The bench's image for one device: size bytes of sample firmware, in 4 KiB sections.
QString WriteBenchImage(const QString &path, int dev_id, int size)
{
    // The motor takes raw sections only; the others get what compression gives.
    ImageRecipe recipe;
    recipe.section_size = 4096;
    recipe.raw = RoleOf(dev_id).raw_sections;
    return WriteSampleImage(path, {{0x08000000, SampleFirmware(size, unsigned(dev_id))}}, recipe);
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
    bool first_ok = false;
    options.first_job = parser.value("first-job").toInt(&first_ok);
    if (!first_ok || options.first_job < 1 || options.first_job > std::numeric_limits<int>::max() - options.jobs) {
        fprintf(stderr, "--first-job takes a job number from 1 up, not '%s'\n", qPrintable(parser.value("first-job")));
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

// The median as name, and the spread of the runs as name_min and name_max.
void PrintSpread(const QString &name, const QVector<double> &values)
{
    Print(name, Median(values));
    Print(name + "_min", *std::min_element(values.begin(), values.end()));
    Print(name + "_max", *std::max_element(values.begin(), values.end()));
}

// A whole number from from up for option, or -1 after saying why not.
int CountOption(const QCommandLineParser &parser, const QString &option, int from)
{
    bool ok = false;
    const int n = parser.value(option).toInt(&ok);
    if (!ok || n < from) {
        fprintf(stderr, "--%s takes a number from %d up, not '%s'\n", qPrintable(option), from,
                qPrintable(parser.value(option)));
        return -1;
    }
    return n;
}

// The simulated port catalog in place of the system's for as long as it lives.
struct SimCatalogScope {
    SimCatalogScope() { SimPortCatalog::Install(); }
    ~SimCatalogScope() { SimPortCatalog::Uninstall(); }
    SimCatalogScope(const SimCatalogScope &) = delete;
    SimCatalogScope &operator=(const SimCatalogScope &) = delete;
};

// What one job shows of its tick delivery.
struct JobTicks {
    bool ok = false;
    double job_s = 0;
    double tick_rate_hz = 0;
    double max_tick_stall_ms = 0;
    double cpu_s = 0;  // of this whole process while the job ran: the push's own share shows here
};

JobTicks TicksOf(const Result &run)
{
    JobTicks ticks;
    ticks.ok = run.ok && run.stats.streaming_ns > 0;
    ticks.job_s = run.stats.job_ns / 1e9;
    if (run.stats.streaming_ns > 0)
        ticks.tick_rate_hz = run.stats.streaming_ticks / (run.stats.streaming_ns / 1e9);
    ticks.max_tick_stall_ms = run.max_gui_stall_ms;
    ticks.cpu_s = run.cpu_s;
    return ticks;
}

// Exit code 0 when everything was measured, 1 when the server could not be started, a job failed
// or the server did not hold exactly the records pushed, 2 on bad options, 128 + the signal's
// number when stopped by one (between two steps: the server is stopped and its folder removed).
int History(const QCommandLineParser &parser)
{
    const int records = CountOption(parser, "history-records", 1);
    const int runs = CountOption(parser, "runs", 1);
    if (records < 0 || runs < 0)
        return 2;
    QList<int> batches{kHistorySyncBatch};
    for (const QString &item : parser.value("history-batches").split(',', Qt::SkipEmptyParts)) {
        bool ok = false;
        const int batch = item.toInt(&ok);
        if (!ok || batch < 1 || batch > kMostHistoryBatch) {
            fprintf(stderr, "--history-batches takes numbers of records from 1 to %d, not '%s'\n", kMostHistoryBatch,
                    qPrintable(item));
            return 2;
        }
        batches.append(batch);
    }
    std::sort(batches.begin(), batches.end());
    batches.erase(std::unique(batches.begin(), batches.end()), batches.end());
    const int dev_id = parser.value("devices").split(',').value(0).toInt();
    const int size = parser.value("size").toInt() * 1024;
    Waits::SetLongWaitScale(parser.isSet("wait-scale") ? parser.value("wait-scale").toDouble() : kHistoryWaitScale);

    // A stop signal ends the run at the next step, so that the server does not outlive it.
    StopSignals stop;
    int stopped_by = 0;
    QObject::connect(&stop, &StopSignals::Stop, [&stopped_by](int number) { stopped_by = number; });
    const auto stopped = [&stopped_by] {
        QCoreApplication::processEvents();
        if (stopped_by != 0)
            fprintf(stderr, "upgrader-bench: stopped by signal %d\n", stopped_by);
        return stopped_by != 0;
    };
    LocalPgServer server;
    QString error;
    if (!server.Start(&error)) {
        fprintf(stderr, "upgrader-bench: cannot start a PostgreSQL server for --history: %s\n", qPrintable(error));
        return 1;
    }
    QTemporaryDir dir;
    if (!dir.isValid()) {
        fprintf(stderr, "upgrader-bench: cannot make a temporary folder: %s\n", qPrintable(dir.errorString()));
        return 1;
    }

    // The station's side: its records appended one by one as its jobs append them. Once only:
    // each record is a transaction of its own with its disk flushes, the slow part by far.
    const QString count = QString::number(records);
    const QString master = dir.filePath(QStringLiteral("station.sqlite"));
    QElapsedTimer timer;
    timer.start();
    const QString warning = AppendRecords(master, 0, records, [&stopped_by] {
        QCoreApplication::processEvents();
        return stopped_by != 0;
    });
    if (stopped())
        return 128 + stopped_by;
    if (!warning.isEmpty()) {
        fprintf(stderr, "upgrader-bench: cannot append the records: %s\n", qPrintable(warning));
        return 1;
    }
    const double append_s = timer.nsecsElapsed() / 1e9;
    // The push: all of them at once, by a fresh connection to an empty server, as after a station
    // was cut off from the line's server for long; each run and batch size from a copy of the
    // station's file as it was, every record waiting.
    QMap<int, QVector<double>> push_s;
    qint64 server_uids = records;  // the fewest the server held after a push
    for (int run = 1; run <= runs; ++run) {
        for (int batch : batches) {
            if (stopped())
                return 128 + stopped_by;
            const QString copy = dir.filePath(QStringLiteral("push-%1-%2.sqlite").arg(run).arg(batch));
            PushRun push;
            if (!CopyHistory(master, copy, &error) ||
                !PushToNewDatabase(server, QStringLiteral("push_%1_%2").arg(run).arg(batch), copy, batch, &push, &error)) {
                fprintf(stderr, "upgrader-bench: %s\n", qPrintable(error));
                return 1;
            }
            // A push that lost or doubled a record would make its time a lie.
            if (push.sent != records || push.waiting != 0 || push.server_rows != records || push.server_uids != records) {
                fprintf(stderr,
                        "upgrader-bench: a push of %d records in batches of %d sent %lld, left %lld waiting, and the "
                        "server holds %lld rows with %lld distinct uids%s%s\n",
                        records, batch, push.sent, push.waiting, push.server_rows, push.server_uids,
                        push.warning.isEmpty() ? "" : ": ", qPrintable(push.warning));
                return 1;
            }
            push_s[batch].append(push.seconds);
            server_uids = std::min(server_uids, push.server_uids);
        }
    }
    Print("history_records", records);
    Print("history_server_uids", server_uids);
    Print("history_append_" + count + "_s", append_s);
    Print("history_append_ms_per_record", append_s * 1e3 / records);
    const auto rates = [records](const QVector<double> &seconds) {
        QVector<double> per_s;
        for (double s : seconds)
            per_s.append(records / s);
        return per_s;
    };
    PrintSpread("history_push_" + count + "_s", push_s[kHistorySyncBatch]);
    PrintSpread("history_push_records_per_s", rates(push_s[kHistorySyncBatch]));
    for (int batch : batches) {
        const QString suffix = QStringLiteral("_batch%1").arg(batch);
        Print("history_push_" + count + "_s" + suffix, Median(push_s[batch]));
        Print("history_push_records_per_s" + suffix, Median(rates(push_s[batch])));
    }

    // The cost to a job: the same job alone and with pushes under way in this process, in turn.
    const SimCatalogScope catalog;
    const QString image = dir.filePath(QStringLiteral("dev%1.bin").arg(dev_id));
    error = WriteBenchImage(image, dev_id, size);
    if (!error.isEmpty()) {
        fprintf(stderr, "cannot write the image: %s\n", qPrintable(error));
        return 2;
    }
    double pass_s = Median(push_s[kHistorySyncBatch]);
    bool jobs_ok = true;
    double longest_alone_s = 0;
    QVector<JobTicks> alone;
    QVector<JobTicks> pushing;
    QVector<PushDuringJob::Figures> pushes;
    for (int run = 1; run <= runs; ++run) {
        if (stopped())
            return 128 + stopped_by;
        alone.append(TicksOf(RunJob(dev_id, image, 0)));
        longest_alone_s = std::max(longest_alone_s, alone.last().job_s);
        // Passes enough to cover the job three times over at the pace of the last ones: beside a
        // job a pass may go faster than the push timed above, whose connection was the first to
        // a new database.
        const int ready = std::min(kMostPushPasses, int(std::ceil(3 * longest_alone_s / pass_s)) + 1);
        PushDuringJob push(server, dir.path(), master, records, ready, QStringLiteral("job_%1").arg(run));
        if (!push.Prepare(&error)) {
            fprintf(stderr, "upgrader-bench: %s\n", qPrintable(error));
            return 1;
        }
        if (stopped())
            return 128 + stopped_by;
        pushing.append(TicksOf(RunJob(dev_id, image, 0, [&push] { push.Start(); })));
        pushes.append(push.End(pushing.last().job_s));
        if (!push.Check(&error)) {
            fprintf(stderr, "upgrader-bench: %s\n", qPrintable(error));
            return 1;
        }
        const PushDuringJob::Figures &done = pushes.last();
        if (done.passes_ended > 0)
            pass_s = std::min(pass_s, done.busy_s / done.passes_started);
        jobs_ok &= alone.last().ok && pushing.last().ok;
        if (!pushes.last().warning.isEmpty())
            fprintf(stderr, "upgrader-bench: a push during the job: %s\n", qPrintable(pushes.last().warning));
    }
    if (stopped())
        return 128 + stopped_by;
    Print("history_job_ok", jobs_ok ? 1 : 0);
    if (!jobs_ok)
        return 1;  // a failed job's figures would mean nothing
    const auto figure = [](const QVector<JobTicks> &jobs, double JobTicks::*field) {
        QVector<double> values;
        for (const JobTicks &job : jobs)
            values.append(job.*field);
        return values;
    };
    const std::pair<const char *, double JobTicks::*> measures[] = {
        {"job_s", &JobTicks::job_s},
        {"tick_rate_hz", &JobTicks::tick_rate_hz},
        {"max_tick_stall_ms", &JobTicks::max_tick_stall_ms},
        {"cpu_s", &JobTicks::cpu_s},
    };
    for (const auto &measure : measures) {
        const QString name = QLatin1String(measure.first);
        const QVector<double> a = figure(alone, measure.second);
        const QVector<double> b = figure(pushing, measure.second);
        PrintSpread("history_alone_" + name, a);
        PrintSpread("history_pushing_" + name, b);
        Print("history_pushing_" + name + "_ratio", Median(b) / Median(a));
    }
    QVector<double> passes;
    QVector<double> sent;
    QVector<double> share;
    int outlasted = 0;
    for (int run = 0; run < runs; ++run) {
        const PushDuringJob::Figures &f = pushes[run];
        passes.append(f.passes_ended);
        sent.append(f.records_sent);
        share.append(f.busy_s / pushing[run].job_s);
        outlasted += f.outlasted ? 1 : 0;
    }
    PrintSpread("history_pushing_passes_ended", passes);
    PrintSpread("history_pushing_records_sent", sent);
    PrintSpread("history_pushing_share_of_job", share);
    Print("history_pushing_jobs_outlasted", outlasted);
    return 0;
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
    parser.addOption({"history", "Instead, start a PostgreSQL server of its own (the line's server), time the appending of "
                                 "records to a station's history and one push of all of them to the empty server, then "
                                 "run the job of the first of --devices in turn alone and with pushes of such records "
                                 "under way in this process, and print how its ticks and time compare (waits scaled "
                                 "by 0.05 unless --wait-scale is given)."});
    parser.addOption({"history-records", "With --history: records per push (default 10000).", "N", "10000"});
    parser.addOption({"history-batches", "With --history: also time the push in batches of these many records "
                                         "(default 100,500,1000; 500 is the station's own and always timed).",
                      "LIST", "100,500,1000"});
    parser.addOption({"runs", "With --history: how many times each figure is measured (default 3); the median is "
                              "printed, and the spread as _min and _max.",
                      "N", "3"});
    parser.addOption({"states", "Also print the seconds the job loop's passes spent in each state of the sequence "
                                "(state_s_N, N as in UpgradeSequence::State)."});
    parser.addOption({"seed", "With --soak: the seed of the jobs' targets, faults and interruptions (default 1).", "SEED", "1"});
    parser.addOption({"first-job", "With --soak: start at this job of the seed's sequence (default 1), to run a job "
                                   "a longer run marked again; the jobs before it are not run, so its image and "
                                   "interruption moment can differ a little.",
                      "K", "1"});
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
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &context, const QString &message) {
        if (type != QtDebugMsg && !IsUpgradeAccount(type, context.category))
            fprintf(stderr, "%s\n", qPrintable(message));
    });
    if (parser.isSet("soak"))
        return Soak(parser);
    if (parser.isSet("idle-window"))
        return IdleWindow(parser);
    if (parser.isSet("history"))
        return History(parser);
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
        const QString image = dir.filePath(QStringLiteral("dev%1.bin").arg(dev_id));
        const QString error = WriteBenchImage(image, dev_id, size);
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
