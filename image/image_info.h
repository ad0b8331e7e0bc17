#pragma once

#include <QString>

// What an image file holds, as `fwimage info` prints it: the header, the seal, every section with
// the check of its data against its length and digest (MD5 of the decompressed bytes, as the
// simulated family computes it), and the totals.
struct ImageInfo {
    QString text;     // the report; empty when the file could not be read as an image at all
    QString problem;  // why the image must not be used; empty when every check passed
};

// Reads the image file at path once and judges it as a launch does (FirmwareImage::Load, for no
// particular device, the path's name rule included) and, beyond that, checks each section's digest.
ImageInfo DescribeImage(const QString &path);
