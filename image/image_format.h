#pragma once

#include <cstdint>

// Layout of a firmware image file (.bin). Every number in the file is little-endian.
namespace ImageFormat {

constexpr uint32_t kMagic = 0x33221100;  // bytes 00 11 22 33 in file order
constexpr int kHeaderSize = 128;         // section entries start here

// Header field offsets.
constexpr int kMagicOffset = 0;
constexpr int kLayoutMajorOffset = 4;
constexpr int kLayoutMinorOffset = 5;
constexpr int kAppVerMajorOffset = 8;
constexpr int kAppVerMinorOffset = 9;
constexpr int kAppVerPatchOffset = 10;  // u16
// Reserved bytes 12..55, which the devices do not interpret, carry the seal of images we write.
constexpr int kSealMarkerOffset = 12;
constexpr int kSealMarkerSize = 8;
constexpr int kSealDigestOffset = 20;  // SHA-256 of every byte after the header
constexpr int kSealDigestSize = 32;
constexpr int kProductCodeOffset = 56;
constexpr int kProductCodeSize = 64;
constexpr int kSectionLenMaxOffset = 120;  // u32: data area of each entry in layout 1
constexpr int kSectionNumOffset = 124;     // u32

// Section entry, common part (offsets inside one entry).
constexpr int kEntryAddressOffset = 0;           // u32
constexpr int kEntryLengthOffset = 4;            // u16, before compression
constexpr int kEntryCompressedLengthOffset = 8;  // u32, bytes stored
constexpr int kEntryDigestOffset = 12;
constexpr int kDigestSize = 16;

// Layout 0: fixed 8192-byte data area right after the common part.
constexpr int kLayout0DataOffset = 28;
constexpr int kLayout0DataArea = 8192;
// Layout 1: 4 reserved bytes, then a data area of Section_len_max bytes.
constexpr int kLayout1DataOffset = 32;

// Layout 1 needs both numbers at 1 or above; 1.0 and 2.0 are layout 0.
constexpr bool IsLayout1(uint8_t major, uint8_t minor)
{
    return major >= 1 && minor >= 1;
}

}  // namespace ImageFormat
