#pragma once

#include "cli_output.h"
#include "exit_codes.h"
#include "progress_pace.h"
#include "job_record_keeper.h"
#include "line_guard.h"
#include "unit_key.h"
#include "upgrade_launch.h"
#include "upgrade_server.h"

#include <QElapsedTimer>
#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>

struct CliConfig;

// What the command's switches ask of every unit's upgrade.
struct SessionRules {
    bool skip_current = false;     // nothing is sent to a target that runs the image's version
    bool require_history = false;  // a record that cannot be written fails the unit
    LineGuard *line_guard = nullptr;  // the run's guard, asked before each job starts
};

// One unit's upgrade from its launch to its record and its report: the launch's checks, its own
// engine and job (held to the unit by its USB location, so the job follows the base through its
// restarts), the job's progress, its record, a stop, and its end. Lives in the command's main
// thread, which also delivers its engine's ticks.
class UpgradeSession : public QObject {
    Q_OBJECT

public:
    // The command's only unit: the launch finds the target's one device (at wanted, a USB
    // location or port name, when given). Its lines name the target, its events are the
    // command's, and its times count from command_clock, the start of the command.
    UpgradeSession(const QString &target, const UnitKey &wanted, CliOutput &output,
                   const QElapsedTimer &command_clock);
    // One base of a station: every line starts with the base's USB location (or its port name
    // when it has none), and its times count from the start of its own launch.
    UpgradeSession(const QString &target, const PortInfo &base, CliOutput &output,
                   const QElapsedTimer &command_clock);
    ~UpgradeSession() override;

    // The launch for this unit, each check in its order: the target's one device, its port, its
    // hardware version and variant, the variant's image. Blocks this thread for the hardware
    // queries, with events going. True when the job is ready to start. False when there is no
    // job to start: refused or stopped (the session has ended), or the target is current (the
    // session ends once its record is written).
    bool Launch(const CliConfig &config, const SessionRules &rules = SessionRules());
    // Starts the job a launch made ready; false (the session has ended, or there was no such
    // job) when there is none or the engine would not start it.
    bool Start();
    // A refusal before the session's launch (the configuration's): the session ends with it.
    void Refuse(int exit_code, const QString &warning, const QStringList &debug_lines = {},
                bool debug_after = false);
    // As the Stop button: the job ends after its current pass and the session ends with the end
    // reason's code, the reason said first. A session whose job has not started ends now with the
    // stop's code; one in its launch ends at its next step. The first stop counts.
    void Stop(StopCause cause, const QString &reason);
    // The stopped job did not end in time: the session ends as it stands, with the stop's code.
    void Abandon(const QString &reason);

    bool Running() const { return running; }
    bool HasEnded() const { return ended; }
    int ExitCode() const { return code; }
    // The line a terminal shows for this unit while the job runs; empty when there is nothing to show.
    QString StatusLine() const;
    // This unit's line of a station's summary, cut into its columns: location, hardware version,
    // result, time, error text.
    QStringList SummaryCells() const;
    QJsonObject SummaryFields() const;

signals:
    // The session's end: its job ended, or its launch was refused or stopped.
    void Ended();
    // A progress report arrived.
    void Progressed();

private:
    enum class Voice { Alone, InStation };

    UpgradeSession(const QString &target, const UnitKey &unit, const QString &where,
                   const CliOutput::Context &context, Voice voice, CliOutput &output,
                   const QElapsedTimer &command_clock);
    bool Prepare(const CliConfig &config);
    // The target runs the image's version already: its record, then the end, "current".
    bool Current(const VersionCheck &check);
    // The line's guard, before the job: false when it halted the image (or a stop came meanwhile).
    bool AskLineGuard(const CliConfig &config);
    // The result's name: "current" for a target left as it was, else the exit code's.
    QString ResultName() const;
    bool RefuseLaunch(const LaunchRefusal &refusal);
    bool Refused(int exit_code, const QString &warning, const QStringList &debug_lines = {}, bool debug_after = false);
    // Between two steps of the launch: a stop asked for meanwhile ends the session.
    bool StoppedInLaunch();
    void StoppedBeforeJob();
    void OnReport(bool phase_changed);
    void OnJobEnded();
    void Conclude(int exit_code, const QString &why, bool job_ran);
    void SetPort(const PortInfo &port);
    // What starts each of the session's lines on standard error: nothing alone, else the location.
    QString LinePrefix() const;
    // The unit as a progress or result line names it.
    QString Name() const;
    void Log(const QString &event, const QJsonObject &fields, const QString &line);
    double Seconds() const;

    const QString target;
    const UnitKey unit;  // where the launch looks for the device
    const Voice voice;
    CliOutput &output;
    QElapsedTimer own_clock;     // in a station: from the start of this session's launch
    const QElapsedTimer &clock;  // the one the session's times count from
    CliOutput::Context context;  // what the session's events are about
    const QString where;         // a station's base: its USB location, or its port name
    QString log_unit;            // a station's base: the unit its console lines carry
    Language language = Language::English;  // of its refusal and result
    SessionRules rules;
    QString history;  // the upgrade history file the job is recorded in
    UpgradeRecord recorded;   // the job's record as written (or as it could not be)
    QString history_warning;  // why the record could not be written; empty when it was (or not yet)
    bool current = false;     // nothing sent: the target already ran the image's version
    bool ready = false;       // the launch made a job ready to start, and it has not started

    UpgradeServer server;
    JobRecordKeeper record_keeper{server, QLatin1String(UpgradeRecord::kCommand)};  // after the engine
    LaunchJob job;
    QString image_sha256;
    std::unique_ptr<ProgressPace> phases;
    int last_tenth = -1;  // the last tenth of the phase a plain progress line was written for

    bool launching = false;
    bool running = false;
    QString error_text;  // the engine's, one line per failure
    StopCause stop_cause = StopCause::None;
    QString stop_reason;

    bool ended = false;
    int code = ExitCode::kSuccess;
    QString error;
    double seconds = 0;
};
