#pragma once

#include <QString>

// The language the operator texts are worded in. The window's switch and the configuration's
// is_english choose it, or the command's --lang.
enum class Language { Chinese, English };

// An operator text as its Chinese and English wording side by side. There is no translation
// catalogue: the language in force picks one of the two at the moment of showing.
struct Bilingual {
    const char *zh;
    const char *en;

    QString In(Language language) const { return QString::fromUtf8(language == Language::Chinese ? zh : en); }
};
