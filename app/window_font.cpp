#include "window_font.h"

#include <QStringList>

namespace {

// One family for both languages, so Latin and Chinese captions match in weight and height.
// Noto Sans CJK SC (Debian's fonts-noto-cjk) has narrow Latin letters and the Simplified Chinese
// glyph forms; the others are CJK fonts often found on Linux desktops without it.
const char *const kFamilies[] = {"Noto Sans CJK SC", "WenQuanYi Micro Hei", "Droid Sans Fallback"};

// The tightest captions set the size: "Update success: 999" in the 101-pixel result line and
// "Base Go Boot" in an 81-pixel button. At 11 pixels, narrowed to 95 %, they keep a few pixels to
// spare; 12 pixels do not fit, and 10 make the Chinese captions hard to read.
constexpr int kPixelSize = 11;
constexpr int kStretchPercent = 95;

}  // namespace

QFont WindowFont()
{
    QStringList families;
    for (const char *family : kFamilies)
        families << QLatin1String(family);
    QFont font(families.first());
    font.setFamilies(families);
    font.setStyleHint(QFont::SansSerif);
    font.setPixelSize(kPixelSize);
    font.setStretch(kStretchPercent);
    return font;
}
