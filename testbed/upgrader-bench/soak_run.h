#pragma once

#include "job_end.h"
#include "process_usage.h"
#include "sim_family.h"
#include "soak_job.h"
#include "soak_workspace.h"

#include <QMap>
#include <QString>
#include <QTemporaryDir>

#include <memory>
#include <random>

class UpgradeServer;

struct SoakOptions {
    int jobs = 0;
    quint32 seed = 1;  // with the job's number, decides its target, faults and interruption
    int first_job = 1;  // the number of the first job run
};

// What a soak found. A job is counted once, by its first launch; the plain upgrade that follows
// a failed or interrupted job is a recovery, counted apart.
struct SoakFigures {
    int jobs = 0;
    int recoveries = 0;
    int false_successes = 0;  // a success while the flash or the unit says otherwise
    int hangs = 0;            // a job (or recovery) past its deadline
    int unrecovered = 0;      // a failed or interrupted unit the next plain upgrade did not take to success
    int wrong_unit = 0;       // launches during which the unit beside received bytes
    int refused = 0;          // launches refused before a job started
    int fresh_units = 0;      // units replaced after a hang or a fault that leaves no unit to upgrade
    QMap<JobEndReason, int> ends;  // every job's and recovery's end
    int growth_from_job = 0;  // the job after which the growth figures start
    ProcessUsage at_baseline;
    ProcessUsage at_end;
    int deadline_s = 0;       // the longest job deadline

    // No success was false, no job hung, every unit came back, no job touched another unit.
    bool Clean() const { return false_successes == 0 && hangs == 0 && unrecovered == 0 && wrong_unit == 0; }
};

// Prints the figures, one `name: value` per line.
void PrintSoakFigures(const SoakFigures &figures);

// N upgrades one after another through the launch, as the command runs them, against a simulated
// unit with random faults, each interrupted or failed unit followed by a plain upgrade; a second
// unit of the same kind sits beside it and must hear nothing. One line per job goes to stderr,
// with the engine's last console lines after anything that counts against the engine.
class SoakRun {
public:
    explicit SoakRun(const SoakOptions &options);
    ~SoakRun();
    SoakRun(const SoakRun &) = delete;
    SoakRun &operator=(const SoakRun &) = delete;

    // Writes the images; false with *error set when it cannot.
    bool Prepare(QString *error);
    SoakFigures Run();

private:
    enum class Scenario {
        LinkFaults,        // lost and corrupted bytes and frames both ways, flash and buffer errors
        ShortBusy,         // a flash busy for up to 2.5 s, past the engine's status time-out
        EndlessBusy,       // a flash that stays busy: the job must fail
        UnplugMidJob,      // the cable pulled, back only after the job ended
        BaseNeverReturns,  // a restarted base never comes back on USB: the job must fail
        StopMidJob,        // the operator's Stop at a random moment
        UnplugAndPlug,     // the cable pulled and put back at a random moment
    };
    struct Plan {
        Scenario scenario = Scenario::LinkFaults;
        int target = 0;
        SimFaults faults;
        Interruption interruption;
    };
    struct Launch {
        SoakJobResult result;
        bool success = false;        // a success, and a true one
        bool false_success = false;
        QString summary;  // for the job's line
    };

    Plan Choose(quint32 job_seed);
    static const char *ScenarioName(Scenario scenario);
    // A scenario after which a failed unit is dead until powered off (a fresh unit is taken).
    static bool KillsUnit(Scenario scenario);
    SimFamilyOptions UnitOptions(const QString &location) const;
    void FreshUnit();
    // The unit's base answers on USB, as an operator waits for it before the next job.
    bool UnitBack();
    // One launch of target t with the given faults and interruption, judged and counted.
    Launch LaunchJob(int t, const SimFaults &faults, const Interruption &interruption, const QString &what);
    SoakBounds Bounds(int t) const;
    void Report(const QString &line, bool with_engine_lines = false);

    SoakOptions options;
    QTemporaryDir dir;
    SoakWorkspace workspace;
    std::unique_ptr<UpgradeServer> server;
    std::unique_ptr<SimFamily> unit;
    std::unique_ptr<SimFamily> neighbour;
    int units_made = 0;
    QMap<int, int> next_image;     // per target: the image its next job writes
    QMap<int, qint64> typical_ms;  // per target: how long its last plain job (a recovery) took
    SoakFigures figures;
    int job = 0;  // the job being run, from 1
};
