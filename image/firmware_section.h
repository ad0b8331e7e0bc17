#pragma once

#include <QByteArray>

#include <cstdint>

// One section of a loaded image, with its transfer marks.
struct FirmwareSection {
    uint8_t dev_id = 0;              // the job's device id at load time
    uint32_t address = 0;            // target address of the section
    uint16_t length = 0;             // bytes before compression
    uint16_t compressed_length = 0;  // low 16 bits of the number of stored bytes
    uint16_t sent_offset = 0;        // offset in data of the next byte to put into a frame
    bool received = false;           // the device confirmed every data byte of this pass
    bool flashed = false;            // the device confirmed the flashed section
    QByteArray data;                 // the stored bytes, in file order
    QByteArray digest;               // 16 bytes the device must report for this section
};
