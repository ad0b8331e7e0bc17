#include "elevated_start.h"

#ifdef Q_OS_WIN
#include <windows.h>

#include <shellapi.h>

ElevatedStart StartElevated(const QString &program)
{
    const QByteArray path = program.toLocal8Bit();  // the shell's 8-bit interface
    const auto result = reinterpret_cast<INT_PTR>(
        ShellExecuteA(nullptr, "runas", path.constData(), nullptr, nullptr, SW_SHOWNORMAL));
    return ElevatedStart{result > 32, int(result)};
}

#else
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

#include <cerrno>

namespace {

constexpr int kHelperUnavailable = 127;  // as a shell reports a command it cannot run

}  // namespace

ElevatedStart StartElevated(const QString &program)
{
    // Checked here because the helper's own verdict arrives only after this tool has quit.
    const QFileInfo info(program);
    if (!info.exists())
        return ElevatedStart{false, ENOENT};
    if (!info.isFile() || !info.isExecutable())
        return ElevatedStart{false, EACCES};

    const QString helper = QStandardPaths::findExecutable(QStringLiteral("pkexec"));
    if (helper.isEmpty())
        return ElevatedStart{false, kHelperUnavailable};
    // pkexec would otherwise run the program in root's home directory.
    const QStringList arguments = {QStringLiteral("--keep-cwd"), info.absoluteFilePath()};
    if (!QProcess::startDetached(helper, arguments, QDir::currentPath()))
        return ElevatedStart{false, kHelperUnavailable};
    return ElevatedStart{true, 0};
}

#endif
