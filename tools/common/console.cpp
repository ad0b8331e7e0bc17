#include "console.h"

#include <QtGlobal>

#ifdef Q_OS_WIN
#include <windows.h>

#include <io.h>

#include <cstdio>

bool StdoutIsTerminal()
{
    return _isatty(_fileno(stdout)) != 0;
}

int TerminalColumns()
{
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info))
        return 0;
    return info.srWindow.Right - info.srWindow.Left + 1;
}

void IgnoreBrokenPipe() {}  // a console program on Windows gets no signal for it

#else
#include <sys/ioctl.h>
#include <unistd.h>

#include <csignal>

bool StdoutIsTerminal()
{
    return isatty(STDOUT_FILENO) != 0;
}

int TerminalColumns()
{
    winsize size{};
    return ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 ? size.ws_col : 0;
}

void IgnoreBrokenPipe()
{
    std::signal(SIGPIPE, SIG_IGN);
}

#endif
