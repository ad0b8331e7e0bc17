// Upgrade sequence, first phase: the entry rule, the idle-time rule, the dispatch of every state,
// the link check with the target and learning its mode.
#include "upgrade_server.h"

#include "messages.h"

#include <QDebug>

namespace {

constexpr int kMaxRetries = 5;               // handshake time-outs that end the job
constexpr int kIdleStepMs = 2;               // idle calls closer together than this do not count
constexpr int kHandshakeIdlePasses = 50;
constexpr int kQueryModeIdlePasses = 30;
constexpr uint8_t kQueryModePayload = 0x00;

}  // namespace

void UpgradeServer::Step(bool frame_received, const Frame &frame)
{
    if (retry_count >= kMaxRetries) {
        qDebug() << state.load();
        qDebug().noquote() << "---Timeout reach max count";
        error_text += QStringLiteral("Timeout reach max count\n");
        state = Finish;
    }

    switch (state.load()) {
    case Init:
        OnInit();
        break;
    case SendHandshake:
        OnSendHandshake();
        break;
    case WaitHandshake:
        OnWaitHandshake(frame_received, frame);
        break;
    case SendQueryMode:
        OnSendQueryMode();
        break;
    case WaitQueryMode:
        OnWaitQueryMode(frame_received, frame);
        break;
    default:
        // 3, 10, 26 and values above Finish do nothing.
        break;
    }
}

bool UpgradeServer::IdleTimeout(bool frame_received, int n)
{
    if (frame_received || state_time.elapsed() <= kIdleStepMs)
        return false;
    ++idle_ticks;
    state_time.start();
    return idle_ticks % n == 0;
}

void UpgradeServer::MarkWaiting()
{
    state_time.start();
    idle_ticks = 0;
}

void UpgradeServer::OnInit()
{
    state = SendHandshake;
}

void UpgradeServer::OnSendHandshake()
{
    QueueFrame(Cmd::Handshake, nullptr, 0, uint8_t(dev_id));
    ++handshakes_sent;
    state = WaitHandshake;
    MarkWaiting();
    retry_count = 0;
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
    if (IdleTimeout(frame_received, kHandshakeIdlePasses)) {
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
    if (IdleTimeout(frame_received, kQueryModeIdlePasses)) {
        QueueFrame(Cmd::QueryMode, &kQueryModePayload, 1, uint8_t(dev_id));
        qDebug().noquote() << "---Wait boot mode time out";
    }
}
