#pragma once

#include "config_failure.h"
#include "firmware_entry.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

// The configuration's "trusted_keys" as written: its texts in order, and whether the value was
// the list of texts it must be.
struct TrustedKeyList {
    QStringList entries;
    bool sound = true;  // false: not an array, or an element that is not text
};

// The configuration's "line_guard": a job is refused when, in the last window_hours, the line ran
// at least min_jobs jobs with its image and more than max_failure_rate of them failed.
struct LineGuardSettings {
    double window_hours = 24;
    int min_jobs = 10;
    double max_failure_rate = 0.2;
    bool sound = true;  // false: not an object, or a member of the wrong type or out of range
};

// The window settings a file sets; a key that is absent leaves the window's value alone.
struct ConfigSettings {
    std::optional<QString> eol_path;     // "eol_path": the end-of-line test program
    std::optional<bool> is_english;      // "is_english": true selects the English texts
    std::optional<bool> check_boot_ver;  // "check_boot_ver": kept, consulted by nothing
    // "history_server": the line's PostgreSQL server, a libpq connection string or URI, where
    // every station's upgrade records meet (read before "firmware", so a file that fails later
    // still names it for the records already waiting).
    std::optional<QString> history_server;
    // "trusted_keys": the public keys whose signatures make an image acceptable, each a key file
    // (relative to the configuration's folder) or a key's text. Present: images must be signed by
    // one of them. A value of the wrong type is kept as present and unsound, so that a mistyped list
    // refuses every image rather than let unsigned ones through.
    std::optional<TrustedKeyList> trusted_keys;
    // "line_guard": halt an image that fails too often on the line (asked of "history_server").
    std::optional<LineGuardSettings> line_guard;
};

// A value of the wrong JSON type (or out of its range): it reads as the empty value of its type,
// as the window reads it, and a stricter reader (the command) can refuse the file for it.
struct ConfigTypeProblem {
    QString field;        // where: "firmware.Meter.series[0].section_len"
    QString expected_en;  // what belongs there: "a whole number of 0 or more"
    QString expected_zh;
    QString found;        // the value as written, in JSON: "\"four\"", "-1"
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
    // Values read as empty for their wrong type, in file order of the checks; no failure.
    QList<ConfigTypeProblem> type_problems;

    bool Ok() const { return !failure.has_value(); }
};

// Reads and checks the configuration file at path. Any file content is safe to hand in.
ConfigRead ReadConfig(const QString &path);

// Checks configuration text already in memory, as ReadConfig does after reading the file.
// Any bytes are safe to hand in.
ConfigRead ParseConfig(const QByteArray &bytes);
