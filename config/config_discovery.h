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
