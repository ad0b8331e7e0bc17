#include "soak_run.h"

#include "device_family.h"
#include "event_wait.h"
#include "link_log.h"
#include "sim_family.h"
#include "soak_judge.h"
#include "upgrade_server.h"
#include "waits.h"

#include <QElapsedTimer>
#include <QMutex>
#include <QMutexLocker>
#include <QStringList>

#include <algorithm>
#include <cstdio>
#include <memory>

namespace {

// The engine's console lines would flood a long run: the last ones are kept, and shown after a
// job that counts against the engine.
constexpr int kEngineLinesKept = 60;
QMutex engine_lines_lock;
QStringList engine_lines;
QtMessageHandler previous_handler = nullptr;

void KeepEngineLine(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type != QtDebugMsg && !IsUpgradeAccount(type, context.category)) {
        fprintf(stderr, "%s\n", qPrintable(message));
        return;
    }
    QMutexLocker lock(&engine_lines_lock);
    engine_lines << message;
    if (engine_lines.size() > kEngineLinesKept)
        engine_lines.removeFirst();
}

constexpr int kBaseId = 2;
// A base that answers nothing this long after a job is gone.
constexpr int kUnitBackMs = 10000;
// A device sent to its application is given this long to get there before a success is judged.
constexpr int kApplicationGraceMs = 3000;
// A hung job asked to stop ends after its current pass; this is far beyond that.
constexpr int kStopGraceMs = 30000;
// A flash that stays busy for a day has, for any job, no end.
constexpr int kEndlessBusyMs = 24 * 3600 * 1000;
// How long the interruption's moment is drawn over, as a share of the target's plain job.
constexpr double kInterruptSpan = 1.1;

int Pick(std::mt19937 &rng, int below)
{
    return int(rng() % unsigned(below));
}

double Share(std::mt19937 &rng, double max)
{
    return std::uniform_real_distribution<double>(0, max)(rng);
}

// Lost and corrupted bytes and frames in both directions; heavy is the level of a bad cable.
void AddLinkFaults(std::mt19937 &rng, SimFaults &faults, bool heavy)
{
    const double level = heavy ? 1.0 : 0.3;
    faults.drop_data_frame = Share(rng, 0.03 * level);
    faults.drop_request = Share(rng, 0.01 * level);
    faults.drop_reply = Share(rng, 0.02 * level);
    faults.corrupt_host_byte = Share(rng, 0.0005 * level);
    faults.corrupt_device_byte = Share(rng, 0.0005 * level);
    faults.drop_host_byte = Share(rng, 0.0002 * level);
    faults.drop_device_byte = Share(rng, 0.0002 * level);
}

// Wrong writes and digests of the flash and the buffer, each used up as it strikes.
void AddFlashErrors(std::mt19937 &rng, SimFaults &faults)
{
    faults.flash_write_errors = Pick(rng, 3);
    faults.buffer_digest_errors = Pick(rng, 2);
    faults.short_index_replies = Pick(rng, 2);
    if (Pick(rng, 3) == 0) {
        // The first k flash digests come out wrong; past four the job must give up.
        auto left = std::make_shared<int>(1 + Pick(rng, 5));
        faults.wrong_flash_digest_if = [left](int, quint32) { return (*left)-- > 0; };
    }
}

const char *RefusalName(LaunchRefusal::Kind kind)
{
    switch (kind) {
    case LaunchRefusal::Kind::TargetAbsent: return "target not configured";
    case LaunchRefusal::Kind::NoDevice: return "no device";
    case LaunchRefusal::Kind::SeveralDevices: return "several devices";
    case LaunchRefusal::Kind::NoHardwareVersion: return "no hardware version";
    case LaunchRefusal::Kind::HardwareMismatch: return "hardware mismatch";
    case LaunchRefusal::Kind::EmptyPath: return "no image path";
    case LaunchRefusal::Kind::MissingFile: return "no image file";
    case LaunchRefusal::Kind::InvalidImage: return "invalid image";
    case LaunchRefusal::Kind::UntrustedImage: return "untrusted image";
    case LaunchRefusal::Kind::UnitNotReady: return "a device of the unit in its bootloader";
    case LaunchRefusal::Kind::Halted: return "image halted by the line's guard";
    case LaunchRefusal::Kind::GuardMistyped: return "line_guard mistyped";
    }
    return "";
}

QString Seconds(qint64 ms)
{
    return QString::number(ms / 1000.0, 'f', 1) + QStringLiteral(" s");
}

}  // namespace

SoakRun::SoakRun(const SoakOptions &opts) : options(opts)
{
    previous_handler = qInstallMessageHandler(KeepEngineLine);
}

SoakRun::~SoakRun()
{
    unit.reset();
    neighbour.reset();
    server.reset();
    qInstallMessageHandler(previous_handler);
}

bool SoakRun::Prepare(QString *error)
{
    if (!dir.isValid()) {
        *error = dir.errorString();
        return false;
    }
    const SimFamilyOptions standard = UnitOptions(QString());
    if (!workspace.Write(dir.path(), standard.devices, standard.product_id, error))
        return false;
    for (int t = 0; t < workspace.Targets().size(); ++t) {
        next_image[t] = 0;
        // Until a plain job has shown it: the sequence's waits and the streaming at full pace.
        const SoakTarget &target = workspace.Targets()[t];
        const Pacing &pace = RoleOf(target.dev_id).pacing;
        typical_ms[t] = Waits::Long(20000) + qint64(target.segments[0].first().bytes.size() / pace.StreamingBytesPerMs());
    }
    return true;
}

SimFamilyOptions SoakRun::UnitOptions(const QString &location) const
{
    SimFamilyOptions family = SimFamilyOptions::Standard();
    // Restarts like real devices', shortened with the sequence's waits.
    const double scale = Waits::LongWaitScale();
    family.timings.device_restart_ms = std::max(5, int(300 * scale));
    family.timings.base_reenumerate_ms = std::max(5, int(1000 * scale));
    family.timings.display_boot_ms = std::max(5, int(100 * scale));
    family.location = location;
    return family;
}

void SoakRun::FreshUnit()
{
    unit.reset();  // its port leaves the catalog before the new one's comes
    unit = std::make_unique<SimFamily>(UnitOptions(QStringLiteral("soak-unit-%1").arg(++units_made)));
    if (units_made > 1)
        ++figures.fresh_units;
}

bool SoakRun::UnitBack()
{
    return RunEventsUntil([this] { return unit->IsResponsive(kBaseId); }, kUnitBackMs);
}

SoakBounds SoakRun::Bounds(int t) const
{
    const SoakTarget &target = workspace.Targets()[t];
    const Pacing &pace = RoleOf(target.dev_id).pacing;
    const int streaming_ms = int(target.segments[0].first().bytes.size() / pace.StreamingBytesPerMs());
    SoakBounds bounds;
    // Generous: a minute of the sequence's own waits, twenty times the devices' no-reply limit,
    // and the image streamed ten times over.
    bounds.deadline_ms = Waits::Long(60000) + 20 * Waits::NoReplyLimit() + 10 * streaming_ms;
    bounds.stop_grace_ms = kStopGraceMs;
    const SimTimings timings = UnitOptions(QString()).timings;
    bounds.replug_gap_ms = timings.base_detach_ms + timings.base_reenumerate_ms + 100;
    return bounds;
}

const char *SoakRun::ScenarioName(Scenario scenario)
{
    switch (scenario) {
    case Scenario::LinkFaults: return "link and flash faults";
    case Scenario::ShortBusy: return "busy flash";
    case Scenario::EndlessBusy: return "endless busy flash";
    case Scenario::UnplugMidJob: return "unplugged";
    case Scenario::BaseNeverReturns: return "base never returns";
    case Scenario::StopMidJob: return "stopped";
    case Scenario::UnplugAndPlug: return "unplugged and plugged";
    }
    return "";
}

bool SoakRun::KillsUnit(Scenario scenario)
{
    return scenario == Scenario::EndlessBusy || scenario == Scenario::BaseNeverReturns;
}

SoakRun::Plan SoakRun::Choose(quint32 job_seed)
{
    std::mt19937 rng(job_seed);
    Plan plan;
    plan.target = Pick(rng, workspace.Targets().size());
    const int dev_id = workspace.Targets()[plan.target].dev_id;
    plan.faults.seed = job_seed;
    // Weights out of 100: a third plain faults, two fifths interruptions, the rest the device's
    // own troubles.
    const int roll = Pick(rng, 100);
    plan.scenario = roll < 30   ? Scenario::LinkFaults
                    : roll < 38 ? Scenario::ShortBusy
                    : roll < 43 ? Scenario::EndlessBusy
                    : roll < 53 ? Scenario::UnplugMidJob
                    : roll < 58 ? Scenario::BaseNeverReturns
                    : roll < 79 ? Scenario::StopMidJob
                                : Scenario::UnplugAndPlug;
    const int span = std::max(1, int(typical_ms.value(plan.target) * kInterruptSpan));
    switch (plan.scenario) {
    case Scenario::LinkFaults:
        AddLinkFaults(rng, plan.faults, true);
        AddFlashErrors(rng, plan.faults);
        break;
    case Scenario::ShortBusy:
        AddLinkFaults(rng, plan.faults, false);
        plan.faults.flash_busy_ms[dev_id] = 300 + Pick(rng, 2200);
        break;
    case Scenario::EndlessBusy:
        plan.faults.flash_busy_ms[dev_id] = kEndlessBusyMs;
        break;
    case Scenario::UnplugMidJob:
        if (Pick(rng, 2))
            AddLinkFaults(rng, plan.faults, false);
        plan.interruption.kind = Interruption::Kind::Unplug;
        plan.interruption.after_ms = Pick(rng, span);
        break;
    case Scenario::BaseNeverReturns:
        plan.faults.never_reenumerate = true;
        break;
    case Scenario::StopMidJob:
        if (Pick(rng, 2))
            AddLinkFaults(rng, plan.faults, false);
        plan.interruption.kind = Interruption::Kind::Stop;
        plan.interruption.after_ms = Pick(rng, span);
        break;
    case Scenario::UnplugAndPlug:
        if (Pick(rng, 2))
            AddLinkFaults(rng, plan.faults, false);
        plan.interruption.kind = Interruption::Kind::UnplugAndPlug;
        plan.interruption.after_ms = Pick(rng, span);
        plan.interruption.plugged_for_ms = Pick(rng, 1000);
        break;
    }
    return plan;
}

void SoakRun::Report(const QString &line, bool with_engine_lines)
{
    fprintf(stderr, "%s\n", qPrintable(line));
    if (with_engine_lines) {
        QMutexLocker lock(&engine_lines_lock);
        fprintf(stderr, "  the engine's last console lines:\n    %s\n", qPrintable(engine_lines.join(QStringLiteral("\n    "))));
    }
    fflush(stderr);
}

SoakRun::Launch SoakRun::LaunchJob(int t, const SimFaults &faults, const Interruption &interruption, const QString &what)
{
    const SoakTarget &target = workspace.Targets()[t];
    const int image = next_image[t];
    next_image[t] = 1 - image;  // the next job writes bytes this one did not
    {
        QMutexLocker lock(&engine_lines_lock);
        engine_lines.clear();
    }
    unit->SetFaults(faults);
    Launch launch;
    launch.result = RunSoakJob(*server, *unit, workspace.Entries(t, image), target.name, interruption, Bounds(t));
    unit->SetFaults(SimFaults());
    const SoakJobResult &r = launch.result;
    const QString where = QStringLiteral("job %1 (seed %2), %3").arg(job).arg(options.seed).arg(what);

    if (neighbour->HostChunks().size() > 0) {
        ++figures.wrong_unit;
        Report(QStringLiteral("WRONG UNIT %1: the unit beside received %2 writes").arg(where).arg(neighbour->HostChunks().size()), true);
    }
    neighbour->ClearRecords();
    unit->ClearRecords();  // the simulator's records would otherwise grow with every job

    if (r.refused || r.link_busy) {
        ++figures.refused;
        launch.summary = r.link_busy ? QStringLiteral("not started, the link busy")
                                     : QStringLiteral("refused: %1").arg(RefusalName(*r.refused));
        return launch;
    }
    if (!r.ended) {
        ++figures.hangs;
        launch.summary = QStringLiteral("HANG after %1, %2").arg(Seconds(r.ms), r.stopped_late ? QStringLiteral("then stopped: %1").arg(JobEndName(r.reason)) : QStringLiteral("and did not stop"));
        Report(QStringLiteral("HANG %1: no end within %2").arg(where, Seconds(Bounds(t).deadline_ms)), true);
        if (!r.stopped_late) {
            // Its thread is stuck: destroying the engine would wait on it for ever. Left behind,
            // it shows in the thread count.
            UpgradeServer *stuck = server.release();
            Q_UNUSED(stuck);
            server = std::make_unique<UpgradeServer>();
        }
        if (r.stopped_late)
            ++figures.ends[r.reason];
        FreshUnit();
        return launch;
    }
    ++figures.ends[r.reason];
    launch.summary = QStringLiteral("%1 (%2)").arg(JobEndName(r.reason), Seconds(r.ms));
    if (r.reason != JobEndReason::Success)
        return launch;
    const QStringList problems = SuccessProblems(*unit, target.dev_id, target.segments[image], kApplicationGraceMs);
    if (!problems.isEmpty()) {
        ++figures.false_successes;
        launch.false_success = true;
        launch.summary += QStringLiteral(" FALSE: ") + problems.join(QStringLiteral("; "));
        Report(QStringLiteral("FALSE SUCCESS %1: %2").arg(where, problems.join(QStringLiteral("; "))), true);
        // The unit is not what the engine said: it goes back for rework, and the next job gets
        // one that is, so that one false success does not spoil the jobs after it.
        FreshUnit();
        return launch;
    }
    launch.success = true;
    return launch;
}

SoakFigures SoakRun::Run()
{
    figures = SoakFigures();
    // Jobs first_job .. first_job + jobs - 1 of the seed's sequence: a job marked in a long run
    // can be run again on its own.
    const int last_job = options.first_job + options.jobs - 1;
    figures.jobs = options.jobs;
    figures.growth_from_job = options.first_job - 1 + (options.jobs >= 100 ? 50 : std::max(1, options.jobs / 10));
    server = std::make_unique<UpgradeServer>();
    neighbour = std::make_unique<SimFamily>(UnitOptions(QStringLiteral("soak-neighbour")));
    FreshUnit();
    for (int t = 0; t < workspace.Targets().size(); ++t)
        figures.deadline_s = std::max(figures.deadline_s, Bounds(t).deadline_ms / 1000);

    for (job = options.first_job; job <= last_job; ++job) {
        const Plan plan = Choose(options.seed * 100003u + quint32(job));
        const SoakTarget &target = workspace.Targets()[plan.target];
        if (!UnitBack()) {
            Report(QStringLiteral("job %1: the unit's base is gone; a fresh unit").arg(job));
            FreshUnit();
        }
        QString what = QStringLiteral("%1, %2").arg(target.name, ScenarioName(plan.scenario));
        if (plan.interruption.kind != Interruption::Kind::None)
            what += QStringLiteral(" at %1 ms").arg(plan.interruption.after_ms);
        const Launch first = LaunchJob(plan.target, plan.faults, plan.interruption, what);
        QString line = QStringLiteral("soak %1/%2: %3: %4").arg(job).arg(last_job).arg(what, first.summary);
        const SoakJobResult &r = first.result;
        const bool ran = !r.refused && !r.link_busy && r.ended;
        if (ran && r.reason != JobEndReason::Success) {
            if (KillsUnit(plan.scenario)) {
                line += QStringLiteral("; a fresh unit");
                FreshUnit();
            } else if (!UnitBack()) {
                ++figures.unrecovered;
                line += QStringLiteral("; UNRECOVERED: the base never came back");
                Report(QStringLiteral("UNRECOVERED job %1 (seed %2), %3: the base is gone").arg(job).arg(options.seed).arg(what), true);
                FreshUnit();
            } else {
                ++figures.recoveries;
                const Launch again = LaunchJob(plan.target, SimFaults(), Interruption(), what + QStringLiteral(", recovery"));
                line += QStringLiteral("; recovery: ") + again.summary;
                if (again.success) {
                    typical_ms[plan.target] = again.result.ms;  // a plain job, no faults
                } else {
                    ++figures.unrecovered;
                    // A false success has shown the engine's lines already.
                    Report(QStringLiteral("UNRECOVERED job %1 (seed %2), %3: %4").arg(job).arg(options.seed).arg(what, again.summary),
                           !again.false_success);
                }
            }
        }
        Report(line);
        if (job == figures.growth_from_job || job == last_job) {
            // The job's thread is gone before anything is counted.
            RunEventsUntil([this] { return !server->isRunning(); }, kStopGraceMs);
            const ProcessUsage now = ProcessUsage::Now();
            if (job == figures.growth_from_job)
                figures.at_baseline = now;
            if (job == last_job)
                figures.at_end = now;
        }
    }
    return figures;
}

void PrintSoakFigures(const SoakFigures &f)
{
    auto print = [](const char *name, qint64 value) {
        printf("%s: %lld\n", name, static_cast<long long>(value));
    };
    // A figure this platform does not give reads "n/a".
    auto growth = [](const char *name, qint64 from, qint64 to, qint64 unit) {
        if (from < 0 || to < 0)
            printf("%s: n/a\n", name);
        else
            printf("%s: %lld\n", name, static_cast<long long>((to - from) / unit));
    };
    print("soak_jobs", f.jobs);
    print("soak_false_successes", f.false_successes);
    print("soak_hangs", f.hangs);
    print("soak_unrecovered", f.unrecovered);
    print("soak_wrong_unit", f.wrong_unit);
    print("soak_recoveries", f.recoveries);
    print("soak_refused", f.refused);
    print("soak_fresh_units", f.fresh_units);
    for (JobEndReason reason : {JobEndReason::Success, JobEndReason::Stopped, JobEndReason::TimedOut,
                                JobEndReason::ImageInvalid, JobEndReason::PortNotOpened, JobEndReason::LinkLost,
                                JobEndReason::DeviceSilent, JobEndReason::DeviceFailed}) {
        const QByteArray name = "soak_end_" + QByteArray(JobEndName(reason)).replace(' ', '_');
        print(name.constData(), f.ends.value(reason));
    }
    print("soak_job_deadline_s", f.deadline_s);
    print("soak_growth_from_job", f.growth_from_job);
    growth("soak_fd_growth", f.at_baseline.open_files, f.at_end.open_files, 1);
    growth("soak_thread_growth", f.at_baseline.threads, f.at_end.threads, 1);
    growth("soak_heap_growth_kib", f.at_baseline.heap_bytes, f.at_end.heap_bytes, 1024);
    fflush(stdout);
}
