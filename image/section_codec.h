#pragma once

#include <QByteArray>

// What a section's stored bytes are and how a device checks them. The image writer and the
// simulated bootloaders share these definitions so that they agree byte for byte.
namespace SectionCodec {

// MD5 of the section's uncompressed bytes: the 16-byte digest a device reports for its buffer
// and for its flash.
QByteArray Digest(const QByteArray &plain);

// LZ4 block compression; returns an empty array when the result would not be shorter.
QByteArray Compress(const QByteArray &plain);

// Turns stored bytes back into the section's bytes: raw when the stored count equals the
// length, LZ4 block data otherwise. Returns false for data that do not decompress to exactly
// `length` bytes.
bool Expand(const QByteArray &stored, int length, QByteArray &plain);

}  // namespace SectionCodec
