#include "unprivileged.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

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
#ifdef Q_OS_UNIX
    return geteuid() == 0;
#else
    // Windows has no root that passes every check: an administrator's rights still meet a
    // file's access list.
    return false;
#endif
}

bool Available()
{
    return !Setpriv().isEmpty();
}

QString RunCase(const char *function, const char *tag, const QString &groups)
{
    // The child's home: QStandardPaths and Qt's own caches must find a folder it may write.
    QTemporaryDir home;
    QFile::setPermissions(home.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner |
                                           QFileDevice::ReadOther | QFileDevice::WriteOther | QFileDevice::ExeOther);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("HOME"), home.path());
    environment.remove(QStringLiteral("XDG_DATA_HOME"));
    environment.remove(QStringLiteral("XDG_RUNTIME_DIR"));

    // The build tree may sit where nobody may not go (below /root): the child runs from a copy of
    // this program, and the leak checker from a copy of its suppressions. The program links our
    // libraries statically, so the copy needs nothing else from the tree.
    const QString program = QDir(home.path()).filePath(QStringLiteral("case"));
    if (!QFile::copy(QCoreApplication::applicationFilePath(), program))
        return QStringLiteral("cannot copy the test program to ") + program;
    QFile::setPermissions(program, QFileDevice::ReadOwner | QFileDevice::ExeOwner | QFileDevice::ReadOther |
                                       QFileDevice::ExeOther);
    static const QRegularExpression suppressions(QStringLiteral("suppressions=([^:]+)"));
    const QString leak_options = environment.value(QStringLiteral("LSAN_OPTIONS"));
    const QRegularExpressionMatch match = suppressions.match(leak_options);
    if (match.hasMatch()) {
        const QString copy = QDir(home.path()).filePath(QStringLiteral("lsan.supp"));
        QFile::copy(match.captured(1), copy);
        QFile::setPermissions(copy, QFileDevice::ReadOwner | QFileDevice::ReadOther);
        environment.insert(QStringLiteral("LSAN_OPTIONS"),
                           QString(leak_options).replace(match.capturedStart(1), match.capturedLength(1), copy));
    }

    QProcess child;
    child.setProcessEnvironment(environment);
    child.setWorkingDirectory(home.path());
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.start(Setpriv(), {QStringLiteral("--reuid=%1").arg(kNobody), QStringLiteral("--regid=%1").arg(kNobody),
                            groups.isEmpty() ? QStringLiteral("--clear-groups") : QStringLiteral("--groups=") + groups,
                            QStringLiteral("--"), program,
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
