#pragma once

#include "config_failure.h"
#include "firmware_entry.h"

#include <QByteArray>
#include <QString>

#include <optional>

// The window settings a file sets; a key that is absent leaves the window's value alone.
struct ConfigSettings {
    std::optional<QString> eol_path;     // "eol_path": the end-of-line test program
    std::optional<bool> is_english;      // "is_english": true selects the English texts
    std::optional<bool> check_boot_ver;  // "check_boot_ver": kept, consulted by nothing
};

// What one reading of the configuration file gave. On a failure everything read before it
// is still here: the settings, and the entries stored before the failing target name.
struct ConfigRead {
    ConfigSettings settings;
    // True once the "firmware" object was reached: `entries` then replaces the window's table,
    // even when a later target fails. False leaves the window's table as it was.
    bool firmware_read = false;
    FirmwareEntries entries;
    std::optional<ConfigFailure> failure;

    bool Ok() const { return !failure.has_value(); }
};

// Reads and checks the configuration file at path. Any file content is safe to hand in.
ConfigRead ReadConfig(const QString &path);

// Checks configuration text already in memory, as ReadConfig does after reading the file.
// Any bytes are safe to hand in.
ConfigRead ParseConfig(const QByteArray &bytes);
