#pragma once

#include "image_writer.h"
#include "sim_family.h"

#include <QByteArray>
#include <QList>
#include <QString>

// Firmware-like content for the simulated family: code-like runs that compress, table-like noise
// that does not, and a sprinkling of 0x7E bytes so that frame escaping is exercised.
QByteArray SampleFirmware(int size, unsigned seed);

// Writes an image of the segments to path; empty text on success, else the reason.
QString WriteSampleImage(const QString &path, const QList<ImageSegment> &segments, const ImageRecipe &recipe);

// Whether device id's flash holds every segment's bytes at its address; *why names the first
// difference.
bool FlashHolds(const SimFamily &family, int id, const QList<ImageSegment> &segments, QString *why = nullptr);
