#include "link_log.h"

Q_LOGGING_CATEGORY(lcLink, "upgrader.link")
