#pragma once

#include "frame.h"
#include "sim_flash.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <array>
#include <functional>

struct SimFaults;
struct SimTimings;

enum class SimMode { Boot = 1, App = 2 };

// How the simulated firmware states its version: these bytes, then major, minor, patch and
// build, somewhere in the programmed image. An application answers the version query with the
// version its own firmware states, as real firmware does from a constant compiled into it.
constexpr char kSimVersionMarker[] = "SIM-APP-VERSION:";

// What one simulated device is at power-on.
struct SimDeviceSpec {
    int id = 0;
    QByteArray hw_version;                      // hardware version text
    // The answer to the version query, as sent: major, minor, build, patch (the host shows
    // bytes 0, 1, 3, 2). Replaced by the version the firmware states once the device has been
    // programmed and starts its application.
    std::array<uint8_t, 4> app_version{1, 0, 0, 0};
    SimMode mode = SimMode::App;
    // A display variant whose application answers as device 5 and whose bootloader answers as
    // device 4; 0 when the device keeps its id in both modes.
    int boot_id = 0;
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
    // Runs action after delay_ms unless the device has lost power or restarted meanwhile.
    virtual void After(int id, int delay_ms, std::function<void()> action) = 0;
    // The family's faults; one-shot counters are used up by the devices.
    virtual SimFaults &Faults() = 0;
    virtual const SimTimings &Timings() const = 0;
};

// What a bootloader holds of the section being transferred.
struct SimTransfer {
    bool announced = false;
    quint32 address = 0;
    quint16 length = 0;
    int expected = 0;          // data bytes to receive: the stored count, or the length for the motor
    QByteArray buffer;         // received bytes; [0, next_offset) are valid
    int next_offset = 0;       // the next data byte expected
    bool gap_reported = false; // one loss report per gap, until the host asks for the index
    QByteArray digest = QByteArray(16, '\0');  // the last digest computed, as ReadDigest reports it
    enum class Flash { Idle, Busy, Done } flash = Flash::Idle;
};

// One device of the family: its mode, identity and memory, and one handler per message.
// Handlers accept only well-formed requests; anything else is refused with a reason and left
// unanswered, so that a host that sends a wrong request fails against it.
class SimDevice {
public:
    explicit SimDevice(const SimDeviceSpec &initial);

    // Handles a request addressed to this device. Returns why it was refused, or an empty text.
    QString Handle(const Frame &request, SimBus &bus);
    // The id the device answers to in its current mode.
    int Address() const { return mode == SimMode::Boot && boot_id ? boot_id : id; }

    // Power-on: the device starts its bootloader when one was requested, else its application.
    void PowerOn();
    void SetMode(SimMode next);

    int id = 0;
    int boot_id = 0;
    SimMode mode = SimMode::App;
    bool boot_requested = false;  // kept across restarts and power loss, like a flag in flash
    bool powered = true;
    bool restarting = false;
    int epoch = 0;                // bumped on power loss: restarts scheduled before it are void
    QByteArray hw_version;
    std::array<uint8_t, 4> app_version{};
    bool programmed = false;      // a section was programmed since the application last started
    QList<SimMode> mode_history;  // every mode the device started in, the first included
    SimFlash flash;
    SimTransfer transfer;
    QList<int> loss_reports;      // offsets of the loss reports sent
    int flash_operations = 0;     // programmings started

private:
    QString OnHandshake(const Frame &request, SimBus &bus);
    QString OnSwitchMode(const Frame &request, SimBus &bus);
    QString OnQueryMode(const Frame &request, SimBus &bus);
    QString OnQueryAppVersion(const Frame &request, SimBus &bus);
    QString OnReadHwVersion(const Frame &request, SimBus &bus);
    QString OnDisplayPowerOn(const Frame &request, SimBus &bus);

    // Bootloader only: the section transfer.
    QString OnSectionHeader(const Frame &request, SimBus &bus);
    QString OnSectionData(const Frame &request, SimBus &bus);
    QString OnQueryIndex(const Frame &request, SimBus &bus);
    QString OnVerify(const Frame &request, SimBus &bus);
    QString OnReadDigest(const Frame &request, SimBus &bus);
    QString OnFlash(const Frame &request, SimBus &bus);
    // The section's bytes as the device will program them; false when the data are incomplete
    // or do not expand to the section's length.
    bool Plain(QByteArray &plain) const;
};
