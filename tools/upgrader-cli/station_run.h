#pragma once

#include "cli_options.h"
#include "exit_codes.h"
#include "line_guard.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QObject>
#include <QTimer>

#include <memory>
#include <vector>

class CliOutput;
class HistorySync;
class UpgradeSession;
struct LaunchRefusal;

// `upgrade TARGET`: one upgrade session per unit. Without --all a station of one, the unit the
// launch finds (at --port when given); with --all, TARGET on every attached base at once, one
// engine and one job thread per base, each job held to its base's USB location.
//
// The launches (each with its blocking hardware queries) run one after another in this thread
// before any job starts: every engine's 1 ms tick timer runs in this thread's event loop, so
// while the jobs run that loop does nothing that blocks. The jobs then start together, and the
// command ends when the last one has: alone with the unit's result, a station with a summary
// line per base.
class StationRun : public QObject {
    Q_OBJECT

public:
    // clock runs from the start of the command: --timeout and the reported durations count from it.
    StationRun(const CliOptions &options, CliOutput &output, const QElapsedTimer &clock);
    ~StationRun() override;

    // The launches and the start of the jobs. Returns the exit code when the command ends here
    // (a refusal, every base refused, a stop), or -1 once jobs run; Finished brings the code then.
    int Launch();

    // Stops every job as the operator's Stop button does, and waits (bounded) for their end;
    // during the launches, no further unit is launched and no job starts. The first cause counts.
    // Once every job has ended, a stop signal ends the wait for the line's server instead.
    void RequestStop(StopCause cause);

    // The records of this run on their way to the line's server, when the configuration names
    // one: waits (bounded) for the push, and says what waits when it did not get through. A stop
    // signal ends that wait at once, and after a job stopped by one there is none: the records
    // wait on the station for the next push. Returns the command's exit code: code, the one it
    // had, or the stop's when a stop signal came once every job had ended.
    int FinishHistorySync(int code);

signals:
    void Finished(int exit_code);

private:
    // A refusal of the whole command, before any unit's launch.
    int RefuseAll(int code, const QString &warning, const QStringList &debug_lines = {}, bool debug_after = false);
    int RefuseLaunch(const LaunchRefusal &refusal);
    void AddSession(std::unique_ptr<UpgradeSession> session);
    void OnSessionEnded(const UpgradeSession &session);
    void RenderStatus();
    void OnStopGraceOver();
    QString StopText() const;
    // The end of the command: a station's summary; its exit code.
    int Conclude();
    int CommandExitCode() const;

    const CliOptions &options;
    CliOutput &output;
    const QElapsedTimer &clock;
    const bool station;  // --all: every base, with a summary
    Language language = Language::English;  // of the refusals and the summary

    std::vector<std::unique_ptr<UpgradeSession>> sessions;
    bool launched = false;  // the launches are over: the end of the last job ends the command
    int first_failure = 0;  // the exit code of the first unit that failed, in time
    StopCause stop_cause = StopCause::None;
    QTimer status_timer;      // redraws the terminal's lines between reports
    QTimer stop_grace_timer;  // the bound on the wait for stopped jobs' end
    std::unique_ptr<HistorySync> history_sync;  // when the configuration names a line server
    LineGuard line_guard;  // one for the run: an unanswered server is said once
    // The end: a stop signal once every job had ended (it ends the wait for the server), and that
    // wait while it runs.
    bool ending = false;
    StopCause end_stop = StopCause::None;
    QEventLoop *history_wait = nullptr;
};
