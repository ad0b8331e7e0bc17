// Arbitrary bytes as a firmware image file: the header, then the section entries.

#include "firmware_image.h"
#include "fuzz_check.h"
#include "image_format.h"

#include <QtEndian>

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {

uint32_t Little32(const uint8_t *p)
{
    return qFromLittleEndian<quint32>(p);
}

uint16_t Little16(const uint8_t *p)
{
    return qFromLittleEndian<quint16>(p);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > size_t(INT_MAX))
        return 0;
    // No copy: the reader sees exactly the fuzzer's buffer, so a read one byte past the end of
    // the file is an AddressSanitizer report rather than a read of a terminating zero.
    const QByteArray file = QByteArray::fromRawData(reinterpret_cast<const char *>(data), int(size));

    ImageHeader header;
    QString reason;
    FirmwareImage::Verdict verdict = FirmwareImage::ReadHeader(file, header, reason);
    if (verdict != FirmwareImage::Verdict::Ok) {
        FUZZ_CHECK(!reason.isEmpty());
        return 0;
    }
    FUZZ_CHECK(size >= size_t(ImageFormat::kHeaderSize));
    FUZZ_CHECK(Little32(data + ImageFormat::kMagicOffset) == ImageFormat::kMagic);
    FUZZ_CHECK(header.section_num == Little32(data + ImageFormat::kSectionNumOffset));
    FUZZ_CHECK(header.section_len_max == Little32(data + ImageFormat::kSectionLenMaxOffset));
    FUZZ_CHECK(header.product_code.size() <= ImageFormat::kProductCodeSize);

    // A reserved header byte as the job's device id, so it varies with the input.
    const uint8_t dev_id = data[6];
    // Left-over content must be cleared whether or not the entries are sound.
    std::vector<FirmwareSection> sections(1);
    reason.clear();
    verdict = FirmwareImage::ReadSections(file, header, dev_id, sections, reason);
    if (verdict != FirmwareImage::Verdict::Ok) {
        FUZZ_CHECK(sections.empty());
        FUZZ_CHECK(!reason.isEmpty());
        return 0;
    }
    FUZZ_CHECK(sections.size() == header.section_num);

    const bool layout1 = ImageFormat::IsLayout1(header.layout_major, header.layout_minor);
    const uint64_t data_offset = layout1 ? ImageFormat::kLayout1DataOffset : ImageFormat::kLayout0DataOffset;
    const uint64_t data_area = layout1 ? uint64_t(header.section_len_max) : uint64_t(ImageFormat::kLayout0DataArea);
    uint64_t entry = ImageFormat::kHeaderSize;
    for (const FirmwareSection &section : sections) {
        FUZZ_CHECK(entry + data_offset <= size);
        const uint8_t *common = data + entry;
        const uint32_t stored = Little32(common + ImageFormat::kEntryCompressedLengthOffset);
        FUZZ_CHECK(stored <= data_area);
        // The section's data lie within the file and are exactly its stored bytes.
        FUZZ_CHECK(entry + data_offset + stored <= size);
        FUZZ_CHECK(uint32_t(section.data.size()) == stored);
        FUZZ_CHECK(stored == 0 || std::memcmp(section.data.constData(), common + data_offset, stored) == 0);
        FUZZ_CHECK(section.compressed_length == uint16_t(stored));
        FUZZ_CHECK(section.address == Little32(common + ImageFormat::kEntryAddressOffset));
        FUZZ_CHECK(section.length == Little16(common + ImageFormat::kEntryLengthOffset));
        FUZZ_CHECK(section.digest.size() == ImageFormat::kDigestSize);
        FUZZ_CHECK(std::memcmp(section.digest.constData(), common + ImageFormat::kEntryDigestOffset,
                               ImageFormat::kDigestSize) == 0);
        FUZZ_CHECK(section.dev_id == dev_id);
        FUZZ_CHECK(section.sent_offset == 0 && !section.received && !section.flashed);
        entry += data_offset + data_area;
    }
    return 0;
}
