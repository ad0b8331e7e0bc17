#include "link_log.h"

#include <cstring>

Q_LOGGING_CATEGORY(lcLink, "upgrader.link")
Q_LOGGING_CATEGORY(lcCatalog, "upgrader.link.catalog")

bool IsUpgradeAccount(QtMsgType type, const char *category)
{
    static constexpr char kUpgrader[] = "upgrader.";
    if (!category || std::strncmp(category, kUpgrader, sizeof kUpgrader - 1) != 0)
        return false;
    if (type == QtDebugMsg || type == QtInfoMsg)
        return true;
    if (type != QtWarningMsg)
        return false;
    for (const char *set_up : kSetUpCategories) {
        if (std::strcmp(category, set_up) == 0)
            return false;
    }
    return true;
}
