#pragma once

#include "image_writer.h"
#include "sim_family.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <array>
#include <cstdint>

// Firmware-like content for the simulated family: code-like runs that compress, table-like noise
// that does not, and a sprinkling of 0x7E bytes so that frame escaping is exercised. Like real
// firmware it states its version (major, minor, patch, build) near its start, in the record the
// simulated devices read once they run it; content too short for the record states none.
QByteArray SampleFirmware(int size, unsigned seed, std::array<uint8_t, 4> version = {1, 0, 0, 0});

// The version an image's header states, as its firmware states it (the header's patch number
// cut to the byte a device reports): content and header of a sample image agree.
std::array<uint8_t, 4> StatedVersion(const ImageRecipe &recipe, uint8_t build = 0);

// Writes an image of the segments to path; empty text on success, else the reason.
QString WriteSampleImage(const QString &path, const QList<ImageSegment> &segments, const ImageRecipe &recipe);

// Whether device id's flash holds every segment's bytes at its address; *why names the first
// difference.
bool FlashHolds(const SimFamily &family, int id, const QList<ImageSegment> &segments, QString *why = nullptr);
