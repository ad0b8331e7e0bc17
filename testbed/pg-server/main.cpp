// A PostgreSQL server of its own for a script (the Windows command's line's server under Wine):
// a fresh cluster (LocalPgServer), its TCP connection string printed on one line once it takes
// connections; stopped and removed when standard input closes or on a stop signal, so that a
// script that ends in any way leaves no server behind.
//
// local_pg_server     exit 0 once stopped; 1 when the server cannot start or stop
#include "local_pg_server.h"

#include <QCoreApplication>

#include <csignal>
#include <cstdio>
#include <thread>

#include <pthread.h>
#include <unistd.h>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    // Blocked in every thread: the stop signals are taken below, one at a time, by sigwait.
    sigset_t stops;
    sigemptyset(&stops);
    for (int signal : {SIGINT, SIGTERM, SIGHUP})
        sigaddset(&stops, signal);
    pthread_sigmask(SIG_BLOCK, &stops, nullptr);

    LocalPgServer pg;
    QString error;
    if (!pg.Start(&error)) {
        std::fprintf(stderr, "local_pg_server: %s\n", qPrintable(error));
        return 1;
    }
    std::printf("%s\n", qPrintable(pg.TcpConnection()));
    std::fflush(stdout);

    // The script's end closes the pipe: that stops the server as a signal would.
    std::thread([] {
        char buffer[256];
        while (read(STDIN_FILENO, buffer, sizeof buffer) > 0) {
        }
        kill(getpid(), SIGTERM);
    }).detach();
    int signal = 0;
    sigwait(&stops, &signal);
    if (!pg.Stop(&error)) {
        std::fprintf(stderr, "local_pg_server: %s\n", qPrintable(error));
        return 1;
    }
    return 0;
}
