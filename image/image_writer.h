#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

// A raw binary and the address its first byte belongs at.
struct ImageSegment {
    quint32 address = 0;
    QByteArray bytes;
};

// What `fwimage build` is asked for.
struct ImageRecipe {
    int layout = 1;            // 0: fixed 8192-byte data areas; 1: data areas of section_size
    int section_size = 4096;   // uncompressed bytes per section (at most 8192 in layout 0)
    QByteArray product_code;   // at most 64 bytes
    quint8 version_major = 1;
    quint8 version_minor = 0;
    quint16 version_patch = 0;
    bool raw = false;          // store every section uncompressed (device 3 takes raw data only)
};

// Builds an image: each segment is cut into sections of section_size bytes, each section is
// stored LZ4-compressed when that makes it shorter (raw otherwise, or always with recipe.raw)
// and carries the MD5 digest of its uncompressed bytes; the image is sealed (image_seal.h).
// Returns an empty array and sets *error when the recipe cannot be written, among others when two
// segments share device addresses.
QByteArray BuildImage(const ImageRecipe &recipe, const QList<ImageSegment> &segments, QString *error);
