#pragma once

#include <QByteArray>

// The seal of the images we write: a marker and the SHA-256 of everything after the 128-byte
// header, in header bytes that the devices leave uninterpreted. A sealed image whose bytes were
// changed after it was written (a copy cut short, a flipped bit, a hand edit) no longer matches.
// Images made elsewhere carry no marker and are judged on their structure alone.
namespace ImageSeal {

enum class State {
    Unsealed,  // no marker (or no whole header): nothing to check
    Matches,   // marker present, digest equal to the bytes after the header
    Broken,    // marker present, digest differs
};

// The 8 marker bytes.
QByteArray Marker();

// Writes the marker and the digest into image's header; image holds at least the header.
void Apply(QByteArray &image);

// What image's seal says about its bytes.
State Check(const QByteArray &image);

}  // namespace ImageSeal
