#pragma once

#include "firmware_image.h"
#include "unit_key.h"

#include <QString>

#include <memory>

// What one upgrade job is asked to do, decided before it starts. The engine copies it when the
// job starts; nothing the job does changes the caller's copy.
struct UpgradeJob {
    int usb_pid = 0;                  // the base's USB product id
    int dev_id = 0;                   // the target on the link
    bool motor_to_boot = false;       // the motor must leave the bus during the job
    bool display_swap_check = false;  // device 5 reporting the swapped display's model
    QString firmware_path;            // the image, absolute
    // The unit: the base's USB location (or its USB serial number, or a port name). Every open
    // of the job, the reconnects after the base's restarts included, takes only that port; a
    // unit that does not come back ends the job, another unit is never opened. Anything only
    // where the platform names no unit: then the last port with usb_pid.
    UnitKey unit;
    // The image as the launch read and checked it, once: the bytes the job sends are the bytes
    // that were checked and whose SHA-256 is recorded. Null: the job reads firmware_path itself.
    std::shared_ptr<const ImageSnapshot> image;
};
