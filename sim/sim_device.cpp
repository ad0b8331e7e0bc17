#include "sim_device.h"

#include "sim_protocol.h"

using namespace SimProtocol;

namespace {

bool AllZero(const Frame &f)
{
    for (int i = 0; i < f.length; ++i) {
        if (f.payload[i] != 0)
            return false;
    }
    return true;
}

QString WrongLength(const Frame &f, int expected)
{
    return QStringLiteral("command 0x%1 with %2 payload bytes, expected %3")
        .arg(f.command, 2, 16, QLatin1Char('0'))
        .arg(f.length)
        .arg(expected);
}

// The text padded with zero bytes (or cut) to n bytes.
QByteArray Padded(const QByteArray &text, int from, int n)
{
    QByteArray out = text.mid(from, n);
    out.append(QByteArray(n - out.size(), '\0'));
    return out;
}

}  // namespace

SimDevice::SimDevice(const SimDeviceSpec &initial)
    : id(initial.id),
      boot_id(initial.boot_id),
      mode(initial.mode),
      boot_requested(initial.mode == SimMode::Boot),
      hw_version(initial.hw_version),
      app_version(initial.app_version)
{
    mode_history.append(mode);
}

void SimDevice::PowerOn()
{
    powered = true;
    restarting = false;
    SetMode(boot_requested ? SimMode::Boot : SimMode::App);
}

void SimDevice::SetMode(SimMode next)
{
    transfer = SimTransfer();  // a restart forgets the section in progress
    mode = next;
    if (next == SimMode::App && programmed) {
        // The application that starts is the one now in flash: its version is what that
        // firmware states, or none (all zero) when it states none.
        programmed = false;
        const QByteArray stated = flash.After(QByteArray(kSimVersionMarker), 4);
        app_version = {0, 0, 0, 0};
        if (stated.size() == 4)
            app_version = {uint8_t(stated[0]), uint8_t(stated[1]), uint8_t(stated[3]), uint8_t(stated[2])};
    }
    mode_history.append(next);
}

QString SimDevice::Handle(const Frame &f, SimBus &bus)
{
    switch (f.command) {
    case Handshake:
        return OnHandshake(f, bus);
    case SwitchMode:
        return OnSwitchMode(f, bus);
    case QueryMode:
        return OnQueryMode(f, bus);
    case QueryAppVersion:
        return OnQueryAppVersion(f, bus);
    case ReadHwVersion:
        return OnReadHwVersion(f, bus);
    case DisplayPowerOn:
        return OnDisplayPowerOn(f, bus);
    default:
        break;
    }
    if (mode == SimMode::Boot) {
        switch (f.command) {
        case SectionHeader:
            return OnSectionHeader(f, bus);
        case SectionData:
            return OnSectionData(f, bus);
        case QueryIndex:
            return OnQueryIndex(f, bus);
        case Verify:
            return OnVerify(f, bus);
        case ReadDigest:
            return OnReadDigest(f, bus);
        case Flash:
            return OnFlash(f, bus);
        default:
            break;
        }
    }
    return QStringLiteral("unknown command 0x%1 in %2 mode")
        .arg(f.command, 2, 16, QLatin1Char('0'))
        .arg(mode == SimMode::Boot ? "boot" : "app");
}

QString SimDevice::OnHandshake(const Frame &f, SimBus &bus)
{
    if (f.length != 0)
        return WrongLength(f, 0);
    bus.Reply(Address(), Handshake, {});
    return {};
}

QString SimDevice::OnSwitchMode(const Frame &f, SimBus &bus)
{
    if (f.length != 1)
        return WrongLength(f, 1);
    const uint8_t to = f.payload[0];
    if (to != kSwitchToApp && to != kSwitchToBoot)
        return QStringLiteral("switch mode to %1").arg(to);
    boot_requested = to == kSwitchToBoot;
    bus.Restart(id, boot_requested ? SimMode::Boot : SimMode::App);
    return {};
}

QString SimDevice::OnQueryMode(const Frame &f, SimBus &bus)
{
    if (f.length != 1)
        return WrongLength(f, 1);
    if (f.payload[0] != 0)
        return QStringLiteral("mode query with payload %1").arg(f.payload[0]);
    bus.Reply(Address(), QueryMode, QByteArray(1, char(mode == SimMode::Boot ? kModeBoot : kModeApp)));
    return {};
}

QString SimDevice::OnQueryAppVersion(const Frame &f, SimBus &bus)
{
    if (f.length != 4)
        return WrongLength(f, 4);
    if (!AllZero(f))
        return QStringLiteral("application version query with non-zero payload");
    bus.Reply(Address(), QueryAppVersion, QByteArray(reinterpret_cast<const char *>(app_version.data()), 4));
    return {};
}

QString SimDevice::OnReadHwVersion(const Frame &f, SimBus &bus)
{
    if (id == kMotorId) {
        // The motor knows only the one-request form: 24 zero bytes in, 24 text bytes out.
        if (f.length != kMotorHwText)
            return WrongLength(f, kMotorHwText);
        if (!AllZero(f))
            return QStringLiteral("motor hardware query with non-zero payload");
        bus.Reply(Address(), ReadHwVersion, Padded(hw_version, 0, kMotorHwText));
        return {};
    }
    if (f.length != 1)
        return WrongLength(f, 1);
    const int chunk = f.payload[0];
    if (chunk < 1 || chunk > kHwChunks)
        return QStringLiteral("hardware version chunk %1").arg(chunk);
    bus.Reply(Address(), ReadHwVersion, char(chunk) + Padded(hw_version, kHwChunkText * (chunk - 1), kHwChunkText));
    return {};
}

QString SimDevice::OnDisplayPowerOn(const Frame &f, SimBus &bus)
{
    if (id != kBaseId)
        return QStringLiteral("display power-on sent to device %1, not to the base").arg(id);
    if (f.length != 1 || f.payload[0] != 1)
        return QStringLiteral("display power-on with a malformed payload");
    bus.PowerOnDisplay();
    bus.Reply(Address(), DisplayPowerOn, QByteArray(1, char(1)));
    return {};
}
