#include "cli_log.h"

#include "link_log.h"

Q_LOGGING_CATEGORY(lcCommand, "upgrader.command")

void SelectCommandLines(bool verbose)
{
    if (verbose) {
        QLoggingCategory::setFilterRules(QStringLiteral("upgrader.*.debug=true\n"
                                                        "upgrader.*.info=true\n"
                                                        "upgrader.*.warning=true"));
        return;
    }
    // Switched off at the source: a quiet job does not even format its sequence's lines. A quiet
    // command says what failed in its own words, so the failures its layers write as warnings
    // stay off with the rest of their account; a problem of the set-up is told all the same.
    QString rules = QStringLiteral("upgrader.*.debug=false\n"
                                   "upgrader.*.info=false\n"
                                   "upgrader.*.warning=false\n"
                                   "default.debug=false\n"
                                   "default.info=false");
    for (const char *set_up : kSetUpCategories)
        rules += QStringLiteral("\n%1.warning=true").arg(QLatin1String(set_up));
    QLoggingCategory::setFilterRules(rules);
}
