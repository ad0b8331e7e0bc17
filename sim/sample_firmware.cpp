#include "sample_firmware.h"

#include <QFile>

#include <random>

QByteArray SampleFirmware(int size, unsigned seed, std::array<uint8_t, 4> version)
{
    std::mt19937 rng(seed);
    QByteArray bytes;
    bytes.reserve(size);
    while (bytes.size() < size) {
        const int run = 16 + int(rng() % 240);
        if (rng() % 3 == 0) {
            for (int i = 0; i < run; ++i)
                bytes.append(char(rng()));
        } else {
            const char base = char(rng());
            for (int i = 0; i < run; ++i)
                bytes.append(char(i % 7 == 0 ? 0x7E : base + char(i % 5)));
        }
    }
    bytes.truncate(size);
    // After a vector-table-sized start, where firmware usually keeps its identity.
    constexpr int kRecordAt = 64;
    const QByteArray record = QByteArray(kSimVersionMarker) + QByteArray(reinterpret_cast<const char *>(version.data()), 4);
    if (size >= kRecordAt + record.size())
        bytes.replace(kRecordAt, record.size(), record);
    return bytes;
}

std::array<uint8_t, 4> StatedVersion(const ImageRecipe &recipe, uint8_t build)
{
    return {recipe.version_major, recipe.version_minor, uint8_t(recipe.version_patch), build};
}

QString WriteSampleImage(const QString &path, const QList<ImageSegment> &segments, const ImageRecipe &recipe)
{
    QString error;
    const QByteArray image = BuildImage(recipe, segments, &error);
    if (image.isEmpty())
        return error;
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(image) != image.size())
        return file.errorString();
    return {};
}

bool FlashHolds(const SimFamily &family, int id, const QList<ImageSegment> &segments, QString *why)
{
    for (const ImageSegment &segment : segments) {
        const QByteArray flash = family.Flash(id, segment.address, segment.bytes.size());
        if (flash == segment.bytes)
            continue;
        if (why) {
            int at = 0;
            while (at < flash.size() && flash[at] == segment.bytes[at])
                ++at;
            *why = QStringLiteral("device %1 differs at 0x%2").arg(id).arg(segment.address + quint32(at), 0, 16);
        }
        return false;
    }
    return true;
}
