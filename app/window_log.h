#pragma once

#include <QLoggingCategory>

// The window's own console lines: the configuration it found or refused, the end-of-line test
// program's start, a job still running when the window closes. The engine's lines for the
// operator reach the log pane by its PushLogMsg signal, never through the console.
Q_DECLARE_LOGGING_CATEGORY(lcWindow)

// The console shows every line exactly as written: Qt's default message pattern would put the
// category's name in front of the lines of the categories above. Called once, at the start.
void ShowBareConsoleLines();
