#include "upgrade_sequence.h"

#include "engine_log.h"
#include "frame_codec.h"
#include "log_unit.h"
#include "platform.h"
#include "waits.h"

static_assert(std::tuple_size<decltype(JobStats::state_ns)>::value == UpgradeSequence::Finish + 1,
              "a time for every state of the sequence");

std::atomic<quint32> UpgradeSequence::handshakes_sent{0};
std::atomic<quint32> UpgradeSequence::handshakes_answered{0};

UpgradeSequence::UpgradeSequence(const UpgradeJob &request, JobControl &shared) : control(shared)
{
    job.dev_id = request.dev_id;
    job.usb_pid = request.usb_pid;
    job.motor_to_boot = request.motor_to_boot;
    job.display_swap_check = request.display_swap_check;
    job.firmware_path = request.firmware_path;
    job.unit = request.unit;
    job.image = request.image;
    job.job_start = QDateTime::currentDateTime();
    job.state_time.start();
    Retarget(job.dev_id);
    link.after_wait = [this] { PaceFromNow(); };
}

UpgradeSequence::~UpgradeSequence() = default;

void UpgradeSequence::Retarget(int d)
{
    job.dev_id = d;
    link.max_bytes_per_pass = Role().pacing.max_bytes_per_pass;
}

void UpgradeSequence::Run()
{
    Platform::TightenTimerSlack();  // the sequence's short waits end on time
    QElapsedTimer job_clock;
    job_clock.start();
    const qint64 cpu_at_start = Platform::ThreadCpuNs();
    stats = JobStats();
    // Every line of the job, before its port opens and after it closes too, is about its unit.
    const LogUnit::Scope unit(job.unit.Text());
    RunJob();
    stats.job_ns = job_clock.nsecsElapsed();
    stats.thread_cpu_ns = Platform::ThreadCpuNs() - cpu_at_start;
}

void UpgradeSequence::RunJob()
{
    LoadImage();
    if (!job.image_loaded) {
        job.sections.clear();
        control.stop_requested = true;
        control.upgrading = false;
        ReportProgress(JobPhase::Ended);
        ReportEnd(JobEndReason::ImageInvalid);
        return;
    }

    job.job_start = QDateTime::currentDateTime();
    // The launch has just found the unit: its view of the ports serves unless a port came or went.
    if (!OpenLink(PortCatalog::View::Recent)) {
        control.stop_requested = true;
        qCWarning(lcEngine).noquote() << QString::fromUtf8("---USB未打开!");
        link.Close();
        control.upgrading = false;
        ReportProgress(JobPhase::Ended);
        ReportEnd(JobEndReason::PortNotOpened);
        return;
    }

    ReportProgress(JobPhase::EnteringBoot);
    link.last_reply.start();
    PaceFromNow();  // reading the image and opening the port took ticks no pass may count
    if (!control.stop_requested) {
        while (LoopPass() && !control.stop_requested) {
        }
    }
    RestoreUnit();
    EndJob();
}

bool UpgradeSequence::OpenLink(PortCatalog::View view)
{
    return link.Open(job.usb_pid, job.unit, view);
}

bool UpgradeSequence::LoopPass()
{
    QElapsedTimer pass_clock;
    pass_clock.start();
    const int began_in = state;
    const int mark_before = job.pace_mark;
    link.CollectRx();
    while (!link.rx_queue.isEmpty()) {
        const uint8_t decoded = FrameCodec::Decode(link.rx_parser, link.TakeRxByte());
        if (decoded == FrameCodec::FrameOk) {
            link.last_reply.start();
            // A copy: a state's blocking exchange decodes into the parser's record again.
            const Frame frame = link.rx_parser.frame;
            Step(true, frame);
            job.frame_seen = true;
        } else if (decoded == FrameCodec::FrameBadChecksum) {
            job.frame_seen = false;
        }
    }
    if (!job.frame_seen) {
        const Frame frame = link.rx_parser.frame;
        Step(false, frame);
    }
    job.frame_seen = false;

    // The base leaves USB when its own upgrade flag restarts it; Finish needs no link then.
    const bool base_restarting = IsBase(job.dev_id) && job.upgrade_flag_sent;
    if (!link.Up() && !base_restarting) {
        qCWarning(lcEngine).noquote() << QString::fromUtf8("USB断开!");
        if (!control.stopped_by_operator) {
            job.error_text += QStringLiteral("USB connection lost!\n");
            if (job.failure == JobEndReason::Success)
                job.failure = JobEndReason::LinkLost;
        }
        control.stop_requested = true;
        return false;
    }
    const bool paced_for_streaming = link.streaming;
    const int sent_before = link.tx_total;
    Pace(PassTicks());
    link.FlushTx();
    const qint64 pass_ns = pass_clock.nsecsElapsed();
    if (began_in >= 0 && began_in <= Finish)
        stats.state_ns[size_t(began_in)] += pass_ns;
    if (paced_for_streaming) {
        ++stats.streaming_passes;
        stats.streaming_ticks += job.pace_mark - mark_before;
        stats.streaming_ns += pass_ns;
        stats.streaming_bytes += link.tx_total - sent_before;
    }
    return true;
}

int UpgradeSequence::PassTicks() const
{
    const Pacing &pacing = Role().pacing;
    return link.streaming ? pacing.streaming_pass_ticks : pacing.pass_ticks;
}

void UpgradeSequence::Pace(int ticks)
{
    // Ticks are counted from the last pass's release (or the end of a blocking wait in this
    // pass), so a tick that came while the pass did its work is not lost.
    const int due = job.pace_mark + ticks;
    const bool link_was_up = LinkUp();
    bool watch_port = true;
    int wait_ms = 0;  // the port is looked at in every pass, even one already due
    for (;;) {
        // Nothing else ends the wait: the tick and a stop signal it, the port wakes it.
        const bool port_open = LinkUp();
        const TickWake::Woken woken =
            control.tick_wake.Wait(port_open && watch_port ? &link.Channel() : nullptr, wait_ms,
                                   [&] { return control.tick_count.load() - due >= 0 || control.stop_requested; });
        if (port_open && (woken.port || link.Channel().WritePending()))
            link.TakeInput();
        if (link_was_up && !LinkUp())
            break;  // the port went away: the next pass ends the job
        // A hang-up the port itself does not report as an error would wake every wait at once:
        // the rest of this one waits for the tick alone.
        if (woken.port_hung_up)
            watch_port = false;
        if (control.tick_count.load(std::memory_order_acquire) - due >= 0 || control.stop_requested)
            break;
        wait_ms = -1;
    }
    job.pace_mark = control.tick_count.load(std::memory_order_acquire);
    control.passes.fetch_add(1, std::memory_order_release);
}

void UpgradeSequence::EndJob()
{
    // Frames of a stopped job must not reach the next user of the link; one already begun is
    // finished, or the device would take the next user's first request for its rest.
    link.EndStream();
    link.WaitInput(Waits::kEndOfJobDrainMs);
    link.DropInput();
    link.Close();
    control.upgrading = false;
    ReportProgress(JobPhase::Ended);

    const JobEndReason reason = DecideEnd();
    if (reason == JobEndReason::Success) {
        emit PushUpgRes(true);
        ReportEnd(reason);
        return;
    }
    if (!job.error_text.isEmpty()) {
        qCWarning(lcEngine).noquote() << job.error_text;
        emit PushErrorMsg(job.error_text);
    }
    // A flashed image with a unit left unusable (the base not back) is no success.
    emit PushUpgRes(false);
    ReportEnd(reason);
}

void UpgradeSequence::Fail(JobEndReason reason, const QString &line)
{
    job.error_text += line + QLatin1Char('\n');
    if (job.failure == JobEndReason::Success)
        job.failure = reason;
    state = Finish;
}

JobEndReason UpgradeSequence::DecideEnd() const
{
    // A stop that came after the last step cannot undo a finished upgrade.
    if (job.result && job.error_text.isEmpty() && job.failure == JobEndReason::Success)
        return JobEndReason::Success;
    if (job.failure != JobEndReason::Success)
        return job.failure;
    if (control.stopped_by_operator)
        return control.stop_kind == StopKind::TimeLimit ? JobEndReason::TimedOut : JobEndReason::Stopped;
    return JobEndReason::DeviceFailed;
}

void UpgradeSequence::ReportProgress(JobPhase phase, int section)
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
    progress.wire_bytes_sent = link.tx_total;
    emit Progress(progress);
    if (progress.AboutUpgradeBar())
        emit UpdateUpgradeProgress(progress.UpgradeBarShown(), progress.UpgradeBarPercent());
    else
        emit UpdateVerifyProgress(progress.VerifyBarShown(), progress.VerifyBarPercent());
}

void UpgradeSequence::ReportEnd(JobEndReason reason)
{
    end = reason;
    emit JobEnded(reason);
}

QString UpgradeSequence::ElapsedStamp() const
{
    return QString::asprintf("%.3f ", job.job_start.msecsTo(QDateTime::currentDateTime()) / 1000.0);
}
