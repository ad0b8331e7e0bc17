#pragma once

#include <QString>

// Root passes every permission check, so a case about a file or folder the user may not write
// means nothing when the suite runs as root (as CI does). Such a case then runs again in a
// child process of the same test executable, under the unprivileged account "nobody".
namespace Unprivileged {

// This process runs as root: the case must be handed to a child.
bool Needed();
// The tool that drops the privileges (setpriv, util-linux) is there.
bool Available();
// Runs "function:tag" of this test executable as nobody, with a home folder of its own, in no
// group but nobody's own or, when groups names some (comma-separated names or ids), in those too.
// Empty when the case passed; otherwise the child's output.
QString RunCase(const char *function, const char *tag, const QString &groups = QString());

}  // namespace Unprivileged

// Ends the current test row by its run as nobody when this process runs as root (skipped when
// the privileges cannot be dropped); a row that continues runs unprivileged already.
#define RUN_AS_NOBODY_WHEN_ROOT() RUN_AS_NOBODY_IN_GROUPS_WHEN_ROOT(QString())

// The same, with nobody also a member of groups (see RunCase). On Windows such a case is skipped:
// it takes rights away through permission bits, and Windows keeps rights in access lists.
#ifdef Q_OS_WIN
#define RUN_AS_NOBODY_IN_GROUPS_WHEN_ROOT(groups)                                                        \
    do {                                                                                                 \
        Q_UNUSED(groups)                                                                                 \
        QSKIP("rights taken away by permission bits: Windows keeps them in access lists");               \
    } while (false)
#else
#define RUN_AS_NOBODY_IN_GROUPS_WHEN_ROOT(groups)                                                        \
    do {                                                                                                 \
        if (Unprivileged::Needed()) {                                                                    \
            if (!Unprivileged::Available())                                                              \
                QSKIP("running as root without setpriv: nothing is read-only here");                     \
            const QString failure =                                                                      \
                Unprivileged::RunCase(QTest::currentTestFunction(), QTest::currentDataTag(), groups);    \
            QVERIFY2(failure.isEmpty(), qPrintable(failure));                                            \
            return;                                                                                      \
        }                                                                                                \
    } while (false)
#endif
