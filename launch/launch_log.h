#pragma once

#include <QLoggingCategory>

// The launch's console lines: the wait for the link, the hardware-version query.
Q_DECLARE_LOGGING_CATEGORY(lcLaunch)
