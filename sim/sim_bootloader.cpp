// The bootloader side of a simulated device: a section is announced, its data arrive in numbered
// frames (a gap is reported once as a loss), the buffer and the flash are checked by digest, and
// the flash is erased and programmed over a busy period.
#include "section_codec.h"
#include "sim_device.h"
#include "sim_family.h"
#include "sim_protocol.h"

using namespace SimProtocol;

namespace {

constexpr int kMotorHeader = 6;  // address and length; the motor takes raw data
constexpr int kHeader = 8;       // address, length and stored length
constexpr int kMaxChunk = 62;
constexpr int kMaxChunkDevice5 = 23;
constexpr uint8_t kVerifyBuffer = 1;
constexpr uint8_t kVerifyFlash = 2;
constexpr uint8_t kVerified = 2;
constexpr uint8_t kNotVerified = 0;
constexpr uint8_t kProgram = 0;
constexpr uint8_t kReport = 1;
constexpr uint8_t kFlashNotDone = 0;
constexpr uint8_t kFlashDone = 2;
constexpr uint8_t kFlashBusy = 3;
constexpr uint8_t kLoss = 1;

quint32 Big32(const uint8_t *p)
{
    return quint32(p[0]) << 24 | quint32(p[1]) << 16 | quint32(p[2]) << 8 | p[3];
}

quint16 Big16(const uint8_t *p)
{
    return quint16(p[0] << 8 | p[1]);
}

QByteArray Big16Bytes(int value)
{
    return QByteArray(1, char(value >> 8)) + char(value & 0xFF);
}

bool AllZero(const Frame &f)
{
    for (int i = 0; i < f.length; ++i) {
        if (f.payload[i])
            return false;
    }
    return true;
}

// Uses up one shot of a counted fault.
bool Take(int &shots)
{
    if (shots <= 0)
        return false;
    --shots;
    return true;
}

QByteArray Spoiled(QByteArray digest)
{
    digest[0] = char(digest[0] ^ 0x5A);
    return digest;
}

}  // namespace

bool SimDevice::Plain(QByteArray &plain) const
{
    if (!transfer.announced || transfer.next_offset != transfer.expected)
        return false;
    return SectionCodec::Expand(transfer.buffer, transfer.length, plain);
}

QString SimDevice::OnSectionHeader(const Frame &f, SimBus &bus)
{
    const int size = Address() == kMotorId ? kMotorHeader : kHeader;
    if (f.length != size)
        return QStringLiteral("section header of %1 bytes, expected %2").arg(f.length).arg(size);
    if (transfer.flash == SimTransfer::Flash::Busy)
        return QStringLiteral("section header while the flash is busy");
    SimTransfer next;
    next.announced = true;
    next.address = Big32(f.payload);
    next.length = Big16(f.payload + 4);
    next.expected = Address() == kMotorId ? next.length : Big16(f.payload + 6);
    // LZ4 never stores much more than the data themselves; a wild count is a host error.
    if (Address() != kMotorId && next.expected > next.length + next.length / 255 + 16)
        return QStringLiteral("stored length %1 for a %2-byte section").arg(next.expected).arg(next.length);
    next.buffer = QByteArray(next.expected, '\0');
    next.digest = transfer.digest;
    transfer = next;
    bus.Reply(Address(), SectionHeader, QByteArray(reinterpret_cast<const char *>(f.payload), f.length));
    return {};
}

QString SimDevice::OnSectionData(const Frame &f, SimBus &bus)
{
    if (!transfer.announced)
        return QStringLiteral("section data before any section header");
    const int n = f.length - 2;
    const int max = Address() == 5 ? kMaxChunkDevice5 : kMaxChunk;
    if (n < 1 || n > max)
        return QStringLiteral("section data frame with %1 data bytes (1 to %2 allowed)").arg(n).arg(max);
    const int offset = Big16(f.payload);
    if (offset + n > transfer.expected)
        return QStringLiteral("section data at %1+%2 past the %3 announced bytes").arg(offset).arg(n).arg(transfer.expected);
    if (offset > transfer.next_offset) {
        // A frame went missing: say once where the data stopped, then drop everything until the
        // host resends from there.
        if (!transfer.gap_reported) {
            transfer.gap_reported = true;
            loss_reports.append(transfer.next_offset);
            bus.Reply(Address(), SectionData, Big16Bytes(transfer.next_offset) + char(kLoss));
        }
        return {};
    }
    transfer.buffer.replace(offset, n, QByteArray(reinterpret_cast<const char *>(f.payload + 2), n));
    transfer.next_offset = qMax(transfer.next_offset, offset + n);
    transfer.gap_reported = false;
    return {};
}

QString SimDevice::OnQueryIndex(const Frame &f, SimBus &bus)
{
    if (f.length != 2 || !AllZero(f))
        return QStringLiteral("index query with a malformed payload");
    if (transfer.next_offset > 0 && Take(bus.Faults().short_index_replies))
        --transfer.next_offset;  // the device dropped the last byte it had
    transfer.gap_reported = false;
    bus.Reply(Address(), QueryIndex, Big16Bytes(transfer.next_offset));
    return {};
}

QString SimDevice::OnVerify(const Frame &f, SimBus &bus)
{
    if (f.length != 1 || (f.payload[0] != kVerifyBuffer && f.payload[0] != kVerifyFlash))
        return QStringLiteral("verify with a malformed payload");
    if (!transfer.announced) {
        bus.Reply(Address(), Verify, QByteArray(1, char(kNotVerified)));
        return {};
    }
    SimFaults &faults = bus.Faults();
    if (f.payload[0] == kVerifyBuffer) {
        QByteArray plain;
        if (!Plain(plain)) {
            bus.Reply(Address(), Verify, QByteArray(1, char(kNotVerified)));
            return {};
        }
        transfer.digest = SectionCodec::Digest(plain);
        if (Take(faults.buffer_digest_errors))
            transfer.digest = Spoiled(transfer.digest);
    } else {
        transfer.digest = SectionCodec::Digest(flash.Read(transfer.address, transfer.length));
        if (faults.wrong_flash_digest_if && faults.wrong_flash_digest_if(id, transfer.address))
            transfer.digest = Spoiled(transfer.digest);
    }
    bus.Reply(Address(), Verify, QByteArray(1, char(kVerified)));
    return {};
}

QString SimDevice::OnReadDigest(const Frame &f, SimBus &bus)
{
    if (f.length != 16 || !AllZero(f))
        return QStringLiteral("digest request with a malformed payload");
    bus.Reply(Address(), ReadDigest, transfer.digest);
    return {};
}

QString SimDevice::OnFlash(const Frame &f, SimBus &bus)
{
    if (f.length != 1 || (f.payload[0] != kProgram && f.payload[0] != kReport))
        return QStringLiteral("flash request with a malformed payload");
    if (f.payload[0] == kReport) {
        const uint8_t status = transfer.flash == SimTransfer::Flash::Done   ? kFlashDone
                               : transfer.flash == SimTransfer::Flash::Busy ? kFlashBusy
                                                                            : kFlashNotDone;
        bus.Reply(Address(), Flash, QByteArray(1, char(status)));
        return {};
    }
    if (transfer.flash == SimTransfer::Flash::Busy)
        return {};  // already erasing and programming: the completion will tell
    QByteArray plain;
    if (!Plain(plain)) {
        bus.Reply(Address(), Flash, QByteArray(1, char(kFlashNotDone)));
        return QStringLiteral("flash requested without a complete section buffer");
    }
    SimFaults &faults = bus.Faults();
    if (Take(faults.flash_write_errors) || (faults.corrupt_flash_if && faults.corrupt_flash_if(id, transfer.address)))
        plain[plain.size() / 2] = char(plain[plain.size() / 2] ^ 0x01);  // a cell that did not program
    transfer.flash = SimTransfer::Flash::Busy;
    ++flash_operations;
    const int busy_ms = faults.flash_busy_ms.value(id, bus.Timings().flash_busy_ms);
    bus.After(id, busy_ms, [this, &bus, plain] {
        flash.Erase(transfer.address, transfer.length);
        flash.Write(transfer.address, plain);
        programmed = true;
        transfer.flash = SimTransfer::Flash::Done;
        bus.Reply(Address(), Flash, QByteArray(1, char(kFlashDone)));
    });
    return {};
}
