#pragma once

#include <QString>

class QWidget;

// Starting the end-of-line test program with elevated rights, in the current directory: the one
// platform-specific step of the hand-over. `started` means the program ran with those rights and
// the tool may end; otherwise `code` says why not, for the console line.
//
// Windows: the shell's "runas" verb; the shell asks for confirmation and its result tells
// whether the program started (code > 32) or why not. `window` is not used.
//
// Linux, already root: the program is spawned directly and the tool may end at once.
// Linux, otherwise: the desktop's privilege helper, pkexec (with --keep-cwd, polkit 121 or
// later). pkexec refuses to act for a process whose parent has gone and tells its verdict only
// through its exit status, so the tool stays its parent: `window` is hidden while the helper
// runs (the event loop keeps running meanwhile) and shown again when the helper fails. pkexec
// replaces itself with the program, so the wait lasts until the program has ended.
// Failure codes: ENOENT (2) program missing, EACCES (13) not an executable file, another errno
// when the kernel refuses to run it, 126 not authorised or the operator dismissed the
// authentication, 127 no helper, no polkit authority or the helper refused, 128 + n the helper
// or the program was ended by signal n.
struct ElevatedStart {
    bool started = false;
    int code = 0;  // the platform's code, for the console line on failure
};

ElevatedStart StartElevated(const QString &program, QWidget *window);

#ifndef Q_OS_WIN
// Whether this process already holds the rights the program needs (by default: its effective
// user is root). Tests choose each answer; nullptr restores the real check.
using PrivilegeCheck = bool (*)();
void SetPrivilegeCheck(PrivilegeCheck check);
#endif
