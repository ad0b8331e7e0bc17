#pragma once

#include "device_family.h"

#include <QDateTime>
#include <QList>
#include <QMetaType>
#include <QString>

#include <array>
#include <cstdint>
#include <optional>

// A device's application version, its four numbers in the order they are shown ("a.b.c.d").
// The device sends them as bytes 0, 1, 3, 2 of its answer.
struct AppVersion {
    std::array<uint8_t, 4> parts{};

    static AppVersion FromReply(const uint8_t reply[4]) { return {{reply[0], reply[1], reply[3], reply[2]}}; }
    bool operator==(const AppVersion &other) const { return parts == other.parts; }
    // "a.b.c.d"
    QString Text() const { return QStringLiteral("%1.%2.%3.%4").arg(parts[0]).arg(parts[1]).arg(parts[2]).arg(parts[3]); }
};

// What the host learnt of one target in one exchange with it: the status poll's look at every
// configured target, or the launch's hardware query of one device.
struct TargetStatus {
    QString name;   // the configured target; empty when no target has this device behind this product id
    int dev_id = 0;

    // Where it was looked for: how many of its product ids are attached (each counted once; 0:
    // none is), and the last of them with its port as the catalog gave them. The hardware query
    // names only the product id it was given, and counts 1 port when that port opened.
    int ports = 0;
    int product_id = 0;
    QString port;
    QString location;

    // Its mode as the status poll asked it; the hardware query does not ask (mode_asked false).
    bool mode_asked = false;
    uint8_t mode = Mode::Absent;  // Absent: not attached, or no answer

    // Application and hardware versions, when this exchange asked for them (details_asked): the
    // poll does after a hover on its button, the hardware query asks the hardware text only.
    bool details_asked = false;
    std::optional<AppVersion> app_version;  // none when not answered
    std::optional<QString> hw_text;         // none when not read whole (the text read may be empty)
    // The message set has no request for a bootloader's version: no device can tell it, so
    // this stays empty. It is here so that a family that can tell it has a place to put it.
    std::optional<QString> boot_version;

    // When its device last answered this engine, in UTC; invalid when it never has.
    QDateTime last_heard;

    bool Present() const { return ports > 0; }
    bool Answering() const { return mode != Mode::Absent; }
};

// A device's application version as read for the upgrade history, before a job and after it.
struct AppVersionReading {
    bool asked = false;           // a reading was made (a launch refused early makes none)
    bool reached = false;         // the unit's port opened
    uint8_t mode = Mode::Absent;  // Absent: no answer to the mode query
    std::optional<AppVersion> version;  // only from a device that runs its application

    bool InBootloader() const { return mode == Mode::Boot; }
};

// One report: every configured target in name order (the poll), or the one device asked (the
// hardware query).
using TargetStatusList = QList<TargetStatus>;

Q_DECLARE_METATYPE(TargetStatus)
