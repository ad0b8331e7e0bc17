#pragma once

#include "device_family.h"
#include "firmware_image.h"
#include "firmware_section.h"
#include "frame.h"
#include "frame_link.h"
#include "job_control.h"
#include "job_end.h"
#include "upgrade_job.h"
#include "upgrade_progress.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QObject>
#include <QString>

#include <array>
#include <atomic>
#include <functional>
#include <memory>
#include <vector>

// What one job spent its time on, for the benchmark; written by the job thread, read once the
// job has ended.
struct JobStats {
    qint64 streaming_passes = 0;
    qint64 streaming_ticks = 0;   // ticks those passes took, each from the release of the last
    qint64 streaming_ns = 0;      // wall time of those passes
    qint64 streaming_bytes = 0;   // wire bytes sent in them
    qint64 fixed_wait_ms = 0;     // sleeps and settle waits the sequence must make
    qint64 fixed_wait_asked_ms = 0;  // the same waits as asked for (a settle wait that input ended
                                     // early: as long as it lasted), without the time they overran
    qint64 image_wire_bytes = 0;  // wire bytes of the image's data frames, each section's once:
                                  // what a job without loss or restarts sends
    qint64 job_ns = 0;            // the whole run
    qint64 thread_cpu_ns = 0;     // CPU time of the job thread
    // Wall time of the loop's passes by the state each pass began in, its blocking exchanges and
    // sleeps included (indexed by UpgradeSequence::State).
    std::array<qint64, 29> state_ns{};  // 0 .. Finish
};

// One upgrade job from its image to its end: the sequence's states and their bounds, run in the
// thread that calls Run() with the link of its own. Only the JobControl is shared with other
// threads (the stop, the ticks); the job's record is this object's alone. Reports by signals.
class UpgradeSequence : public QObject {
    Q_OBJECT

public:
    // States of the upgrade sequence. Values 3, 10 and 26 are unused.
    enum State {
        Init = 0,
        SendHandshake = 1,
        WaitHandshake = 2,
        EnterBoot = 4,
        SendQueryMode = 5,
        WaitQueryMode = 6,
        NextSection = 7,
        WaitSectionHeader = 8,
        SendData = 9,
        DataInFlight = 11,
        WaitIndex = 12,
        SendVerifyBuffer = 13,
        WaitVerifyBuffer = 14,
        SendReadBuffer = 15,
        WaitReadBuffer = 16,
        SendFlash = 17,
        WaitFlash = 18,
        SendVerifyFlash = 19,
        WaitVerifyFlash = 20,
        SendReadFlash = 21,
        WaitReadFlash = 22,
        AllSectionsDone = 23,
        VerifyAll = 24,
        SetUpgradeFlag = 25,
        UpgradeSuccess = 27,
        Finish = 28,
    };

    // Everything one job changes and nobody else reads while it runs.
    struct Record {
        // The job's own copy of its request; the display retarget changes dev_id here.
        int dev_id = 0;
        int usb_pid = 0;
        bool motor_to_boot = false;
        bool display_swap_check = false;
        QString firmware_path;
        UnitKey unit;
        std::shared_ptr<const ImageSnapshot> image;

        QDateTime job_start;  // time base of the console lines
        bool frame_seen = false;

        std::vector<FirmwareSection> sections;
        bool image_loaded = false;

        // Sequence bookkeeping.
        bool result = false;
        QString error_text;
        QElapsedTimer state_time;  // monotonic: the idle rule must survive midnight
        int pace_mark = 0;         // ticks of the next pass count from here: the last pass's
                                   // release, or the end of a blocking wait since
        int idle_ticks = 0;
        int retry_count = 0;
        bool target_in_app = false;
        bool base_went_to_boot = false;   // this job sent the base to its bootloader
        bool base_found_in_boot = false;  // the job found it there (an earlier job was cut off)
        bool base_returned = false;       // back in its application, confirmed
        bool motor_went_to_boot = false;
        bool motor_returned = false;      // back in its application, confirmed
        bool motor_given_up = false;      // it did not come back after every attempt
        bool restoring = false;  // the unit is being returned after a stop: waits ignore the stop
        bool retargeted_to_display = false;
        bool resume_pending = false;
        uint16_t resume_index = 0;
        int verify_failures = 0;
        // Bounds of the transfer (see sequence_limits.h).
        int attempt_section = -1;  // the section the attempts count for
        int section_attempts = 0;
        int resume_high_water = 0;
        int stalled_resumes = 0;
        int request_repeats = 0;   // of the current waiting state
        QElapsedTimer flash_clock; // since the section's flash was requested
        bool header_pending = false;
        QElapsedTimer header_clock; // since the section was first announced without an answer
        FirmwareSection *current_section = nullptr;
        int current_section_index = 0;
        bool upgrade_flag_sent = false;  // every section verified twice and the target told to start
        int wire_counted_through = -1;   // the last section whose wire bytes are in the job's stats
        // The first failure's reason; Success while none happened.
        JobEndReason failure = JobEndReason::Success;
    };

    UpgradeSequence(const UpgradeJob &job, JobControl &control);
    ~UpgradeSequence() override;

    // The whole job: the image, the port, the sequence, the unit's return and the reports.
    void Run();

    // --- Parts of a job, for a caller that drives the sequence itself ------------------------
    // Reads the job's image into sections; reports through image_loaded.
    void LoadImage();
    // Opens the job's port in the calling thread; false when it did not open. Its port is found
    // in a fresh view of the catalog unless the caller only watches.
    bool OpenLink(PortCatalog::View view = PortCatalog::View::Fresh);
    // One step of the sequence; frame_received tells whether frame is a new good frame.
    void Step(bool frame_received, const Frame &frame);

    int CurrentState() const { return state; }
    void SetState(State to) { state = to; }
    Record &Job() { return job; }
    FrameLink &Link() { return link; }
    // Why the job ended; read once Run() has returned.
    JobEndReason End() const { return end; }
    // What the job spent its time on; read once Run() has returned.
    const JobStats &Stats() const { return stats; }

    // Program-wide handshake counters, never reset.
    static std::atomic<quint32> handshakes_sent;
    static std::atomic<quint32> handshakes_answered;

signals:
    // Where the job stands; every report of the two below comes with one of these first.
    void Progress(const UpgradeProgress &progress);
    // The same reports as the window's two bars show them.
    void UpdateUpgradeProgress(bool is_show, float value);
    void UpdateVerifyProgress(bool is_show, float value);
    void PushErrorMsg(QString text);
    void PushUpgRes(bool result);
    void PushLogMsg(QString text);
    // The last report of every job, after its result: why it ended.
    void JobEnded(JobEndReason reason);

private:
    JobControl &control;
    Record job;
    FrameLink link;
    std::atomic<int> state{Init};
    JobEndReason end = JobEndReason::Success;
    JobStats stats;

    void RunJob();
    // One pass of the job loop; false when the link is gone and the job must end at once.
    bool LoopPass();
    // Waits until the tick count has advanced by ticks since the last pass was let go, taking
    // the port's input as it comes; ends early on a stop request or when the port goes away.
    void Pace(int ticks);
    // A blocking wait inside a pass has ended: the pass's ticks count from here, so the request
    // after an exchange or a sleep still waits its whole interval.
    void PaceFromNow() { job.pace_mark = control.tick_count.load(std::memory_order_acquire); }
    int PassTicks() const;
    // What the family table says of the job's device id (it changes with the display retarget).
    const DeviceRole &Role() const { return RoleOf(job.dev_id); }
    // The job's target is now device d: its role, and so its pace, with it.
    void Retarget(int d);
    // Seconds since job_start, "%.3f" and a blank: the prefix of the sequence's log lines.
    QString ElapsedStamp() const;
    void EndJob();
    // Records a failure: its error line, its reason (the first one stands) and the end of the
    // sequence in Finish.
    void Fail(JobEndReason reason, const QString &line);
    // Why the job that just ended ended, from its failures, its stop and its result.
    JobEndReason DecideEnd() const;
    void ReportEnd(JobEndReason reason);
    // Reports where the job stands: section is the count done in this phase.
    void ReportProgress(JobPhase phase, int section = 0);
    // After the sequence has ended (finished, failed, stopped or cut off): the base and the motor
    // back in their applications where this job found or left them in their bootloaders.
    void RestoreUnit();
    // Whether a stop request ends the current wait (not while the unit is being restored).
    bool StopHonoured() const { return control.stop_requested && !job.restoring; }
    // Counts one more repeat of a waiting state's request; true (and the job fails) past the bound.
    bool TooManyRepeats(const char *what);
    // A waiting state got what it waited for: its repeats start again from zero.
    void Answered() { job.request_repeats = 0; }

    // Idle-time rule of the waiting states: whether this call counted as an idle pass and
    // whether it completed n of them.
    enum class Idle { NotCounted, Counted, TimedOut };
    Idle IdlePass(bool frame_received, int n);
    void MarkWaiting();
    bool LinkUp() const { return link.Up(); }
    // The devices have not answered for the no-reply limit.
    bool DevicesSilent() const;
    // When they have: the job ends in Finish with an error text. True if it gave up.
    bool GiveUpOnSilence();
    // A sleep that ends early on a stop request, so that Stop is honoured within moments.
    void SleepUnlessStopped(int ms);
    // A wait that only lets a device settle (nothing in particular is expected to arrive).
    void SettleWait(int ms);
    // The base restarts off USB: let go of its port and open the one it comes back with.
    void Reconnect();
    bool ProbeDisplay();
    // The boot entry of a target behind the base: the motor off the bus, the base into its
    // bootloader, the display powered, the target answering from its bootloader. False when
    // the state must end here (Finish chosen, or the port is gone).
    bool EnterBootBehindBase();
    // A device-5 job: the motor leaves the bus by going to its bootloader, if it runs its
    // application.
    void SendMotorOffTheBus();
    // False when the base is gone, no longer answers, or stayed in its application.
    bool BringBaseToBoot();
    // The base's bootloader does not power the display by itself.
    void PowerDisplay();
    // After a base restart the target must answer from its bootloader; false when it answered
    // from its application.
    bool TargetAnswersFromBoot();
    bool AwaitBaseInBoot();

    int DataCount(const FirmwareSection &section) const;
    QByteArray SectionHeaderPayload(const FirmwareSection &section) const;
    // Data bytes of the next frame, so that the frame with its doubled 0x7E bytes fits.
    int ChunkSize(const FirmwareSection &section, int remaining) const;
    // Drops everything queued and in flight after a loss or a wrong index.
    void DropInFlight(int ms, int looks);
    void ResumeFrom(uint16_t offset);
    // Counts a resend that did not get past the furthest point reached; true (and the job fails)
    // past the bound.
    bool ResumeStalled(uint16_t offset);
    void RestartCurrentSection();
    void QueueFlash(uint8_t op);
    bool DigestMatches(const Frame &frame) const;
    // A flash digest differed: restart the transfer (or, after the fourth time, give up).
    void RestartAfterMismatch(uint32_t address, bool final_pass);

    // One request of the final check: sent until a reply of its command passes accept.
    struct VerifyRequest {
        uint8_t command;
        const uint8_t *payload;
        uint8_t length;
        int wait_ms;
        const char *slow_line;        // logged for each miss after the first few; may be null
        const char *missed_line;      // logged when the device missed every try
        bool once_failed_tries_once;  // after an earlier failure, one miss is enough
        std::function<bool(const Frame &)> accept;
    };
    // False when the tries ran out (ok is cleared), or a stop or a lost port ended them.
    bool RepeatVerifyRequest(const VerifyRequest &request, bool &ok, Frame &reply);
    enum class Check { Verified, Mismatch, Missed };
    Check VerifySection(size_t i, int wait_ms, bool &ok);
    // The base restarted into its application and confirmed there; false after the attempts.
    bool ReturnBaseToApp(int attempts);
    // The motor sent back to its application and confirmed there; false after the attempts.
    bool ReturnMotorToApp();
    bool MotorAnswersFromApp();
    // Waits for the unit's restarting base to leave USB and come back: at least min_ms, and
    // once the port has been seen gone and back, no longer; at most max_ms. An empty old_name
    // says it has been seen gone already.
    void AwaitBaseRestart(const QString &old_name, int min_ms, int max_ms);
    // Base and motor return and the target check; false when Finish ends at a target in its
    // bootloader.
    bool FinishBehindBase();

    void OnInit();
    void OnSendHandshake();
    void OnWaitHandshake(bool frame_received, const Frame &frame);
    void OnEnterBoot();
    void OnSendQueryMode();
    void OnWaitQueryMode(bool frame_received, const Frame &frame);
    void OnNextSection();
    void OnWaitSectionHeader(bool frame_received, const Frame &frame);
    void OnSendData();
    void OnDataInFlight(bool frame_received, const Frame &frame);
    void OnWaitIndex(bool frame_received, const Frame &frame);
    void OnSendVerifyBuffer();
    void OnWaitVerifyBuffer(bool frame_received, const Frame &frame);
    void OnSendReadBuffer();
    void OnWaitReadBuffer(bool frame_received, const Frame &frame);
    void OnSendFlash();
    void OnWaitFlash(bool frame_received, const Frame &frame);
    void OnSendVerifyFlash();
    void OnWaitVerifyFlash(bool frame_received, const Frame &frame);
    void OnSendReadFlash();
    void OnWaitReadFlash(bool frame_received, const Frame &frame);
    void OnAllSectionsDone();
    void OnVerifyAll();
    void OnSetUpgradeFlag();
    void OnUpgradeSuccess();
    void OnFinish();
};
