#pragma once

#include <cstdint>

// One wire frame in memory. On the wire: 0x7E, length, command, address, payload, checksum,
// with every 0x7E after the start byte sent twice.
struct Frame {
    static constexpr int kMaxPayload = 64;

    uint8_t start = 0;     // 0x7E once a frame has been received
    uint8_t length = 0;    // payload bytes before escaping, 0..64
    uint8_t command = 0;   // command byte as received or to be sent
    uint8_t address = 0;   // 0x10 | device id on frames the tool builds
    uint8_t payload[kMaxPayload] = {};
    uint8_t checksum = 0;  // as received; ignored when encoding
};

// The decoder's working record: the frame being received plus the decoder's own state.
struct FrameParser {
    Frame frame;
    int state = 0;         // one of FrameCodec::RxState
    int resume_state = 0;  // state in which the last 0x7E inside the frame arrived
    uint8_t count = 0;     // payload bytes stored so far
    uint8_t sum = 0;       // running 8-bit sum of the frame's wire bytes
    int broken = 0;        // frames dropped unfinished because a new one began (the reader may reset it)
};
