#pragma once

#include <QFont>

// The window's font. The form places every widget at a fixed pixel size, so the font is given in
// pixels too: a point size would grow with the desktop's DPI setting while the widgets do not.
QFont WindowFont();
