#pragma once

#include "bilingual.h"

// The window's operator texts; the language flag picks the wording.

// A widget's caption in both languages, by the widget's object name.
struct Caption {
    const char *object_name;
    Bilingual text;
};

namespace WindowTexts {

// The thirteen captions that follow the language, in form order. The form's own defaults are
// the Chinese ones; the English target captions are two lines.
extern const Caption kCaptions[13];

extern const Bilingual kConfigInvalid;
extern const Bilingual kNotUpgrading;
extern const Bilingual kUpdateFailed;
extern const Bilingual kUpdateSuccess;  // %1: the count of consecutive successes
extern const Bilingual kUpdating[3];    // the activity text, one to three dots

}  // namespace WindowTexts
