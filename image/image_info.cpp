#include "image_info.h"

#include "firmware_image.h"
#include "image_format.h"
#include "image_seal.h"
#include "image_signature.h"
#include "section_codec.h"

#include <QFileInfo>
#include <QTextStream>

#include <vector>

namespace {

// The image check's first word on a file that is no image is the bare "Magic number error!": say
// what the file is, and where images come from.
QString WithImageHint(const QString &path, const QString &problem)
{
    if (!problem.endsWith(QLatin1String("Magic number error!")))
        return problem;
    if (QFileInfo(path).size() == 0)
        return problem + QStringLiteral(" (the file is empty)");
    return problem + QStringLiteral(" (the file is no firmware image: fwimage build makes one)");
}

// The signature beside the image, if any: whose key, and whether it is over these very bytes. Who
// is trusted is the line's configuration; this says only what the signature itself holds. False
// when a signature is there and does not hold.
bool DescribeSignature(QTextStream &out, const QString &path, const QByteArray &bytes)
{
    const ImageSignature::Beside beside = ImageSignature::ReadBeside(path);
    if (beside.state == ImageSignature::Beside::State::None) {
        out << "Signature:     none (no " << QFileInfo(ImageSignature::SignaturePath(path)).fileName()
            << " beside the image)\n";
        return true;
    }
    if (beside.state == ImageSignature::Beside::State::Unreadable) {
        out << "Signature:     CANNOT BE READ: " << beside.problem << "\n";
        return false;
    }
    const ImageSignature::Signature &signature = beside.signature;
    const QString id = ImageSignature::KeyId(signature.public_key);
    if (!ImageSignature::Verify(bytes, signature)) {
        out << "Signature:     Ed25519 by key " << id
            << ", DOES NOT MATCH: the image changed after signing, or the signature is another image's\n";
        return false;
    }
    out << "Signature:     Ed25519 by key " << id << ", matches the image\n";
    return true;
}

ImageInfo Describe(const QString &path)
{
    ImageInfo info;
    // The verdict a launch reaches before it touches a device (for no device in particular), by
    // the same one reading, so that this report and an upgrade judge an image alike (its path's
    // name rule included) and give the same reason.
    ImageSnapshot snapshot;
    QString verdict;
    FirmwareImage::Verdict kind = FirmwareImage::Verdict::Ok;
    const bool sound = FirmwareImage::Load(path, 0, snapshot, verdict, &kind);
    if (kind == FirmwareImage::Verdict::Unreadable) {
        info.problem = verdict;
        return info;
    }
    if (kind == FirmwareImage::Verdict::NotImageName && snapshot.sha256.isEmpty()) {
        info.problem = QStringLiteral("%1 is not a valid image: %2").arg(path, verdict);
        return info;  // nothing read to report on
    }
    const QByteArray &bytes = snapshot.bytes;

    ImageHeader header;
    QString reason;
    std::vector<FirmwareSection> sections;
    if (FirmwareImage::ReadHeader(bytes, header, reason) != FirmwareImage::Verdict::Ok ||
        FirmwareImage::ReadSections(bytes, header, 0, sections, reason) != FirmwareImage::Verdict::Ok) {
        info.problem = QStringLiteral("%1 is not a valid image: %2").arg(path, verdict);
        return info;
    }

    QTextStream out(&info.text);
    const bool layout1 = ImageFormat::IsLayout1(header.layout_major, header.layout_minor);
    out << "Image:         " << path << " (" << bytes.size() << " bytes)\n";
    out << "Layout:        " << header.layout_major << "." << header.layout_minor << " -> layout "
        << (layout1 ? "1 (data area of Section_len_max bytes)" : "0 (fixed 8192-byte data area)") << "\n";
    out << "App version:   " << header.app_ver_major << "." << header.app_ver_minor << "." << header.app_ver_patch << "\n";
    out << "Product code:  " << header.product_code << "\n";
    out << "Section_len_max: " << header.section_len_max << "\n";
    out << "Sections:      " << header.section_num << "\n";
    switch (ImageSeal::Check(bytes)) {
    case ImageSeal::State::Matches: out << "Seal:          sealed, matches (SHA-256 of the bytes after the header)\n"; break;
    case ImageSeal::State::Broken: out << "Seal:          sealed, DOES NOT MATCH: the image changed after it was written\n"; break;
    case ImageSeal::State::Unsealed: out << "Seal:          none (made elsewhere: judged on its structure alone)\n"; break;
    }
    const bool signature_sound = DescribeSignature(out, path, bytes);
    out << QString::asprintf("  %4s  %-10s  %6s  %6s  %-4s  %-32s  %s\n", "#", "address", "length", "stored", "form",
                             "digest (MD5)", "check");
    qint64 total = 0, stored = 0;
    int index = 0;
    int failed = 0;
    for (const FirmwareSection &section : sections) {
        QByteArray plain;
        const bool raw = section.data.size() == section.length;
        QString check;
        if (!SectionCodec::Expand(section.data, section.length, plain))
            check = QStringLiteral("data do not expand to the length");
        else
            check = SectionCodec::Digest(plain) == section.digest ? QStringLiteral("digest ok")
                                                                  : QStringLiteral("digest is not the MD5 of the data");
        failed += check != QLatin1String("digest ok");
        out << QString::asprintf("  %4d  0x%08X  %6u  %6u  %-4s  %-32s  ", ++index, section.address, section.length,
                                 unsigned(section.data.size()), raw ? "raw" : "lz4", section.digest.toHex().constData())
            << check << "\n";
        total += section.length;
        stored += section.data.size();
    }
    out << "Total:         " << total << " bytes in " << sections.size() << " sections, " << stored << " stored\n";
    out << "Digest check:  assumes each digest is the MD5 of the section's decompressed bytes, as the simulated\n"
           "               family computes it; a real device may compute another value\n";
    out.flush();
    if (!sound) {
        info.problem = QStringLiteral("%1 is not a valid image: %2").arg(path, verdict);
        return info;
    }
    if (!signature_sound) {
        info.problem = QStringLiteral("%1: its signature %2 does not hold").arg(path, ImageSignature::SignaturePath(path));
        return info;
    }
    // A device would refuse such a section after its transfer: scripts must not take the image.
    if (failed > 0)
        info.problem = QStringLiteral("%1: %2 of %3 sections fail their check").arg(path).arg(failed).arg(sections.size());
    return info;
}

}  // namespace

ImageInfo DescribeImage(const QString &path)
{
    ImageInfo info = Describe(path);
    info.problem = WithImageHint(path, info.problem);
    return info;
}
