#include "firmware_image.h"

#include "image_format.h"

#include <QtEndian>

namespace {

template <typename T>
T ReadLittle(const QByteArray &file, qint64 offset)
{
    return qFromLittleEndian<T>(file.constData() + offset);
}

}  // namespace

FirmwareImage::Verdict FirmwareImage::ReadHeader(const QByteArray &file, ImageHeader &header, QString &reason)
{
    if (file.size() < 4 || ReadLittle<quint32>(file, ImageFormat::kMagicOffset) != ImageFormat::kMagic) {
        reason = QStringLiteral("Magic number error!");
        return Verdict::BadMagic;
    }
    if (file.size() < ImageFormat::kHeaderSize) {
        reason = QStringLiteral("Image too short: %1 bytes, the header alone needs %2!")
                     .arg(file.size())
                     .arg(ImageFormat::kHeaderSize);
        return Verdict::TooShort;
    }
    header.layout_major = quint8(file[ImageFormat::kLayoutMajorOffset]);
    header.layout_minor = quint8(file[ImageFormat::kLayoutMinorOffset]);
    header.app_ver_major = quint8(file[ImageFormat::kAppVerMajorOffset]);
    header.app_ver_minor = quint8(file[ImageFormat::kAppVerMinorOffset]);
    header.app_ver_patch = ReadLittle<quint16>(file, ImageFormat::kAppVerPatchOffset);
    const QByteArray code = file.mid(ImageFormat::kProductCodeOffset, ImageFormat::kProductCodeSize);
    const int end = code.indexOf('\0');
    header.product_code = QString::fromUtf8(end < 0 ? code : code.left(end));
    header.section_len_max = ReadLittle<quint32>(file, ImageFormat::kSectionLenMaxOffset);
    header.section_num = ReadLittle<quint32>(file, ImageFormat::kSectionNumOffset);
    return Verdict::Ok;
}

FirmwareImage::Verdict FirmwareImage::ReadSections(const QByteArray &file, const ImageHeader &header, uint8_t dev_id,
                                                   std::vector<FirmwareSection> &sections, QString &reason)
{
    sections.clear();
    const bool layout1 = ImageFormat::IsLayout1(header.layout_major, header.layout_minor);
    const qint64 data_offset = layout1 ? ImageFormat::kLayout1DataOffset : ImageFormat::kLayout0DataOffset;
    const qint64 data_area = layout1 ? qint64(header.section_len_max) : ImageFormat::kLayout0DataArea;
    const qint64 entry_size = data_offset + data_area;

    // Every entry's common part and stored bytes must lie inside the file; the filler after the
    // stored bytes is never read, so an image whose last data area is cut short is still sound.
    std::vector<FirmwareSection> loaded;
    loaded.reserve(std::min<qint64>(header.section_num, file.size() / entry_size + 1));
    qint64 offset = ImageFormat::kHeaderSize;
    for (quint32 i = 0; i < header.section_num; ++i, offset += entry_size) {
        if (offset + data_offset > file.size()) {
            reason = QStringLiteral("Section %1 of %2 starts past the end of the image (%3 bytes)!")
                         .arg(i + 1)
                         .arg(header.section_num)
                         .arg(file.size());
            return Verdict::Malformed;
        }
        const quint32 stored = ReadLittle<quint32>(file, offset + ImageFormat::kEntryCompressedLengthOffset);
        if (stored > data_area) {
            reason = QStringLiteral("Section %1: compressed length %2 is larger than its data area of %3 bytes!")
                         .arg(i + 1)
                         .arg(stored)
                         .arg(data_area);
            return Verdict::Malformed;
        }
        if (offset + data_offset + stored > file.size()) {
            reason = QStringLiteral("Section %1: its %2 data bytes run past the end of the image!")
                         .arg(i + 1)
                         .arg(stored);
            return Verdict::Malformed;
        }
        FirmwareSection section;
        section.dev_id = dev_id;
        section.address = ReadLittle<quint32>(file, offset + ImageFormat::kEntryAddressOffset);
        section.length = ReadLittle<quint16>(file, offset + ImageFormat::kEntryLengthOffset);
        section.compressed_length = quint16(stored);
        section.digest = file.mid(int(offset + ImageFormat::kEntryDigestOffset), ImageFormat::kDigestSize);
        section.data = file.mid(int(offset + data_offset), int(stored));
        loaded.push_back(std::move(section));
    }
    sections = std::move(loaded);
    return Verdict::Ok;
}
