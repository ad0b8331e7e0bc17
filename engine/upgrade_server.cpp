#include "upgrade_server.h"

#include "engine_log.h"
#include "frame_codec.h"
#include "log_unit.h"
#include "sequence_limits.h"
#include "messages.h"
#include "platform.h"
#include "byte_channel.h"
#include "waits.h"

#include <QMutexLocker>

static_assert(std::tuple_size<decltype(JobStats::state_ns)>::value == UpgradeServer::Finish + 1,
              "a time for every state of the sequence");

std::atomic<quint32> UpgradeServer::handshakes_sent{0};
std::atomic<quint32> UpgradeServer::handshakes_answered{0};

UpgradeServer::JobState::JobState()
{
    FrameCodec::ResetDecoder(rx_parser);
    job_start = QDateTime::currentDateTime();
    state_time.start();
}

UpgradeServer::JobState::JobState(const UpgradeJob &request) : JobState()
{
    dev_id = request.dev_id;
    usb_pid = request.usb_pid;
    motor_to_boot = request.motor_to_boot;
    display_swap_check = request.display_swap_check;
    firmware_path = request.firmware_path;
    port = request.port;
    image = request.image;
}

UpgradeServer::JobState::JobState(JobState &&) noexcept = default;
UpgradeServer::JobState &UpgradeServer::JobState::operator=(JobState &&) noexcept = default;
UpgradeServer::JobState::~JobState() = default;

UpgradeServer::UpgradeServer()
{
    qRegisterMetaType<JobEndReason>();
    qRegisterMetaType<UpgradeProgress>();
    qRegisterMetaType<TargetStatusList>();
    Platform::TightenTimerSlack();  // the window's thread delivers the job's ticks
    tick_timer = new QTimer(this);
    tick_timer->setTimerType(Qt::PreciseTimer);
    connect(tick_timer, &QTimer::timeout, this, &UpgradeServer::TimerTick);
    connect(&poll_timer, &QTimer::timeout, this, &UpgradeServer::GetControlerState);
    // Ticks are only counted for a job: a window open all shift does not wake 1000 times a
    // second for nothing. A job started before this queued report arrives keeps its ticks.
    connect(this, &QThread::finished, this, [this] {
        if (!isRunning())
            tick_timer->stop();
    });
}

UpgradeServer::~UpgradeServer()
{
    // A job must never outlive the object it writes to: stop it and wait for its thread. The
    // stop wakes the pacing wait, which needs no more ticks from this thread.
    stop_requested = true;
    upgrading = false;
    tick_wake.Signal();
    wait();
    if (job.link)
        ReleaseLink();  // a window-thread exchange's, never a job's: that one ended above
}

bool UpgradeServer::Start(const UpgradeJob &request)
{
    Q_ASSERT(InWindowThread());
    if (LinkBusy())
        return false;
    requested = request;
    upgrading = true;
    stop_requested = false;
    stopped_by_operator = false;
    state = Init;
    tick_count = 0;
    passes = 0;
    tick_timer->start(Waits::kTickIntervalMs);
    start(QThread::HighPriority);
    return true;
}

bool UpgradeServer::Stop(StopKind kind)
{
    if (!upgrading || !isRunning())
        return false;
    stop_kind = kind;
    stopped_by_operator = true;
    stop_requested = true;
    upgrading = false;
    tick_wake.Signal();
    return true;
}

void UpgradeServer::RequestDetails(const QString &target)
{
    QMutexLocker lock(&info_lock);
    info_requests.insert(target);
}

void UpgradeServer::StartPolling()
{
    poll_timer.start(Waits::kPollIntervalMs);
}

void UpgradeServer::StopPolling()
{
    poll_timer.stop();
}

void UpgradeServer::TimerTick()
{
    tick_count.fetch_add(1);  // ordered before Signal(): a wait armed since sees the new count
    tick_wake.Signal();
}

void UpgradeServer::run()
{
    Q_ASSERT(InJobThread());
    Platform::TightenTimerSlack();  // the sequence's short waits end on time
    QElapsedTimer job_clock;
    job_clock.start();
    const qint64 cpu_at_start = Platform::ThreadCpuNs();
    stats = JobStats();
    // Everything of the last job (or exchange) goes at once; the request is the job's own copy.
    job = JobState(requested);
    // Every line of the job, before its port opens and after it closes too, is about its unit.
    const LogUnit::Scope unit(job.port);
    RunJob();
    stats.job_ns = job_clock.nsecsElapsed();
    stats.thread_cpu_ns = Platform::ThreadCpuNs() - cpu_at_start;
}

void UpgradeServer::RunJob()
{
    LoadImage();
    if (!job.image_loaded) {
        job.sections.clear();
        stop_requested = true;
        upgrading = false;
        ReportProgress(JobPhase::Ended);
        ReportEnd(JobEndReason::ImageInvalid);
        return;
    }

    job.job_start = QDateTime::currentDateTime();
    if (!OpenLink()) {
        stop_requested = true;
        qCDebug(lcEngine).noquote() << QString::fromUtf8("---USB未打开!");
        ReleaseLink();
        upgrading = false;
        ReportProgress(JobPhase::Ended);
        ReportEnd(JobEndReason::PortNotOpened);
        return;
    }

    ReportProgress(JobPhase::EnteringBoot);
    job.last_reply.start();
    PaceFromNow();  // reading the image and opening the port took ticks no pass may count
    if (!stop_requested) {
        while (LoopPass() && !stop_requested) {
        }
    }
    RestoreUnit();
    EndJob();
}

bool UpgradeServer::OpenLink(PortCatalog::View view)
{
    // While the link is open the thread speaks about its unit: the window's thread too, in its
    // short exchanges between jobs.
    link_unit.emplace(job.port);
    job.link = OpenFamilyChannel(job.usb_pid, job.port, view);
    return job.link->IsConnected();
}

void UpgradeServer::ReleaseLink()
{
    job.link->Disconnect();
    job.link.reset();  // in the thread that opened it: a port belongs to its thread
    link_unit.reset();
}

bool UpgradeServer::LoopPass()
{
    QElapsedTimer pass_clock;
    pass_clock.start();
    const int began_in = state;
    const int mark_before = job.pace_mark;
    CollectRx();
    while (!job.rx_queue.isEmpty()) {
        const uint8_t b = TakeRxByte();
        const uint8_t decoded = FrameCodec::Decode(job.rx_parser, b);
        if (decoded == FrameCodec::FrameOk) {
            job.last_reply.start();
            // A copy: a state's blocking exchange decodes into the parser's record again.
            const Frame frame = job.rx_parser.frame;
            Step(true, frame);
            job.frame_seen = true;
        } else if (decoded == FrameCodec::FrameBadChecksum) {
            job.frame_seen = false;
        }
    }
    if (!job.frame_seen) {
        const Frame frame = job.rx_parser.frame;
        Step(false, frame);
    }
    job.frame_seen = false;

    // The base leaves USB when its own upgrade flag restarts it; Finish needs no link then.
    const bool base_restarting = job.dev_id == DeviceId::Base && job.upgrade_flag_sent;
    Q_ASSERT(InJobThread());
    if (!job.link->IsConnected() && !base_restarting) {
        qCDebug(lcEngine).noquote() << QString::fromUtf8("USB断开!");
        if (!stopped_by_operator) {
            job.error_text += QStringLiteral("USB connection lost!\n");
            if (job.failure == JobEndReason::Success)
                job.failure = JobEndReason::LinkLost;
        }
        stop_requested = true;
        return false;
    }
    const bool paced_for_streaming = job.streaming;
    const int sent_before = job.tx_total;
    Pace(PassTicks());
    FlushTx();
    const qint64 pass_ns = pass_clock.nsecsElapsed();
    if (began_in >= 0 && began_in <= Finish)
        stats.state_ns[size_t(began_in)] += pass_ns;
    if (paced_for_streaming) {
        ++stats.streaming_passes;
        stats.streaming_ticks += job.pace_mark - mark_before;
        stats.streaming_ns += pass_ns;
        stats.streaming_bytes += job.tx_total - sent_before;
    }
    return true;
}

int UpgradeServer::PassTicks() const
{
    const Pacing &pacing = Role().pacing;
    return job.streaming ? pacing.streaming_pass_ticks : pacing.pass_ticks;
}

void UpgradeServer::Pace(int ticks)
{
    // Ticks are counted from the last pass's release (or the end of a blocking wait in this
    // pass), so a tick that came while the pass did its work is not lost.
    const int due = job.pace_mark + ticks;
    const bool link_was_up = LinkUp();
    bool watch_port = true;
    int wait_ms = 0;  // the port is looked at in every pass, even one already due
    for (;;) {
        // Nothing else ends the wait: the tick and Stop() signal it, the port wakes it.
        const bool port_open = LinkUp();
        const TickWake::Woken woken =
            tick_wake.Wait(port_open && watch_port ? job.link.get() : nullptr, wait_ms,
                           [&] { return tick_count.load() - due >= 0 || stop_requested; });
        if (port_open && (woken.port || job.link->WritePending()))
            TakeInput();
        if (link_was_up && !LinkUp())
            break;  // the port went away: the next pass ends the job
        // A hang-up the port itself does not report as an error would wake every wait at once:
        // the rest of this one waits for the tick alone.
        if (woken.port_hung_up)
            watch_port = false;
        if (tick_count.load(std::memory_order_acquire) - due >= 0 || stop_requested)
            break;
        wait_ms = -1;
    }
    job.pace_mark = tick_count.load(std::memory_order_acquire);
    passes.fetch_add(1, std::memory_order_release);
}

void UpgradeServer::TakeInput()
{
    job.link->TakeInput();
}

void UpgradeServer::EndJob()
{
    // Frames of a stopped job must not reach the next user of the link; one already begun is
    // finished, or the device would take the next user's first request for its rest.
    EndStream();
    job.link->WaitForInput(Waits::kEndOfJobDrainMs);
    job.link->DropReceived();
    job.rx_queue.clear();
    ReleaseLink();
    upgrading = false;
    ReportProgress(JobPhase::Ended);

    const JobEndReason reason = DecideEnd();
    if (reason == JobEndReason::Success) {
        emit PushUpgRes(true);
        ReportEnd(reason);
        return;
    }
    if (!job.error_text.isEmpty()) {
        qCDebug(lcEngine).noquote() << job.error_text;
        emit PushErrorMsg(job.error_text);
    }
    // A flashed image with a unit left unusable (the base not back) is no success.
    emit PushUpgRes(false);
    ReportEnd(reason);
}

void UpgradeServer::Fail(JobEndReason reason, const QString &line)
{
    job.error_text += line + QLatin1Char('\n');
    if (job.failure == JobEndReason::Success)
        job.failure = reason;
    state = Finish;
}

JobEndReason UpgradeServer::DecideEnd() const
{
    // A stop that came after the last step cannot undo a finished upgrade.
    if (job.result && job.error_text.isEmpty() && job.failure == JobEndReason::Success)
        return JobEndReason::Success;
    if (job.failure != JobEndReason::Success)
        return job.failure;
    if (stopped_by_operator)
        return stop_kind == StopKind::TimeLimit ? JobEndReason::TimedOut : JobEndReason::Stopped;
    return JobEndReason::DeviceFailed;
}

void UpgradeServer::ReportProgress(JobPhase phase, int section)
{
    UpgradeProgress progress;
    progress.phase = phase;
    progress.section = section;
    progress.sections = int(job.sections.size());
    for (int i = 0; i < progress.sections; ++i) {
        const FirmwareSection &s = job.sections[size_t(i)];
        progress.bytes_total += s.length;
        // The transfer counts the sections it has gone through since it (re)started.
        if (phase == JobPhase::Transfer ? i < section : s.flashed)
            progress.bytes_done += s.length;
        if (i == section - 1 && (phase == JobPhase::Transfer || phase == JobPhase::FinalVerify))
            progress.section_bytes = s.length;
    }
    progress.wire_bytes_sent = job.tx_total;
    emit Progress(progress);
    if (progress.AboutUpgradeBar())
        emit UpdateUpgradeProgress(progress.UpgradeBarShown(), progress.UpgradeBarPercent());
    else
        emit UpdateVerifyProgress(progress.VerifyBarShown(), progress.VerifyBarPercent());
}

void UpgradeServer::ReportEnd(JobEndReason reason)
{
    last_job_end = reason;
    emit JobEnded(reason);
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
    job.tx_queue.append(reinterpret_cast<const char *>(wire), n);
    if (n > 0)
        job.tx_frames.append(n);
}

void UpgradeServer::QueueDataFrame(const uint8_t *data, uint16_t index, uint8_t n)
{
    uint8_t payload[Frame::kMaxPayload];
    const int count = qMin<int>(n, kMaxDataChunk);
    payload[0] = uint8_t(index >> 8);
    payload[1] = uint8_t(index & 0xFF);
    if (count > 0)
        memcpy(payload + 2, data, count);
    QueueFrame(Cmd::SectionData, payload, uint8_t(count + 2), uint8_t(job.dev_id));
}

void UpgradeServer::DropUnsentFrames()
{
    if (job.tx_front_sent > 0 && !job.tx_frames.isEmpty()) {
        const int rest = job.tx_frames.first() - job.tx_front_sent;
        job.tx_queue.truncate(rest);
        job.tx_frames.erase(job.tx_frames.begin() + 1, job.tx_frames.end());
        return;
    }
    job.tx_queue.clear();
    job.tx_frames.clear();
    job.tx_front_sent = 0;
}

void UpgradeServer::EndStream()
{
    DropUnsentFrames();
    job.streaming = false;
    FlushAllTx();
}

void UpgradeServer::FlushAllTx()
{
    // Each call sends at most a pass's bytes; one that sends nothing (a report to read first
    // while streaming) ends the loop.
    while (!job.tx_queue.isEmpty()) {
        const int before = job.tx_queue.size();
        FlushTx();
        if (job.tx_queue.size() == before)
            break;
    }
}

void UpgradeServer::FlushTx()
{
    // While streaming, a pending report from the device (a loss report) is read first.
    if (job.streaming && job.link->HasReceived())
        return;
    const int n = qMin(job.tx_queue.size(), Role().pacing.max_bytes_per_pass);
    job.tx_total += n;
    if (n == 0)
        return;
    const QByteArray bytes = job.tx_queue.left(n);
    job.tx_queue.remove(0, n);
    for (int sent = n; sent > 0 && !job.tx_frames.isEmpty();) {
        const int left = job.tx_frames.first() - job.tx_front_sent;
        if (sent < left) {
            job.tx_front_sent += sent;
            break;
        }
        sent -= left;
        job.tx_frames.removeFirst();
        job.tx_front_sent = 0;
    }
    job.link->Send(bytes);
    if (job.streaming)
        job.last_reply.start();  // a device taking a stream of data answers only at its end
}

void UpgradeServer::CollectRx()
{
    job.rx_queue += job.link->TakeReceived();
}

bool UpgradeServer::Transact(uint8_t command, int timeout_ms, uint8_t *dst, int length)
{
    FlushTx();
    const int half = timeout_ms / 2;
    if (!job.link->WaitForInput(half))
        job.link->WaitForInput(half);
    PaceFromNow();
    CollectRx();
    bool matched = false;
    while (!job.rx_queue.isEmpty() && !matched) {
        const uint8_t decoded = FrameCodec::Decode(job.rx_parser, TakeRxByte());
        const Frame &f = job.rx_parser.frame;
        if (decoded == FrameCodec::FrameOk)
            job.last_reply.start();
        if (decoded == FrameCodec::FrameOk && (f.command & kCommandMask) == command && f.length == length) {
            memcpy(dst, f.payload, length);
            matched = true;
        }
    }
    // Whatever followed the reply belongs to no one: drop it.
    job.rx_queue.clear();
    job.link->DropReceived();
    return matched;
}

uint8_t UpgradeServer::TakeRxByte()
{
    const uint8_t b = uint8_t(job.rx_queue.at(0));
    job.rx_queue.remove(0, 1);
    return b;
}

bool UpgradeServer::TakeFrame(Frame &out)
{
    while (!job.rx_queue.isEmpty()) {
        const uint8_t decoded = FrameCodec::Decode(job.rx_parser, TakeRxByte());
        if (decoded == FrameCodec::FrameOk) {
            job.last_reply.start();
            out = job.rx_parser.frame;
            job.rx_queue.clear();
            return true;
        }
        if (decoded == FrameCodec::FrameBadChecksum)
            return false;
    }
    return false;
}

QString UpgradeServer::ElapsedStamp() const
{
    return QString::asprintf("%.3f ", job.job_start.msecsTo(QDateTime::currentDateTime()) / 1000.0);
}
