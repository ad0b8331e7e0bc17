#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>

class ByteChannel;

// What wakes the job thread while it waits for its next pass: the tick and a stop request call
// Signal() from any thread; the job's own port wakes the wait when input arrives or the device
// goes away. A Signal() while nobody waits costs next to nothing (the tick comes 1000 times a
// second, through the job's long sleeps too): the next wait asks its condition before it sleeps.
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
    // Waits until done() holds, Signal() was called, the port (null: none) has something to
    // look at, or timeout_ms pass (negative: no time limit where the port can be watched; 0: a
    // look at the port alone, done() not asked). done() is asked once a Signal() would wake the
    // wait, so a Signal() after it was asked is never missed. The thread that owns the port.
    Woken Wait(const ByteChannel *port, int timeout_ms, const std::function<bool()> &done);

private:
    Woken WaitArmed(const ByteChannel *port, int timeout_ms);

    std::atomic<bool> armed{false};  // a wait is on (or about to be): Signal() must wake it
    int event_fd = -1;  // Linux: the counter that Signal() raises; -1 elsewhere

    // Where there is no eventfd.
    std::mutex mutex;
    std::condition_variable signalled;
    bool pending = false;
};
