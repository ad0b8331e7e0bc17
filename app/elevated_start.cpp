#include "elevated_start.h"

#include "window_log.h"

#ifdef Q_OS_WIN
#include <windows.h>

#include <shellapi.h>

ElevatedStart StartElevated(const QString &program, QWidget * /*window: the shell returns at once*/)
{
    const QByteArray path = program.toLocal8Bit();  // the shell's 8-bit interface
    const auto result = reinterpret_cast<INT_PTR>(
        ShellExecuteA(nullptr, "runas", path.constData(), nullptr, nullptr, SW_SHOWNORMAL));
    return ElevatedStart{result > 32, int(result)};
}

#else
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QPointer>
#include <QProcess>
#include <QStandardPaths>
#include <QWidget>

#include <cerrno>
#include <memory>

#include <spawn.h>
#include <unistd.h>

extern char **environ;

namespace {

// pkexec's own failures; any other status is the program's, passed through by the helper.
constexpr int kHelperNotAuthorised = 126;  // not authorised, or the operator dismissed the dialog
constexpr int kHelperUnavailable = 127;    // no helper, no polkit authority, or the helper refused
constexpr int kSignalBase = 128;           // as a shell reports a process ended by a signal

bool RunsAsRoot()
{
    return geteuid() == 0;
}

PrivilegeCheck privilege_check = &RunsAsRoot;

// Helpers still running when the application ends under the wait: destroying their QProcess
// would kill them and wait, so they are let go, and kept reachable (never destroyed, not even at
// exit) for the process's life.
QList<QProcess *> &LetGo()
{
    static auto *helpers = new QList<QProcess *>;
    return *helpers;
}

// With the rights already held, the program needs no helper and no parent: the tool ends right
// after the kernel accepted it, as it does after the shell's "runas".
ElevatedStart SpawnDirectly(const QString &program)
{
    const QByteArray path = QFile::encodeName(program);
    char *const argv[] = {const_cast<char *>(path.constData()), nullptr};
    pid_t pid = 0;
    // posix_spawn reports a refused exec (a file that is no program, a missing interpreter) by
    // its errno, which the console line then carries.
    const int error = posix_spawn(&pid, path.constData(), nullptr, nullptr, argv, environ);
    return ElevatedStart{error == 0, error};
}

ElevatedStart StartThroughHelper(const QString &program, QWidget *window)
{
    const QString helper = QStandardPaths::findExecutable(QStringLiteral("pkexec"));
    if (helper.isEmpty())
        return ElevatedStart{false, kHelperUnavailable};

    auto process = std::make_unique<QProcess>();
    process->setProgram(helper);
    // pkexec would otherwise run the program in root's home directory.
    process->setArguments({QStringLiteral("--keep-cwd"), program});
    // Its refusals, and its password prompt when no graphical agent runs, belong on the console.
    process->setProcessChannelMode(QProcess::ForwardedChannels);
    process->setInputChannelMode(QProcess::ForwardedInputChannel);
    process->start();
    if (!process->waitForStarted())
        return ElevatedStart{false, kHelperUnavailable};

    // No deadline: the operator may take their time over the password, and the test program
    // as long as it needs. The console names what the hidden tool waits for.
    qCInfo(lcWindow).noquote() << QStringLiteral("Waiting for %1 (pid %2) to run %3")
                                      .arg(helper)
                                      .arg(process->processId())
                                      .arg(program);
    const QPointer<QWidget> hidden = window && window->isVisible() ? window : nullptr;
    if (hidden)
        hidden->hide();

    // A local loop, not a blocking wait: the engine's timers live in this thread.
    QEventLoop wait;
    QObject::connect(process.get(), qOverload<int, QProcess::ExitStatus>(&QProcess::finished), &wait,
                     &QEventLoop::quit);
    wait.exec();

    if (process->state() != QProcess::NotRunning) {
        // The application is ending under the wait. An authentication still in progress ends
        // with it (the signal reaches pkexec while it runs with this user's real id); a program
        // already running as root cannot be signalled and keeps running, as after "runas".
        process->terminate();
        LetGo() << process.release();
        return ElevatedStart{false, EINTR};
    }

    const bool crashed = process->exitStatus() == QProcess::CrashExit;
    const int code = crashed ? kSignalBase + process->exitCode() : process->exitCode();
    // A signal may have ended the helper before the program ever ran: not counted as a start.
    if (!crashed && code != kHelperNotAuthorised && code != kHelperUnavailable)
        return ElevatedStart{true, 0};
    if (hidden)
        hidden->show();
    return ElevatedStart{false, code};
}

}  // namespace

ElevatedStart StartElevated(const QString &program, QWidget *window)
{
    // Checked first, so the operator is never asked for a password for a program that cannot run.
    const QFileInfo info(program);
    if (!info.exists())
        return ElevatedStart{false, ENOENT};
    if (!info.isFile() || !info.isExecutable())
        return ElevatedStart{false, EACCES};

    if (privilege_check())
        return SpawnDirectly(info.absoluteFilePath());
    return StartThroughHelper(info.absoluteFilePath(), window);
}

void SetPrivilegeCheck(PrivilegeCheck check)
{
    privilege_check = check ? check : &RunsAsRoot;
}

#endif
