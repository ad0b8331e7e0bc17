#pragma once

#include "cli_options.h"
#include "job_phases.h"
#include "job_record_keeper.h"
#include "upgrade_server.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <memory>
#include <optional>

class CliOutput;
struct LaunchRefusal;

// Why the command was asked to stop before its job ended.
enum class StopCause { None, Timeout, Interrupt, Terminate, Hangup };

// `upgrade TARGET`: the window's launch through the shared launch layer, then one job of the
// real engine, reported as it goes and judged by its end.
class UpgradeRun : public QObject {
    Q_OBJECT

public:
    // clock runs from the start of the command: --timeout and the reported duration count from it.
    UpgradeRun(const CliOptions &options, CliOutput &output, const QElapsedTimer &clock);
    ~UpgradeRun() override;

    // The launch checks and the start of the job. Returns the exit code when the command ends
    // here (a refusal, a stop), or -1 once the job runs; Finished brings the code then.
    int Launch();

    // Stops the job as the operator's Stop button does and waits (bounded) for its end; before
    // the job has started, the launch goes no further. The first cause counts.
    void RequestStop(StopCause cause);

signals:
    void Finished(int exit_code);

private:
    int Refuse(int code, const QString &warning, const QStringList &debug_lines = {}, bool debug_after = false);
    int RefuseLaunch(const LaunchRefusal &refusal);
    int StoppedBeforeJob();
    // Reads the chosen image for its digest and its sections; false (refused) when it is not valid.
    bool ReadImage(const QString &path, int dev_id);
    void OnUpgradeProgress(bool show, float value);
    void OnVerifyProgress(bool show, float value);
    void Report(bool phase_changed);
    void RenderStatus();
    void OnJobEnded();
    void OnStopGraceOver();
    int StopCode() const;
    QString StopText() const;
    // The result line or object: the last thing the command says.
    void Conclude(int code, const QString &error, bool job_ran);

    const CliOptions &options;
    CliOutput &output;
    const QElapsedTimer &clock;
    bool chinese = false;

    UpgradeServer server;
    JobRecordKeeper record_keeper{server, QLatin1String(UpgradeRecord::kCommand)};  // after the engine
    QString port;
    QString hw_version;
    QString image_path;
    QString image_sha256;
    std::unique_ptr<JobPhases> phases;
    int last_tenth = -1;  // the last tenth of the phase a plain progress line was written for

    bool job_running = false;
    QString error_text;  // the engine's, one line per failure
    StopCause stop_cause = StopCause::None;
    QTimer status_timer;       // redraws the terminal's status line between reports
    QTimer stop_grace_timer;   // the bound on the wait for a stopped job's end
};
