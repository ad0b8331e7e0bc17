#include "cli_log.h"

Q_LOGGING_CATEGORY(lcCommand, "upgrader.command")

void SelectCommandLines(bool verbose)
{
    // Switched off at the source: a quiet job does not even format its sequence's lines.
    QLoggingCategory::setFilterRules(verbose ? QStringLiteral("upgrader.*.debug=true\n"
                                                              "upgrader.*.info=true")
                                             : QStringLiteral("upgrader.*.debug=false\n"
                                                              "upgrader.*.info=false\n"
                                                              "default.debug=false\n"
                                                              "default.info=false"));
}
