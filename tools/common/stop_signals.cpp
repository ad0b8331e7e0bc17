#include "stop_signals.h"

#include <QSocketNotifier>

#ifdef Q_OS_WIN
#include <windows.h>

namespace {

StopSignals *instance = nullptr;
QList<int> watched_numbers;

// Runs in a thread of its own that the system starts for the event: a queued call is safe here.
BOOL WINAPI OnConsoleEvent(DWORD event)
{
    const int number = event == CTRL_C_EVENT ? SIGINT : SIGTERM;
    if (!instance || !watched_numbers.contains(number))
        return FALSE;
    StopSignals::Handle(number);
    return TRUE;
}

}  // namespace

QList<int> StopSignals::DefaultSignals()
{
    return {SIGINT, SIGTERM};
}

StopSignals::StopSignals(QObject *parent, const QList<int> &numbers) : QObject(parent), watched(numbers)
{
    instance = this;
    watched_numbers = watched;
    valid = SetConsoleCtrlHandler(&OnConsoleEvent, TRUE) != 0;
}

StopSignals::~StopSignals()
{
    SetConsoleCtrlHandler(&OnConsoleEvent, FALSE);
    instance = nullptr;
}

void StopSignals::Handle(int signal_number)
{
    StopSignals *target = instance;
    if (target)
        QMetaObject::invokeMethod(target, [target, signal_number] { emit target->Stop(signal_number); },
                                  Qt::QueuedConnection);
}

void StopSignals::Drain() {}

#else
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>

namespace {

// Written by the handler, read by the event loop: a write to a pipe is safe in a handler.
int stop_pipe[2] = {-1, -1};

}  // namespace

QList<int> StopSignals::DefaultSignals()
{
    return {SIGINT, SIGTERM, SIGHUP};
}

StopSignals::StopSignals(QObject *parent, const QList<int> &numbers) : QObject(parent), watched(numbers)
{
    if (pipe2(stop_pipe, O_NONBLOCK | O_CLOEXEC) != 0)
        return;
    notifier = new QSocketNotifier(stop_pipe[0], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &StopSignals::Drain);
    struct sigaction action {};
    action.sa_handler = &StopSignals::Handle;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int number : qAsConst(watched))
        sigaction(number, &action, nullptr);
    valid = true;
}

StopSignals::~StopSignals()
{
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    for (int number : qAsConst(watched))
        sigaction(number, &action, nullptr);
    delete notifier;
    notifier = nullptr;
    for (int &fd : stop_pipe) {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
}

void StopSignals::Handle(int signal_number)
{
    const int saved = errno;
    const unsigned char byte = static_cast<unsigned char>(signal_number);
    [[maybe_unused]] ssize_t n = ::write(stop_pipe[1], &byte, 1);
    errno = saved;
}

void StopSignals::Drain()
{
    unsigned char byte = 0;
    int last = 0;
    while (::read(stop_pipe[0], &byte, 1) == 1)
        last = byte;
    if (last)
        emit Stop(last);
}

#endif
