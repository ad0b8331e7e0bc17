#pragma once

#include <QString>

// An operator text as its Chinese and English wording side by side. There is no translation
// catalogue: the language in force picks one of the two at the moment of showing.
struct Bilingual {
    const char *zh;
    const char *en;

    QString In(bool chinese) const { return QString::fromUtf8(chinese ? zh : en); }
};
