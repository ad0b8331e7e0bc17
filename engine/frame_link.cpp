#include "frame_link.h"

#include "frame_codec.h"
#include "messages.h"
#include "sequence_limits.h"

#include <QtGlobal>

#include <cstring>

namespace {

constexpr uint8_t kZeroPayload[Frame::kMaxPayload] = {};
constexpr uint8_t kQueryModePayload = 0x00;

}  // namespace

QString TextUpToZero(const uint8_t *bytes, int size)
{
    int n = 0;
    while (n < size && bytes[n] != 0)
        ++n;
    return QString::fromUtf8(reinterpret_cast<const char *>(bytes), n);
}

FrameLink::FrameLink()
{
    FrameCodec::ResetDecoder(rx_parser);
}

FrameLink::~FrameLink()
{
    Close();
}

bool FrameLink::Open(int pid, const UnitKey &unit, PortCatalog::View view)
{
    Close();
    unit_scope.emplace(unit.Text());
    channel = OpenFamilyChannel(pid, unit, view);
    return channel->IsConnected();
}

void FrameLink::Close()
{
    if (channel) {
        channel->Disconnect();
        channel.reset();  // in the thread that opened it: a port belongs to its thread
    }
    unit_scope.reset();
}

void FrameLink::QueueFrame(uint8_t command, const uint8_t *payload, uint8_t length, uint8_t device_id)
{
    Frame frame;
    frame.command = command & kCommandMask;
    frame.address = kAddressBase | (device_id & 0x0F);
    frame.length = length;
    if (length > 0)
        memcpy(frame.payload, payload, qMin<int>(length, Frame::kMaxPayload));
    FrameCodec::WireBuffer wire;
    const uint8_t n = FrameCodec::Encode(frame, wire);
    tx_queue.append(reinterpret_cast<const char *>(wire), n);
    if (n > 0)
        tx_frames.append(n);
}

void FrameLink::QueueDataFrame(const uint8_t *data, uint16_t index, uint8_t n, uint8_t device_id)
{
    uint8_t payload[Frame::kMaxPayload];
    const int count = qMin<int>(n, kMaxDataChunk);
    payload[0] = uint8_t(index >> 8);
    payload[1] = uint8_t(index & 0xFF);
    if (count > 0)
        memcpy(payload + 2, data, count);
    QueueFrame(Cmd::SectionData, payload, uint8_t(count + 2), device_id);
}

void FrameLink::DropUnsentFrames()
{
    if (tx_front_sent > 0 && !tx_frames.isEmpty()) {
        const int rest = tx_frames.first() - tx_front_sent;
        tx_queue.truncate(rest);
        tx_frames.erase(tx_frames.begin() + 1, tx_frames.end());
        return;
    }
    tx_queue.clear();
    tx_frames.clear();
    tx_front_sent = 0;
}

void FrameLink::EndStream()
{
    DropUnsentFrames();
    streaming = false;
    FlushAllTx();
}

void FrameLink::FlushAllTx()
{
    // Each call sends at most a pass's bytes; one that sends nothing (a report to read first
    // while streaming) ends the loop.
    while (!tx_queue.isEmpty()) {
        const int before = tx_queue.size();
        FlushTx();
        if (tx_queue.size() == before)
            break;
    }
}

void FrameLink::FlushTx()
{
    if (streaming && channel && channel->HasReceived())
        return;
    const int n = qMin(tx_queue.size(), max_bytes_per_pass);
    tx_total += n;
    if (n == 0)
        return;
    const QByteArray bytes = tx_queue.left(n);
    tx_queue.remove(0, n);
    for (int sent = n; sent > 0 && !tx_frames.isEmpty();) {
        const int left = tx_frames.first() - tx_front_sent;
        if (sent < left) {
            tx_front_sent += sent;
            break;
        }
        sent -= left;
        tx_frames.removeFirst();
        tx_front_sent = 0;
    }
    if (channel)
        channel->Send(bytes);
    if (streaming)
        last_reply.start();  // a device taking a stream of data answers only at its end
}

void FrameLink::TakeInput()
{
    if (channel)
        channel->TakeInput();
}

void FrameLink::WaitEnded()
{
    if (after_wait)
        after_wait();
}

bool FrameLink::WaitInput(int ms)
{
    const bool input = channel && channel->WaitForInput(ms);
    WaitEnded();
    return input;
}

void FrameLink::CollectRx()
{
    if (channel)
        rx_queue += channel->TakeReceived();
}

void FrameLink::DropInput()
{
    rx_queue.clear();
    if (channel)
        channel->DropReceived();
}

uint8_t FrameLink::TakeRxByte()
{
    const uint8_t b = uint8_t(rx_queue.at(0));
    rx_queue.remove(0, 1);
    return b;
}

bool FrameLink::TakeFrame(Frame &out)
{
    while (!rx_queue.isEmpty()) {
        const uint8_t decoded = FrameCodec::Decode(rx_parser, TakeRxByte());
        if (decoded == FrameCodec::FrameOk) {
            last_reply.start();
            out = rx_parser.frame;
            rx_queue.clear();
            return true;
        }
        if (decoded == FrameCodec::FrameBadChecksum)
            return false;
    }
    return false;
}

bool FrameLink::Transact(uint8_t command, int timeout_ms, uint8_t *dst, int length)
{
    FlushTx();
    const int half = timeout_ms / 2;
    if (channel && !channel->WaitForInput(half))
        channel->WaitForInput(half);
    WaitEnded();
    CollectRx();
    bool matched = false;
    while (!rx_queue.isEmpty() && !matched) {
        const uint8_t decoded = FrameCodec::Decode(rx_parser, TakeRxByte());
        const Frame &f = rx_parser.frame;
        if (decoded == FrameCodec::FrameOk)
            last_reply.start();
        if (decoded == FrameCodec::FrameOk && (f.command & kCommandMask) == command && f.length == length) {
            memcpy(dst, f.payload, length);
            matched = true;
        }
    }
    // Whatever followed the reply belongs to no one: drop it.
    DropInput();
    return matched;
}

bool FrameLink::BlockingExchange(uint8_t command, const uint8_t *payload, uint8_t length, int device, int wait_ms,
                                 Frame &reply, const std::function<bool(const Frame &)> &accept)
{
    QueueFrame(command, payload, length, uint8_t(device));
    FlushTx();
    // A late answer to an earlier request (a repeated one, or the last state's) can arrive first:
    // it is passed over, and the wait for this request's answer goes on for the rest of its time.
    // Taking it for this one's would count a miss for every exchange after a slow answer.
    QElapsedTimer clock;
    clock.start();
    for (qint64 left = wait_ms; left > 0 && Up(); left = wait_ms - clock.elapsed()) {
        WaitInput(int(left));
        CollectRx();
        while (!rx_queue.isEmpty()) {
            if (FrameCodec::Decode(rx_parser, TakeRxByte()) != FrameCodec::FrameOk)
                continue;
            last_reply.start();
            const Frame &frame = rx_parser.frame;
            if ((frame.command & kCommandMask) == command && (!accept || accept(frame))) {
                reply = frame;
                rx_queue.clear();  // whatever followed belongs to no request
                return true;
            }
        }
    }
    return false;
}

bool FrameLink::QueryModeOf(int device, int wait_ms, uint8_t &mode)
{
    Frame reply;
    if (!BlockingExchange(Cmd::QueryMode, &kQueryModePayload, 1, device, wait_ms, reply))
        return false;
    mode = reply.payload[0];
    return true;
}

void FrameLink::QueueSwitchMode(uint8_t to, int device)
{
    QueueFrame(Cmd::SwitchMode, &to, 1, uint8_t(device));
}

FrameLink::HwRead FrameLink::ReadHwChunks(int d, int timeout_ms, int max_chunks, uint8_t *area)
{
    for (int k = 1; k <= max_chunks; ++k) {
        const uint8_t chunk = uint8_t(k);
        QueueFrame(Cmd::ReadHwVersion, &chunk, 1, uint8_t(d));
        uint8_t reply[kHwChunkReplyLength];
        if (!Transact(Cmd::ReadHwVersion, timeout_ms, reply, kHwChunkReplyLength))
            return HwRead::Failed;
        uint8_t *text = area + kHwChunkTextLength * (k - 1);
        memcpy(text, reply + 1, kHwChunkTextLength);
        if (memchr(text, 0, kHwChunkTextLength))
            return HwRead::Terminated;
    }
    return HwRead::Exhausted;
}

QString FrameLink::ReadHwText(int d, int timeout_ms)
{
    uint8_t area[Limits::kLaunchHwChunks * kHwChunkTextLength] = {};
    if (ReadHwChunks(d, timeout_ms, Limits::kLaunchHwChunks, area) == HwRead::Failed)
        return {};  // a missing chunk voids what earlier chunks gave
    return TextUpToZero(area, sizeof area);
}

bool FrameLink::ReadMotorHw(int timeout_ms, QString &text)
{
    QueueFrame(Cmd::ReadHwVersion, kZeroPayload, kMotorHwLength, DeviceId::Motor);
    uint8_t reply[kMotorHwLength];
    if (!Transact(Cmd::ReadHwVersion, timeout_ms, reply, kMotorHwLength))
        return false;
    text = TextUpToZero(reply, kMotorHwLength);
    return true;
}
