#pragma once

#include <QString>

// What an image file holds, as `fwimage info` prints it: the header, every section with the
// check of its data against its length and digest, and the totals.
struct ImageInfo {
    QString text;     // the report; empty when the file could not be read as an image at all
    QString problem;  // why the image must not be used; empty when every check passed
};

// Reads and checks the image file at path.
ImageInfo DescribeImage(const QString &path);
