// Arbitrary bytes from the serial line through the frame decoder, and the input's first bytes
// as a frame through the encoder.

#include "frame_codec.h"
#include "fuzz_check.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace {

constexpr uint8_t kStart = FrameCodec::kStartByte;
// Any byte but the start byte ends whatever the decoder was in the middle of (see below).
constexpr uint8_t kFlushByte = 0x55;

bool SameFields(const Frame &a, const Frame &b)
{
    return a.length == b.length && a.command == b.command && a.address == b.address
           && std::memcmp(a.payload, b.payload, a.length) == 0;
}

void CheckParser(const FrameParser &p)
{
    FUZZ_CHECK(p.state >= FrameCodec::RxHunt && p.state <= FrameCodec::RxEscape);
    // The payload area holds 64 bytes; nothing may be stored beyond it.
    FUZZ_CHECK(p.frame.length <= Frame::kMaxPayload);
    FUZZ_CHECK(p.count <= p.frame.length);
    if (p.state == FrameCodec::RxPayload)
        FUZZ_CHECK(p.count < p.frame.length);
}

// Feeds wire bytes to p: every byte but the last must leave the frame incomplete, the last must
// complete it with a good checksum and exactly the fields of expected.
void CheckDecodesTo(FrameParser &p, const uint8_t *wire, int n, const Frame &expected)
{
    for (int i = 0; i + 1 < n; ++i)
        FUZZ_CHECK(FrameCodec::Decode(p, wire[i]) == FrameCodec::FrameIncomplete);
    FUZZ_CHECK(FrameCodec::Decode(p, wire[n - 1]) == FrameCodec::FrameOk);
    FUZZ_CHECK(SameFields(p.frame, expected));
    FUZZ_CHECK(p.frame.checksum == wire[n - 1]);
    FUZZ_CHECK(p.state == FrameCodec::RxHunt);
}

// A completed frame, good or bad, must be exactly what the bytes just received say: the
// encoder's form of its fields, followed by the received checksum (one byte, or 7E 7E).
void CheckCompletedFrame(const FrameParser &p, uint8_t result, const uint8_t *data, size_t end)
{
    FUZZ_CHECK(p.state == FrameCodec::RxHunt);
    FUZZ_CHECK(p.frame.start == kStart);
    FUZZ_CHECK(p.count == p.frame.length);

    FrameCodec::WireBuffer wire;
    const int n = FrameCodec::Encode(p.frame, wire);
    FUZZ_CHECK(n >= 5 && n < FrameCodec::kMaxWireBytes);
    const uint8_t good_checksum = wire[n - 1];
    const int body = n - (good_checksum == kStart ? 2 : 1);
    const size_t received_checksum_bytes = p.frame.checksum == kStart ? 2 : 1;
    FUZZ_CHECK(end >= size_t(body) + received_checksum_bytes);
    const uint8_t *received = data + end - received_checksum_bytes - size_t(body);
    FUZZ_CHECK(std::memcmp(received, wire, size_t(body)) == 0);
    if (received_checksum_bytes == 2)
        FUZZ_CHECK(data[end - 2] == kStart && data[end - 1] == kStart);

    if (result == FrameCodec::FrameOk) {
        FUZZ_CHECK(p.frame.checksum == good_checksum);
        // Encoding the decoded frame and decoding that again gives the same frame.
        FrameParser again;
        FrameCodec::ResetDecoder(again);
        CheckDecodesTo(again, wire, n, p.frame);
    } else {
        FUZZ_CHECK(p.frame.checksum != good_checksum);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FrameParser parser;
    FrameCodec::ResetDecoder(parser);
    for (size_t i = 0; i < size; ++i) {
        const uint8_t result = FrameCodec::Decode(parser, data[i]);
        FUZZ_CHECK(result <= FrameCodec::FrameBadChecksum);
        CheckParser(parser);
        if (result != FrameCodec::FrameIncomplete)
            CheckCompletedFrame(parser, result, data, i + 1);
    }

    // The first bytes as a frame to send: length, command, address, then payload.
    if (size < 3)
        return 0;
    Frame frame;
    frame.length = data[0];
    frame.command = data[1];
    frame.address = data[2];
    std::memcpy(frame.payload, data + 3, std::min<size_t>(size - 3, Frame::kMaxPayload));
    FrameCodec::WireBuffer wire;
    const int n = FrameCodec::Encode(frame, wire);
    if (frame.length > Frame::kMaxPayload) {
        FUZZ_CHECK(n == 0);
        return 0;
    }
    FUZZ_CHECK(n >= 5 && n < FrameCodec::kMaxWireBytes);
    FUZZ_CHECK(wire[0] == kStart);

    // Resynchronisation: whatever state the stream above left the decoder in, one byte other
    // than 0x7E followed by a whole frame yields exactly that frame. The byte may complete a
    // pending frame; it can never leave the decoder inside an escape.
    const uint8_t flushed = FrameCodec::Decode(parser, kFlushByte);
    FUZZ_CHECK(flushed <= FrameCodec::FrameBadChecksum);
    FUZZ_CHECK(parser.state != FrameCodec::RxEscape);
    CheckDecodesTo(parser, wire, n, frame);
    return 0;
}
