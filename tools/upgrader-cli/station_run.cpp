#include "station_run.h"

#include "cli_config.h"
#include "cli_log.h"
#include "cli_output.h"
#include "cli_texts.h"
#include "device_commands.h"
#include "launch_checks.h"
#include "history_store.h"
#include "history_sync.h"
#include "port_catalog.h"
#include "run_report.h"
#include "upgrade_launch.h"
#include "upgrade_server.h"
#include "upgrade_session.h"

#include <QCoreApplication>
#include <QJsonArray>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr int kStatusRedrawMs = 250;
// How long a command that ends waits for its records to reach the line's server: a server that
// does not answer costs this once, then the records wait on the station for the next push.
constexpr int kHistorySyncBoundMs = 10000;
// Once the command gives up on the server, how long it waits for the push's thread: a statement
// ends at once when its connection is cut; only a connect under way takes longer (up to its
// connect_timeout), and the command leaves without it.
constexpr int kHistoryAbandonMs = 1000;

// The command's time so far, to the millisecond, for the JSON stream.
QJsonValue Seconds(const QElapsedTimer &clock)
{
    return Rounded(clock.elapsed() / 1000.0, 1000);
}

bool AllEnded(const std::vector<std::unique_ptr<UpgradeSession>> &sessions)
{
    return std::all_of(sessions.begin(), sessions.end(), [](const auto &session) { return session->HasEnded(); });
}

}  // namespace

StationRun::StationRun(const CliOptions &opts, CliOutput &out, const QElapsedTimer &started)
    : options(opts), output(out), clock(started), station(opts.all)
{
    connect(&status_timer, &QTimer::timeout, this, &StationRun::RenderStatus);
    stop_grace_timer.setSingleShot(true);
    connect(&stop_grace_timer, &QTimer::timeout, this, &StationRun::OnStopGraceOver);
}

StationRun::~StationRun() = default;

int StationRun::Launch()
{
    const QString target = options.argument;
    output.SetContext(target, QString());
    // A station of one is there from the start: what refuses the command is its refusal.
    if (!station)
        AddSession(std::make_unique<UpgradeSession>(target, options.unit, output, clock));

    const CliConfig config = ReadCliConfig(options.config, options.language);
    language = config.language;
    if (config.failure)
        return RefuseAll(ExitCode::kConfig, config.failure->Warning(language));
    // A configuration that cannot upgrade this target says so now: no device can mend it.
    if (const auto problem = UpgradeConfigProblem(config, target))
        return RefuseAll(ExitCode::kConfig, problem->Warning(language), {problem->debug_line});
    // A run that needs its record is refused before anything reaches a unit when the history
    // cannot take one: that is known now, not only once the unit has been upgraded.
    if (options.require_history) {
        const QString problem = HistoryWriteProblem(HistoryStore::Location(config.path));
        if (!problem.isEmpty())
            return RefuseAll(ExitCode::kHistory, CliTexts::kHistoryNotWritable.In(language).arg(problem));
    }
    // Records that waited since an earlier run go while this one's jobs run, on their own thread.
    if (!config.history_server.isEmpty()) {
        history_sync = std::make_unique<HistorySync>(HistoryStore::Location(config.path), config.history_server);
        history_sync->Kick();
    }

    if (station) {
        // What refuses the whole station: a target not configured, or not one base of it attached.
        {
            UpgradeServer idle;
            UpgradeLaunch check(idle, config.path);
            const auto refusal = check.FindDevice(config.entries, target);
            using Kind = LaunchRefusal::Kind;
            if (refusal && (refusal->kind == Kind::TargetAbsent || refusal->kind == Kind::NoDevice))
                return RefuseLaunch(ExplainRefusal(*refusal, config.entries, target, UnitKey()));
        }
        QList<PortInfo> bases;
        for (const PortInfo &port : ListFamilyPorts()) {
            if (config.entries.value(target).usb_pids.contains(port.product_id))
                bases.append(port);
        }
        for (const PortInfo &base : InUsbOrder(bases))
            AddSession(std::make_unique<UpgradeSession>(target, base, output, clock));
    }

    // Only the sessions whose launch made a job ready start one: a refused or stopped session
    // has ended, and a current target's waits for its record.
    std::vector<UpgradeSession *> ready;
    for (const auto &session : sessions) {
        QCoreApplication::processEvents();  // a stop signal is seen between two launches
        if (stop_cause != StopCause::None)
            break;  // the stop has ended every session not launched yet
        if (session->Launch(config, {options.skip_current, options.require_history, &line_guard}))
            ready.push_back(session.get());
    }
    // Every launch is done before any job starts (see the class comment).
    for (UpgradeSession *session : ready)
        session->Start();
    launched = true;
    if (AllEnded(sessions))
        return Conclude();
    if (output.GetMode() == CliOutput::Mode::Terminal) {
        RenderStatus();
        status_timer.start(kStatusRedrawMs);
    }
    return -1;
}

void StationRun::AddSession(std::unique_ptr<UpgradeSession> session)
{
    UpgradeSession *added = session.get();
    sessions.push_back(std::move(session));
    connect(added, &UpgradeSession::Ended, this, [this, added] { OnSessionEnded(*added); });
    connect(added, &UpgradeSession::Progressed, this, &StationRun::RenderStatus);
}

int StationRun::RefuseLaunch(const LaunchRefusal &refusal)
{
    return RefuseAll(RefusalExitCode(refusal.kind), refusal.Warning(language), refusal.debug_lines,
                     refusal.debug_after_warning);
}

int StationRun::RefuseAll(int code, const QString &warning, const QStringList &debug_lines, bool debug_after)
{
    if (!station) {
        sessions.front()->Refuse(code, warning, debug_lines, debug_after);
        return code;
    }
    auto debug = [&] {
        for (const QString &line : debug_lines)
            qCWarning(lcCommand).noquote() << line;
    };
    if (!debug_after)
        debug();
    if (output.Json()) {
        output.Event(QStringLiteral("refusal"),
                     {{QStringLiteral("text"), warning}, {QStringLiteral("exit_code"), code}});
        output.Event(QStringLiteral("summary"), {{QStringLiteral("result"), ExitCode::ResultName(code)},
                                                 {QStringLiteral("exit_code"), code},
                                                 {QStringLiteral("error"), warning},
                                                 {QStringLiteral("duration_s"), Seconds(clock)},
                                                 {QStringLiteral("units"), QJsonArray()}});
    } else {
        output.Err(warning);
    }
    if (debug_after)
        debug();
    return code;
}

void StationRun::RequestStop(StopCause cause)
{
    // Every job has ended: what is left is the wait for the line's server. A stop signal ends it
    // (--timeout bounds the jobs; that wait has a bound of its own).
    if (ending || (launched && AllEnded(sessions))) {
        if (cause == StopCause::Timeout)
            return;
        if (end_stop == StopCause::None)
            end_stop = cause;
        if (history_wait)
            history_wait->quit();
        return;
    }
    if (stop_cause != StopCause::None)
        return;
    stop_cause = cause;
    bool waiting = false;
    for (const auto &session : sessions) {
        waiting |= session->Running();
        session->Stop(cause, StopText());
    }
    if (waiting)
        stop_grace_timer.start(kStopGraceMs);
}

QString StationRun::StopText() const
{
    return StopReason(stop_cause, language, options.timeout_s);
}

void StationRun::OnSessionEnded(const UpgradeSession &session)
{
    if (first_failure == 0)
        first_failure = session.ExitCode();
    if (history_sync)
        history_sync->Kick();  // the session has ended, so its record is written
    RenderStatus();
    if (launched && AllEnded(sessions))
        emit Finished(Conclude());
}

int StationRun::FinishHistorySync(int code)
{
    ending = true;
    if (!history_sync)
        return code;
    // A stop signal asked the command to end: it does not wait for the server.
    const bool signalled = stop_cause == StopCause::Interrupt || stop_cause == StopCause::Terminate ||
                           stop_cause == StopCause::Hangup;
    HistoryServer::SyncTally tally;
    bool pushed = false;
    if (!signalled && end_stop == StopCause::None) {
        // In this thread's event loop, so that a stop signal is heard meanwhile.
        QEventLoop loop;
        connect(history_sync.get(), &HistorySync::Finished, &loop,
                [&](qint64 sent, qint64 waiting, const QString &warning) {
                    tally = {sent, waiting, warning};
                    pushed = true;
                    loop.quit();
                });
        QTimer bound;
        bound.setSingleShot(true);
        connect(&bound, &QTimer::timeout, &loop, &QEventLoop::quit);
        bound.start(kHistorySyncBoundMs);
        history_wait = &loop;
        history_sync->KickLast();
        loop.exec();
        history_wait = nullptr;
    }
    const StopCause stopped = end_stop != StopCause::None ? end_stop : signalled ? stop_cause : StopCause::None;
    if (end_stop != StopCause::None)
        code = StopExitCode(end_stop);
    bool left = true;  // the push's thread has ended
    if (!pushed) {
        // Give up on the server, not on the records: they wait for the next start.
        left = history_sync->Abandon(kHistoryAbandonMs);
        tally = {};
        tally.warning = stopped != StopCause::None
                            ? StopReason(stopped, language, options.timeout_s)
                            : QStringLiteral("Upgrade history not sent to the line's server: no answer within %1 s")
                                  .arg(kHistorySyncBoundMs / 1000.0, 0, 'f', 1);
        QString unknown;
        tally.waiting = HistoryStore::CountWaiting(history_sync->Database(), &unknown);
    }
    if (output.Json()) {
        output.Event(QStringLiteral("history-sync"), {{QStringLiteral("sent"), tally.sent},
                                                      {QStringLiteral("waiting"), tally.waiting},
                                                      {QStringLiteral("warning"), tally.warning},
                                                      {QStringLiteral("exit_code"), code}});
    } else if (!tally.warning.isEmpty()) {
        output.Err(QStringLiteral("history: %1").arg(tally.warning));
        if (tally.waiting > 0)
            output.Err(QStringLiteral("history: %1 %2 for the line's server; they go with the next job or "
                                      "\"upgrader-cli history sync\"")
                           .arg(tally.waiting)
                           .arg(tally.waiting == 1 ? "record waits" : "records wait"));
    }
    if (!left) {
        // Still connecting: destroying it would wait for the connect time-out.
        fflush(stdout);
        fflush(stderr);
        std::_Exit(code);
    }
    history_sync.reset();
    return code;
}

void StationRun::RenderStatus()
{
    if (output.GetMode() != CliOutput::Mode::Terminal || !launched)
        return;
    QStringList lines;
    for (const auto &session : sessions) {
        const QString line = session->StatusLine();
        if (!line.isEmpty())
            lines << line;
    }
    if (!lines.isEmpty())
        output.StatusLines(lines);
}

void StationRun::OnStopGraceOver()
{
    const QString text = CliTexts::kJobDidNotEnd.In(language).arg(kStopGraceMs / 1000);
    for (const auto &session : sessions)
        session->Abandon(text);
    const int code = Conclude();
    // Destroying the engines would wait for their threads without end; the system releases the ports.
    fflush(stdout);
    fflush(stderr);
    std::_Exit(code);
}

int StationRun::CommandExitCode() const
{
    // A station of one ends as its unit did; a stopped station with the stop's code, any other
    // with that of its first failure.
    if (!station)
        return sessions.front()->ExitCode();
    return stop_cause != StopCause::None ? StopExitCode(stop_cause) : first_failure;
}

int StationRun::Conclude()
{
    status_timer.stop();
    stop_grace_timer.stop();
    const int code = CommandExitCode();
    if (!station)
        return code;  // the unit's result was the last word
    RenderStatus();
    output.EndStatus();
    const int succeeded = int(std::count_if(sessions.begin(), sessions.end(),
                                            [](const auto &session) { return session->ExitCode() == 0; }));
    const int failed = int(sessions.size()) - succeeded;

    if (output.Json()) {
        QJsonArray rows;
        for (const auto &session : sessions)
            rows.append(session->SummaryFields());
        output.Event(QStringLiteral("summary"), {{QStringLiteral("result"), ExitCode::ResultName(code)},
                                                 {QStringLiteral("exit_code"), code},
                                                 {QStringLiteral("succeeded"), succeeded},
                                                 {QStringLiteral("failed"), failed},
                                                 {QStringLiteral("duration_s"), Seconds(clock)},
                                                 {QStringLiteral("units"), rows}});
        return code;
    }
    // One line per base, in columns: location, hardware version, result, time, error text.
    QList<QStringList> table{{QStringLiteral("location"), QStringLiteral("hardware"), QStringLiteral("result"),
                              QStringLiteral("time"), QStringLiteral("error")}};
    for (const auto &session : sessions)
        table.append(session->SummaryCells());
    QVector<int> widths(table.first().size(), 0);
    for (const QStringList &row : table) {
        for (int i = 0; i < row.size(); ++i)
            widths[i] = std::max(widths[i], int(row[i].size()));
    }
    output.Out(QStringLiteral("%1 on %2 bases: %3 succeeded, %4 failed (%5 s)")
                   .arg(options.argument)
                   .arg(sessions.size())
                   .arg(succeeded)
                   .arg(failed)
                   .arg(clock.elapsed() / 1000.0, 0, 'f', 1));
    for (const QStringList &row : table) {
        QStringList cells;
        for (int i = 0; i < row.size(); ++i)
            cells << (i + 1 < row.size() ? row[i].leftJustified(widths[i]) : row[i]);
        output.Out(QStringLiteral("  ") + cells.join(QStringLiteral("  ")).trimmed());
    }
    return code;
}
