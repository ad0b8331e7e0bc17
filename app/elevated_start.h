#pragma once

#include <QString>

// Starting the end-of-line test program with elevated rights, detached from this tool, in the
// current directory: the one platform-specific step of the hand-over.
//
// Windows: the shell's "runas" verb; the shell asks for confirmation and its result tells
// whether the program started (code > 32) or why not.
// Linux: the desktop's privilege helper, pkexec (with --keep-cwd, polkit 121 or later). A
// start counts as successful once the helper is running with an existing executable program;
// the password dialog and anything after it belong to the helper, which outlives this tool.
// Failure codes: ENOENT (2) program missing, EACCES (13) not an executable file,
// 127 the helper is not installed or could not be started.
struct ElevatedStart {
    bool started = false;
    int code = 0;  // the platform's code, for the console line on failure
};

ElevatedStart StartElevated(const QString &program);
