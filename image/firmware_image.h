#pragma once

#include "firmware_section.h"

#include <QByteArray>
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

// One image as a job uses it: the file read once, checked, and its sections taken from those
// same bytes, so what is checked is what is sent.
struct ImageSnapshot {
    enum class Seal {
        None,   // made elsewhere: accepted on its structure
        Valid,  // sealed, and every byte after the header is as it was written
    };

    QString path;
    QByteArray bytes;                       // the whole file
    ImageHeader header;
    bool header_read = false;               // the header was sound (the rest may not be)
    std::vector<FirmwareSection> sections;  // file order, dev_id stamped on each
    QByteArray sha256;                      // of the whole file (32 bytes), as records name the image
    Seal seal = Seal::None;
    // The id of the trusted key whose signature the launch checked over these bytes; empty when the
    // line trusts no keys (nothing was asked of the signature).
    QString signer_key_id;

    // The SHA-256 in hex; empty when the file was not read.
    QString Sha256Hex() const { return QString::fromLatin1(sha256.toHex()); }
    // The application version the header states, "major.minor.patch"; empty when no header was read.
    QString VersionText() const;
};

// Reading an image file held in memory. Every read is bounds-checked: a file that is too short,
// entries that run past its end or a compressed length larger than the entry's data area are
// refused with a reason, never read past.
namespace FirmwareImage {

enum class Verdict {
    Ok,
    TooShort,
    BadMagic,
    Malformed,     // the structure, the seal or a section is unsound
    NotImageName,  // the path breaks the loader's rule for image names (see NamesImageFile)
    Unreadable,    // the file could not be read (missing, a folder, too large, ...)
};

// The loader's rule for an image's path, the devices' tool's rule of old: it contains ".bin"
// somewhere, in lower case ("a.bin" and "a.bin.old" are taken, "a.BIN" and "a.img" are not).
bool NamesImageFile(const QString &path);

// The largest image file read. No device of the family states its flash size; the images we
// know are at most 288 KiB (the base), and an image holds its data in sections of at most 64 KiB.
// 16 MiB is the size of a 128-Mbit serial flash, a generous ceiling for microcontroller boards
// like these (their internal flash is a few MiB at most), over fifty times today's largest image
// and, at the measured 40 KiB/s, already seven minutes of transfer per device. A file above it
// is a mistaken path, refused before it is read.
constexpr qint64 kMaxImageBytes = 16 * 1024 * 1024;

// The one verdict on an image, wherever one is judged (the launch, a job given only a path, the
// image report): reads the image file at path once (a regular file of at most kMaxImageBytes)
// and checks it for the device dev_id: the path's name rule, header, at least one section, every
// section inside the file and not empty, no two sections overlapping in the device's address
// space, raw sections for the motor, and the seal when the image carries one. On failure reason
// says why in English, naming the section, verdict (when given) which kind of fault it is, and
// out holds what was read so far (path, bytes and sha256 once the file was read).
bool Load(const QString &path, uint8_t dev_id, ImageSnapshot &out, QString &reason, Verdict *verdict = nullptr);

// The checks of Load on a file already in memory, all but the path's; out.path is left as it is.
bool Check(const QByteArray &bytes, uint8_t dev_id, ImageSnapshot &out, QString &reason, Verdict *verdict = nullptr);

// Checks size and magic and reads the header.
Verdict ReadHeader(const QByteArray &file, ImageHeader &header, QString &reason);

// Checks every entry against the file and, only when all are sound, fills sections (file
// order, dev_id stamped on each). On failure sections is left empty.
Verdict ReadSections(const QByteArray &file, const ImageHeader &header, uint8_t dev_id,
                     std::vector<FirmwareSection> &sections, QString &reason);

}  // namespace FirmwareImage
