#include "firmware_image.h"

#include "bounded_file.h"
#include "device_family.h"
#include "image_format.h"
#include "image_seal.h"

#include <QCryptographicHash>
#include <QtEndian>

#include <algorithm>

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

namespace {

constexpr quint32 kMaxStoredBytes = 0xFFFF;  // the record and the transfer count stored bytes in 16 bits
constexpr quint64 kAddressSpace = 0x100000000ULL;

QString Hex(quint64 address)
{
    return QString::asprintf("0x%08llX", static_cast<unsigned long long>(address));
}

// The device addresses a section writes, first and last.
QString Range(const FirmwareSection &section)
{
    return Hex(section.address) + QStringLiteral("..") + Hex(quint64(section.address) + section.length - 1);
}

// Per-section checks that need no other section; the first fault found, or an empty text.
QString SectionFault(const FirmwareSection &section, quint32 stored, int number, uint8_t dev_id)
{
    if (section.length == 0)
        return QStringLiteral("Section %1 at %2 is empty (length 0): nothing of it would be written!")
            .arg(number)
            .arg(Hex(section.address));
    if (stored > kMaxStoredBytes)
        return QStringLiteral("Section %1 stores %2 bytes, more than the %3 a section's 16-bit length can carry!")
            .arg(number)
            .arg(stored)
            .arg(kMaxStoredBytes);
    if (quint64(section.address) + section.length > kAddressSpace)
        return QStringLiteral("Section %1 at %2 runs past the end of the 32-bit address space!")
            .arg(number)
            .arg(Hex(section.address));
    if (RoleOf(dev_id).raw_sections && stored != section.length)
        return QStringLiteral("Section %1 at %2 is not stored raw (%3 bytes stored for its %4), but the motor takes "
                              "raw sections only!")
            .arg(number)
            .arg(Hex(section.address))
            .arg(stored)
            .arg(section.length);
    return {};
}

// Two sections that would write the same bytes of the device's memory: the later one would
// overwrite the earlier, so the flash would hold neither as the image states it.
QString OverlapFault(const std::vector<FirmwareSection> &sections)
{
    std::vector<int> order(sections.size());
    for (size_t i = 0; i < order.size(); ++i)
        order[i] = int(i);
    std::sort(order.begin(), order.end(), [&](int a, int b) {
        return sections[size_t(a)].address != sections[size_t(b)].address
                   ? sections[size_t(a)].address < sections[size_t(b)].address
                   : a < b;
    });
    for (size_t i = 1; i < order.size(); ++i) {
        const int a = std::min(order[i - 1], order[i]);
        const int b = std::max(order[i - 1], order[i]);
        const FirmwareSection &lower = sections[size_t(order[i - 1])];
        const FirmwareSection &upper = sections[size_t(order[i])];
        if (quint64(lower.address) + lower.length > upper.address)
            return QStringLiteral("Sections %1 (%2) and %3 (%4) overlap in the device's memory!")
                .arg(a + 1)
                .arg(Range(sections[size_t(a)]))
                .arg(b + 1)
                .arg(Range(sections[size_t(b)]));
    }
    return {};
}

}  // namespace

bool FirmwareImage::NamesImageFile(const QString &path)
{
    return path.contains(QLatin1String(".bin"), Qt::CaseSensitive);
}

bool FirmwareImage::Check(const QByteArray &bytes, uint8_t dev_id, ImageSnapshot &out, QString &reason,
                          Verdict *verdict)
{
    Verdict ignored = Verdict::Ok;
    Verdict &said = verdict ? *verdict : ignored;
    said = Verdict::Ok;
    out.bytes = bytes;
    out.sha256 = QCryptographicHash::hash(bytes, QCryptographicHash::Sha256);
    out.header = ImageHeader();
    out.header_read = false;
    out.sections.clear();
    out.seal = ImageSnapshot::Seal::None;

    said = ReadHeader(bytes, out.header, reason);
    if (said != Verdict::Ok)
        return false;
    out.header_read = true;
    // Every fault from here on is of the image's structure, its seal or a section.
    said = Verdict::Malformed;
    // Before the structure: when a sealed image was altered, the alteration is the news, not
    // whatever structural fault it caused.
    switch (ImageSeal::Check(bytes)) {
    case ImageSeal::State::Broken:
        reason = QStringLiteral("The image does not match its seal: its bytes after the header changed since it was "
                                "written!");
        return false;
    case ImageSeal::State::Matches: out.seal = ImageSnapshot::Seal::Valid; break;
    case ImageSeal::State::Unsealed: break;
    }
    std::vector<FirmwareSection> sections;
    if (ReadSections(bytes, out.header, dev_id, sections, reason) != Verdict::Ok)
        return false;
    if (sections.empty()) {
        reason = QStringLiteral("The image holds no section: nothing would be written to the device!");
        return false;
    }

    const bool layout1 = ImageFormat::IsLayout1(out.header.layout_major, out.header.layout_minor);
    const qint64 entry_size = layout1 ? ImageFormat::kLayout1DataOffset + qint64(out.header.section_len_max)
                                      : ImageFormat::kLayout0DataOffset + ImageFormat::kLayout0DataArea;
    for (size_t i = 0; i < sections.size(); ++i) {
        // The full stored count, before the record keeps its low 16 bits.
        const qint64 entry = ImageFormat::kHeaderSize + qint64(i) * entry_size;
        const quint32 stored = ReadLittle<quint32>(bytes, entry + ImageFormat::kEntryCompressedLengthOffset);
        const QString fault = SectionFault(sections[i], stored, int(i + 1), dev_id);
        if (!fault.isEmpty()) {
            reason = fault;
            return false;
        }
    }
    const QString overlap = OverlapFault(sections);
    if (!overlap.isEmpty()) {
        reason = overlap;
        return false;
    }
    out.sections = std::move(sections);
    said = Verdict::Ok;
    return true;
}

bool FirmwareImage::Load(const QString &path, uint8_t dev_id, ImageSnapshot &out, QString &reason, Verdict *verdict)
{
    out = ImageSnapshot();
    out.path = path;
    const BoundedFile::Result file = BoundedFile::Read(path, kMaxImageBytes);
    if (file.Ok()) {
        // Also for a path the rule refuses: a report and a record can still name what it holds.
        out.bytes = file.bytes;
        out.sha256 = QCryptographicHash::hash(file.bytes, QCryptographicHash::Sha256);
    }
    if (!NamesImageFile(path)) {
        reason = QStringLiteral("The path does not contain \".bin\" (in lower case): only .bin files are taken as "
                                "images!");
        if (verdict)
            *verdict = Verdict::NotImageName;
        return false;
    }
    if (!file.Ok()) {
        reason = file.reason;
        if (verdict)
            *verdict = Verdict::Unreadable;
        return false;
    }
    return Check(file.bytes, dev_id, out, reason, verdict);
}

QString ImageSnapshot::VersionText() const
{
    if (!header_read)
        return QString();
    return QStringLiteral("%1.%2.%3").arg(header.app_ver_major).arg(header.app_ver_minor).arg(header.app_ver_patch);
}
