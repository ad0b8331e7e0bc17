#pragma once

#include <condition_variable>
#include <mutex>

class QSerialPort;

// What wakes the job thread while it waits for its next pass: the tick and a stop request call
// Signal() from any thread; the job's own port wakes the wait when input arrives or the device
// goes away. A Signal() while nobody waits is kept for the next wait, so none is lost.
//
// On Linux one poll() watches an eventfd and the port together. Elsewhere the wait is a
// condition variable that also ends every kPacingPollMs, so that the caller looks at the port
// that often, as the pacing wait always did.
class TickWake {
public:
    TickWake();
    ~TickWake();
    TickWake(const TickWake &) = delete;
    TickWake &operator=(const TickWake &) = delete;

    // Any thread.
    void Signal();

    // Why a wait ended; both false when it timed out.
    struct Woken {
        bool signalled = false;
        bool port = false;  // the port has input or has hung up (or cannot be watched): look at it
        bool port_hung_up = false;  // it reported a hang-up or an error, whether or not with input
    };
    // Waits until Signal() was called since the last wait ended, the port (null: none) has
    // something to look at, or timeout_ms pass (negative: no time limit where the port can be
    // watched). The thread that owns the port.
    Woken Wait(const QSerialPort *port, int timeout_ms);

private:
    int event_fd = -1;  // Linux: the counter that Signal() raises; -1 elsewhere

    // Where there is no eventfd.
    std::mutex mutex;
    std::condition_variable signalled;
    bool pending = false;
};
