#include "upgrade_server.h"

#include "frame_codec.h"
#include "messages.h"
#include "usb_cdc_driver.h"
#include "waits.h"

#include <QDebug>

#include <ctime>

namespace {

constexpr int kTickIntervalMs = 1;
constexpr int kPollIntervalMs = 1500;
constexpr int kMaxBytesPerPass = 128;
constexpr int kMaxBytesPerPassDev5 = 30;  // the slow bus behind the base takes no more
constexpr int kTracedBytesBelow = 20;     // longer sends are traced without their bytes

}  // namespace

std::atomic<quint32> UpgradeServer::handshakes_sent{0};
std::atomic<quint32> UpgradeServer::handshakes_answered{0};

UpgradeServer::UpgradeServer()
{
    FrameCodec::ResetDecoder(rx_parser);
    tick_timer = new QTimer(this);
    connect(tick_timer, &QTimer::timeout, this, &UpgradeServer::TimerTick);
    connect(&poll_timer, &QTimer::timeout, this, &UpgradeServer::GetControlerState);
    job_start = QDateTime::currentDateTime();
    state_time.start();
}

UpgradeServer::~UpgradeServer()
{
    // A job must never outlive the object it writes to: stop it and wait for its thread. The
    // pacing wait also ends on a stop request, so it does not need ticks from this thread.
    stop_requested = true;
    upgrading = false;
    wait();
}

void UpgradeServer::StartOrStop()
{
    if (isRunning()) {
        stopped_by_operator = true;
        stop_requested = true;
        upgrading = false;
        return;
    }
    upgrading = true;
    stop_requested = false;
    state = Init;
    tx_total = 0;
    tick_count = 0;
    tx_queue.clear();
    rx_queue.clear();
    streaming = false;  // a job stopped mid-stream must not leave the next one gated
    result = false;
    error_text.clear();
    verify_failures = 0;
    // What an earlier job did to the base and the motor is no business of this one.
    base_went_to_boot = false;
    motor_went_to_boot = false;
    upgrade_flag_sent = false;
    stopped_by_operator = false;
    tick_timer->start(kTickIntervalMs);
    start(QThread::HighPriority);
}

void UpgradeServer::StartPolling()
{
    poll_timer.start(kPollIntervalMs);
}

void UpgradeServer::StopPolling()
{
    poll_timer.stop();
}

void UpgradeServer::TimerTick()
{
    tick_count.fetch_add(1, std::memory_order_relaxed);
}

namespace {

qint64 ThreadCpuNs()
{
    timespec now {};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return qint64(now.tv_sec) * 1000000000 + now.tv_nsec;
}

}  // namespace

void UpgradeServer::run()
{
    QElapsedTimer job_clock;
    job_clock.start();
    const qint64 cpu_at_start = ThreadCpuNs();
    stats = JobStats();
    RunJob();
    stats.job_ns = job_clock.nsecsElapsed();
    stats.thread_cpu_ns = ThreadCpuNs() - cpu_at_start;
}

void UpgradeServer::RunJob()
{
    LoadImage();
    if (!image_loaded) {
        sections.clear();
        stop_requested = true;
        upgrading = false;
        emit UpdateUpgradeProgress(false, 100.0f);
        return;
    }

    job_start = QDateTime::currentDateTime();
    driver = new UsbCdcDriver(usb_pid, &job_start);
    if (!driver->port.isOpen()) {
        stop_requested = true;
        qDebug().noquote() << QString::fromUtf8("---USB未打开!");
        driver->Disconnect();
        driver->deleteLater();  // this thread runs no event loop: deleted when it ends
        driver = nullptr;
        upgrading = false;
        emit UpdateUpgradeProgress(false, 100.0f);
        return;
    }

    emit UpdateUpgradeProgress(true, 0.0f);
    retargeted_to_display = false;
    last_reply.start();
    if (!stop_requested) {
        while (LoopPass() && !stop_requested) {
        }
    }
    EndJob();
}

bool UpgradeServer::LoopPass()
{
    QElapsedTimer pass_clock;
    pass_clock.start();
    const int ticks_at_start = tick_count.load(std::memory_order_relaxed);
    CollectRx();
    while (!rx_queue.isEmpty()) {
        const uint8_t b = uint8_t(rx_queue.takeFirst());
        const uint8_t decoded = FrameCodec::Decode(rx_parser, b);
        if (decoded == FrameCodec::FrameOk) {
            last_reply.start();
            // A copy: a state's blocking exchange decodes into the parser's record again.
            const Frame frame = rx_parser.frame;
            Step(true, frame);
            frame_seen = true;
        } else if (decoded == FrameCodec::FrameBadChecksum) {
            frame_seen = false;
        }
    }
    if (!frame_seen) {
        const Frame frame = rx_parser.frame;
        Step(false, frame);
    }
    frame_seen = false;

    // The base leaves USB when its own upgrade flag restarts it; Finish needs no link then.
    const bool base_restarting = dev_id == DeviceId::Base && upgrade_flag_sent;
    if (!driver->IsConnected() && !base_restarting) {
        qDebug().noquote() << QString::fromUtf8("USB断开!");
        if (!stopped_by_operator)
            error_text += QStringLiteral("USB connection lost!\n");
        stop_requested = true;
        return false;
    }
    const bool paced_for_streaming = streaming;
    const int sent_before = tx_total;
    Pace(PassTicks());
    FlushTx();
    if (paced_for_streaming) {
        ++stats.streaming_passes;
        stats.streaming_ticks += tick_count.load(std::memory_order_relaxed) - ticks_at_start;
        stats.streaming_ns += pass_clock.nsecsElapsed();
        stats.streaming_bytes += tx_total - sent_before;
    }
    return true;
}

int UpgradeServer::PassTicks() const
{
    switch (dev_id) {
    case DeviceId::Motor:
        return streaming ? 5 : 8;
    case DeviceId::SlowBus:
        return 10;
    default:
        return streaming ? 1 : 2;
    }
}

void UpgradeServer::Pace(int ticks)
{
    const int start = tick_count.load(std::memory_order_relaxed);
    do {
        driver->port.waitForReadyRead(Waits::kPacingPollMs);
    } while (tick_count.load(std::memory_order_relaxed) - start < ticks && !stop_requested);
}

void UpgradeServer::ReleaseDriver()
{
    driver->Disconnect();
    delete driver;
    driver = nullptr;
}

void UpgradeServer::EndJob()
{
    driver->port.waitForReadyRead(Waits::kEndOfJobDrainMs);
    driver->rx_bytes.clear();
    rx_queue.clear();
    tx_queue.clear();  // frames of a stopped job must not reach the next user of the link
    ReleaseDriver();
    upgrading = false;
    emit UpdateUpgradeProgress(false, 100.0f);

    if (result && error_text.isEmpty()) {
        emit PushUpgRes(true);
        return;
    }
    if (!error_text.isEmpty()) {
        qDebug().noquote() << error_text;
        emit PushErrorMsg(error_text);
    }
    emit PushUpgRes(result);
}

void UpgradeServer::QueueFrame(uint8_t command, const uint8_t *payload, uint8_t length, uint8_t device_id)
{
    Frame frame;
    frame.command = command & kCommandMask;
    frame.address = kAddressBase | (device_id & 0x0F);
    frame.length = length;
    if (length > 0)
        memcpy(frame.payload, payload, qMin<int>(length, Frame::kMaxPayload));
    FrameCodec::WireBuffer wire;
    const uint8_t n = FrameCodec::Encode(frame, wire);
    for (int i = 0; i < n; ++i)
        tx_queue.append(char(wire[i]));
}

void UpgradeServer::QueueDataFrame(const uint8_t *data, uint16_t index, uint8_t n)
{
    uint8_t payload[Frame::kMaxPayload];
    const int count = qMin<int>(n, kMaxDataChunk);
    payload[0] = uint8_t(index >> 8);
    payload[1] = uint8_t(index & 0xFF);
    if (count > 0)
        memcpy(payload + 2, data, count);
    QueueFrame(Cmd::SectionData, payload, uint8_t(count + 2), uint8_t(dev_id));
}

void UpgradeServer::FlushTx()
{
    // While streaming, a pending report from the device (a loss report) is read first.
    if (streaming && !driver->rx_bytes.isEmpty())
        return;
    const int limit = dev_id == DeviceId::SlowBus ? kMaxBytesPerPassDev5 : kMaxBytesPerPass;
    const int n = qMin(tx_queue.size(), limit);
    tx_total += n;
    if (n == 0)
        return;
    QByteArray bytes;
    bytes.reserve(n);
    for (int i = 0; i < n; ++i)
        bytes.append(tx_queue.at(i));
    tx_queue.erase(tx_queue.begin(), tx_queue.begin() + n);
    driver->Send(bytes);
    if (streaming)
        last_reply.start();  // a device taking a stream of data answers only at its end
    if (!tx_trace)
        return;
    QString line = QString::asprintf("---%.3f send %-6d: ", job_start.msecsTo(QDateTime::currentDateTime()) / 1000.0,
                                     tx_total);
    if (n < kTracedBytesBelow) {
        for (char b : bytes)
            line += QString::asprintf("%02X ", uint8_t(b));
    }
    qDebug().noquote() << line;
}

void UpgradeServer::CollectRx()
{
    rx_queue.append(driver->rx_bytes);
    driver->rx_bytes.clear();
}

bool UpgradeServer::Transact(uint8_t command, int timeout_ms, uint8_t *dst, int length)
{
    FlushTx();
    const int half = timeout_ms / 2;
    if (!driver->port.waitForReadyRead(half))
        driver->port.waitForReadyRead(half);
    CollectRx();
    bool matched = false;
    while (!rx_queue.isEmpty() && !matched) {
        const uint8_t decoded = FrameCodec::Decode(rx_parser, uint8_t(rx_queue.takeFirst()));
        const Frame &f = rx_parser.frame;
        if (decoded == FrameCodec::FrameOk)
            last_reply.start();
        if (decoded == FrameCodec::FrameOk && (f.command & kCommandMask) == command && f.length == length) {
            memcpy(dst, f.payload, length);
            matched = true;
        }
    }
    // Whatever followed the reply belongs to no one: drop it.
    rx_queue.clear();
    driver->rx_bytes.clear();
    return matched;
}

bool UpgradeServer::TakeFrame(Frame &out)
{
    while (!rx_queue.isEmpty()) {
        const uint8_t decoded = FrameCodec::Decode(rx_parser, uint8_t(rx_queue.takeFirst()));
        if (decoded == FrameCodec::FrameOk) {
            last_reply.start();
            out = rx_parser.frame;
            rx_queue.clear();
            return true;
        }
        if (decoded == FrameCodec::FrameBadChecksum)
            return false;
    }
    return false;
}

QString UpgradeServer::ElapsedStamp() const
{
    return QString::asprintf("%.3f ", job_start.msecsTo(QDateTime::currentDateTime()) / 1000.0);
}
