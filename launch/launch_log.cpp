#include "launch_log.h"

Q_LOGGING_CATEGORY(lcLaunch, "upgrader.launch")
