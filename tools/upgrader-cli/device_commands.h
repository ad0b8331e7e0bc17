#pragma once

struct CliOptions;
class CliOutput;

// `list`: every configured target as one status poll with details reads it. Returns the exit code.
int RunList(const CliOptions &options, CliOutput &output);

// `switch app|boot`: the manual switch of the base, then the status poll until the base reports
// the mode asked for (bounded; SIGINT and SIGTERM end the wait). Returns the exit code.
int RunSwitch(const CliOptions &options, CliOutput &output);
