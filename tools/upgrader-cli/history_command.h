#pragma once

struct CliOptions;
class CliOutput;

// `history`: the records of the upgrade history of this configuration (see
// HistoryStore::ReadLocation), as a table for a person, or JSON lines or CSV for a script, on
// standard output, and which file they came from (the table's last line; otherwise a line on
// standard error). Returns the exit code: 0 also when no record matches, kConfig when no
// configuration file is found, kFailed when the history file cannot be read.
// With --server the records of every station from the line's server instead (with --summary,
// per day and target), named by the server's host and database: kConfig when no server is
// configured or its connection string is not usable, kFailed when the server cannot be read,
// the stop's code when a stop signal ended the wait for it. Under --json every exit but a
// success ends with a "result" line.
int RunHistory(const CliOptions &options, CliOutput &output);

// `history sync`: sends what waits in this station's history (the file its jobs write) to the
// line's server now, and says how many records were sent and how many wait. kSuccess when
// nothing waits after it, kFailed when records still wait, kConfig without a configuration
// file or a usable server, the stop's code when a stop signal ended it (the records that were
// not sent wait). Under --json it ends with a "result" line whatever its exit.
int RunHistorySync(const CliOptions &options, CliOutput &output);

// `line release SHA` and `line status SHA`: a supervisor's release of an image the line's guard
// halted, recorded on the line's server with who, when, from which host and why; and how the
// image stands under the configured guard, with its releases. The image is its SHA-256, or a
// unique prefix of it (8 hex digits or more) among the line's records. kConfig when no server is
// configured or its connection string is not usable, kFailed when the server cannot be reached or
// refuses, kUsage when a prefix names no image or several; status ends with kHalted when the
// guard halts the image.
int RunLine(const CliOptions &options, CliOutput &output);
