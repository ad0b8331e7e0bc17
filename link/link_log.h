#pragma once

#include <QLoggingCategory>

// The link's console lines: the port it could not open, the receive trace, the frame decoder.
Q_DECLARE_LOGGING_CATEGORY(lcLink)
