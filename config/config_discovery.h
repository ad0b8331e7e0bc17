#pragma once

#include "config_failure.h"

#include <QDir>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

// Which configuration file a directory offers: the only "*.json" file, or "config.json" when
// there are several.
struct ConfigDiscovery {
    QStringList debug_lines;  // "Found json: ..." and, on success, "Using ..."
    QString path;             // absolute path of the chosen file; empty on failure
    std::optional<ConfigFailure> failure;
};

ConfigDiscovery DiscoverConfig(const QDir &dir);

// How a folder offers its configuration.
enum class ConfigRule {
    // The program's own folder, as the tool always found its configuration: any "*.json" file
    // (DiscoverConfig then takes the only one, or "config.json" among several, or says why not).
    AnyJson,
    // A folder the package added (the current directory, the user's and the machine's
    // configuration folders), which may hold JSON files of other programs: only a file named
    // "config.json" is a configuration there; a folder without one is passed over.
    ConfigJsonOnly,
};

// Whether a folder offers a configuration by its rule.
bool HoldsConfig(const QDir &dir, ConfigRule rule = ConfigRule::AnyJson);

struct ConfigFolder {
    QString path;
    ConfigRule rule;

    bool operator==(const ConfigFolder &other) const { return path == other.path && rule == other.rule; }
};

// The folders where the operator window looks for its configuration, in this order:
//  1. the program's own folder (a build folder, or a copy of the tool beside its files), AnyJson;
//  2. the current directory, except the home folder (where a desktop menu starts programs);
//  3. the user's configuration folder, $XDG_CONFIG_HOME/upgrader (~/.config/upgrader);
//  4. the machine's, /etc/upgrader (not on Windows);
// the last three ConfigJsonOnly.
QList<ConfigFolder> WindowConfigFolders(const QString &program_folder, const QString &working_folder);

// The first of folders that offers a configuration by its rule; the first folder when none does
// (where the window then says that it found none).
QString ChooseConfigFolder(const QList<ConfigFolder> &folders);
