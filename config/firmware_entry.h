#pragma once

#include <QList>
#include <QMap>
#include <QSet>
#include <QString>

// One firmware variant of a target: the image for one hardware version.
struct FirmwareSeries {
    int section_len = 0;   // kept; no operation consults it
    QString boot_ver;      // kept; no operation consults it
    QString hw_ver;        // the hardware version text this image is for, matched exactly
    QString path;          // image path, absolute or relative to the configuration file's folder
    QString description;   // names the variant in the launch's messages
};

// One target of the configuration ("Base", "Motor", ...).
struct FirmwareEntry {
    int dev_id = 0;          // address of the target's messages on the device bus
    QSet<int> usb_pids;      // USB product ids under which the target (or its base) appears
    QList<FirmwareSeries> series;
};

// Target name -> entry, in ascending name order.
using FirmwareEntries = QMap<QString, FirmwareEntry>;
