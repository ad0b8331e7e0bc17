#pragma once

#include "frame.h"

#include <QByteArray>
#include <QList>

// One frame as it leaves the host: start byte, length, command, address, payload with its
// doubled 0x7E bytes, checksum.
QByteArray EncodeFrame(uint8_t command, uint8_t address, const QByteArray &payload);

// A request to device `device` (address 0x10 | device).
inline QByteArray DeviceRequest(uint8_t command, int device, const QByteArray &payload)
{
    return EncodeFrame(command, uint8_t(0x10 | device), payload);
}

// The good frames in bytes, in order.
QList<Frame> DecodeFrames(const QByteArray &bytes);
