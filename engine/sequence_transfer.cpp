// Upgrade sequence, second phase: per section the announcement, the data stream with loss
// recovery, the buffer check, erasing and programming the flash, and the flash check.
#include "upgrade_sequence.h"

#include "engine_log.h"
#include "sequence_limits.h"
#include "messages.h"
#include "byte_channel.h"
#include "waits.h"

#include <QTime>

namespace {

constexpr int kMaxFrameBytes = Frame::kMaxPayload;  // data bytes plus their doubled 0x7E
constexpr uint8_t kZeros[kDigestLength] = {};

uint16_t BigEndian16(const uint8_t *bytes)
{
    return uint16_t(bytes[0] << 8 | bytes[1]);
}

int CountStartBytes(const QByteArray &data, int from, int n)
{
    int count = 0;
    for (int i = from; i < from + n; ++i)
        count += uint8_t(data[i]) == 0x7E;
    return count;
}

}  // namespace

int UpgradeSequence::DataCount(const FirmwareSection &section) const
{
    return Role().raw_sections ? section.length : section.compressed_length;
}

QByteArray UpgradeSequence::SectionHeaderPayload(const FirmwareSection &section) const
{
    QByteArray header;
    for (int shift = 24; shift >= 0; shift -= 8)
        header.append(char(section.address >> shift));
    header.append(char(section.length >> 8)).append(char(section.length));
    if (!Role().raw_sections)  // raw data needs no stored length
        header.append(char(section.compressed_length >> 8)).append(char(section.compressed_length));
    return header;
}

int UpgradeSequence::ChunkSize(const FirmwareSection &section, int remaining) const
{
    const int most = Role().max_data_chunk;
    if (Role().chunk_fits_escaped)
        return qMin(remaining, most);
    int c = qMin(remaining, most);
    const int escapes = CountStartBytes(section.data, section.sent_offset, c);
    if (escapes > 0 && c + escapes > kMaxFrameBytes)
        c = (c - escapes) % 2 == 0 ? c - escapes : c - escapes - 1;
    if (c > 0)
        return c;
    // The window is (nearly) all 0x7E: the largest even chunk whose doubled bytes still fit.
    if (IsMotor(job.dev_id)) {
        qCDebug(lcEngine).noquote() << QStringLiteral("escape_cnt: %1").arg(escapes);
        qCDebug(lcEngine).noquote() << QString::fromUtf8("错误长度");
    }
    if (remaining == 1)
        return 1;
    for (c = qMin(remaining, most) & ~1; c > 2; c -= 2) {
        if (c + CountStartBytes(section.data, section.sent_offset, c) <= kMaxFrameBytes)
            break;
    }
    return c;
}

void UpgradeSequence::OnNextSection()
{
    job.current_section = nullptr;
    for (size_t i = 0; i < job.sections.size(); ++i) {
        FirmwareSection &section = job.sections[i];
        if (section.received)
            continue;
        if (section.length == 0) {
            section.received = true;
            continue;
        }
        job.current_section = &section;
        job.current_section_index = int(i);
        break;
    }
    if (!job.current_section) {
        state = AllSectionsDone;
        return;
    }
    FirmwareSection &section = *job.current_section;
    section.sent_offset = 0;
    section.received = false;
    section.flashed = false;
    if (DataCount(section) > section.data.size()) {
        // A compressed image for the motor, which takes raw data: there is nothing right to send.
        Fail(JobEndReason::ImageInvalid, QStringLiteral("Section 0x%1 holds %2 bytes, the device needs %3")
                                             .arg(section.address, 0, 16)
                                             .arg(section.data.size())
                                             .arg(DataCount(section)));
        return;
    }
    if (job.attempt_section != job.current_section_index) {
        job.attempt_section = job.current_section_index;
        job.section_attempts = 0;
    }
    job.resume_high_water = 0;
    job.stalled_resumes = 0;

    qCDebug(lcEngine).noquote() << "";
    if (Role().raw_sections)
        qCDebug(lcEngine).noquote() << QStringLiteral("---Section addr: 0x%1, len: %2, time: %4")
                                           .arg(section.address, 0, 16)
                                           .arg(section.length)
                                           .arg(ElapsedStamp());
    else
        qCDebug(lcEngine).noquote() << QStringLiteral("---Section addr: 0x%1, len: %2, compressed len %3 time: %4")
                                           .arg(section.address, 0, 16)
                                           .arg(section.length)
                                           .arg(section.compressed_length)
                                           .arg(ElapsedStamp());
    if (!job.header_pending) {
        job.header_pending = true;
        job.header_clock.start();
    }
    const QByteArray header = SectionHeaderPayload(section);
    link.QueueFrame(Cmd::SectionHeader, reinterpret_cast<const uint8_t *>(header.constData()), uint8_t(header.size()),
               uint8_t(job.dev_id));
    state = WaitSectionHeader;
    MarkWaiting();
    job.retry_count = 0;
}

void UpgradeSequence::OnWaitSectionHeader(bool frame_received, const Frame &frame)
{
    if (frame_received) {
        if ((frame.command & kCommandMask) != Cmd::SectionHeader)
            return;
        // Only the address and length are compared; the echo of the stored length may differ.
        const QByteArray expected = SectionHeaderPayload(*job.current_section).left(6);
        if (frame.length >= 6 && memcmp(frame.payload, expected.constData(), 6) == 0) {
            job.header_pending = false;
            qCDebug(lcEngine).noquote() << "---Receive addr and length";
            qCDebug(lcEngine).noquote() << "---Start to send data, time: " + ElapsedStamp();
            state = SendData;
        } else {
            qCDebug(lcEngine).noquote() << "---Recv error addr and len";
            Fail(JobEndReason::DeviceFailed, QStringLiteral("Recv different addr/len"));
        }
        return;
    }
    if (IdlePass(frame_received, Limits::kHeaderIdlePasses) == Idle::TimedOut) {
        state = NextSection;
        qCDebug(lcEngine).noquote() << "---Wait addr time out";
        // A device that answers the announcement with anything but its echo (a flash still
        // busy, say) is not silent, and must not keep the job announcing for ever.
        if (job.header_clock.elapsed() > Waits::NoReplyLimit())
            Fail(JobEndReason::DeviceFailed, QStringLiteral("Section 0x%1 was announced for %2 s without an answer")
                                                 .arg(job.current_section->address, 0, 16)
                                                 .arg(Waits::NoReplyLimit() / 1000.0));
    }
}

void UpgradeSequence::OnSendData()
{
    FirmwareSection &section = *job.current_section;
    link.streaming = true;
    if (!job.resume_pending) {
        job.resume_index = 0;
        section.sent_offset = 0;
    }
    job.resume_pending = false;
    // Every frame of the section is queued now; the loop sends them at its streaming pace.
    const int queued_before = link.tx_queue.size();
    const bool first_time = job.current_section_index > job.wire_counted_through;  // not a resend
    const int count = DataCount(section);
    for (int offset = job.resume_index; offset < count;) {
        const int c = ChunkSize(section, count - offset);
        const uint8_t *bytes = reinterpret_cast<const uint8_t *>(section.data.constData()) + section.sent_offset;
        section.sent_offset = uint16_t(section.sent_offset + c);
        link.QueueDataFrame(bytes, uint16_t(section.sent_offset - c), uint8_t(c), uint8_t(job.dev_id));
        offset += c;
    }
    if (first_time) {
        stats.image_wire_bytes += link.tx_queue.size() - queued_before;
        job.wire_counted_through = job.current_section_index;
    }
    state = DataInFlight;
}

void UpgradeSequence::DropInFlight(int ms, int looks)
{
    link.EndStream();
    for (int i = 0; i < looks; ++i)
        link.WaitInput(ms);
    link.DropInput();
}

void UpgradeSequence::OnDataInFlight(bool frame_received, const Frame &frame)
{
    if (frame_received && (frame.command & kCommandMask) == Cmd::SectionData) {
        // The device lost data: stop streaming, let what is in flight drain, and resend from
        // where the device says it stands.
        DropInFlight(Waits::kLossDrainMs, Waits::kLossDrainLooks);
        qCDebug(lcEngine).noquote() << QStringLiteral("---Loss addr %1").arg(BigEndian16(frame.payload));
        bool answered = false;
        for (int tries = 0; tries < Limits::kMaxIndexQueries && !control.stop_requested && LinkUp() && !DevicesSilent(); ++tries) {
            qCDebug(lcEngine).noquote() << "---Firmware frame loss, query index";
            Frame reply;
            if (link.BlockingExchange(Cmd::QueryIndex, kZeros, 2, job.dev_id, Waits::kQueryIndexMs, reply)) {
                job.resume_index = BigEndian16(reply.payload);
                qCDebug(lcEngine).noquote() << QStringLiteral("---Get index: %1 , start resend from here").arg(job.resume_index);
                answered = true;
                break;
            }
        }
        if (GiveUpOnSilence() || control.stop_requested || !LinkUp())
            return;
        if (!answered) {
            Fail(JobEndReason::DeviceFailed,
                 QStringLiteral("No answer to the index query after %1 requests").arg(Limits::kMaxIndexQueries));
            return;
        }
        if (ResumeStalled(job.resume_index))
            return;
        job.resume_pending = true;
        job.current_section->sent_offset = job.resume_index;
        state = SendData;
        return;
    }
    if (!link.tx_queue.isEmpty())
        return;
    link.streaming = false;
    qCDebug(lcEngine).noquote() << "---Query section index";
    link.QueueFrame(Cmd::QueryIndex, kZeros, 2, uint8_t(job.dev_id));
    state = WaitIndex;
    MarkWaiting();
}

void UpgradeSequence::OnWaitIndex(bool frame_received, const Frame &frame)
{
    if (frame_received) {
        const uint8_t command = frame.command & kCommandMask;
        if (command == Cmd::QueryIndex) {
            const uint16_t index = BigEndian16(frame.payload);
            if (index == DataCount(*job.current_section)) {
                job.current_section->received = true;
                state = SendVerifyBuffer;
                return;
            }
            qCDebug(lcEngine).noquote() << "---Index resp err";
            DropInFlight(Waits::kIndexMismatchDrainMs, Waits::kIndexMismatchLooks);
            if (!ResumeStalled(index))
                ResumeFrom(index);
        } else if (command == Cmd::SectionData && frame.payload[2] == kLossReport) {
            DropInFlight(Waits::kLossDrainMs, Waits::kLossDrainLooks);
            if (!ResumeStalled(BigEndian16(frame.payload)))
                ResumeFrom(BigEndian16(frame.payload));
        } else if (command == Cmd::SectionData) {
            qCDebug(lcEngine).noquote() << QStringLiteral("[Data] Other report.%1").arg(frame.payload[2]);
        }
        return;
    }
    if (IdlePass(frame_received, Limits::kIndexIdlePasses) == Idle::TimedOut) {
        state = DataInFlight;
        qCDebug(lcEngine).noquote() << "---Wait index time_out";
    }
}

void UpgradeSequence::ResumeFrom(uint16_t offset)
{
    job.resume_pending = true;
    job.resume_index = offset;
    job.current_section->sent_offset = offset;
    state = SendData;
}

bool UpgradeSequence::ResumeStalled(uint16_t offset)
{
    if (offset > job.resume_high_water) {
        job.resume_high_water = offset;
        job.stalled_resumes = 0;
        return false;
    }
    if (++job.stalled_resumes <= Limits::kMaxStalledResumes)
        return false;
    Fail(JobEndReason::DeviceFailed, QStringLiteral("Section 0x%1: the device lost its data at %2 again and again")
                                         .arg(job.current_section->address, 0, 16)
                                         .arg(offset));
    return true;
}

void UpgradeSequence::RestartCurrentSection()
{
    if (++job.section_attempts >= Limits::kMaxSectionAttempts) {
        const uint32_t address = job.current_section->address;
        qCWarning(lcEngine).noquote() << QStringLiteral("---Section 0x%1 failed its buffer check %2 times")
                                             .arg(address, 0, 16)
                                             .arg(Limits::kMaxSectionAttempts);
        Fail(JobEndReason::DeviceFailed,
             QStringLiteral("Section 0x%1 failed the device's buffer check %2 times: its data do not match its digest")
                 .arg(address, 0, 16)
                 .arg(Limits::kMaxSectionAttempts));
        return;
    }
    job.current_section->received = false;
    job.current_section->flashed = false;
    job.current_section->sent_offset = 0;
    state = NextSection;
}

void UpgradeSequence::OnSendVerifyBuffer()
{
    qCDebug(lcEngine).noquote() << "---Send verify buffer cmd";
    const uint8_t what = VerifyWhat::Buffer;
    link.QueueFrame(Cmd::Verify, &what, 1, uint8_t(job.dev_id));
    state = WaitVerifyBuffer;
    MarkWaiting();
}

void UpgradeSequence::OnWaitVerifyBuffer(bool frame_received, const Frame &frame)
{
    if (frame_received) {
        if ((frame.command & kCommandMask) == Cmd::Verify && frame.payload[0] == kVerifyOk) {
            qCDebug(lcEngine).noquote() << "---Buffer verified, time: " + ElapsedStamp();
            Answered();
            state = SendReadBuffer;
        }
        return;
    }
    if (IdlePass(frame_received, Limits::kBufferVerifyIdlePasses) == Idle::TimedOut) {
        qCDebug(lcEngine).noquote() << "---Wait buffer verify status time_out, resend this section!";
        RestartCurrentSection();
    }
}

void UpgradeSequence::OnSendReadBuffer()
{
    qCDebug(lcEngine).noquote() << "---Send Read buffer cmd";
    link.QueueFrame(Cmd::ReadDigest, kZeros, kDigestLength, uint8_t(job.dev_id));
    state = WaitReadBuffer;
    MarkWaiting();
}

bool UpgradeSequence::DigestMatches(const Frame &frame) const
{
    return memcmp(frame.payload, job.current_section->digest.constData(), kDigestLength) == 0;
}

void UpgradeSequence::OnWaitReadBuffer(bool frame_received, const Frame &frame)
{
    if (frame_received) {
        if (frame.length != kDigestLength)  // any command: the device answers with the digest alone
            return;
        Answered();
        if (DigestMatches(frame)) {
            qCDebug(lcEngine).noquote() << "---Buffer verify sucess";
            state = SendFlash;
        } else {
            qCDebug(lcEngine).noquote() << "---Verify error";
            RestartCurrentSection();
        }
        return;
    }
    if (IdlePass(frame_received, Limits::kBufferDigestIdlePasses) == Idle::TimedOut) {
        if (TooManyRepeats("buffer digest request"))
            return;
        state = SendReadBuffer;
        qCDebug(lcEngine).noquote() << "---Wait buffer verify time_out";
    }
}

void UpgradeSequence::QueueFlash(uint8_t op)
{
    link.QueueFrame(Cmd::Flash, &op, 1, uint8_t(job.dev_id));
}

void UpgradeSequence::OnSendFlash()
{
    qCDebug(lcEngine).noquote() << "---Send erase and flash cmd, time: " + ElapsedStamp();
    QueueFlash(FlashOp::EraseAndProgram);
    state = WaitFlash;
    MarkWaiting();
    job.flash_clock.start();
}

void UpgradeSequence::OnWaitFlash(bool frame_received, const Frame &frame)
{
    // "Busy" answers keep the device from counting as silent; they must not keep the job forever.
    if (job.flash_clock.elapsed() > Waits::NoReplyLimit()) {
        qCWarning(lcEngine).noquote() << "---Flash not completed in time";
        Fail(JobEndReason::DeviceFailed, QStringLiteral("Section 0x%1 was not flashed within %2 s")
                                             .arg(job.current_section->address, 0, 16)
                                             .arg(Waits::NoReplyLimit() / 1000.0));
        return;
    }
    if (frame_received) {
        const uint8_t command = frame.command & kCommandMask;
        if (command != Cmd::Flash) {
            qCDebug(lcEngine).noquote() << QStringLiteral("---Error flash response, unexpected cmd:%1").arg(command);
            return;
        }
        const uint8_t status = frame.payload[0];
        if (status == FlashStatus::Done) {
            qCDebug(lcEngine).noquote() << "---Flash completed, time: " + ElapsedStamp();
            state = SendVerifyFlash;
        } else if (status == FlashStatus::NotDone) {
            QueueFlash(FlashOp::EraseAndProgram);
            job.state_time.start();
        } else if (status == FlashStatus::Busy) {
            // Programming under way: asked to program again, a device that finishes meanwhile
            // takes the request as a new one and is busy again when the next section is
            // announced (which it cannot take then). Its result is asked for later instead.
            qCDebug(lcEngine).noquote() << "---Flash busy";
            job.state_time.start();
        } else {
            qCDebug(lcEngine).noquote() << QStringLiteral("---Error flash response, unexpected payload:%1").arg(status);
        }
        return;
    }
    // Erasing and programming take a while; this wait counts time, not idle control.passes.
    if (job.state_time.elapsed() > Waits::kFlashStatusMs) {
        QueueFlash(FlashOp::ReportResult);
        qCDebug(lcEngine).noquote() << "---Wait flash status time_out, query result!!!";
        job.state_time.start();
    }
}

void UpgradeSequence::OnSendVerifyFlash()
{
    qCDebug(lcEngine).noquote() << "---Send flash verify cmd";
    const uint8_t what = VerifyWhat::Flash;
    link.QueueFrame(Cmd::Verify, &what, 1, uint8_t(job.dev_id));
    state = WaitVerifyFlash;
    MarkWaiting();
}

void UpgradeSequence::OnWaitVerifyFlash(bool frame_received, const Frame &frame)
{
    if (frame_received) {
        if ((frame.command & kCommandMask) == Cmd::Verify && frame.payload[0] == kVerifyOk) {
            qCDebug(lcEngine).noquote() << "---Flash verified";
            Answered();
            state = SendReadFlash;
        }
        return;
    }
    if (IdlePass(frame_received, Limits::kFlashVerifyIdlePasses) == Idle::TimedOut) {
        if (TooManyRepeats("flash check"))
            return;
        state = SendVerifyFlash;
        qCDebug(lcEngine).noquote() << "---Wait flash verify status time_out";
    }
}

void UpgradeSequence::OnSendReadFlash()
{
    link.QueueFrame(Cmd::ReadDigest, kZeros, kDigestLength, uint8_t(job.dev_id));
    state = WaitReadFlash;
    MarkWaiting();
}

void UpgradeSequence::OnWaitReadFlash(bool frame_received, const Frame &frame)
{
    if (frame_received) {
        if (frame.length != kDigestLength)
            return;
        Answered();
        if (!DigestMatches(frame)) {
            RestartAfterMismatch(job.current_section->address, false);
            return;
        }
        qCInfo(lcEngine).noquote() << "---Flash verified sucess";
        job.current_section->flashed = true;
        state = NextSection;
        ReportProgress(JobPhase::Transfer, job.current_section_index + 1);
        return;
    }
    switch (IdlePass(frame_received, Limits::kFlashDigestIdlePasses)) {
    case Idle::TimedOut:
        if (!TooManyRepeats("flash digest request"))
            state = SendReadFlash;
        break;
    case Idle::Counted:
        qCDebug(lcEngine).noquote() << "---Wait flash verify time_out";
        break;
    case Idle::NotCounted:
        break;
    }
}

void UpgradeSequence::RestartAfterMismatch(uint32_t address, bool final_pass)
{
    ++job.verify_failures;
    if (job.verify_failures > Limits::kMaxVerifyFailures) {
        emit PushLogMsg(QString::fromUtf8("重试3次失败"));
        Fail(JobEndReason::DeviceFailed, QStringLiteral("Flash verify failed %1 times, upgrade again!").arg(job.verify_failures));
        return;
    }
    qCDebug(lcEngine).noquote() << "---Flash verify error, need reupgrade";
    emit PushLogMsg(QTime::currentTime().toString(QStringLiteral("hh:mm:ss")) + QLatin1Char(':') +
                    QString::fromUtf8("第%1次校验失败(%2轮):%3")
                        .arg(job.verify_failures)
                        .arg(final_pass ? 2 : 1)
                        .arg(QString::number(address, 16).toUpper()));
    // A device that restarts from a part of its image (the display, its upper part) gets only
    // those sections again; every other device the whole image. The final
    // pass needs an address strictly above the display's boundary.
    const uint32_t from = Role().restart_from;
    const bool upper_part = from != 0 && (final_pass ? address > from : address >= from);
    const uint32_t threshold = upper_part ? from : 0;
    for (FirmwareSection &section : job.sections) {
        if (section.address >= threshold) {
            section.received = false;
            section.sent_offset = 0;
        }
    }
    ReportProgress(JobPhase::Transfer);
    state = NextSection;
}
