#pragma once

#include <QLoggingCategory>

// The upgrade history's console lines. The store reports its failures to its caller as warning
// texts and writes no line of its own yet; what it writes later goes here.
Q_DECLARE_LOGGING_CATEGORY(lcHistory)
