#pragma once

#include <QByteArray>
#include <QString>

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

// A simulated base's USB port kept in memory, for a host in the same process: what the
// pseudo-terminal is to a host that opens a real serial port, without the kernel in between. The
// device side is the family (or a test standing in for a device); the host side is one
// SimMemoryChannel at a time. Every call is thread-safe.
//
// Where the engine can tell, it behaves as the pseudo-terminal does: the host's bytes wait in a
// buffer of a pseudo-terminal's size until the device reads them, and what does not fit stays with
// the host; the device's bytes reach only a host that has the port open; a second host cannot open
// it; and a port whose device left USB (unplugged, restarted, its power cut) stays gone: the base
// comes back as a new port under a new name.
class SimMemoryPort {
public:
    // What the host's writes may fill before the device reads them, as a pseudo-terminal holds.
    static constexpr int kHostBufferBytes = 4096;

    // A new port with a name no other port of this process had. wake_device is called when bytes
    // from the host arrive (in the host's thread, under the port's lock): it must return at once
    // and must not call back into the port. Detach() forgets it.
    static std::shared_ptr<SimMemoryPort> Create(std::function<void()> wake_device = {});
    // The port of that name while it exists; null otherwise.
    static std::shared_ptr<SimMemoryPort> Find(const QString &name);
    // Whether the name is one a memory port was given, whether or not that port still exists.
    static bool IsMemoryPortName(const QString &name);

    ~SimMemoryPort();
    SimMemoryPort(const SimMemoryPort &) = delete;
    SimMemoryPort &operator=(const SimMemoryPort &) = delete;

    const QString &Name() const { return name; }

    // --- The device's side ---------------------------------------------------------------------
    // Takes up to max of the bytes the host wrote, oldest first.
    QByteArray TakeFromHost(int max);
    // Bytes for the host; lost while no host has the port open.
    void SendToHost(const QByteArray &bytes);
    // The device leaves USB: what either direction holds is lost, the host's channel finds the port
    // gone, and nobody can open it again.
    void Detach();
    bool IsGone() const;
    // A host has the port open.
    bool IsHeld() const;

    // --- The host's side (SimMemoryChannel) ----------------------------------------------------
    enum class OpenResult { Opened, Gone, Held };
    // Opens the port for one host. What the device sent before is dropped with the rest of the
    // port's old input.
    OpenResult Open();
    // Lets go of the port; another host may open it. What the host wrote stays for the device.
    void Close();
    // Puts as many of the bytes as there is room for in the host buffer and wakes the device;
    // returns how many, or -1 when the port is gone.
    int Write(const QByteArray &bytes);
    // Waits up to ms until the device has read some of a full host buffer; false when it did not,
    // or the port is gone.
    bool WaitForRoom(int ms);
    // Takes what the device sent, oldest first; gone is set when the port has gone.
    QByteArray Read(bool *gone);
    // Drops what either direction holds (what flushing a serial port does).
    void DropInFlight();
    // Readable for poll() while the device's bytes wait to be read, after the device read some of a
    // full host buffer, and for good once the port is gone (as a hung-up terminal stays readable).
    int HostWakeFd() const { return host_wake_fd; }

private:
    explicit SimMemoryPort(const QString &name);
    void WakeHost();   // under the lock
    void ClearWake();  // under the lock

    const QString name;
    int host_wake_fd = -1;  // an eventfd

    mutable std::mutex mutex;
    std::condition_variable room;  // the device read from a full host buffer
    std::function<void()> wake_device;
    QByteArray from_host;  // at most kHostBufferBytes
    QByteArray to_host;
    bool held = false;
    bool gone = false;
    bool host_waits_for_room = false;
};
