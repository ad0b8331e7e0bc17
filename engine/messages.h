#pragma once

#include "device_family.h"

#include <cstdint>

// The bootloader message set. Requests carry address 0x10 | device id; replies are matched on
// their command's low 7 bits only. Multi-byte numbers in payloads are big-endian.
namespace Cmd {
enum : uint8_t {
    Handshake = 0x00,        // no payload; any reply with this code answers it
    SwitchMode = 0x01,       // 1 byte (SwitchTo); restarts the device, no reply
    QueryMode = 0x02,        // 1 byte 0x00; reply payload[0] = Mode
    QueryAppVersion = 0x04,  // 4 bytes 0x00; reply: four version bytes
    ReadHwVersion = 0x08,    // chunk number (1 byte), or 24 zero bytes for the motor
    DisplayPowerOn = 0x0A,   // 1 byte 0x01 to the base; reply payload[0] = 1
    SectionHeader = 0x14,    // address u32, length u16 [, compressed length u16]; echoed
    QueryIndex = 0x15,       // 2 bytes 0x00; reply: next offset the device expects (u16)
    SectionData = 0x16,      // offset u16 + data; the device's loss report uses this code too
    ReadDigest = 0x17,       // 16 bytes 0x00; reply: 16 digest bytes
    Verify = 0x18,           // 1 byte (VerifyWhat); reply payload[0] = VerifyOk when verified
    Flash = 0x19,            // 1 byte (FlashOp); reply payload[0] = FlashStatus
};
}  // namespace Cmd

constexpr uint8_t kCommandMask = 0x7F;  // bit 7 of a reply's command byte means nothing to us
constexpr uint8_t kAddressBase = 0x10;  // high nibble of every request's address byte

// SwitchMode request.
namespace SwitchTo {
constexpr uint8_t App = 3;   // also the upgrade flag at the end of a successful upgrade
constexpr uint8_t Boot = 4;
}  // namespace SwitchTo

namespace VerifyWhat {
constexpr uint8_t Buffer = 1;
constexpr uint8_t Flash = 2;
}  // namespace VerifyWhat
constexpr uint8_t kVerifyOk = 2;

namespace FlashOp {
constexpr uint8_t EraseAndProgram = 0;
constexpr uint8_t ReportResult = 1;
}  // namespace FlashOp

namespace FlashStatus {
constexpr uint8_t NotDone = 0;
constexpr uint8_t Done = 2;
constexpr uint8_t Busy = 3;
}  // namespace FlashStatus

constexpr uint8_t kLossReport = 1;       // payload[2] of a device's SectionData report
constexpr uint8_t kDisplayPowerOn = 1;   // DisplayPowerOn request and confirmation byte

// Sizes of payloads.
constexpr int kHwChunkReplyLength = 17;  // chunk number + 16 text bytes
constexpr int kHwChunkTextLength = 16;
constexpr int kMotorHwLength = 24;       // the motor answers in one 24-byte text
constexpr int kAppVersionLength = 4;
constexpr int kDigestLength = 16;
constexpr int kMaxDataChunk = 62;        // data bytes behind the 2-byte offset
