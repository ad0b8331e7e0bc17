#pragma once

#include "firmware_section.h"

#include <QString>

#include <vector>

// Header fields of a firmware image that the loader reports.
struct ImageHeader {
    uint8_t layout_major = 0;
    uint8_t layout_minor = 0;
    uint8_t app_ver_major = 0;
    uint8_t app_ver_minor = 0;
    uint16_t app_ver_patch = 0;
    QString product_code;
    uint32_t section_len_max = 0;
    uint32_t section_num = 0;
};

// Reading an image file held in memory. Every read is bounds-checked: a file that is too short,
// entries that run past its end or a compressed length larger than the entry's data area are
// refused with a reason, never read past.
namespace FirmwareImage {

enum class Verdict { Ok, TooShort, BadMagic, Malformed };

// Checks size and magic and reads the header.
Verdict ReadHeader(const QByteArray &file, ImageHeader &header, QString &reason);

// Checks every entry against the file and, only when all are sound, fills sections (file
// order, dev_id stamped on each). On failure sections is left empty.
Verdict ReadSections(const QByteArray &file, const ImageHeader &header, uint8_t dev_id,
                     std::vector<FirmwareSection> &sections, QString &reason);

}  // namespace FirmwareImage
