#pragma once

#include <atomic>
#include <thread>

// Faults of a PostgreSQL server on the network, for the history's outbox to meet in tests.

// A loopback TCP port that accepts connections (the kernel completes the handshake) and never
// answers: a hung server. Closes on destruction.
class HangingListener {
public:
    HangingListener();
    ~HangingListener();
    HangingListener(const HangingListener &) = delete;
    HangingListener &operator=(const HangingListener &) = delete;

    int Port() const;
    bool Ok() const;

private:
    int listener = -1;
    int port = 0;
};

// A TCP proxy in front of a server (127.0.0.1:upstream_port), on a thread of its own (blocking
// sockets and poll(): the test's thread may be blocked in a QPSQL call while it relays). Relays
// both ways. When armed, the next server answer that completes a COMMIT (a CommandComplete
// message whose tag is "COMMIT") is not delivered: the proxy closes the client's and the server's
// connection right there. The commit has then happened on the server but the client never hears
// of it (a lost answer). It disarms itself after that once.
class LostAnswerProxy {
public:
    explicit LostAnswerProxy(int upstream_port);
    ~LostAnswerProxy();  // stops its thread, closes everything (bounded)
    LostAnswerProxy(const LostAnswerProxy &) = delete;
    LostAnswerProxy &operator=(const LostAnswerProxy &) = delete;

    int Port() const;  // where clients connect; 0 when the proxy could not listen
    void ArmLoseNextCommit();
    int AnswersLost() const;  // how many were dropped so far

private:
    void Run();

    int upstream_port;
    int listener = -1;
    int port = 0;
    int wake[2] = {-1, -1};  // a byte here ends the thread's poll()
    std::atomic<bool> armed{false};
    std::atomic<int> lost{0};
    std::thread relay;
};
