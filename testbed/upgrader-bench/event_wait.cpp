#include "event_wait.h"

#include <QEventLoop>
#include <QTimer>

namespace {
constexpr int kCheckEveryMs = 2;
}

bool RunEventsUntil(const std::function<bool()> &done, int timeout_ms)
{
    if (done())
        return true;
    QEventLoop loop;
    QTimer check;
    QTimer deadline;
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        if (done())
            loop.quit();
    });
    QObject::connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
    check.start(kCheckEveryMs);
    deadline.setSingleShot(true);
    deadline.start(timeout_ms);
    loop.exec();
    return done();
}
