#include "unit_key.h"

UnitKey UnitKey::Asked(const QString &text)
{
    return text.isEmpty() ? UnitKey() : UnitKey{By::Asked, text};
}

UnitKey UnitKey::Of(const PortInfo &port)
{
    if (!port.location.isEmpty())
        return {By::Location, port.location};
    if (!port.serial_number.isEmpty())
        return {By::SerialNumber, port.serial_number};
    return {By::PortName, port.name};
}

UnitKey UnitKey::Pinned(const PortInfo &port, const UnitKey &asked)
{
    const UnitKey key = Of(port);
    if (key.by != By::PortName || !asked.IsAnything())
        return key;
    return UnitKey();
}

bool UnitKey::Matches(const PortInfo &port) const
{
    switch (by) {
    case By::Anything: return true;
    case By::Location: return !port.location.isEmpty() && port.location == value;
    case By::SerialNumber: return !port.serial_number.isEmpty() && port.serial_number == value;
    case By::PortName: return port.name == value;
    case By::Asked:
        return (!port.location.isEmpty() && port.location == value) ||
               (!port.serial_number.isEmpty() && port.serial_number == value) || port.name == value;
    }
    return false;
}

PortInfo FamilyPort(int product_id, const UnitKey &unit, PortCatalog::View view)
{
    PortInfo chosen;
    // The walk does not stop at a match: with several matching ports the last one wins.
    for (const PortInfo &port : ListFamilyPorts(view)) {
        if (port.product_id == product_id && unit.Matches(port))
            chosen = port;
    }
    return chosen;
}
