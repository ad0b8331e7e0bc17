#include "unprivileged.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <unistd.h>

namespace {

constexpr char kNobody[] = "65534";
constexpr int kCaseMs = 120000;

QString Setpriv()
{
    return QStandardPaths::findExecutable(QStringLiteral("setpriv"));
}

}  // namespace

namespace Unprivileged {

bool Needed()
{
    return geteuid() == 0;
}

bool Available()
{
    return !Setpriv().isEmpty();
}

QString RunCase(const char *function, const char *tag)
{
    // The child's home: QStandardPaths and Qt's own caches must find a folder it may write.
    QTemporaryDir home;
    QFile::setPermissions(home.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner |
                                           QFileDevice::ReadOther | QFileDevice::WriteOther | QFileDevice::ExeOther);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("HOME"), home.path());
    environment.remove(QStringLiteral("XDG_DATA_HOME"));
    environment.remove(QStringLiteral("XDG_RUNTIME_DIR"));
    QProcess child;
    child.setProcessEnvironment(environment);
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.start(Setpriv(), {QStringLiteral("--reuid=%1").arg(kNobody), QStringLiteral("--regid=%1").arg(kNobody),
                            QStringLiteral("--clear-groups"), QStringLiteral("--"),
                            QCoreApplication::applicationFilePath(),
                            QStringLiteral("%1:%2").arg(QLatin1String(function), QLatin1String(tag))});
    if (!child.waitForFinished(kCaseMs)) {
        child.kill();
        child.waitForFinished();
        return QStringLiteral("the unprivileged case did not end: ") + QString::fromLocal8Bit(child.readAll());
    }
    const QString output = QString::fromLocal8Bit(child.readAll());
    if (child.exitStatus() != QProcess::NormalExit || child.exitCode() != 0)
        return output.isEmpty() ? QStringLiteral("the unprivileged case failed") : output;
    // QtTest selects by name: a case that matched nothing would pass without having run.
    if (!output.contains(QStringLiteral("PASS   : ")) ||
        !output.contains(QStringLiteral("::%1(%2)").arg(QLatin1String(function), QLatin1String(tag))))
        return QStringLiteral("the unprivileged case did not run: ") + output;
    return QString();
}

}  // namespace Unprivileged
