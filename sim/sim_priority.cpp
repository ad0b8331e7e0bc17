#include "sim_priority.h"

#include <QtGlobal>

#ifdef Q_OS_LINUX
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

void SimPriority::RaiseCallingThreadIfAsked()
{
    if (qEnvironmentVariableIsEmpty(kVariable))
        return;
#ifdef Q_OS_LINUX
    // A low real-time priority is enough to come before every ordinary thread; the family's thread
    // sleeps in poll() between requests, so it never holds a processor for long.
    sched_param param{};
    param.sched_priority = 5;
    if (pthread_setschedparam(pthread_self(), SCHED_RR, &param) == 0)
        return;
    // Without the right to real-time scheduling, ahead of the ordinary threads at least.
    setpriority(PRIO_PROCESS, id_t(syscall(SYS_gettid)), -10);
#endif
}
