#pragma once

struct CliOptions;
class CliOutput;

// `history`: the records of the upgrade history that the jobs of this configuration wrote (see
// HistoryStore::Location), as a table for a person, or JSON lines or CSV for a script, on standard
// output. Returns the exit code: 0 also when no record matches, kConfig when no configuration file
// is found, kFailed when the history file cannot be read.
int RunHistory(const CliOptions &options, CliOutput &output);
