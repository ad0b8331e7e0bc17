#include "wait_until.h"

#include <QEventLoop>
#include <QTimer>

bool WaitUntil(const std::function<bool()> &pred, int timeout_ms)
{
    if (pred())
        return true;
    QEventLoop loop;
    QTimer check;
    QTimer deadline;
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        if (pred())
            loop.quit();
    });
    QObject::connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
    check.start(2);
    deadline.setSingleShot(true);
    deadline.start(timeout_ms);
    loop.exec();
    return pred();
}
