#pragma once

#include "job_record_keeper.h"

#include "cli_output.h"
#include "firmware_entry.h"
#include "job_phases.h"
#include "port_catalog.h"
#include "upgrade_launch.h"
#include "upgrade_run.h"
#include "upgrade_server.h"

#include <QElapsedTimer>
#include <QJsonObject>
#include <QObject>
#include <QString>

#include <memory>

// One base of a station that `upgrade TARGET --all` upgrades: an engine of its own, whose job
// holds this base's port alone (by its USB location, so the job follows the base through its
// restarts), the launch for this base, its progress and its result. Lives in the command's main
// thread, which also delivers its engine's ticks.
class StationUnit : public QObject {
    Q_OBJECT

public:
    // history: the upgrade history file this base's job is recorded in.
    StationUnit(const QString &target, const PortInfo &base, CliOutput &output, bool chinese,
                const QString &history);
    ~StationUnit() override;

    // The launch for this base alone: the device there, its hardware version, the variant and its
    // image. Blocks the calling thread for the hardware queries. False when refused; the unit has
    // then ended with the refusal's exit code.
    bool Prepare(const FirmwareEntries &entries);
    // Starts the prepared job; false (the unit has ended) when the engine would not.
    bool Start();
    // As the Stop button: the job ends after its current pass and the unit ends with code and
    // reason, unless the job had already succeeded. A unit whose job has not started ends now.
    void Stop(StopCause cause, const QString &reason);
    // The stopped job did not end in time: the unit ends with code and reason as it stands.
    void Abandon(int code, const QString &reason);

    bool Running() const { return running; }
    bool HasEnded() const { return ended; }
    int ExitCode() const { return code; }
    // The base's USB location, or its port name when it has none.
    const QString &Where() const { return where; }
    // The line a terminal shows for this base while the station runs.
    QString StatusLine() const;
    // This base's line of the summary, cut into its columns: location, hardware version,
    // result, time, error text.
    QStringList SummaryCells() const;
    QJsonObject SummaryFields() const;

signals:
    // The unit's end: its job ended, or its launch was refused or stopped.
    void Ended();
    // A report arrived; phase_changed when it began a new phase.
    void Progressed(bool phase_changed);

private:
    bool Launch(const FirmwareEntries &entries);
    bool Refuse(int exit_code, const QString &warning, const QStringList &debug_lines = {}, bool debug_after = false);
    bool RefuseLaunch(const LaunchRefusal &refusal);
    void OnReport(bool phase_changed);
    void OnJobEnded();
    void Conclude(int exit_code, const QString &error, bool job_ran);
    double Seconds() const;

    const QString target;
    const PortInfo base;
    const QString where;
    CliOutput &output;
    const bool chinese;
    CliOutput::Context context;

    UpgradeServer server;
    JobRecordKeeper record_keeper{server, QLatin1String(UpgradeRecord::kCommand)};  // after the engine
    const QString history;
    LaunchJob job;
    QString image_sha256;
    std::unique_ptr<JobPhases> phases;
    QElapsedTimer clock;  // from the start of this base's launch
    int last_tenth = -1;  // the last tenth of the phase a plain progress line was written for

    bool running = false;
    QString error_text;  // the engine's, one line per failure
    StopCause stop_cause = StopCause::None;  // set by Stop
    QString stop_reason;

    bool ended = false;
    int code = 0;
    QString error;
    double seconds = 0;
};
