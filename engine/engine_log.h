#pragma once

#include <QLoggingCategory>

// The engine's console lines: the upgrade sequence, the image it reads, the status poll and the
// manual switch.
Q_DECLARE_LOGGING_CATEGORY(lcEngine)
