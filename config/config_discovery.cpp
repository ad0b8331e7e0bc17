#include "config_discovery.h"

#include <QStandardPaths>

namespace {

const QString kConfigPattern = QStringLiteral("*.json");

const ConfigFailure kNoJsonFile = {
    QString::fromUtf8("当前目录未找到json配置文件!"),
    QString::fromUtf8("当前目录未找到json配置文件!"),
    QStringLiteral("No valid configuration file!")};
const ConfigFailure kNoConfigJson = {
    QString::fromUtf8("当前目录未找到config.json!"),
    QString::fromUtf8("当前目录未找到\"config.json\"!"),
    QStringLiteral("\"config.json\" not found!")};

}  // namespace

ConfigDiscovery DiscoverConfig(const QDir &dir)
{
    ConfigDiscovery found;
    // The pattern matches any letter case; hidden files are skipped; the directory's own order.
    const QStringList names =
        dir.entryList({kConfigPattern}, QDir::Files, QDir::Unsorted);

    QString line = QStringLiteral("Found json: ");
    for (const QString &name : names)
        line += QLatin1Char(' ') + name;
    found.debug_lines << line;

    QString chosen;
    if (names.isEmpty()) {
        found.failure = kNoJsonFile;
        return found;
    }
    if (names.size() == 1) {
        chosen = names.first();
    } else {
        // With several files only the exact name counts: "Config.json" is not it.
        if (!names.contains(QStringLiteral("config.json"), Qt::CaseSensitive)) {
            found.failure = kNoConfigJson;
            return found;
        }
        chosen = QStringLiteral("./config.json");
    }
    found.debug_lines << QStringLiteral("Using ") + chosen;
    found.path = QDir::cleanPath(dir.absoluteFilePath(chosen));
    return found;
}

bool HoldsConfig(const QDir &dir)
{
    return !dir.entryList({kConfigPattern}, QDir::Files, QDir::Unsorted).isEmpty();
}

QStringList WindowConfigFolders(const QString &program_folder, const QString &working_folder)
{
    QStringList folders{QDir::cleanPath(program_folder)};
    const QString working = QDir::cleanPath(working_folder);
    // Started from a desktop menu the window runs in the home folder, whose stray "*.json"
    // files are no configuration of ours.
    if (QDir(working) != QDir(QDir::homePath()))
        folders << working;
    const QString user = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    if (!user.isEmpty())
        folders << QDir::cleanPath(user + QStringLiteral("/upgrader"));
#ifndef Q_OS_WIN
    folders << QStringLiteral("/etc/upgrader");
#endif
    folders.removeDuplicates();
    return folders;
}

QString ChooseConfigFolder(const QStringList &folders)
{
    for (const QString &folder : folders) {
        if (HoldsConfig(QDir(folder)))
            return folder;
    }
    return folders.value(0);
}
