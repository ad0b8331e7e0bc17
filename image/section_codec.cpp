#include "section_codec.h"

#include <QCryptographicHash>

#include <lz4.h>

QByteArray SectionCodec::Digest(const QByteArray &plain)
{
    return QCryptographicHash::hash(plain, QCryptographicHash::Md5);
}

QByteArray SectionCodec::Compress(const QByteArray &plain)
{
    QByteArray out(LZ4_compressBound(plain.size()), '\0');
    const int n = LZ4_compress_default(plain.constData(), out.data(), plain.size(), out.size());
    if (n <= 0 || n >= plain.size())
        return {};
    out.truncate(n);
    return out;
}

bool SectionCodec::Expand(const QByteArray &stored, int length, QByteArray &plain)
{
    if (stored.size() == length) {
        plain = stored;
        return true;
    }
    plain = QByteArray(length, '\0');
    const int n = LZ4_decompress_safe(stored.constData(), plain.data(), stored.size(), length);
    if (n != length) {
        plain.clear();
        return false;
    }
    return true;
}
