#pragma once

#include <cstdint>

// The message set as the simulated devices understand it. Written down here independently of the
// engine's own table on purpose: a peer that shared the host's constants could not catch a wrong
// one.
namespace SimProtocol {

enum Command : uint8_t {
    Handshake = 0x00,
    SwitchMode = 0x01,
    QueryMode = 0x02,
    QueryAppVersion = 0x04,
    ReadHwVersion = 0x08,
    DisplayPowerOn = 0x0A,
    SectionHeader = 0x14,
    QueryIndex = 0x15,
    SectionData = 0x16,
    ReadDigest = 0x17,
    Verify = 0x18,
    Flash = 0x19,
};

constexpr uint8_t kRequestAddressNibble = 0x10;  // every request: 0x10 | device id
constexpr uint8_t kReplyAddressNibble = 0x10;

constexpr int kBaseId = 2;
constexpr int kMotorId = 3;     // answers the hardware query in one 24-byte text
constexpr int kDisplayId = 4;   // powered by the base

constexpr uint8_t kModeBoot = 1;
constexpr uint8_t kModeApp = 2;
constexpr uint8_t kSwitchToApp = 3;
constexpr uint8_t kSwitchToBoot = 4;

constexpr int kHwChunkText = 16;
constexpr int kHwChunks = 4;     // a 64-byte text area
constexpr int kMotorHwText = 24;

}  // namespace SimProtocol
