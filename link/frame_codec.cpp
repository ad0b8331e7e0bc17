#include "frame_codec.h"

#include "link_log.h"


namespace {

// Stores the byte that completes the length field and chooses the next state. A length the
// 64-byte payload area cannot hold drops the frame at once.
uint8_t AcceptLength(FrameParser &p, uint8_t b)
{
    if (b > Frame::kMaxPayload) {
        p.state = FrameCodec::RxHunt;
        return FrameCodec::FrameIncomplete;
    }
    p.frame.length = b;
    p.state = FrameCodec::RxCommand;
    return FrameCodec::FrameIncomplete;
}

void AcceptAddress(FrameParser &p, uint8_t b)
{
    p.frame.address = b;
    p.state = p.frame.length == 0 ? FrameCodec::RxChecksum : FrameCodec::RxPayload;
}

void AcceptPayloadByte(FrameParser &p, uint8_t b)
{
    p.frame.payload[p.count++] = b;
    p.state = p.count >= p.frame.length ? FrameCodec::RxChecksum : FrameCodec::RxPayload;
}

uint8_t AcceptChecksum(FrameParser &p, uint8_t b)
{
    p.frame.checksum = b;
    p.state = FrameCodec::RxHunt;
    return b == static_cast<uint8_t>(p.sum + FrameCodec::kChecksumBias) ? FrameCodec::FrameOk
                                                                        : FrameCodec::FrameBadChecksum;
}

void EnterEscape(FrameParser &p, int resume)
{
    p.resume_state = resume;
    p.state = FrameCodec::RxEscape;
}

}  // namespace

uint8_t FrameCodec::Decode(FrameParser &p, uint8_t b)
{
    switch (p.state) {
    case RxHunt:
        if (b == kStartByte) {
            p.frame.start = kStartByte;
            p.count = 0;
            p.sum = kStartByte;
            p.state = RxLength;
        }
        return FrameIncomplete;
    case RxLength:
        p.sum += b;
        if (b == kStartByte) {
            EnterEscape(p, RxLength);
            return FrameIncomplete;
        }
        return AcceptLength(p, b);
    case RxCommand:
        p.sum += b;
        if (b == kStartByte) {
            EnterEscape(p, RxCommand);
        } else {
            p.frame.command = b;
            p.state = RxAddress;
        }
        return FrameIncomplete;
    case RxAddress:
        p.sum += b;
        if (b == kStartByte)
            EnterEscape(p, RxAddress);
        else
            AcceptAddress(p, b);
        return FrameIncomplete;
    case RxPayload:
        p.sum += b;
        if (b == kStartByte)
            EnterEscape(p, RxPayload);
        else
            AcceptPayloadByte(p, b);
        return FrameIncomplete;
    case RxChecksum:
        if (b == kStartByte) {
            EnterEscape(p, RxChecksum);
            return FrameIncomplete;
        }
        return AcceptChecksum(p, b);
    case RxEscape:
        if (b != kStartByte) {
            // The lone 0x7E started a new frame and b is its length byte; the partial frame
            // is dropped, counted only.
            ++p.broken;
            p.frame.start = kStartByte;
            p.count = 0;
            p.sum = static_cast<uint8_t>(kStartByte + b);
            return AcceptLength(p, b);
        }
        // A doubled 0x7E data byte; both copies count in the sum.
        switch (p.resume_state) {
        case RxLength:
            // No length reaches 0x7E, so this was no doubled byte: the first 0x7E was a lone
            // byte of a broken frame and this one starts the next frame. Dropping the pair as
            // one oversized frame would swallow that frame as well.
            ++p.broken;
            p.count = 0;
            p.sum = kStartByte;
            p.state = RxLength;
            return FrameIncomplete;
        case RxCommand:
            p.sum += b;
            p.frame.command = b;
            p.state = RxAddress;
            return FrameIncomplete;
        case RxAddress:
            p.sum += b;
            AcceptAddress(p, b);
            return FrameIncomplete;
        case RxPayload:
            p.sum += b;
            AcceptPayloadByte(p, b);
            return FrameIncomplete;
        case RxChecksum:
            return AcceptChecksum(p, b);
        default:
            break;
        }
        [[fallthrough]];
    default:
        qCDebug(lcLink).noquote() << "Decode bad";
        p.state = RxHunt;
        return FrameIncomplete;
    }
}

uint8_t FrameCodec::Encode(const Frame &frame, WireBuffer &out)
{
    if (frame.length > Frame::kMaxPayload)
        return 0;
    int n = 0;
    uint8_t sum = 0;
    auto put = [&](uint8_t b) {
        out[n++] = b;
        sum += b;
        if (b == kStartByte) {
            out[n++] = b;
            sum += b;
        }
    };
    out[n++] = kStartByte;
    sum = kStartByte;
    put(frame.length);
    put(frame.command);
    put(frame.address);
    for (int i = 0; i < frame.length; ++i)
        put(frame.payload[i]);
    const uint8_t checksum = static_cast<uint8_t>(sum + kChecksumBias);
    out[n++] = checksum;
    if (checksum == kStartByte)
        out[n++] = checksum;
    return static_cast<uint8_t>(n);
}

void FrameCodec::ResetDecoder(FrameParser &parser)
{
    parser.state = RxHunt;
}
