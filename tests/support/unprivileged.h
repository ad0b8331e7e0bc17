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
// Runs "function:tag" of this test executable as nobody, with a home folder of its own. Empty
// when the case passed; otherwise the child's output.
QString RunCase(const char *function, const char *tag);

}  // namespace Unprivileged
