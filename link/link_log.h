#pragma once

#include <QLoggingCategory>

// The link's console lines: the port it could not open, the receive trace, the frame decoder.
Q_DECLARE_LOGGING_CATEGORY(lcLink)
// A simulator's catalog file that is ignored: a problem of the bench's set-up, not of a job.
Q_DECLARE_LOGGING_CATEGORY(lcCatalog)

// The categories whose warnings are problems of the station's set-up, told whatever a program's
// verbosity: a simulator's catalog file ignored, an upgrade history its folder's group cannot
// share.
inline constexpr const char *kSetUpCategories[] = {"upgrader.link.catalog", "upgrader.history"};

// Whether a console line is part of the account the upgrade gives of itself: a line of the
// "upgrader." categories, whatever its level (a trace, a milestone, a failure its layers met),
// but the warnings of kSetUpCategories. A program that keeps this account to itself, or shows it
// only on request, still tells the set-up's problems.
bool IsUpgradeAccount(QtMsgType type, const char *category);
