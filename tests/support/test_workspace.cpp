#include "test_workspace.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

TestWorkspace::TestWorkspace(const QByteArray &config) : previous(QDir::currentPath())
{
    if (!config.isEmpty())
        Write(QStringLiteral("config.json"), config);
    QDir::setCurrent(dir.path());
}

TestWorkspace::~TestWorkspace()
{
    QDir::setCurrent(previous);
}

QString TestWorkspace::Path(const QString &name) const
{
    return QDir(dir.path()).filePath(name);
}

void TestWorkspace::Write(const QString &name, const QByteArray &bytes, bool executable) const
{
    QDir().mkpath(QFileInfo(Path(name)).path());
    QFile file(Path(name));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size())
        qFatal("cannot write %s", qPrintable(name));
    if (executable)
        file.setPermissions(file.permissions() | QFileDevice::ExeOwner);
}
