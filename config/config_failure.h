#pragma once

#include "bilingual.h"

#include <QString>

// Why the configuration could not be used: the console line and the operator's warning in
// both languages. The caller picks the language in force when it shows the warning.
struct ConfigFailure {
    QString debug_line;
    QString zh;
    QString en;

    const QString &Warning(Language language) const { return language == Language::Chinese ? zh : en; }
};
