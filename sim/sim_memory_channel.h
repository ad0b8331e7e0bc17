#pragma once

#include "byte_channel.h"
#include "port_catalog.h"
#include "sim_memory_port.h"

#include <QByteArray>
#include <QString>

#include <memory>

// The host's end of a simulated base's port in memory: the byte channel the engine gets, through
// the channel opener, for a port the simulated catalog lists as a memory port. It keeps the serial
// driver's promises: an open fails (with the same console lines) when the port is gone or another
// host holds it; the device's going away is noticed where input is taken in; bytes the port has no
// room for are held back and passed on at the next look; poll() can watch WaitHandle() for input.
// Like every channel it belongs to the thread that opened it.
class SimMemoryChannel : public ByteChannel {
public:
    explicit SimMemoryChannel(const PortInfo &port);
    ~SimMemoryChannel() override;
    SimMemoryChannel(const SimMemoryChannel &) = delete;
    SimMemoryChannel &operator=(const SimMemoryChannel &) = delete;

    // The channel opener of a process that simulates its family: a channel for a memory port, null
    // for any other (opened as a serial port).
    static std::unique_ptr<ByteChannel> OpenIfInMemory(const PortInfo &port);

    bool IsConnected() const override { return connected; }
    QString CatalogName() const override { return catalog_name; }
    void Send(const QByteArray &bytes) override;
    bool WritePending() const override { return !held_back.isEmpty(); }
    void TakeInput() override;
    bool WaitForInput(int ms) override;
    QByteArray TakeReceived() override;
    bool HasReceived() const override { return !rx_bytes.isEmpty(); }
    void DropReceived() override { rx_bytes.clear(); }
    qintptr WaitHandle() const override;
    void Disconnect() override;

    // The port is held until the channel is destroyed, also after Disconnect().
    bool PortOpen() const { return port != nullptr; }

private:
    // Passes held-back bytes on as far as the port has room; drops them once it is gone.
    void PassOn();
    // Moves what the device sent to rx_bytes; true when there was some. Notices a port gone.
    bool Collect();

    std::shared_ptr<SimMemoryPort> port;  // null when the open failed
    QString catalog_name;
    bool connected = false;
    QByteArray held_back;  // written, no room in the port yet, oldest first
    QByteArray rx_bytes;   // received, not yet taken, oldest first
};
