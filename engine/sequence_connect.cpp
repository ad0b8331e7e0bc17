// Upgrade sequence, first phase: the entry rule, the idle-time rule and the dispatch of every
// state; then the link check with the target, learning its mode and bringing it (and, for targets
// behind the base, the base) into its bootloader.
#include "upgrade_sequence.h"

#include "engine_log.h"
#include "frame_codec.h"
#include "sequence_limits.h"
#include "messages.h"
#include "byte_channel.h"
#include "waits.h"

#include <QThread>

namespace {

constexpr uint8_t kQueryModePayload = 0x00;

}  // namespace

void UpgradeSequence::Step(bool frame_received, const Frame &frame)
{
    // Once the job is ending (Finish ran, or a stop was asked for), the rest of the pass's frames
    // are left alone: Finish must never run twice.
    if (control.stop_requested)
        return;
    if (job.retry_count >= Limits::kMaxHandshakeRetries) {
        qCWarning(lcEngine) << state.load();
        qCWarning(lcEngine).noquote() << "---Timeout reach max count";
        job.retry_count = 0;
        Fail(JobEndReason::DeviceSilent, QStringLiteral("Timeout reach max count"));
    }
    if (state != Finish)
        GiveUpOnSilence();

    switch (state.load()) {
    case Init: OnInit(); break;
    case SendHandshake: OnSendHandshake(); break;
    case WaitHandshake: OnWaitHandshake(frame_received, frame); break;
    case EnterBoot: OnEnterBoot(); break;
    case SendQueryMode: OnSendQueryMode(); break;
    case WaitQueryMode: OnWaitQueryMode(frame_received, frame); break;
    case NextSection: OnNextSection(); break;
    case WaitSectionHeader: OnWaitSectionHeader(frame_received, frame); break;
    case SendData: OnSendData(); break;
    case DataInFlight: OnDataInFlight(frame_received, frame); break;
    case WaitIndex: OnWaitIndex(frame_received, frame); break;
    case SendVerifyBuffer: OnSendVerifyBuffer(); break;
    case WaitVerifyBuffer: OnWaitVerifyBuffer(frame_received, frame); break;
    case SendReadBuffer: OnSendReadBuffer(); break;
    case WaitReadBuffer: OnWaitReadBuffer(frame_received, frame); break;
    case SendFlash: OnSendFlash(); break;
    case WaitFlash: OnWaitFlash(frame_received, frame); break;
    case SendVerifyFlash: OnSendVerifyFlash(); break;
    case WaitVerifyFlash: OnWaitVerifyFlash(frame_received, frame); break;
    case SendReadFlash: OnSendReadFlash(); break;
    case WaitReadFlash: OnWaitReadFlash(frame_received, frame); break;
    case AllSectionsDone: OnAllSectionsDone(); break;
    case VerifyAll: OnVerifyAll(); break;
    case SetUpgradeFlag: OnSetUpgradeFlag(); break;
    case UpgradeSuccess: OnUpgradeSuccess(); break;
    case Finish: OnFinish(); break;
    default:
        // 3, 10, 26 and values above Finish do nothing.
        break;
    }
}

UpgradeSequence::Idle UpgradeSequence::IdlePass(bool frame_received, int n)
{
    if (frame_received || job.state_time.elapsed() <= Waits::kIdleStepMs)
        return Idle::NotCounted;
    ++job.idle_ticks;
    job.state_time.start();
    return job.idle_ticks % n == 0 ? Idle::TimedOut : Idle::Counted;
}

void UpgradeSequence::MarkWaiting()
{
    job.state_time.start();
    job.idle_ticks = 0;
}

// --- Blocking helpers (job thread) ---------------------------------------------------------

bool UpgradeSequence::DevicesSilent() const
{
    return link.last_reply.isValid() && link.last_reply.elapsed() > Waits::NoReplyLimit();
}

bool UpgradeSequence::GiveUpOnSilence()
{
    if (!DevicesSilent())
        return false;
    if (state == Finish)
        return true;  // already given up (or failed otherwise): say it once
    // Every waiting state repeats its request without limit; with nobody answering that would
    // spin until someone pressed Stop.
    qCWarning(lcEngine).noquote() << QStringLiteral("---No reply for %1 s, giving up").arg(Waits::NoReplyLimit() / 1000.0);
    Fail(JobEndReason::DeviceSilent, QStringLiteral("The device stopped answering"));
    return true;
}

void UpgradeSequence::SleepUnlessStopped(int ms)
{
    QElapsedTimer clock;
    clock.start();
    for (qint64 left = ms; left > 0 && !StopHonoured(); left = ms - clock.elapsed())
        QThread::msleep(quint64(qMin<qint64>(left, Waits::kStopPollMs)));
    PaceFromNow();
    stats.fixed_wait_ms += clock.elapsed();
    stats.fixed_wait_asked_ms += qMin<qint64>(clock.elapsed(), ms);
}

void UpgradeSequence::SettleWait(int ms)
{
    QElapsedTimer clock;
    clock.start();
    // Ends when input arrives, as one wait would, but also looks at the stop request.
    for (qint64 left = ms; left > 0 && !StopHonoured(); left = ms - clock.elapsed()) {
        if (link.WaitInput(int(qMin<qint64>(left, Waits::kStopPollMs))) || !LinkUp())
            break;
    }
    stats.fixed_wait_ms += clock.elapsed();
    stats.fixed_wait_asked_ms += qMin<qint64>(clock.elapsed(), ms);
}

void UpgradeSequence::Reconnect()
{
    const QString old_name = link.Channel().CatalogName();
    SleepUnlessStopped(Waits::Long(Waits::kReleasePortMs));
    // Closed now rather than when the job ends: a base that comes back under the same name must
    // not find its port still held by us.
    link.TakeInput();  // a port that has gone away says so here
    const bool gone = !link.Up();
    link.Close();
    AwaitBaseRestart(gone ? QString() : old_name, Waits::Long(Waits::kReenumerateMs),
                     std::max(Waits::Long(Waits::kReenumerateMs), Waits::kBaseBackLimitMs));
    // The devices could not be heard while the base was away: their silence counts from now.
    if (OpenLink())
        link.last_reply.start();
}

bool UpgradeSequence::TooManyRepeats(const char *what)
{
    if (++job.request_repeats <= Limits::kMaxRequestRepeats)
        return false;
    qCWarning(lcEngine).noquote() << QStringLiteral("---No answer to the %1 after %2 requests").arg(QLatin1String(what)).arg(Limits::kMaxRequestRepeats);
    Fail(JobEndReason::DeviceFailed,
         QStringLiteral("No answer to the %1 after %2 requests").arg(QLatin1String(what)).arg(Limits::kMaxRequestRepeats));
    return true;
}

// --- States ------------------------------------------------------------------------------

void UpgradeSequence::OnInit()
{
    job.retry_count = 0;  // counts handshake time-outs over the whole connection attempt
    state = SendHandshake;
}

void UpgradeSequence::OnSendHandshake()
{
    link.QueueFrame(Cmd::Handshake, nullptr, 0, uint8_t(job.dev_id));
    ++handshakes_sent;
    state = WaitHandshake;
    MarkWaiting();
}

void UpgradeSequence::OnWaitHandshake(bool frame_received, const Frame &frame)
{
    if (frame_received) {
        if ((frame.command & kCommandMask) == Cmd::Handshake) {
            ++handshakes_answered;
            qCInfo(lcEngine).noquote() << QStringLiteral("---Handshake OK! %1 / %2")
                                              .arg(handshakes_answered.load())
                                              .arg(handshakes_sent.load());
            state = SendQueryMode;
        }
        return;
    }
    if (IdlePass(frame_received, Limits::kHandshakeIdlePasses) == Idle::TimedOut) {
        state = SendHandshake;
        qCDebug(lcEngine).noquote() << "---Wait handshkae timeout";
        link.QueueFrame(Cmd::Handshake, nullptr, 0, uint8_t(job.dev_id));
        link.FlushTx();
        ++job.retry_count;
    }
}

void UpgradeSequence::OnSendQueryMode()
{
    qCDebug(lcEngine).noquote() << "---Send bootmode";
    link.QueueFrame(Cmd::QueryMode, &kQueryModePayload, 1, uint8_t(job.dev_id));
    state = WaitQueryMode;
    MarkWaiting();
    job.retry_count = 0;
}

void UpgradeSequence::OnWaitQueryMode(bool frame_received, const Frame &frame)
{
    if (frame_received) {
        if ((frame.command & kCommandMask) == Cmd::QueryMode) {
            Answered();
            job.target_in_app = frame.payload[0] != Mode::Boot;
            qCInfo(lcEngine).noquote() << (job.target_in_app ? "---Target is app" : "---Target is boot");
            state = EnterBoot;
        }
        return;
    }
    if (IdlePass(frame_received, Limits::kQueryModeIdlePasses) == Idle::TimedOut) {
        if (TooManyRepeats("mode query"))
            return;
        link.QueueFrame(Cmd::QueryMode, &kQueryModePayload, 1, uint8_t(job.dev_id));
        qCDebug(lcEngine).noquote() << "---Wait boot mode time out";
    }
}

void UpgradeSequence::OnEnterBoot()
{
    // 1. The target restarts into its bootloader; the base comes back under a new port.
    if (job.target_in_app) {
        link.QueueSwitchMode(SwitchTo::Boot, job.dev_id);
        link.FlushTx();
        qCInfo(lcEngine).noquote() << "---Wait target reset...";
        if (IsBase(job.dev_id)) {
            qCInfo(lcEngine).noquote() << "---Wait main MCU reconnect USB...";
            Reconnect();
        } else {
            SleepUnlessStopped(Waits::Long(Waits::kTargetRestartMs));
        }
    }
    job.target_in_app = false;

    if (Role().behind_base) {
        if (!EnterBootBehindBase())
            return;
    }

    // Both in their bootloaders: the transfer starts.
    state = NextSection;
    ReportProgress(JobPhase::Transfer);
}

bool UpgradeSequence::EnterBootBehindBase()
{
    if (Role().sends_motor_off_bus && job.motor_to_boot)
        SendMotorOffTheBus();
    if (!BringBaseToBoot())
        return false;
    if (IsDisplay(job.dev_id) && !job.retargeted_to_display)
        PowerDisplay();
    if (job.base_went_to_boot && !TargetAnswersFromBoot())
        return false;
    return LinkUp() && !GiveUpOnSilence();
}

void UpgradeSequence::SendMotorOffTheBus()
{
    uint8_t mode = 0;
    if (!link.QueryModeOf(DeviceId::Base, Waits::kBootExchangeMs, mode))
        return;
    // Only a motor that answers is sent away, and so must be seen back: the base of a unit
    // without one (a steering wheel's) has nobody at its address.
    uint8_t motor_mode = Mode::Absent;
    for (int i = 0; i < Limits::kMotorPresenceQueries && motor_mode == Mode::Absent; ++i) {
        if (!link.QueryModeOf(DeviceId::Motor, Waits::kQueryTimeoutMs, motor_mode))
            motor_mode = Mode::Absent;
    }
    if (motor_mode == Mode::Absent) {
        qCDebug(lcEngine).noquote() << "---No motor answers: none to send off the bus";
        return;
    }
    job.motor_went_to_boot = mode == Mode::App;
    if (job.motor_went_to_boot) {
        link.QueueSwitchMode(SwitchTo::Boot, DeviceId::Motor);
        link.FlushTx();
        SettleWait(Waits::kBootExchangeMs);
        return;
    }
    // A base found in its bootloader: an earlier job was cut off, perhaps after it had sent the
    // motor away. A motor waiting in its bootloader goes back with this job's end.
    if (mode == Mode::Boot && motor_mode == Mode::Boot) {
        qCInfo(lcEngine).noquote() << "---Motor is at Boot";
        job.motor_went_to_boot = true;
    }
}

bool UpgradeSequence::BringBaseToBoot()
{
    uint8_t mode = 0;
    for (int tries = 0; !control.stop_requested && LinkUp() && !DevicesSilent(); ++tries) {
        if (tries == Limits::kMaxBootEntryQueries) {
            Fail(JobEndReason::DeviceSilent, QStringLiteral("The base did not report its mode"));
            return false;
        }
        if (!link.QueryModeOf(DeviceId::Base, Waits::kBootExchangeMs, mode))
            continue;
        if (mode == Mode::Boot) {
            qCInfo(lcEngine).noquote() << "---Main is at Boot";
            job.base_went_to_boot = false;
            job.base_found_in_boot = true;
            break;
        }
        job.base_went_to_boot = true;
        qCInfo(lcEngine).noquote() << "---Main is at App, Wait Main go Boot";
        link.QueueSwitchMode(SwitchTo::Boot, DeviceId::Base);
        link.FlushTx();
        Reconnect();
        if (!AwaitBaseInBoot())
            return false;
        break;
    }
    return LinkUp() && !GiveUpOnSilence();  // false: the base is gone, or no longer answers
}

void UpgradeSequence::PowerDisplay()
{
    for (int i = 0; i < Limits::kDisplayPowerTries; ++i) {
        const uint8_t on = kDisplayPowerOn;
        link.QueueFrame(Cmd::DisplayPowerOn, &on, 1, DeviceId::Base);
        link.FlushTx();
        qCDebug(lcEngine).noquote() << "---Force power on for display";
        link.WaitInput(Waits::kBootExchangeMs);
        link.CollectRx();
        Frame reply;
        if (link.TakeFrame(reply) && (reply.command & kCommandMask) == Cmd::DisplayPowerOn &&
            reply.payload[0] == kDisplayPowerOn)
            break;
    }
    if (link.IsOpen())
        link.Channel().DropReceived();
}

bool UpgradeSequence::TargetAnswersFromBoot()
{
    SettleWait(Waits::Long(Role().boot_settle_ms));
    uint8_t mode = 0;
    for (int tries = 0; !control.stop_requested && LinkUp() && !DevicesSilent(); ++tries) {
        if (tries == Limits::kMaxBootEntryQueries) {
            Fail(JobEndReason::DeviceSilent, QStringLiteral("The target did not answer from its bootloader"));
            return false;
        }
        if (!link.QueryModeOf(job.dev_id, Waits::kBootExchangeMs, mode)) {
            qCDebug(lcEngine).noquote() << "---Bootmdoe timeout after main go boot";
            continue;
        }
        if (mode == Mode::Boot) {
            qCInfo(lcEngine).noquote() << "---Target is boot";
            break;
        }
        qCWarning(lcEngine).noquote() << "---Target is still at app";
        Fail(JobEndReason::DeviceFailed, QStringLiteral("Target go boot failed"));
        return false;
    }
    return true;
}

bool UpgradeSequence::AwaitBaseInBoot()
{
    uint8_t mode = 0;
    int switches = 1;  // the request that sent it
    for (int tries = 0; !control.stop_requested && LinkUp() && !DevicesSilent(); ++tries) {
        if (tries == Limits::kMaxBootEntryQueries) {
            Fail(JobEndReason::DeviceSilent, QStringLiteral("The base did not answer from its bootloader"));
            return false;
        }
        if (!link.QueryModeOf(DeviceId::Base, Waits::kBootExchangeMs, mode)) {
            qCDebug(lcEngine).noquote() << "---Wait main bootmode resp timeout";
            continue;
        }
        if (mode != Mode::Boot) {
            qCDebug(lcEngine).noquote() << "---Main is still at app";
            // The request can be lost like any frame: asked once more before the job gives up.
            if (switches++ < Limits::kBaseBootRequests) {
                link.QueueSwitchMode(SwitchTo::Boot, DeviceId::Base);
                link.FlushTx();
                Reconnect();
                tries = -1;
                continue;
            }
            Fail(JobEndReason::DeviceFailed, QStringLiteral("Main go boot failed!"));
            return false;
        }
        qCInfo(lcEngine).noquote() << "---Main go boot success";
        job.retargeted_to_display = false;
        if (job.display_swap_check) {
            SleepUnlessStopped(Waits::Long(Waits::kDisplayProbeDelayMs));
            if (ProbeDisplay()) {
                qCInfo(lcEngine).noquote() << "---Target turn to display";
                Retarget(DeviceId::Display);
                job.retargeted_to_display = true;
            }
        }
        return true;
    }
    return LinkUp() && !GiveUpOnSilence();
}

bool UpgradeSequence::ProbeDisplay()
{
    link.rx_queue.clear();
    QString text;
    for (int attempt = 0; attempt < Limits::kProbeDisplayTries; ++attempt) {
        text += link.ReadHwText(DeviceId::Display, Waits::kProbeChunkMs);
        if (!text.isEmpty())
            return text.contains(QLatin1String(kSwappedDisplayModel));
        qCDebug(lcEngine).noquote() << "---Display FSR timeout";
    }
    return false;
}
