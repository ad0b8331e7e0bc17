#include "image_seal.h"

#include "image_format.h"

#include <QCryptographicHash>

namespace {

// Eight bytes no header written by a device vendor's tool is likely to hold by chance: such
// tools leave reserved bytes zero.
constexpr char kMarker[ImageFormat::kSealMarkerSize + 1] = "UPGSEAL1";

QByteArray BodyDigest(const QByteArray &image)
{
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(image.constData() + ImageFormat::kHeaderSize, image.size() - ImageFormat::kHeaderSize);
    return hash.result();
}

}  // namespace

static_assert(ImageFormat::kSealDigestOffset == ImageFormat::kSealMarkerOffset + ImageFormat::kSealMarkerSize,
              "the digest follows the marker");
static_assert(ImageFormat::kSealDigestOffset + ImageFormat::kSealDigestSize <= ImageFormat::kProductCodeOffset,
              "the seal stays inside the reserved header bytes");

QByteArray ImageSeal::Marker()
{
    return QByteArray(kMarker, ImageFormat::kSealMarkerSize);
}

void ImageSeal::Apply(QByteArray &image)
{
    Q_ASSERT(image.size() >= ImageFormat::kHeaderSize);
    image.replace(ImageFormat::kSealMarkerOffset, ImageFormat::kSealMarkerSize, Marker());
    image.replace(ImageFormat::kSealDigestOffset, ImageFormat::kSealDigestSize, BodyDigest(image));
}

ImageSeal::State ImageSeal::Check(const QByteArray &image)
{
    if (image.size() < ImageFormat::kHeaderSize ||
        image.mid(ImageFormat::kSealMarkerOffset, ImageFormat::kSealMarkerSize) != Marker())
        return State::Unsealed;
    return image.mid(ImageFormat::kSealDigestOffset, ImageFormat::kSealDigestSize) == BodyDigest(image)
               ? State::Matches
               : State::Broken;
}
