// Upgrade sequence, first phase: the entry rule, the idle-time rule and the dispatch of every
// state; then the link check with the target, learning its mode and bringing it (and, for targets
// behind the base, the base) into its bootloader.
#include "upgrade_server.h"

#include "messages.h"
#include "usb_cdc_driver.h"
#include "waits.h"

#include <QDebug>
#include <QThread>

namespace {

constexpr int kMaxRetries = 5;  // handshake time-outs that end the job
constexpr int kIdleStepMs = 2;  // idle calls closer together than this do not count
constexpr int kHandshakeIdlePasses = 50;
constexpr int kQueryModeIdlePasses = 30;
constexpr uint8_t kQueryModePayload = 0x00;

}  // namespace

void UpgradeServer::Step(bool frame_received, const Frame &frame)
{
    // Once the job is ending (Finish ran, or a stop was asked for), the rest of the pass's frames
    // are left alone: Finish must never run twice.
    if (stop_requested)
        return;
    if (retry_count >= kMaxRetries) {
        qDebug() << state.load();
        qDebug().noquote() << "---Timeout reach max count";
        error_text += QStringLiteral("Timeout reach max count\n");
        retry_count = 0;
        state = Finish;
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

UpgradeServer::Idle UpgradeServer::IdlePass(bool frame_received, int n)
{
    if (frame_received || state_time.elapsed() <= kIdleStepMs)
        return Idle::NotCounted;
    ++idle_ticks;
    state_time.start();
    return idle_ticks % n == 0 ? Idle::TimedOut : Idle::Counted;
}

void UpgradeServer::MarkWaiting()
{
    state_time.start();
    idle_ticks = 0;
}

// --- Blocking helpers (job thread) ---------------------------------------------------------

bool UpgradeServer::LinkUp() const
{
    return driver && driver->IsConnected();
}

bool UpgradeServer::DevicesSilent() const
{
    return last_reply.isValid() && last_reply.elapsed() > Waits::NoReplyLimit();
}

bool UpgradeServer::GiveUpOnSilence()
{
    if (!DevicesSilent())
        return false;
    if (state == Finish)
        return true;  // already given up (or failed otherwise): say it once
    // Every waiting state repeats its request without limit; with nobody answering that would
    // spin until someone pressed Stop.
    qDebug().noquote() << QStringLiteral("---No reply for %1 s, giving up").arg(Waits::NoReplyLimit() / 1000.0);
    error_text += QStringLiteral("The device stopped answering\n");
    state = Finish;
    return true;
}

void UpgradeServer::SleepUnlessStopped(int ms)
{
    QElapsedTimer clock;
    clock.start();
    for (qint64 left = ms; left > 0 && !stop_requested; left = ms - clock.elapsed())
        QThread::msleep(quint64(qMin<qint64>(left, Waits::kStopPollMs)));
    stats.fixed_wait_ms += clock.elapsed();
}

void UpgradeServer::SettleWait(int ms)
{
    QElapsedTimer clock;
    clock.start();
    WaitInput(ms);
    stats.fixed_wait_ms += clock.elapsed();
}

bool UpgradeServer::WaitInput(int ms)
{
    return driver->port.waitForReadyRead(ms);
}

bool UpgradeServer::BlockingExchange(uint8_t command, const uint8_t *payload, uint8_t length, int device, int wait_ms,
                                     Frame &reply)
{
    QueueFrame(command, payload, length, uint8_t(device));
    FlushTx();
    WaitInput(wait_ms);
    CollectRx();
    return TakeFrame(reply) && (reply.command & kCommandMask) == command;
}

bool UpgradeServer::QueryModeOf(int device, int wait_ms, uint8_t &mode)
{
    Frame reply;
    if (!BlockingExchange(Cmd::QueryMode, &kQueryModePayload, 1, device, wait_ms, reply))
        return false;
    mode = reply.payload[0];
    return true;
}

void UpgradeServer::QueueSwitchMode(uint8_t to, int device)
{
    QueueFrame(Cmd::SwitchMode, &to, 1, uint8_t(device));
}

void UpgradeServer::Reconnect()
{
    SleepUnlessStopped(Waits::Long(Waits::kReleasePortMs));
    // Closed now rather than when the job ends: a base that comes back under the same name must
    // not find its port still held by us.
    ReleaseDriver();
    SleepUnlessStopped(Waits::Long(Waits::kReenumerateMs));
    driver = new UsbCdcDriver(usb_pid, &job_start);
}

// --- States ------------------------------------------------------------------------------

void UpgradeServer::OnInit()
{
    retry_count = 0;  // counts handshake time-outs over the whole connection attempt
    state = SendHandshake;
}

void UpgradeServer::OnSendHandshake()
{
    QueueFrame(Cmd::Handshake, nullptr, 0, uint8_t(dev_id));
    ++handshakes_sent;
    state = WaitHandshake;
    MarkWaiting();
}

void UpgradeServer::OnWaitHandshake(bool frame_received, const Frame &frame)
{
    if (frame_received) {
        if ((frame.command & kCommandMask) == Cmd::Handshake) {
            ++handshakes_answered;
            qDebug().noquote() << QStringLiteral("---Handshake OK! %1 / %2")
                                      .arg(handshakes_answered.load())
                                      .arg(handshakes_sent.load());
            state = SendQueryMode;
        }
        return;
    }
    if (IdlePass(frame_received, kHandshakeIdlePasses) == Idle::TimedOut) {
        state = SendHandshake;
        qDebug().noquote() << "---Wait handshkae timeout";
        QueueFrame(Cmd::Handshake, nullptr, 0, uint8_t(dev_id));
        FlushTx();
        ++retry_count;
    }
}

void UpgradeServer::OnSendQueryMode()
{
    qDebug().noquote() << "---Send bootmode";
    QueueFrame(Cmd::QueryMode, &kQueryModePayload, 1, uint8_t(dev_id));
    state = WaitQueryMode;
    MarkWaiting();
    retry_count = 0;
}

void UpgradeServer::OnWaitQueryMode(bool frame_received, const Frame &frame)
{
    if (frame_received) {
        if ((frame.command & kCommandMask) == Cmd::QueryMode) {
            target_in_app = frame.payload[0] != Mode::Boot;
            qDebug().noquote() << (target_in_app ? "---Target is app" : "---Target is boot");
            state = EnterBoot;
        }
        return;
    }
    if (IdlePass(frame_received, kQueryModeIdlePasses) == Idle::TimedOut) {
        QueueFrame(Cmd::QueryMode, &kQueryModePayload, 1, uint8_t(dev_id));
        qDebug().noquote() << "---Wait boot mode time out";
    }
}

void UpgradeServer::OnEnterBoot()
{
    // 1. The target restarts into its bootloader; the base comes back under a new port.
    if (target_in_app) {
        QueueSwitchMode(SwitchTo::Boot, dev_id);
        FlushTx();
        qDebug().noquote() << "---Wait target reset...";
        if (dev_id == DeviceId::Base) {
            qDebug().noquote() << "---Wait main MCU reconnect USB...";
            Reconnect();
        } else {
            SleepUnlessStopped(Waits::Long(Waits::kTargetRestartMs));
        }
    }
    target_in_app = false;

    if (dev_id != DeviceId::Base && dev_id != DeviceId::Motor) {
        if (!EnterBootBehindBase())
            return;
    }

    // 7.
    state = NextSection;
    emit UpdateUpgradeProgress(true, 0.0f);
}

bool UpgradeServer::EnterBootBehindBase()
{
    uint8_t mode = 0;
    // 3. The motor leaves the bus to a device-5 job by going to its bootloader.
    if (dev_id == DeviceId::SlowBus && motor_to_boot && QueryModeOf(DeviceId::Base, Waits::kBootExchangeMs, mode)) {
        motor_went_to_boot = mode == Mode::App;
        if (motor_went_to_boot) {
            QueueSwitchMode(SwitchTo::Boot, DeviceId::Motor);
            FlushTx();
            SettleWait(Waits::kBootExchangeMs);
        }
    }

    // 4. The base into its bootloader.
    while (!stop_requested && LinkUp() && !DevicesSilent()) {
        if (!QueryModeOf(DeviceId::Base, Waits::kBootExchangeMs, mode))
            continue;
        if (mode == Mode::Boot) {
            qDebug().noquote() << "---Main is at Boot";
            base_went_to_boot = false;
            break;
        }
        base_went_to_boot = true;
        qDebug().noquote() << "---Main is at App, Wait Main go Boot";
        QueueSwitchMode(SwitchTo::Boot, DeviceId::Base);
        FlushTx();
        Reconnect();
        if (!AwaitBaseInBoot())
            return false;
        break;
    }
    if (!LinkUp() || GiveUpOnSilence())
        return false;  // the base is gone, or no longer answers

    // 5. The base's bootloader does not power the display by itself.
    if (dev_id == DeviceId::Display && !retargeted_to_display) {
        for (int i = 0; i < Waits::kDisplayPowerTries; ++i) {
            const uint8_t on = kDisplayPowerOn;
            QueueFrame(Cmd::DisplayPowerOn, &on, 1, DeviceId::Base);
            FlushTx();
            qDebug().noquote() << "---Force power on for display";
            WaitInput(Waits::kBootExchangeMs);
            CollectRx();
            Frame reply;
            if (TakeFrame(reply) && (reply.command & kCommandMask) == Cmd::DisplayPowerOn &&
                reply.payload[0] == kDisplayPowerOn)
                break;
        }
        driver->rx_bytes.clear();
    }

    // 6. After a base restart the target must answer from its bootloader.
    if (base_went_to_boot) {
        SettleWait(Waits::Long(dev_id == DeviceId::SlowBus ? Waits::kTargetSettleDev5Ms : Waits::kTargetSettleMs));
        while (!stop_requested && LinkUp() && !DevicesSilent()) {
            if (!QueryModeOf(dev_id, Waits::kBootExchangeMs, mode)) {
                qDebug().noquote() << "---Bootmdoe timeout after main go boot";
                continue;
            }
            if (mode == Mode::Boot) {
                qDebug().noquote() << "---Target is boot";
                break;
            }
            qDebug().noquote() << "---Target is still at app";
            error_text += QStringLiteral("Target go boot failed\n");
            state = Finish;
            return false;
        }
    }
    return LinkUp() && !GiveUpOnSilence();
}

bool UpgradeServer::AwaitBaseInBoot()
{
    uint8_t mode = 0;
    while (!stop_requested && LinkUp() && !DevicesSilent()) {
        if (!QueryModeOf(DeviceId::Base, Waits::kBootExchangeMs, mode)) {
            qDebug().noquote() << "---Wait main bootmode resp timeout";
            continue;
        }
        if (mode != Mode::Boot) {
            qDebug().noquote() << "---Main is still at app";
            error_text += QStringLiteral("Main go boot failed!\n");
            state = Finish;
            return false;
        }
        qDebug().noquote() << "---Main go boot success";
        retargeted_to_display = false;
        if (display_swap_check) {
            SleepUnlessStopped(Waits::Long(Waits::kDisplayProbeDelayMs));
            if (ProbeDisplay()) {
                qDebug().noquote() << "---Target turn to display";
                dev_id = DeviceId::Display;
                retargeted_to_display = true;
            }
        }
        return true;
    }
    return LinkUp() && !GiveUpOnSilence();
}

bool UpgradeServer::ProbeDisplay()
{
    rx_queue.clear();
    QString text;
    for (int attempt = 0; attempt < Waits::kProbeDisplayTries; ++attempt) {
        text += ReadHwText(DeviceId::Display, Waits::kProbeChunkMs);
        if (!text.isEmpty())
            return text.contains(QLatin1String(kSwappedDisplayModel));
        qDebug().noquote() << "---Display FSR timeout";
    }
    return false;
}
