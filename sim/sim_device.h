#pragma once

#include "frame.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <array>

enum class SimMode { Boot = 1, App = 2 };

// What one simulated device is at power-on.
struct SimDeviceSpec {
    int id = 0;
    QByteArray hw_version;                      // hardware version text
    std::array<uint8_t, 4> app_version{1, 0, 0, 0};
    SimMode mode = SimMode::App;
};

// What a device asks of the family around it. Called from the simulator's thread.
class SimBus {
public:
    virtual ~SimBus() = default;
    virtual void Reply(int from, uint8_t command, const QByteArray &payload) = 0;
    // The device restarts and comes back in the given mode (the base also re-enumerates).
    virtual void Restart(int id, SimMode into) = 0;
    // The base switches the display's supply on.
    virtual void PowerOnDisplay() = 0;
};

// One device of the family: its mode, identity and memory, and one handler per message.
// Handlers accept only well-formed requests; anything else is refused with a reason and left
// unanswered, so that a host that sends a wrong request fails against it.
class SimDevice {
public:
    explicit SimDevice(const SimDeviceSpec &spec);

    // Handles a request addressed to this device. Returns why it was refused, or an empty text.
    QString Handle(const Frame &request, SimBus &bus);

    // Power-on: the device starts its bootloader when one was requested, else its application.
    void PowerOn();
    void SetMode(SimMode next);

    int id = 0;
    SimMode mode = SimMode::App;
    bool boot_requested = false;  // kept across restarts and power loss, like a flag in flash
    bool powered = true;
    bool restarting = false;
    int epoch = 0;                // bumped on power loss: restarts scheduled before it are void
    QByteArray hw_version;
    std::array<uint8_t, 4> app_version{};
    QList<SimMode> mode_history;  // every mode the device started in, the first included

private:
    QString OnHandshake(const Frame &request, SimBus &bus);
    QString OnSwitchMode(const Frame &request, SimBus &bus);
    QString OnQueryMode(const Frame &request, SimBus &bus);
    QString OnQueryAppVersion(const Frame &request, SimBus &bus);
    QString OnReadHwVersion(const Frame &request, SimBus &bus);
    QString OnDisplayPowerOn(const Frame &request, SimBus &bus);
};
