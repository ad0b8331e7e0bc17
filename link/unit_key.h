#pragma once

#include "port_catalog.h"

#include <QString>

// Which unit a launch, a job or a short exchange keeps to, and by what it knows the unit. A port
// name lasts only until the base restarts; its USB location lasts as long as it stays on its hub,
// and its USB serial number as long as it is the same unit.
struct UnitKey {
    enum class By {
        Anything,      // no unit named: every family port
        Location,      // the base's place on USB
        SerialNumber,  // the base's USB serial number
        PortName,      // the port's name ("ttyACM0", "COM3")
        Asked,         // an operator's text, not yet known to be any one of the three
    };

    By by = By::Anything;
    QString value;

    // What the operator typed (a location, serial number or port name); empty: anything.
    static UnitKey Asked(const QString &text);
    // The unit at this USB location.
    static UnitKey AtLocation(const QString &location) { return {By::Location, location}; }
    // The lasting name of the unit at this port: its location, else its serial number, else the
    // port's name.
    static UnitKey Of(const PortInfo &port);
    // What a job found at this port keeps to: its location or serial number; without either, the
    // port's name when a unit was asked for, else anything (the one port of its product id).
    static UnitKey Pinned(const PortInfo &port, const UnitKey &asked);

    bool IsAnything() const { return by == By::Anything; }
    bool Matches(const PortInfo &port) const;
    // The unit's name as lines and records show it; empty for anything.
    const QString &Text() const { return value; }

    bool operator==(const UnitKey &other) const { return by == other.by && value == other.value; }
    bool operator!=(const UnitKey &other) const { return !(*this == other); }
};

// The family port a link for this product id opens (only one of the unit, when a unit is named):
// with several, the one enumerated last. Empty name when none is attached.
PortInfo FamilyPort(int product_id, const UnitKey &unit = UnitKey(),
                    PortCatalog::View view = PortCatalog::View::Fresh);
