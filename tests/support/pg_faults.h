#pragma once

#include <QProcess>
#include <QString>

#include <atomic>
#include <thread>

class LocalPgServer;

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
// of it (a lost answer). It disarms itself after that once. Told to hold the answers, it relays
// nothing the server says from then on: a server that stops answering in the middle of a session
// (its process stopped, a firewall that drops one direction), while the connection stays up.
class LostAnswerProxy {
public:
    explicit LostAnswerProxy(int upstream_port);
    ~LostAnswerProxy();  // stops its thread, closes everything (bounded)
    LostAnswerProxy(const LostAnswerProxy &) = delete;
    LostAnswerProxy &operator=(const LostAnswerProxy &) = delete;

    int Port() const;  // where clients connect; 0 when the proxy could not listen
    void ArmLoseNextCommit();
    int AnswersLost() const;  // how many were dropped so far
    void HoldAnswers();

private:
    void Run();

    int upstream_port;
    int listener = -1;
    int port = 0;
    int wake[2] = {-1, -1};  // a byte here ends the thread's poll()
    std::atomic<bool> armed{false};
    std::atomic<bool> holding{false};
    std::atomic<int> lost{0};
    std::thread relay;
};

// Another session of the server that holds a table locked in ACCESS EXCLUSIVE mode (an
// administrator's maintenance, or a session left open in the middle of its transaction) until
// Release or destruction: psql in a transaction that waits for its next line.
class TableLock {
public:
    TableLock(LocalPgServer &server, const QString &database, const QString &table = QStringLiteral("upgrades"));
    ~TableLock();  // releases (bounded)
    TableLock(const TableLock &) = delete;
    TableLock &operator=(const TableLock &) = delete;

    // Waits (at most timeout_ms) until the lock is granted.
    bool Held(int timeout_ms);
    // The sessions that wait for the table now (another program's statement behind the lock).
    int Waiters();
    // Ends the transaction and the session (bounded): the table is free.
    void Release();

private:
    int Count(const QString &sql);

    LocalPgServer &server;
    const QString database;
    const QString table;
    QProcess psql;
};
