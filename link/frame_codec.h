#pragma once

#include "frame.h"

// Encoder and byte-at-a-time decoder of wire frames. Holds no state of its own: all decoder
// state lives in the FrameParser the caller passes in.
class FrameCodec {
public:
    static constexpr uint8_t kStartByte = 0x7E;
    static constexpr uint8_t kChecksumBias = 0x0D;
    // 1 start byte + (length, command, address, 64 payload bytes, checksum) each possibly doubled.
    static constexpr int kMaxWireBytes = 1 + 2 * (3 + Frame::kMaxPayload + 1);
    using WireBuffer = uint8_t[kMaxWireBytes];

    enum DecodeResult : uint8_t { FrameOk = 0, FrameIncomplete = 1, FrameBadChecksum = 2 };
    enum RxState { RxHunt = 0, RxLength, RxCommand, RxAddress, RxPayload, RxChecksum, RxEscape };

    // Feeds one received byte. After FrameOk or FrameBadChecksum the completed frame stays
    // readable in parser.frame until the next call.
    static uint8_t Decode(FrameParser &parser, uint8_t b);

    // Writes the wire bytes of frame (start and checksum fields are ignored) and returns their
    // number. A length above 64 cannot be a valid frame: nothing is written and 0 is returned.
    static uint8_t Encode(const Frame &frame, WireBuffer &out);

    static void ResetDecoder(FrameParser &parser);
};
