#pragma once

#include "cli_options.h"
#include "upgrade_run.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <memory>
#include <vector>

class CliOutput;
class QCoreApplication;
class StationUnit;
struct LaunchRefusal;

// `upgrade TARGET --all`: TARGET on every attached base at once, one engine and one job thread
// per base, each job held to its base's USB location.
//
// The launches (each with its blocking hardware queries) run one after another in this thread
// before any job starts: every engine's 1 ms tick timer runs in this thread's event loop, so
// while the jobs run that loop does nothing that blocks. The jobs then start together, and the
// command ends when the last one has, with a summary line per base.
class StationRun : public QObject {
    Q_OBJECT

public:
    StationRun(const CliOptions &options, CliOutput &output, const QElapsedTimer &clock);
    ~StationRun() override;

    // The launches and the start of the jobs. Returns the exit code when the command ends here
    // (a refusal for the whole station, every base refused, a stop), or -1 once jobs run;
    // Finished brings the code then.
    int Launch();

    // Stops every job as the operator's Stop button does, and waits (bounded) for their end;
    // during the launches, no further base is launched and no job starts. The first cause counts.
    void RequestStop(StopCause cause);

signals:
    void Finished(int exit_code);

private:
    int RefuseAll(int code, const QString &warning, const QStringList &debug_lines = {}, bool debug_after = false);
    int RefuseLaunch(const LaunchRefusal &refusal);
    void OnUnitEnded(const StationUnit &unit);
    void RenderStatus();
    void OnStopGraceOver();
    // The summary of every base and the command's exit code.
    int Conclude();

    const CliOptions &options;
    CliOutput &output;
    const QElapsedTimer &clock;
    bool chinese = false;

    std::vector<std::unique_ptr<StationUnit>> units;
    bool launched = false;  // the launches are over: the end of the last job ends the command
    int first_failure = 0;  // the exit code of the first base that failed, in time
    StopCause stop_cause = StopCause::None;
    QTimer status_timer;      // redraws the terminal's lines between reports
    QTimer stop_grace_timer;  // the bound on the wait for stopped jobs' end
};

