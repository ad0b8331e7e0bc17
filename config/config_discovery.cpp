#include "config_discovery.h"

#include <QFileInfo>
#include <QStandardPaths>

#include <algorithm>

namespace {

const QString kConfigPattern = QStringLiteral("*.json");
// The configuration's own name: the one taken among several, and the only one a folder the
// package added offers.
const QString kConfigName = QStringLiteral("config.json");

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
        if (!names.contains(kConfigName, Qt::CaseSensitive)) {
            found.failure = kNoConfigJson;
            return found;
        }
        chosen = QStringLiteral("./config.json");
    }
    found.debug_lines << QStringLiteral("Using ") + chosen;
    found.path = QDir::cleanPath(dir.absoluteFilePath(chosen));
    return found;
}

bool HoldsConfig(const QDir &dir, ConfigRule rule)
{
    if (rule == ConfigRule::ConfigJsonOnly)
        return QFileInfo(dir.filePath(kConfigName)).isFile();
    return !dir.entryList({kConfigPattern}, QDir::Files, QDir::Unsorted).isEmpty();
}

QList<ConfigFolder> WindowConfigFolders(const QString &program_folder, const QString &working_folder)
{
    QList<ConfigFolder> folders{{QDir::cleanPath(program_folder), ConfigRule::AnyJson}};
    auto add = [&](const QString &path) {
        const QString clean = QDir::cleanPath(path);
        const bool listed = std::any_of(folders.cbegin(), folders.cend(),
                                        [&](const ConfigFolder &folder) { return folder.path == clean; });
        if (!listed)
            folders.append({clean, ConfigRule::ConfigJsonOnly});
    };
    // Started from a desktop menu the window runs in the home folder, whose stray "*.json"
    // files are no configuration of ours.
    if (QDir(working_folder) != QDir(QDir::homePath()))
        add(working_folder);
    const QString user = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    if (!user.isEmpty())
        add(user + QStringLiteral("/upgrader"));
#ifndef Q_OS_WIN
    add(QStringLiteral("/etc/upgrader"));
#endif
    return folders;
}

QString ChooseConfigFolder(const QList<ConfigFolder> &folders)
{
    for (const ConfigFolder &folder : folders) {
        if (HoldsConfig(QDir(folder.path), folder.rule))
            return folder.path;
    }
    return folders.isEmpty() ? QString() : folders.first().path;
}
