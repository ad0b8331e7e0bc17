#pragma once

#include "config_failure.h"
#include "firmware_entry.h"

#include <QString>
#include <QStringList>

#include <optional>

// The configuration a command works with, found and read as the window finds and reads its own.
struct CliConfig {
    QString path;            // absolute; empty when none was found
    FirmwareEntries entries;
    bool chinese = false;    // the language of refusals and results
    // The line's history server in force (the environment's, else the file's "history_server");
    // empty when none. Read also from a file that fails further on.
    QString history_server;
    std::optional<ConfigFailure> failure;
};

// Reads the given file, or the one the current directory offers when given is empty. The
// language is lang when set, else the file's is_english (English when the file does not say,
// or could not be read). The console lines of discovery and reading go to the debug output.
CliConfig ReadCliConfig(const QString &given, std::optional<bool> lang);
