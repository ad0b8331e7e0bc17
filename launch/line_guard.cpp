#include "line_guard.h"

#include "launch_log.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace {

// How often the waiting thread looks whether the answer has come, keeping its events going.
constexpr int kLookStepMs = 5;

QString Zh(const char *text)
{
    return QString::fromUtf8(text);
}

// "24", "1.5": hours as the configuration may give them.
QString Hours(double hours)
{
    return QString::number(hours, 'g', 6);
}

// The connection string with its connect bounded by the guard's wait (libpq takes the last value
// of a key given twice): a question given up on must not hold its thread, and so the front end's
// end, for a longer connect_timeout the string may set for the history's pushes.
QString BoundedConnect(const QString &connection, int wait_ms)
{
    // libpq's shortest: it takes anything below 2 s as 2 s.
    const int seconds = std::max(2, (wait_ms + 999) / 1000);
    const QString bound = QStringLiteral("connect_timeout=%1").arg(seconds);
    if (connection.startsWith(QLatin1String("postgresql://")) || connection.startsWith(QLatin1String("postgres://")))
        return connection + (connection.contains(QLatin1Char('?')) ? QLatin1Char('&') : QLatin1Char('?')) + bound;
    return connection + QLatin1Char(' ') + bound;
}

}  // namespace

// One question to the server, shared by the thread that asks it and the one that waits.
struct LineGuard::Question {
    std::mutex mutex;
    std::condition_variable answered;
    bool done = false;
    bool ok = false;
    bool given_up = false;
    HistoryServer::ImageFigures figures;
    QString warning;
    HistoryServer::Connection *connection = nullptr;  // while the asking thread holds one
    std::thread thread;
};

LineGuard::LineGuard(int wait) : wait_ms(wait) {}

LineGuard::~LineGuard()
{
    for (const auto &question : questions) {
        std::lock_guard<std::mutex> lock(question->mutex);
        question->given_up = true;
        if (question->connection)
            question->connection->Cut();
    }
    Reap(true);
}

void LineGuard::Reap(bool all)
{
    for (auto it = questions.begin(); it != questions.end();) {
        bool done = false;
        {
            std::lock_guard<std::mutex> lock((*it)->mutex);
            done = (*it)->done;
        }
        if (done || all) {
            (*it)->thread.join();
            it = questions.erase(it);
        } else {
            ++it;
        }
    }
}

bool LineGuard::Halts(const LineGuardSettings &settings, const HistoryServer::ImageFigures &figures)
{
    return figures.jobs > 0 && figures.jobs >= settings.min_jobs &&
           double(figures.failures) / double(figures.jobs) > settings.max_failure_rate;
}

LaunchRefusal LineGuard::HaltRefusal(const LineGuardSettings &settings, const HistoryServer::ImageFigures &figures,
                                     const QString &sha256)
{
    const QString hours = Hours(settings.window_hours);
    LaunchRefusal refusal;
    refusal.kind = LaunchRefusal::Kind::Halted;
    refusal.debug_lines << QStringLiteral("---line guard: image %1 halted, %2 of %3 jobs failed in the last %4 h")
                               .arg(sha256)
                               .arg(figures.failures)
                               .arg(figures.jobs)
                               .arg(hours);
    refusal.en = QStringLiteral("the line halted this image: %1 of %2 jobs failed in the last %3 h; a supervisor lifts "
                                "it with `upgrader-cli line release %4`")
                     .arg(figures.failures)
                     .arg(figures.jobs)
                     .arg(hours, sha256);
    refusal.zh = Zh("产线已停用此固件：最近%3小时内%2次升级中有%1次失败；须由主管用 `upgrader-cli line release %4` 解除")
                     .arg(figures.failures)
                     .arg(figures.jobs)
                     .arg(hours, sha256);
    return refusal;
}

LineGuard::Verdict LineGuard::Ask(const std::optional<LineGuardSettings> &settings, const QString &server,
                                  const QString &sha256)
{
    Verdict verdict;
    if (!settings)
        return verdict;
    // A mistyped guard is refused rather than dropped or guessed at: a typo must not switch the
    // guard off unseen, and the engineer who wrote it knows what was meant better than a default.
    if (!settings->sound) {
        verdict.outcome = Outcome::Mistyped;
        LaunchRefusal refusal;
        refusal.kind = LaunchRefusal::Kind::GuardMistyped;
        refusal.debug_lines << QStringLiteral("---line_guard invalid");
        refusal.en = QStringLiteral("The configuration's \"line_guard\" is not valid (an object whose window_hours is "
                                    "above 0, min_jobs 0 or more and max_failure_rate from 0 to 1): no upgrade "
                                    "starts until it is corrected");
        refusal.zh = Zh("配置文件中的\"line_guard\"无效（应为对象：window_hours大于0，min_jobs不小于0，"
                        "max_failure_rate在0到1之间）：修正前不能升级!");
        verdict.refusal = refusal;
        return verdict;
    }
    if (server.isEmpty())
        return verdict;
    Reap(false);

    auto question = std::make_shared<Question>();
    const double hours = settings->window_hours;
    // The thread makes, uses and ends its own connection: a driver connection belongs to the
    // thread that made it. Its statements are bounded by the wait, so one given up ends soon.
    const int bound = wait_ms;
    const QString bounded = BoundedConnect(server, wait_ms);
    question->thread = std::thread([question, bounded, sha256, hours, bound] {
        HistoryServer::ImageFigures figures;
        QString warning;
        bool ok = false;
        {
            HistoryServer::Connection connection(bounded, bound);
            bool given_up = false;
            {
                std::lock_guard<std::mutex> lock(question->mutex);
                given_up = question->given_up;
                question->connection = &connection;
            }
            if (!given_up)
                ok = connection.ImageRecord(sha256, hours, &figures, &warning);
            std::lock_guard<std::mutex> lock(question->mutex);
            question->connection = nullptr;
        }
        {
            std::lock_guard<std::mutex> lock(question->mutex);
            question->done = true;
            question->ok = ok;
            question->figures = figures;
            question->warning = warning;
        }
        question->answered.notify_all();
    });
    questions.push_back(question);

    QElapsedTimer waited;
    waited.start();
    bool done = false;
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(question->mutex);
            question->answered.wait_for(lock, std::chrono::milliseconds(kLookStepMs), [&] { return question->done; });
            done = question->done;
            if (!done && waited.elapsed() >= wait_ms) {
                question->given_up = true;
                if (question->connection)
                    question->connection->Cut();
            }
        }
        if (done || waited.elapsed() >= wait_ms)
            break;
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    }

    bool ok = false;
    {
        std::lock_guard<std::mutex> lock(question->mutex);
        ok = done && question->ok;
        verdict.figures = question->figures;
        verdict.warning = done ? question->warning
                               : QStringLiteral("the line's server did not answer within %1 s").arg(wait_ms / 1000.0);
    }
    if (!ok) {
        verdict.outcome = Outcome::Unanswered;
        verdict.warning = QStringLiteral("Line guard: the line's server could not be asked about the image (%1); "
                                         "jobs run unguarded until it answers")
                              .arg(verdict.warning);
        verdict.news = !unanswered;
        unanswered = true;
        return verdict;
    }
    unanswered = false;
    verdict.warning.clear();
    if (Halts(*settings, verdict.figures)) {
        verdict.outcome = Outcome::Halted;
        verdict.refusal = HaltRefusal(*settings, verdict.figures, sha256);
    } else {
        verdict.outcome = Outcome::Clear;
        qCDebug(lcLaunch).noquote() << QStringLiteral("line guard: %1 of %2 jobs failed in the last %3 h")
                                           .arg(verdict.figures.failures)
                                           .arg(verdict.figures.jobs)
                                           .arg(Hours(hours));
    }
    return verdict;
}
