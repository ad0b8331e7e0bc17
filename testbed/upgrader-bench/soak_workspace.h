#pragma once

#include "firmware_entry.h"
#include "image_writer.h"
#include "sim_device.h"

#include <QList>
#include <QString>

// One target of the soak: how the configuration names it, the device behind it, and two images
// of different content, so that a job is always judged against bytes its device did not hold yet.
struct SoakTarget {
    QString name;
    int dev_id = 0;
    QString hw_version;                // what the simulated device reports
    QString images[2];                 // absolute paths
    QList<ImageSegment> segments[2];   // what each image puts in flash
};

// The images and the configuration's table for the standard devices of a simulated family,
// written into a folder of the caller's (a temporary one).
class SoakWorkspace {
public:
    // Writes two images per target whose device the family has; false with *error set when one
    // could not be written.
    bool Write(const QString &dir, const QList<SimDeviceSpec> &devices, int product_id, QString *error);

    const QList<SoakTarget> &Targets() const { return targets; }
    // The table a front end reads from its configuration, with target t's variant naming image i.
    FirmwareEntries Entries(int t, int image) const;

private:
    QList<SoakTarget> targets;
    int usb_pid = 0;
};
