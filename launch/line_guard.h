#pragma once

#include "config_reader.h"
#include "history_server.h"
#include "upgrade_launch.h"

#include <QString>

#include <memory>
#include <optional>
#include <vector>

// The line's guard: before a job starts, the line's server is asked how its image (by SHA-256)
// has done on the line lately, and an image that failed too often is halted until a supervisor
// releases it. A server that cannot be asked in time never stops the line: the job runs, and the
// front end says so. Used by one front end's thread; each question runs on a thread of its own,
// and that front end's thread waits for it a short, bounded time with its timers and queued
// reports going, but no operator input.
class LineGuard {
public:
    enum class Outcome {
        Off,         // no guard configured, or no server to ask
        Clear,       // asked: the image may run
        Halted,      // asked: the image failed too often; refusal says so
        Unanswered,  // the server could not be asked in time: the job runs unguarded
        Mistyped,    // the configuration's "line_guard" is no sound guard; refusal says so
    };
    struct Verdict {
        Outcome outcome = Outcome::Off;
        HistoryServer::ImageFigures figures;
        std::optional<LaunchRefusal> refusal;  // Halted, Mistyped
        QString warning;    // Unanswered: what stood in the way, for the console
        bool news = false;  // Unanswered: the first since the server last answered (once per outage)
    };

    // The longest a launch waits for the server's answer.
    static constexpr int kWaitMs = 3000;

    explicit LineGuard(int wait_ms = kWaitMs);
    // Cuts any question still out and waits for its thread: its connect is bounded by the wait.
    ~LineGuard();
    LineGuard(const LineGuard &) = delete;
    LineGuard &operator=(const LineGuard &) = delete;

    // Asks about the image whose SHA-256 is sha256 (lower-case hex), with settings as the
    // configuration read them and server the connection string in force (empty: none).
    Verdict Ask(const std::optional<LineGuardSettings> &settings, const QString &server, const QString &sha256);

    // Whether figures pass the guard's threshold: enough jobs, and too many of them failed.
    static bool Halts(const LineGuardSettings &settings, const HistoryServer::ImageFigures &figures);
    // The refusal of a halted image, in both languages, with its figures.
    static LaunchRefusal HaltRefusal(const LineGuardSettings &settings, const HistoryServer::ImageFigures &figures,
                                     const QString &sha256);

private:
    struct Question;

    // Joins the threads of earlier questions that have ended.
    void Reap(bool all);

    const int wait_ms;
    bool unanswered = false;  // the last question went unanswered
    std::vector<std::shared_ptr<Question>> questions;
};
