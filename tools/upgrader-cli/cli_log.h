#pragma once

#include <QLoggingCategory>

// The command's own console lines: the configuration it found, a launch's refusal.
Q_DECLARE_LOGGING_CATEGORY(lcCommand)

// Which console lines the command writes: the upgrade's own account (IsUpgradeAccount: every
// line of the "upgrader." categories, whatever its level) and the debug lines of no category
// only when verbose; the set-up's problems and the warnings of Qt and the system always. Rules
// of the environment's QT_LOGGING_RULES still take precedence, as everywhere in Qt.
void SelectCommandLines(bool verbose);
