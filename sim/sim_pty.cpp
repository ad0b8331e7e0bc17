#include "sim_pty.h"

#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

SimPty::SimPty()
{
    char name[128] = {};
    if (openpty(&master_fd, &slave_fd, name, nullptr, nullptr) != 0) {
        master_fd = slave_fd = -1;
        return;
    }
    termios tio {};
    tcgetattr(slave_fd, &tio);
    cfmakeraw(&tio);
    tcsetattr(slave_fd, TCSANOW, &tio);
    fcntl(master_fd, F_SETFL, fcntl(master_fd, F_GETFL) | O_NONBLOCK);
    fcntl(master_fd, F_SETFD, FD_CLOEXEC);
    fcntl(slave_fd, F_SETFD, FD_CLOEXEC);
    path = QString::fromLocal8Bit(name);
}

SimPty::~SimPty()
{
    Close();
}

void SimPty::Close()
{
    if (master_fd >= 0)
        ::close(master_fd);
    if (slave_fd >= 0)
        ::close(slave_fd);
    master_fd = slave_fd = -1;
}
