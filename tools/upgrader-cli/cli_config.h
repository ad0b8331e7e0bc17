#pragma once

#include "config_failure.h"
#include "config_reader.h"
#include "firmware_entry.h"

#include <QString>
#include <QStringList>

#include <optional>

// The configuration a command works with, found and read as the window finds and reads its own.
struct CliConfig {
    QString path;            // absolute; empty when none was found
    FirmwareEntries entries;
    Language language = Language::English;  // of refusals and results
    // The line's history server in force (the environment's, else the file's "history_server");
    // empty when none. Read also from a file that fails further on.
    QString history_server;
    // The keys images must be signed by ("trusted_keys"); absent: no signature is asked for.
    std::optional<TrustedKeyList> trusted_keys;
    // "line_guard": halt an image that fails too often on the line; unset: no guard.
    std::optional<LineGuardSettings> line_guard;
    std::optional<ConfigFailure> failure;
};

// Reads the given file, or the one the current directory offers when given is empty. The
// language is lang when set, else the file's is_english (English when the file does not say, says
// it with something other than true or false, or could not be read: an is_english of the wrong
// type is a configuration error, told in both languages when no lang was given). Beyond the
// window's checks, a value of the wrong type, and a dev_id that is no device of the family, are
// configuration errors naming the file and the field. The console lines of discovery and reading
// go to the debug output.
CliConfig ReadCliConfig(const QString &given, std::optional<Language> lang);

// What keeps a configuration that reads well from upgrading target, said before any device is
// asked (a retry could not help): no entry for it, an entry with no firmware variant, or a device
// id the upgrade cannot reach. Names the file, the target and the field; none when it can.
std::optional<ConfigFailure> UpgradeConfigProblem(const CliConfig &config, const QString &target);
