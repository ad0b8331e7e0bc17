#include "window_log.h"

Q_LOGGING_CATEGORY(lcWindow, "upgrader.window")

void ShowBareConsoleLines()
{
    qSetMessagePattern(QStringLiteral("%{message}"));
}
