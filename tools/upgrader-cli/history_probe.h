#pragma once

#include <QString>

// Whether the upgrade history at database can take a record now, asked before a job so that a
// run that needs its record (--require-history) is refused before anything reaches the unit.
// Empty when it can; otherwise the warning an append would give (naming the file and why).
// A file that exists is asked in a write transaction, as an append is; a file still to be made
// needs a folder (or the nearest existing folder above it) that takes new files.
QString HistoryWriteProblem(const QString &database);
