#pragma once

#include "device_family.h"
#include "firmware_entry.h"
#include "firmware_section.h"
#include "frame.h"
#include "job_end.h"
#include "log_unit.h"
#include "port_catalog.h"
#include "target_status.h"
#include "tick_wake.h"
#include "upgrade_job.h"
#include "upgrade_progress.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QList>
#include <QMap>
#include <QMutex>
#include <QSet>
#include <QString>
#include <QThread>
#include <QTimer>

#include <array>
#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

class ByteChannel;

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
    // sleeps included (indexed by UpgradeServer::State).
    std::array<qint64, 29> state_ns{};  // 0 .. Finish
};

// The upgrade engine. The object and its two timers live in the window's thread; each upgrade
// job runs in this thread's run(), which owns the port for the job and reports by signals only.
// The status poll, the launch's hardware query and the manual mode switch make their short
// exchanges from the window's thread while no job holds the link.
class UpgradeServer : public QThread {
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

    UpgradeServer();
    ~UpgradeServer() override;

    // --- The interface of the window and of any other front end ----------------------------
    // Starts a job (called from the thread the engine lives in); false, and nothing started,
    // while the link is busy.
    bool Start(const UpgradeJob &job);
    // Asks the running job to stop, as the operator does; it ends after its current pass and
    // then returns the unit to its application where it can. False when no job was running (or
    // it was already stopping).
    bool Stop(StopKind kind = StopKind::Operator);
    // A job holds the link, from its start until it ends or is asked to stop (the poll's own
    // exchanges also set it while they run).
    bool Upgrading() const { return upgrading; }
    // A job, the status poll or a short exchange holds the link, or a job's thread is still
    // ending: nothing else may open the port now.
    bool LinkBusy() const { return upgrading || isRunning(); }
    // The operator's Stop ended the last job.
    bool StoppedByOperator() const { return stopped_by_operator; }
    // Why the last job ended (also reported by JobEnded); read once it has ended.
    JobEndReason LastJobEnd() const { return last_job_end; }
    // Who stopped the last job, when Stop() did.
    StopKind LastStopKind() const { return stop_kind; }
    // Asks the next status poll for the target's application and hardware versions (in its
    // report's details); a name asked twice before then is asked once. Any thread.
    void RequestDetails(const QString &target);
    // The configured targets the status poll looks at; null stops it from polling.
    void SetFirmwareEntries(const FirmwareEntries *entries) { firmware_entries = entries; }
    void StartPolling();
    void StopPolling();
    bool IsPolling() const { return poll_timer.isActive(); }
    // Keeps the status poll to the one port at this USB location (or with this name), as on a
    // station with several bases attached; empty (the default) polls every family port.
    void SetPollPort(const QString &port) { poll_port = port; }

    // Reads the hardware version text of device d behind the port with product id p (and, when
    // port is given, at that USB location or name) and appends it to text (nothing when no
    // answer came); reports it as the status of that device's target. Window thread, no job
    // running.
    void QueryHwVersion(int p, int d, QString &text, const QString &port = QString());

    // The application version of device d behind the port with product id p (and, when port is
    // given, at that USB location or name): its mode first, since only a device that runs its
    // application can tell that application's version; up to tries rounds until one answers.
    // Window thread, no job running (nothing is read while the link is busy).
    AppVersionReading ReadAppVersion(int p, int d, const QString &port, int tries);

    // The mode each of the devices behind the port with product id p (at that USB location or
    // name, when port is given) reports, asked up to tries times; Mode::Absent for one that did
    // not answer. Window thread, no job running (nothing is asked while the link is busy).
    QMap<int, uint8_t> ReadModes(int p, const QList<int> &devices, const QString &port, int tries);

    // A unit cut off in the middle of a job can be left with its base in the bootloader, which
    // does not power the display: then the display gets its power now, so that it can be asked
    // for its hardware version. True when it was powered. Window thread, no job running.
    bool PowerDisplayOfBaseInBoot(int p, const QString &port = QString());

    // Manual switch of the base (device 2) to its application or its bootloader, when exactly
    // one family device is attached (at that USB location or port name, when port is given).
    // Window thread; refused while a job holds the link. False when nothing was sent.
    bool BaseGoApp(const QString &port = QString());
    bool BaseGoBoot(const QString &port = QString());

    // What the last job spent its time on; read once it has ended.
    JobStats Stats() const { return stats; }

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
    // What the status poll found of every configured target, and what the hardware query found
    // of its device. Emitted in the window's thread.
    void PushTargetStatus(const TargetStatusList &statuses);
    // The last report of every job, after its result: why it ended.
    void JobEnded(JobEndReason reason);

public slots:
    void TimerTick();
    void GetControlerState();

protected:
    void run() override;

private:
    friend class EngineProbe;  // the tests' view of the job state

    // Everything one job changes, reset by one assignment when the job (or a window-thread
    // exchange) starts, so nothing carries over into the next use of the link. Belongs to the
    // job thread while a job runs, to the window's thread otherwise.
    struct JobState {
        // The job's own copy of its request; the display retarget changes dev_id here.
        int dev_id = 0;
        int usb_pid = 0;
        bool motor_to_boot = false;
        bool display_swap_check = false;
        QString firmware_path;
        QString port;
        std::shared_ptr<const ImageSnapshot> image;

        // The link: the port of this use and the bytes on their way.
        std::unique_ptr<ByteChannel> link;  // let go through ReleaseLink()
        QDateTime job_start;                // time base of the console lines and traces
        QByteArray rx_queue;
        QByteArray tx_queue;
        QList<int> tx_frames;   // the wire length of each frame in tx_queue, oldest first
        int tx_front_sent = 0;  // bytes of the oldest one already sent: the device holds part of it
        FrameParser rx_parser;
        bool frame_seen = false;
        int tx_total = 0;

        std::vector<FirmwareSection> sections;
        bool image_loaded = false;

        // Sequence bookkeeping.
        bool streaming = false;
        bool result = false;
        QString error_text;
        QElapsedTimer state_time;  // monotonic: the idle rule must survive midnight
        int pace_mark = 0;         // ticks of the next pass count from here: the last pass's
                                   // release, or the end of a blocking wait since
        QElapsedTimer last_reply;  // since the devices last answered (or were fed data)
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

        JobState();
        explicit JobState(const UpgradeJob &job);
        JobState(JobState &&) noexcept;
        JobState &operator=(JobState &&) noexcept;
        ~JobState();
    };

    UpgradeJob requested;  // written by Start in the window's thread, copied by the job
    JobState job;
    // The unit of the open link, for the console lines of the thread that opened it; set and
    // cleared with the link, so always in that thread.
    std::optional<LogUnit::Scope> link_unit;
    const FirmwareEntries *firmware_entries = nullptr;  // not owned
    QString poll_port;  // the status poll's one port; empty: every family port

    // --- Shared between the window's thread and the job thread -----------------------------
    std::atomic<bool> upgrading{false};       // the link is in use
    std::atomic<bool> stop_requested{false};  // the job ends after the current pass
    std::atomic<int> state{Init};
    std::atomic<int> tick_count{0};           // advanced by the 1 ms tick timer
    std::atomic<int> passes{0};               // passes the pacing wait has let go in this job
    TickWake tick_wake;                       // the tick and a stop wake the pacing wait
    std::atomic<bool> stopped_by_operator{false};
    std::atomic<JobEndReason> last_job_end{JobEndReason::Success};
    std::atomic<StopKind> stop_kind{StopKind::Operator};

    // Status poll: the targets whose details the window asked for, guarded by info_lock.
    QSet<QString> info_requests;
    QMutex info_lock;
    // When each target's device last answered (UTC); the window's thread only.
    QMap<QString, QDateTime> last_heard;

    QTimer *tick_timer = nullptr;
    QTimer poll_timer;

    JobStats stats;  // written by the job thread, read once the job has ended

    // The window's thread, or the job's: asserted where an operation belongs to one of them.
    bool InWindowThread() const { return QThread::currentThread() == thread(); }
    bool InJobThread() const { return QThread::currentThread() == this; }

    // --- Link operations shared by the job and the window-thread exchanges -------------------
    void QueueFrame(uint8_t command, const uint8_t *payload, uint8_t length, uint8_t device_id);
    void QueueDataFrame(const uint8_t *data, uint16_t index, uint8_t n);
    void FlushTx();
    // Drops the queued frames, all but the rest of one the device has begun to receive: cut off,
    // it would leave the device's parser inside it, taking the next request for its remainder.
    void DropUnsentFrames();
    // Sends what is queued now, past the pacing (the few bytes of a return request).
    void FlushAllTx();
    // Ends the stream: drops the frames not begun and sends the rest of the one begun.
    void EndStream();
    void CollectRx();
    // One request/reply exchange after the request was queued: accepts only a good frame with
    // this command and exactly this payload length, copied to dst.
    bool Transact(uint8_t command, int timeout_ms, uint8_t *dst, int length);
    // Decodes rx_queue up to the first good frame.
    bool TakeFrame(Frame &out);
    // The oldest byte of rx_queue, taken from it (the caller knows there is one).
    uint8_t TakeRxByte();
    // Seconds since job_start, "%.3f" and a blank: the prefix of the sequence's log lines.
    QString ElapsedStamp() const;
    // Opens the link for the job's product id in the calling thread; false when it did not open.
    // Its port is found in a fresh view of the catalog unless the caller only watches.
    bool OpenLink(PortCatalog::View view = PortCatalog::View::Fresh);
    // A short exchange of the window's thread with the port of product id p: a fresh job state
    // (nothing of the last job's device, pace or queues) and an open link; false when the
    // port did not open. The caller lets go of the link when done.
    bool OpenExchange(int p, const QString &port = QString(), PortCatalog::View view = PortCatalog::View::Fresh);
    // Stops all traffic on the current link and closes its port now.
    void ReleaseLink();

    // --- Upgrade sequence --------------------------------------------------------------------
    // One step of the sequence; frame_received tells whether frame is a new good frame.
    void Step(bool frame_received, const Frame &frame);
    // Reads the job's image into sections; reports through image_loaded.
    void LoadImage();

    void RunJob();
    // One pass of the job loop; false when the link is gone and the job must end at once.
    bool LoopPass();
    // Waits until the tick count has advanced by ticks since the last pass was let go, taking
    // the port's input as it comes; ends early on a stop request or when the port goes away.
    void Pace(int ticks);
    // Takes what the port holds now into the link's received bytes, without waiting; this is
    // also where a port that has gone away is noticed.
    void TakeInput();
    // A blocking wait inside a pass has ended: the pass's ticks count from here, so the request
    // after an exchange or a sleep still waits its whole interval.
    void PaceFromNow() { job.pace_mark = tick_count.load(std::memory_order_acquire); }
    int PassTicks() const;
    // What the family table says of the job's device id (it changes with the display retarget).
    const DeviceRole &Role() const { return RoleOf(job.dev_id); }
    void EndJob();
    // Records a failure: its error line, its reason (the first one stands) and the end of the
    // sequence in Finish.
    void Fail(JobEndReason reason, const QString &line);
    // Why the job that just ended ended, from its failures, its stop and its result.
    JobEndReason DecideEnd() const;
    void ReportEnd(JobEndReason reason);
    // Reports where the job stands: section is the count done in this phase.
    void ReportProgress(JobPhase phase, int section = 0);
    bool SwitchBase(uint8_t to, const QString &line, const QString &port);
    // After the sequence has ended (finished, failed, stopped or cut off): the base and the motor
    // back in their applications where this job found or left them in their bootloaders.
    void RestoreUnit();
    // Whether a stop request ends the current wait (not while the unit is being restored).
    bool StopHonoured() const { return stop_requested && !job.restoring; }
    // Counts one more repeat of a waiting state's request; true (and the job fails) past the bound.
    bool TooManyRepeats(const char *what);
    // A waiting state got what it waited for: its repeats start again from zero.
    void Answered() { job.request_repeats = 0; }

    // Chunked hardware-version read: chunks 1..max_chunks of 16 text bytes into area, until a
    // chunk holds a zero byte (Terminated), all were read (Exhausted) or one got no reply.
    enum class HwRead { Failed, Terminated, Exhausted };
    HwRead ReadHwChunks(int d, int timeout_ms, int max_chunks, uint8_t *area);
    // The whole chunked text of device d (up to 64 characters), empty when a chunk got no reply.
    QString ReadHwText(int d, int timeout_ms);
    // The motor's one-request form of the hardware version.
    bool ReadMotorHw(int timeout_ms, QString &text);
    // Application version and hardware version of device d into status, as the poll reads them.
    void ReadDetails(int d, TargetStatus &status);
    // The configured target whose device d sits behind product id p; empty when none.
    QString TargetOf(int d, int p) const;

    // --- Sequence helpers (job thread) -----------------------------------------------------
    // Idle-time rule of the waiting states: whether this call counted as an idle pass and
    // whether it completed n of them.
    enum class Idle { NotCounted, Counted, TimedOut };
    Idle IdlePass(bool frame_received, int n);
    void MarkWaiting();
    bool LinkUp() const;
    // The devices have not answered for the no-reply limit.
    bool DevicesSilent() const;
    // When they have: the job ends in Finish with an error text. True if it gave up.
    bool GiveUpOnSilence();
    // A sleep that ends early on a stop request, so that Stop is honoured within moments.
    void SleepUnlessStopped(int ms);
    bool WaitInput(int ms);
    // A wait that only lets a device settle (nothing in particular is expected to arrive).
    void SettleWait(int ms);
    // Sends one request and waits up to wait_ms for a reply with the same command (that accept,
    // when given, also takes); frames before it are passed over.
    bool BlockingExchange(uint8_t command, const uint8_t *payload, uint8_t length, int device, int wait_ms,
                          Frame &reply, const std::function<bool(const Frame &)> &accept = {});
    bool QueryModeOf(int device, int wait_ms, uint8_t &mode);
    void QueueSwitchMode(uint8_t to, int device);
    void QueueFlash(uint8_t op);
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
