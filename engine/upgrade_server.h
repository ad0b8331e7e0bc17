#pragma once

#include "firmware_entry.h"
#include "firmware_section.h"
#include "frame.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QList>
#include <QMap>
#include <QMutex>
#include <QSet>
#include <QString>
#include <QThread>
#include <QTimer>

#include <atomic>
#include <vector>

class UsbCdcDriver;

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

    // Starts a job with the job record below, or asks the running job to stop.
    void StartOrStop();
    void SetFirmwarePath(const QString &path) { firmware_path = path; }
    void SetFirmwareEntries(const FirmwareEntries *entries) { firmware_entries = entries; }
    void StartPolling();
    void StopPolling();

    // Reads the hardware version text of device d behind the port with product id p and
    // appends it to text (nothing when no answer came). Window thread, no job running.
    void QueryHwVersion(int p, int d, QString &text);

    // Manual switch of the base (device 2) to its application or its bootloader, when exactly
    // one family device is attached. Window thread; refused while a job holds the link.
    void BaseGoApp();
    void BaseGoBoot();

    // --- Link operations shared by the job and the window-thread exchanges -------------------
    void QueueFrame(uint8_t command, const uint8_t *payload, uint8_t length, uint8_t device_id);
    void QueueDataFrame(const uint8_t *data, uint16_t index, uint8_t n);
    void FlushTx();
    void CollectRx();
    // One request/reply exchange after the request was queued: accepts only a good frame with
    // this command and exactly this payload length, copied to dst.
    bool Transact(uint8_t command, int timeout_ms, uint8_t *dst, int length);
    // Decodes rx_queue up to the first good frame.
    bool TakeFrame(Frame &out);
    // Seconds since job_start, "%.3f" and a blank: the prefix of the sequence's log lines.
    QString ElapsedStamp() const;

    // --- Upgrade sequence --------------------------------------------------------------------
    // One step of the sequence; frame_received tells whether frame is a new good frame.
    void Step(bool frame_received, const Frame &frame);
    // Reads firmware_path into sections; reports through image_loaded.
    void LoadImage();

    // --- Job record, written by the window before StartOrStop ------------------------------
    int dev_id = 0;
    int usb_pid = 0;
    bool motor_to_boot = false;
    bool display_swap_check = false;
    QString firmware_path;
    const FirmwareEntries *firmware_entries = nullptr;

    // --- Shared between the window's thread and the job thread -----------------------------
    std::atomic<bool> upgrading{false};       // the link is in use
    std::atomic<bool> stop_requested{false};  // the job ends after the current pass
    std::atomic<int> state{Init};
    std::atomic<int> tick_count{0};           // advanced by the 1 ms tick timer

    // --- Job state (job thread while a job runs) -------------------------------------------
    bool streaming = false;
    bool result = false;
    QString error_text;
    QDateTime job_start;
    UsbCdcDriver *driver = nullptr;
    QList<char> rx_queue;
    QList<char> tx_queue;
    FrameParser rx_parser;
    bool frame_seen = false;
    int tx_total = 0;
    bool tx_trace = false;

    std::vector<FirmwareSection> sections;
    bool image_loaded = false;

    // Sequence bookkeeping.
    QElapsedTimer state_time;  // monotonic: the idle rule must survive midnight
    int idle_ticks = 0;
    int retry_count = 0;
    bool target_in_app = false;
    bool base_went_to_boot = false;
    bool motor_went_to_boot = false;
    bool retargeted_to_display = false;
    bool resume_pending = false;
    uint16_t resume_index = 0;
    int verify_failures = 0;
    FirmwareSection *current_section = nullptr;
    int current_section_index = 0;

    // Program-wide handshake counters, never reset.
    static std::atomic<quint32> handshakes_sent;
    static std::atomic<quint32> handshakes_answered;

    // Status poll.
    QSet<QString> info_requests;
    QMutex info_lock;
    QMap<QString, int> slave_states;

    QTimer *tick_timer = nullptr;
    QTimer poll_timer;

signals:
    void UpdateUpgradeProgress(bool is_show, float value);
    void UpdateVerifyProgress(bool is_show, float value);
    void PushErrorMsg(QString text);
    void PushUpgRes(bool result);
    void PushLogMsg(QString text);
    void PushSlaveState(QMap<QString, int> &states);
    void PushMoreInfo(QString name, QString info);

public slots:
    void TimerTick();
    void GetControlerState();

protected:
    void run() override;

private:
    // One pass of the job loop; false when the link is gone and the job must end at once.
    bool LoopPass();
    // Waits on the port, 1 ms at a time, until the tick counter has advanced by ticks.
    void Pace(int ticks);
    int PassTicks() const;
    void EndJob();
    // Opens a driver for p in the calling thread; false when the port did not open.
    bool OpenExchangeDriver(int p);
    void CloseExchangeDriver();
    void SwitchBase(uint8_t to, const QString &line);

    // Chunked hardware-version read: chunks 1..max_chunks of 16 text bytes into area, until a
    // chunk holds a zero byte (Terminated), all were read (Exhausted) or one got no reply.
    enum class HwRead { Failed, Terminated, Exhausted };
    HwRead ReadHwChunks(int d, int timeout_ms, int max_chunks, uint8_t *area);
    // The motor's one-request form of the hardware version.
    bool ReadMotorHw(int timeout_ms, QString &text);
    // Application version and hardware version of device d, as the poll shows them.
    QString ReadDetails(int d);

    // Idle-time rule of the waiting states: true when this idle call completes n idle passes.
    bool IdleTimeout(bool frame_received, int n);
    void MarkWaiting();

    void OnInit();
    void OnSendHandshake();
    void OnWaitHandshake(bool frame_received, const Frame &frame);
    void OnSendQueryMode();
    void OnWaitQueryMode(bool frame_received, const Frame &frame);
};
