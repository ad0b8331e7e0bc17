#pragma once

#include "sim_family.h"

#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

// A device that reports another hardware version than the bench's default.
struct HardwareOverride {
    int unit = 0;        // 1-based; 0: every unit
    QString target;      // the configuration's target name
    QString hw_version;  // what the device reports instead
};

struct DemoTarget;

// A unit whose power is cut when a job on one of its bases reaches a named point.
struct PowerCutPlan {
    int unit = 0;   // 1-based
    QString point;  // one of PowerCutPoints()
};

// What upgrader-sim was asked to run.
struct SimProgramOptions {
    QString work;                       // absolute; the catalog file is work/ports.json
    int units = 1;                      // --bases: units side by side
    double time_scale = 1.0;            // restart timings; --fast shortens them twentyfold
    bool english = true;                // the configuration's is_english
    SimFaults faults;                   // for every base; each base draws from its own seed
    QList<HardwareOverride> hardware;  // --other-variant, then --hw: an explicit text wins
    QList<int> never_return;            // units whose bases never come back on USB after a restart
    QList<PowerCutPlan> power_cuts;     // at most one per unit
};

// The points of a job that --power-cut names, in the order a job reaches them, each with what it is.
QList<QPair<QString, QString>> PowerCutPoints();

// The trigger of a named point on a base of the given product id, whose devices hold the images
// of the work directory (the targets). Unarmed for an unknown point.
SimPowerCutTrigger PowerCutTrigger(const QString &point, int product_id, const QList<DemoTarget> &targets);

// Reads the command line. Returns 0 with *options filled, 2 with *message set for a usage error,
// or -1 when help was asked for (*message holds it).
int ParseSimProgramOptions(const QStringList &arguments, SimProgramOptions *options, QString *message);

// The work directory used without --work: the user's private runtime directory, the same on every
// start so that the export line pasted into another terminal stays valid.
QString DefaultWorkDirectory();
