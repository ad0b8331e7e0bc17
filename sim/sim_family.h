#pragma once

#include "frame.h"
#include "sim_device.h"
#include "sim_memory_port.h"
#include "sim_pty.h"

#include <QList>
#include <QMap>
#include <QSet>
#include <QString>
#include <QStringList>

#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <thread>

// How long the family's restarts take, in milliseconds.
struct SimTimings {
    int device_restart_ms = 200;     // a device behind the base restarts
    int base_detach_ms = 20;         // the base's port vanishes this long after its SwitchMode
    int base_reenumerate_ms = 1000;  // and a new port appears this long after it vanished
    int display_boot_ms = 100;       // the display starts this long after it gets power
    int flash_busy_ms = 20;          // erasing and programming one section
    int power_off_ms = 100;          // a unit whose power was cut stays unpowered this long
};

// Link and device faults, switchable at any time. Probabilities are per byte or per frame.
struct SimFaults {
    double drop_host_byte = 0;       // host-to-device bytes lost before the base reads them
    double corrupt_host_byte = 0;    // host-to-device bytes with a bit flipped
    double drop_device_byte = 0;     // device-to-host bytes lost
    double corrupt_device_byte = 0;  // device-to-host bytes with a bit flipped
    double drop_request = 0;         // whole requests lost on their way to the device
    double drop_reply = 0;           // whole replies lost on their way back
    QSet<int> silent;                // devices that hear requests and never answer
    QSet<int> stay_in_boot;          // devices that restart into their bootloader whatever was asked
    QSet<int> stay_in_app;           // devices that restart into their application whatever was asked
    bool never_reenumerate = false;  // a restarted base never comes back on USB
    double drop_data_frame = 0;      // section data frames lost on their way to the device
    QMap<int, int> flash_busy_ms;    // devices whose flash stays busy longer (ms)
    // One-shot faults, used up as they strike (any device in its bootloader):
    int short_index_replies = 0;     // the device drops its last byte and reports an index one short
    int buffer_digest_errors = 0;    // the buffer digest comes out wrong
    int flash_write_errors = 0;      // a programming leaves one byte wrong
    // Deterministic faults chosen by a test (device id first):
    std::function<bool(int, const Frame &)> drop_request_if;  // lose this request
    std::function<bool(int, const Frame &)> drop_reply_if;    // lose this reply
    std::function<void(int, Frame &)> tamper_reply;           // change this reply before it leaves
    std::function<bool(int, quint32)> corrupt_flash_if;       // program this section wrong
    std::function<bool(int, quint32)> wrong_flash_digest_if;  // report a wrong flash digest
    quint32 seed = 1;
};

// A point of a job at which the unit loses its power: the nth request with this command that a
// device accepted (and, when given, that `when` also picks). Evaluated in the simulator's thread,
// under its lock, once the device has handled the request; fires once.
struct SimPowerCutTrigger {
    int device = 0;   // the device's own id; 0: any device of the unit
    int command = -1; // the request's command; -1: the trigger is not armed
    int nth = 1;
    std::function<bool(const SimDevice &, const Frame &)> when;  // further condition; empty: every one
    std::function<void()> then;  // told after the cut; must not call back into the family

    bool Armed() const { return command >= 0; }
};

// How the base's USB port reaches the host.
enum class SimTransport {
    // A pseudo-terminal that the real QSerialPort opens by its path, as it opens a real base; the
    // catalog file makes it reachable from other processes too.
    Pty,
    // A port in memory that only this process reaches, through the channel opener the simulated
    // catalog installs: the engine's own tests, without a terminal between the engine and the family.
    Memory,
};

struct SimFamilyOptions {
    SimTransport transport = SimTransport::Pty;
    quint16 vendor_id = 0;   // 0: the family's own vendor id
    quint16 product_id = 4;
    // The base's USB location, kept across its re-enumerations while its port path changes, as a
    // real base keeps its place on the hub. Empty: "sim-<n>", n counting the families of this
    // process, so that families side by side are told apart.
    QString location;
    // The USB serial number the base reports. Empty: one made from its location, so that every
    // simulated base has its own, as real units do.
    QString serial_number;
    QList<SimDeviceSpec> devices;  // the base (id 2) and the devices behind it
    SimTimings timings;
    SimFaults faults;
    // Called in the simulator's thread, under its lock, for every request a device accepted.
    // Must not call back into the family.
    std::function<void(int, const Frame &)> on_request;
    SimPowerCutTrigger power_cut;  // armed from the start when its command is set

    // A base in its application with devices 1, 3, 4 and 5 behind it, all in their applications.
    static SimFamilyOptions Standard();
};

struct SimRequest {
    qint64 at_us = 0;  // since the family started
    Frame frame;
};

// A read of the base's port: when the bytes the host wrote arrived, and how many.
struct SimChunk {
    qint64 at_us = 0;
    int bytes = 0;
};

// The simulated device family: a base unit on a pseudo-terminal (or a port in memory), published
// in the simulated port catalog, with the devices behind it reached by their address byte. Runs
// its own thread with poll() on the pseudo-terminal and a pipe that wakes it; every public call is
// thread-safe.
class SimFamily : private SimBus {
public:
    explicit SimFamily(const SimFamilyOptions &options);
    ~SimFamily() override;

    // Attach and detach the base's USB port (hot-plug).
    void Plug();
    void Unplug();
    bool IsPlugged() const;
    // The base's port as the catalog names it: a pseudo-terminal's path, or a memory port's name.
    QString PortPath() const;
    QString Location() const;
    QString SerialNumber() const;

    void SetFaults(const SimFaults &faults);

    // Cuts the power of the whole unit now: the base leaves USB at once and every device stops,
    // losing a section transfer or a programming under way (the area being programmed is left
    // erased). After power_off_ms the supply returns: each device starts in the mode it was last
    // asked for (the request survives like a flag in flash), the base enumerates again under a
    // new path at its location, and the display stays unpowered unless the base starts its
    // application.
    void CutPower();
    // Cuts the power when the trigger's point is reached; an unarmed trigger disarms.
    void CutPowerAt(const SimPowerCutTrigger &trigger);

    // --- Introspection ---------------------------------------------------------------------
    QList<int> DeviceIds() const;
    SimMode Mode(int id) const;
    // Present, powered and not restarting: the device would answer.
    bool IsResponsive(int id) const;
    QList<SimMode> ModeHistory(int id) const;
    // Requests the device accepted, in arrival order.
    QList<SimRequest> Requests(int id) const;
    // Requests refused as malformed or out of place, with the reason.
    QStringList Rejections() const;
    QList<SimChunk> HostChunks() const;
    int Reenumerations() const;
    int PowerCuts() const;
    int BadFrames() const;  // frames from the host with a wrong checksum
    // Frames the host left unfinished: a new frame began before their last byte. The base then
    // may take the next frame's first bytes for the rest of the old one.
    int BrokenFrames() const;
    QByteArray Flash(int id, quint32 address, int length) const;
    QList<int> LossReports(int id) const;  // offsets the device reported lost
    int FlashOperations(int id) const;
    // The answer the device gives to the application-version query now, as sent.
    std::array<uint8_t, 4> AppVersionReply(int id) const;
    // Forgets the requests, rejections, host writes, loss reports and mode histories so far (a
    // long run's records would otherwise grow with every job); a mode history starts again
    // from the device's mode now.
    void ClearRecords();

private:
    void Run();
    void Wake();
    qint64 NowUs() const;
    void Schedule(int delay_ms, std::function<void()> action);
    void RunDueEvents();
    void ReadHost();
    void WriteHost();
    void Dispatch(const Frame &request);
    void Publish();
    void Withdraw();
    bool Attached() const { return pty || memory; }
    void PowerDown();
    void PowerUp(int epoch);
    void CheckPowerCut(const SimDevice &device, const Frame &request);
    bool Chance(double p);
    SimDevice *Device(int id);
    const SimDevice *Device(int id) const;

    // SimBus
    void Reply(int from, uint8_t command, const QByteArray &payload) override;
    void Restart(int id, SimMode into) override;
    void PowerOnDisplay() override;
    void After(int id, int delay_ms, std::function<void()> action) override;
    SimFaults &Faults() override { return options.faults; }
    const SimTimings &Timings() const override { return options.timings; }

    SimFamilyOptions options;
    mutable std::mutex mutex;
    std::map<int, std::unique_ptr<SimDevice>> devices;
    std::unique_ptr<SimPty> pty;    // the base's current port; null while detached
    std::unique_ptr<SimPty> spare;  // reserved while re-enumerating, so the new path differs
    std::shared_ptr<SimMemoryPort> memory;  // the memory transport's current port; null while detached
    int catalog_handle = 0;
    FrameParser parser;
    QByteArray to_host;
    std::multimap<qint64, std::function<void()>> events;  // due time in microseconds
    std::mt19937 rng;

    QList<SimRequest> requests_by_device[16];
    QStringList rejections;
    QList<SimChunk> host_chunks;
    int reenumerations = 0;
    int power_cuts = 0;
    int power_cut_matches = 0;  // requests the armed trigger picked so far
    int power_epoch = 0;        // bumped by every cut: a return of power scheduled before it is void
    int bad_frames = 0;
    int broken_frames = 0;

    std::chrono::steady_clock::time_point started;
    int wake_pipe[2] = {-1, -1};
    bool quit = false;
    std::thread thread;
};
