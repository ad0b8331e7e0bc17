#pragma once

#include <QLoggingCategory>

// The command's own console lines: the configuration it found, a launch's refusal.
Q_DECLARE_LOGGING_CATEGORY(lcCommand)

// Which console lines the command writes: the upgrade's (every "upgrader." category, and lines
// of no category) only when verbose; warnings always. Rules of the environment's
// QT_LOGGING_RULES still take precedence, as everywhere in Qt.
void SelectCommandLines(bool verbose);
