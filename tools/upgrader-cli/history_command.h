#pragma once

struct CliOptions;
class CliOutput;

// `history`: the records of the upgrade history of this configuration (see
// HistoryStore::ReadLocation), as a table for a person, or JSON lines or CSV for a script, on
// standard output, and which file they came from (the table's last line; otherwise a line on
// standard error). Returns the exit code: 0 also when no record matches, kConfig when no
// configuration file is found, kFailed when the history file cannot be read.
int RunHistory(const CliOptions &options, CliOutput &output);
