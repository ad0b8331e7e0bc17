#include "wire.h"

#include "frame_codec.h"

#include <cstring>

QByteArray EncodeFrame(uint8_t command, uint8_t address, const QByteArray &payload)
{
    Frame f;
    f.command = command;
    f.address = address;
    f.length = uint8_t(payload.size());
    memcpy(f.payload, payload.constData(), size_t(qMin(payload.size(), int(Frame::kMaxPayload))));
    FrameCodec::WireBuffer out;
    const int n = FrameCodec::Encode(f, out);
    return QByteArray(reinterpret_cast<const char *>(out), n);
}

QList<Frame> DecodeFrames(const QByteArray &bytes)
{
    FrameParser parser;
    FrameCodec::ResetDecoder(parser);
    QList<Frame> frames;
    for (char c : bytes) {
        if (FrameCodec::Decode(parser, uint8_t(c)) == FrameCodec::FrameOk)
            frames.append(parser.frame);
    }
    return frames;
}
