#pragma once

#include "byte_channel.h"
#include "device_family.h"
#include "frame.h"
#include "log_unit.h"
#include "port_catalog.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

// The frames of one use of the link: the byte channel of the unit's port, the requests queued
// for it and the bytes the devices answered, with the protocol's short exchanges on top. A job
// and every short exchange of the window's thread each have their own; it belongs to the thread
// that opened it.
class FrameLink {
public:
    FrameLink();
    ~FrameLink();
    FrameLink(const FrameLink &) = delete;
    FrameLink &operator=(const FrameLink &) = delete;

    // Opens the port of product id pid of this unit (anything: the last family port with the
    // product id) in the calling thread; false when it did not open. While open, the thread's
    // console lines are about the unit. The port is looked up in a fresh view of the catalog
    // unless the caller takes a recent one (a poll, or a reading just after a launch found the unit).
    bool Open(int pid, const UnitKey &unit, PortCatalog::View view = PortCatalog::View::Fresh);
    // Stops all traffic and lets go of the port now; nothing when none is open.
    void Close();
    bool IsOpen() const { return channel != nullptr; }
    // Open, and the device has not gone away since.
    bool Up() const { return channel && channel->IsConnected(); }
    // The open port's channel; only while IsOpen().
    ByteChannel &Channel() const { return *channel; }

    // --- Sending ----------------------------------------------------------------------------
    void QueueFrame(uint8_t command, const uint8_t *payload, uint8_t length, uint8_t device_id);
    void QueueDataFrame(const uint8_t *data, uint16_t index, uint8_t n, uint8_t device_id);
    // Sends at most a pass's bytes of what is queued. While streaming, a report the device has
    // begun to send is read first.
    void FlushTx();
    // Sends what is queued now, past the pacing (the few bytes of a return request).
    void FlushAllTx();
    // Drops the queued frames, all but the rest of one the device has begun to receive: cut off,
    // it would leave the device's parser inside it, taking the next request for its remainder.
    void DropUnsentFrames();
    // Ends the stream: drops the frames not begun and sends the rest of the one begun.
    void EndStream();

    // --- Receiving --------------------------------------------------------------------------
    // Takes what the port holds now in, without waiting; also where a port that has gone away
    // is noticed.
    void TakeInput();
    // Waits up to ms for input; true when some came.
    bool WaitInput(int ms);
    // Moves the channel's received bytes to rx_queue.
    void CollectRx();
    // The oldest byte of rx_queue, taken from it (the caller knows there is one).
    uint8_t TakeRxByte();
    // Decodes rx_queue up to the first good frame (dropping the rest after it); false at a frame
    // with a bad checksum or when the queue ran out.
    bool TakeFrame(Frame &out);
    // Drops whatever arrived and was not taken.
    void DropInput();

    // --- Exchanges --------------------------------------------------------------------------
    // One request/reply exchange after the request was queued: accepts only a good frame with
    // this command and exactly this payload length, copied to dst.
    bool Transact(uint8_t command, int timeout_ms, uint8_t *dst, int length);
    // Sends one request and waits up to wait_ms for a reply with the same command (that accept,
    // when given, also takes); frames before it are passed over.
    bool BlockingExchange(uint8_t command, const uint8_t *payload, uint8_t length, int device, int wait_ms,
                          Frame &reply, const std::function<bool(const Frame &)> &accept = {});
    bool QueryModeOf(int device, int wait_ms, uint8_t &mode);
    void QueueSwitchMode(uint8_t to, int device);

    // Chunked hardware-version read: chunks 1..max_chunks of 16 text bytes into area, until a
    // chunk holds a zero byte (Terminated), all were read (Exhausted) or one got no reply.
    enum class HwRead { Failed, Terminated, Exhausted };
    HwRead ReadHwChunks(int d, int timeout_ms, int max_chunks, uint8_t *area);
    // The whole chunked text of device d (up to 64 characters), empty when a chunk got no reply.
    QString ReadHwText(int d, int timeout_ms);
    // The motor's one-request form of the hardware version.
    bool ReadMotorHw(int timeout_ms, QString &text);

    // --- State of this use ------------------------------------------------------------------
    // The device's pace: bytes one pass may send (a short exchange's few bytes go at the base's).
    int max_bytes_per_pass = RoleOf(DeviceId::Base).pacing.max_bytes_per_pass;
    bool streaming = false;        // section data is on its way: the device answers at its end
    QByteArray rx_queue;           // received, not yet decoded
    QByteArray tx_queue;           // queued, not yet sent
    FrameParser rx_parser;
    int tx_total = 0;              // bytes sent in this use
    QElapsedTimer last_reply;      // since the devices last answered (or were fed data)
    // Called after every blocking wait for input (the job counts its pace from there).
    std::function<void()> after_wait;

private:
    void WaitEnded();

    std::unique_ptr<ByteChannel> channel;
    std::optional<LogUnit::Scope> unit_scope;
    QList<int> tx_frames;   // the wire length of each frame in tx_queue, oldest first
    int tx_front_sent = 0;  // bytes of the oldest one already sent: the device holds part of it
};

// The bytes up to the first zero, as UTF-8.
QString TextUpToZero(const uint8_t *bytes, int size);
