#include "platform.h"

#if defined(Q_OS_LINUX)
#include <sys/prctl.h>
#include <ctime>
#elif defined(Q_OS_UNIX)
#include <ctime>
#elif defined(Q_OS_WIN)
#include <windows.h>
#endif

namespace {

#if defined(Q_OS_UNIX)
qint64 ClockNs(clockid_t clock)
{
    timespec now{};
    if (clock_gettime(clock, &now) != 0)
        return 0;
    return qint64(now.tv_sec) * 1000000000 + now.tv_nsec;
}
#elif defined(Q_OS_WIN)
qint64 KernelPlusUserNs(const FILETIME &kernel, const FILETIME &user)
{
    auto ticks = [](const FILETIME &t) { return (qint64(t.dwHighDateTime) << 32) | t.dwLowDateTime; };
    return (ticks(kernel) + ticks(user)) * 100;  // FILETIME counts 100 ns
}
#endif

}  // namespace

qint64 Platform::ThreadCpuNs()
{
#if defined(Q_OS_UNIX) && defined(CLOCK_THREAD_CPUTIME_ID)
    return ClockNs(CLOCK_THREAD_CPUTIME_ID);
#elif defined(Q_OS_WIN)
    FILETIME created, exited, kernel, user;
    if (!GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user))
        return 0;
    return KernelPlusUserNs(kernel, user);
#else
    return 0;
#endif
}

qint64 Platform::ProcessCpuNs()
{
#if defined(Q_OS_UNIX) && defined(CLOCK_PROCESS_CPUTIME_ID)
    return ClockNs(CLOCK_PROCESS_CPUTIME_ID);
#elif defined(Q_OS_WIN)
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user))
        return 0;
    return KernelPlusUserNs(kernel, user);
#else
    return 0;
#endif
}

void Platform::TightenTimerSlack()
{
#if defined(Q_OS_LINUX)
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);  // 1 ns: 0 would restore the default
#endif
}
