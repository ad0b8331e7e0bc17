#pragma once

#include "history_server.h"

#include <QObject>
#include <QString>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

// Pushes a station's waiting records to the line's server on a thread of its own, with its own
// connections: a front end (the window, the command) kicks it at its start and after each job
// and goes on at once. A server that is down, slow or refusing costs a warning and a later try,
// sooner at first and then less often, never a job's result and never the caller's time.
// Lives in the front end's thread; its signals arrive there.
class HistorySync : public QObject {
    Q_OBJECT

public:
    struct Pacing {
        int first_retry_ms = 2000;      // after the first failure; doubles with each one after it
        int longest_retry_ms = 300000;  // and never grows past this
        int batch = 500;                // records per statement
        int statement_bound_ms = 0;   // 0: HistoryServer::DefaultStatementBoundMs()
    };

    HistorySync(const QString &database, const QString &connection, QObject *parent = nullptr);
    HistorySync(const QString &database, const QString &connection, const Pacing &pacing, QObject *parent = nullptr);
    // Ends a push under way by cutting its connection, and waits for the thread (bounded by the
    // driver's connect time-out at worst).
    ~HistorySync() override;

    // Push what waits, now (a retry that was to come later comes now).
    void Kick();
    // A command about to exit: kicks, and emits Finished once that push has ended. The caller
    // waits for it in its own event loop, bounded, where a stop signal is heard too.
    void KickLast();
    // Gives up on the server for good, from any thread: a push under way ends at once (its
    // connection is cut; its records wait for the next start), and no other begins. Waits at most
    // timeout_ms for the thread to end; false when it has not (it is still connecting, which
    // the connect time-out bounds): the caller may leave without it.
    bool Abandon(int timeout_ms);
    const QString &Database() const { return database; }
    const QString &Server() const { return connection; }

signals:
    // After every push, in the front end's thread. warning: empty when nothing is left to push,
    // otherwise why records wait; news: it differs from the last push's (a server that stays
    // down is worth one line, not one per retry).
    void Pushed(qint64 sent, qint64 waiting, const QString &warning, bool news);
    // After the push KickLast asked for (after its Pushed), in the front end's thread.
    void Finished(qint64 sent, qint64 waiting, const QString &warning);

private:
    void Run();

    const QString database;
    const QString connection;
    const Pacing pacing;
    std::unique_ptr<HistoryServer::Connection> server;  // made and used by the thread only

    std::mutex mutex;
    std::condition_variable wake;
    bool kicked = false;
    bool stopping = false;
    std::atomic<bool> stop_flag{false};
    int failures = 0;
    std::chrono::steady_clock::time_point retry_at;
    bool retry_due = false;
    // KickLast: which kick a caller waits for (0: none).
    quint64 kicks = 0;
    quint64 last_kick = 0;
    bool ended = false;  // the thread has ended
    QString said;  // the last warning signalled
    std::thread worker;
};
