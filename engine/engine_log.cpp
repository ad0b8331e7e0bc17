#include "engine_log.h"

Q_LOGGING_CATEGORY(lcEngine, "upgrader.engine")
