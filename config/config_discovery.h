#pragma once

#include "config_failure.h"

#include <QDir>
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

// Whether a folder offers a configuration at all: it holds a "*.json" file (DiscoverConfig then
// chooses among them, or says why it cannot).
bool HoldsConfig(const QDir &dir);

// The folders where the operator window looks for its configuration, in this order:
//  1. the program's own folder (a build folder, or a copy of the tool beside its files);
//  2. the current directory, except the home folder (where a desktop menu starts programs);
//  3. the user's configuration folder, $XDG_CONFIG_HOME/upgrader (~/.config/upgrader);
//  4. the machine's, /etc/upgrader (not on Windows).
QStringList WindowConfigFolders(const QString &program_folder, const QString &working_folder);

// The first of folders that holds a configuration; the first folder when none does (where the
// window then says that it found none).
QString ChooseConfigFolder(const QStringList &folders);
