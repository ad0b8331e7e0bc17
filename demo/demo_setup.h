#pragma once

#include "sim_family.h"

#include <QList>
#include <QString>

// One target of the demonstration set: how the configuration names it, what the simulated
// device reports, and the image written for it.
struct DemoTarget {
    QString name;          // the configuration's target name
    int usb_pid = 0;       // the set it belongs to: each set is a base with devices behind it
    int dev_id = 0;
    QString hw_version;    // what the simulated device reports
    QString image;         // path of its image, relative to the working directory
    int image_kib = 0;
    QString other_hw_version;  // the configuration's second hardware variant of the target
    quint32 address = 0;   // where its image starts in the device's flash; image_kib follow
};

// The demonstration targets as WriteDemoWorkspace writes them, without writing anything.
QList<DemoTarget> DemoTargets();

// Writes a working directory the operator window can start in: config.json naming two hardware
// variants per target and an image for each, built by the image writer. Returns the targets, or
// an empty list with *error set.
QList<DemoTarget> WriteDemoWorkspace(const QString &dir, bool english, QString *error);

// The simulated sets matching the workspace, one per USB product id: each base in its
// application with its devices attached, restarting and flashing at a pace like real devices
// (or, with time_scale below 1, that much faster).
QList<SimFamilyOptions> DemoSets(const QList<DemoTarget> &targets, double time_scale);
