#pragma once

#include "unit_key.h"

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <memory>

// The bytes of one port for one use of the link: what the engine sends, what the devices
// answered, and whether the port is still there. The framing above it works on QByteArray and
// never sees the port. A channel belongs to the thread that opened it: bytes arrive only while
// that thread waits for them or takes them in.
class ByteChannel {
public:
    virtual ~ByteChannel() = default;

    // Open, and the device has not gone away since.
    virtual bool IsConnected() const = 0;
    // The port's name as the catalog lists it; empty when no port was found.
    virtual QString CatalogName() const = 0;

    // Writes all bytes and gives them a moment to leave; dropped when not connected.
    virtual void Send(const QByteArray &bytes) = 0;
    // Bytes written and not yet taken by the port (it had to hold some back).
    virtual bool WritePending() const = 0;

    // Takes in what the port holds now, without waiting, and completes a held-back write; also
    // where a port that has gone away is noticed.
    virtual void TakeInput() = 0;
    // Waits up to ms for input (0: a look); true when some arrived.
    virtual bool WaitForInput(int ms) = 0;
    // The bytes that arrived and were not taken yet, oldest first; taking empties them.
    virtual QByteArray TakeReceived() = 0;
    virtual bool HasReceived() const = 0;
    virtual void DropReceived() = 0;

    // What a wait of the job thread may watch for input besides its own wake: a descriptor
    // poll() accepts, or -1 when this channel cannot be watched so (the wait then looks at it
    // every few milliseconds).
    virtual qintptr WaitHandle() const = 0;

    // Stops all traffic: discards what either direction holds; the channel reports itself
    // disconnected. The port itself is let go when the channel is destroyed.
    virtual void Disconnect() = 0;
};

// Opens the family port with product id pid: the one of this unit when one is named, otherwise the last family port with that product id.
// It is looked up in a fresh view of the catalog unless the caller takes a recent one (the status
// poll, the readings of a launch that has just found the unit). Never null; a channel that did not open reports itself disconnected.
std::unique_ptr<ByteChannel> OpenFamilyChannel(int pid, const UnitKey &unit = UnitKey(),
                                               PortCatalog::View view = PortCatalog::View::Fresh);
