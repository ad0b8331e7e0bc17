#include "image_writer.h"

#include "image_format.h"
#include "image_seal.h"
#include "section_codec.h"

#include <QtEndian>

#include <algorithm>

namespace {

constexpr int kMaxSectionLength = 0xFFFF;  // the entry's length field is 16 bits

template <typename T>
void PutLittle(QByteArray &buffer, int offset, T value)
{
    qToLittleEndian<T>(value, buffer.data() + offset);
}

QString Hex(quint64 address)
{
    return QString::asprintf("0x%08llX", static_cast<unsigned long long>(address));
}

// Two binaries that share device addresses: the image would write those bytes twice and the
// flash would hold the later copy only, so the image is not written at all.
QString OverlapProblem(const QList<ImageSegment> &segments)
{
    QList<const ImageSegment *> order;
    for (const ImageSegment &segment : segments)
        order.append(&segment);
    std::stable_sort(order.begin(), order.end(),
                     [](const ImageSegment *a, const ImageSegment *b) { return a->address < b->address; });
    for (int i = 1; i < order.size(); ++i) {
        const ImageSegment &lower = *order[i - 1];
        const ImageSegment &upper = *order[i];
        const quint64 lower_end = quint64(lower.address) + quint64(lower.bytes.size());
        if (lower_end > upper.address)
            return QStringLiteral("the binaries for %1 (%1..%2) and %3 (%3..%4) overlap")
                .arg(Hex(lower.address), Hex(lower_end - 1), Hex(upper.address),
                     Hex(quint64(upper.address) + quint64(upper.bytes.size()) - 1));
    }
    return {};
}

QString CheckRecipe(const ImageRecipe &recipe, const QList<ImageSegment> &segments)
{
    if (recipe.layout != 0 && recipe.layout != 1)
        return QStringLiteral("layout must be 0 or 1");
    if (recipe.section_size < 1 || recipe.section_size > kMaxSectionLength)
        return QStringLiteral("section size must be between 1 and %1").arg(kMaxSectionLength);
    if (recipe.layout == 0 && recipe.section_size > ImageFormat::kLayout0DataArea)
        return QStringLiteral("layout 0 holds at most %1 bytes per section").arg(ImageFormat::kLayout0DataArea);
    if (recipe.product_code.size() > ImageFormat::kProductCodeSize)
        return QStringLiteral("product code is longer than %1 bytes").arg(ImageFormat::kProductCodeSize);
    for (const ImageSegment &segment : segments) {
        if (segment.bytes.isEmpty())
            return QStringLiteral("the binary for address 0x%1 is empty").arg(segment.address, 0, 16);
        if (quint64(segment.address) + quint64(segment.bytes.size()) > 0x100000000ULL)
            return QStringLiteral("the binary for address 0x%1 runs past the 32-bit address space")
                .arg(segment.address, 0, 16);
    }
    return OverlapProblem(segments);
}

}  // namespace

QByteArray BuildImage(const ImageRecipe &recipe, const QList<ImageSegment> &segments, QString *error)
{
    const QString problem = CheckRecipe(recipe, segments);
    if (!problem.isEmpty()) {
        if (error)
            *error = problem;
        return {};
    }
    const int data_offset = recipe.layout == 0 ? ImageFormat::kLayout0DataOffset : ImageFormat::kLayout1DataOffset;
    const int data_area = recipe.layout == 0 ? ImageFormat::kLayout0DataArea : recipe.section_size;
    const int entry_size = data_offset + data_area;

    QList<QByteArray> entries;
    for (const ImageSegment &segment : segments) {
        for (int offset = 0; offset < segment.bytes.size(); offset += recipe.section_size) {
            const QByteArray plain = segment.bytes.mid(offset, recipe.section_size);
            QByteArray stored = recipe.raw ? QByteArray() : SectionCodec::Compress(plain);
            if (stored.isEmpty())
                stored = plain;
            // The entry's length field is 16 bits, and so is the transfer's count of stored
            // bytes: a longer section would be cut without a word, so it is refused here.
            if (plain.size() > kMaxSectionLength || stored.size() > kMaxSectionLength) {
                if (error)
                    *error = QStringLiteral("the section at %1 is %2 bytes, more than a section's 16-bit length holds (%3)")
                                 .arg(Hex(segment.address + quint32(offset)))
                                 .arg(plain.size())
                                 .arg(kMaxSectionLength);
                return {};
            }
            QByteArray entry(entry_size, '\0');
            PutLittle<quint32>(entry, ImageFormat::kEntryAddressOffset, segment.address + quint32(offset));
            PutLittle<quint16>(entry, ImageFormat::kEntryLengthOffset, quint16(plain.size()));
            PutLittle<quint32>(entry, ImageFormat::kEntryCompressedLengthOffset, quint32(stored.size()));
            entry.replace(ImageFormat::kEntryDigestOffset, ImageFormat::kDigestSize, SectionCodec::Digest(plain));
            entry.replace(data_offset, stored.size(), stored);
            entries.append(entry);
        }
    }

    QByteArray image(ImageFormat::kHeaderSize, '\0');
    PutLittle<quint32>(image, ImageFormat::kMagicOffset, ImageFormat::kMagic);
    image[ImageFormat::kLayoutMajorOffset] = 1;
    image[ImageFormat::kLayoutMinorOffset] = char(recipe.layout == 1 ? 1 : 0);
    image[ImageFormat::kAppVerMajorOffset] = char(recipe.version_major);
    image[ImageFormat::kAppVerMinorOffset] = char(recipe.version_minor);
    PutLittle<quint16>(image, ImageFormat::kAppVerPatchOffset, recipe.version_patch);
    image.replace(ImageFormat::kProductCodeOffset, recipe.product_code.size(), recipe.product_code);
    PutLittle<quint32>(image, ImageFormat::kSectionLenMaxOffset, quint32(data_area));
    PutLittle<quint32>(image, ImageFormat::kSectionNumOffset, quint32(entries.size()));
    for (const QByteArray &entry : entries)
        image += entry;
    ImageSeal::Apply(image);
    return image;
}
