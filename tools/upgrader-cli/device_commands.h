#pragma once

#include "firmware_entry.h"
#include "launch_checks.h"
#include "port_catalog.h"

#include <QList>
#include <QString>

struct CliOptions;
class CliOutput;

// `list`: the station, one block per attached base (unit): its port, USB location and serial
// number, its mode, and every configured device behind it as one status poll with details reads
// it; a unit whose port another program holds is shown busy. Returns the exit code.
int RunList(const CliOptions &options, CliOutput &output);

// `switch app|boot`: the manual switch of the base, then the status poll until the base reports
// the mode asked for (bounded; SIGINT and SIGTERM end the wait). A base already in that mode is
// left alone. Returns the exit code.
int RunSwitch(const CliOptions &options, CliOutput &output);

