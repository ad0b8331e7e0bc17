#pragma once

#include "upgrade_server.h"

#include <QMutexLocker>

// The tests' view into the engine: its job state, its shared flags and the link operations a
// test drives directly. Production code goes through the engine's public interface only.
class EngineProbe {
public:
    explicit EngineProbe(UpgradeServer &engine) : server(engine) {}

    UpgradeServer::JobState &Job() const { return server.job; }
    std::atomic<int> &State() const { return server.state; }
    std::atomic<int> &TickCount() const { return server.tick_count; }
    // The job's tick timer: a test that stops it delivers the ticks itself (TimerTick()).
    QTimer &TickTimer() const { return *server.tick_timer; }
    const std::atomic<int> &Passes() const { return server.passes; }
    std::atomic<bool> &Upgrading() const { return server.upgrading; }
    std::atomic<bool> &StopRequested() const { return server.stop_requested; }
    QTimer &PollTimer() const { return server.poll_timer; }
    const FirmwareEntries *Entries() const { return server.firmware_entries; }
    QSet<QString> InfoRequests() const
    {
        QMutexLocker lock(&server.info_lock);
        return server.info_requests;
    }

    // A job state for device dev_id behind product id pid, as a job would start with it.
    void Prepare(int dev_id, int pid, const QString &image = QString()) const
    {
        UpgradeJob job;
        job.dev_id = dev_id;
        job.usb_pid = pid;
        job.firmware_path = image;
        server.job = UpgradeServer::JobState(job);
    }
    bool OpenLink() const { return server.OpenLink(); }
    void ReleaseLink() const { server.ReleaseLink(); }
    void LoadImage() const { server.LoadImage(); }
    void Step(bool frame_received, const Frame &frame) const { server.Step(frame_received, frame); }
    void QueueFrame(uint8_t command, const uint8_t *payload, uint8_t length, uint8_t device_id) const
    {
        server.QueueFrame(command, payload, length, device_id);
    }
    void QueueDataFrame(const uint8_t *data, uint16_t index, uint8_t n) const { server.QueueDataFrame(data, index, n); }
    void FlushTx() const { server.FlushTx(); }
    bool Transact(uint8_t command, int timeout_ms, uint8_t *dst, int length) const
    {
        return server.Transact(command, timeout_ms, dst, length);
    }
    bool TakeFrame(Frame &out) const { return server.TakeFrame(out); }

private:
    UpgradeServer &server;
};
