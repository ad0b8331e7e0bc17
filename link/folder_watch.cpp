#include "folder_watch.h"

#include <QFile>

#ifdef Q_OS_LINUX
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace {

#ifdef Q_OS_LINUX
// Only what changes the set of entries: a node written to, read or touched (a terminal, /dev/null)
// says nothing about which ports exist, and would wake the watch all day.
constexpr uint32_t kEntryEvents = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF;
// The folder itself gone or moved (or the watch dropped by the kernel): no notices follow.
constexpr uint32_t kWatchEnded = IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED | IN_UNMOUNT;
#endif

}  // namespace

FolderWatch::FolderWatch(const QStringList &folders)
{
#ifdef Q_OS_LINUX
    descriptor = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (descriptor < 0)
        return;  // out of inotify instances: the caller enumerates every time, as without a watch
    working = !folders.isEmpty();
    for (const QString &folder : folders)
        working = working && inotify_add_watch(descriptor, QFile::encodeName(folder).constData(),
                                                          kEntryEvents | IN_ONLYDIR) >= 0;
#else
    Q_UNUSED(folders)
#endif
}

FolderWatch::~FolderWatch()
{
#ifdef Q_OS_LINUX
    if (descriptor >= 0)
        ::close(descriptor);
#endif
}

bool FolderWatch::Changed()
{
#ifdef Q_OS_LINUX
    if (!working)
        return true;
    bool changed = false;
    // Aligned for the event records the kernel writes into it.
    alignas(struct inotify_event) char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(descriptor, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;  // EAGAIN: nothing more queued
        for (ssize_t at = 0; at < n;) {
            const auto *event = reinterpret_cast<const struct inotify_event *>(buffer + at);
            changed = true;  // every kind asked for changes the entries, and an overflow may hide some
            if (event->mask & kWatchEnded)
                working = false;
            at += ssize_t(sizeof(struct inotify_event)) + event->len;
        }
    }
    return changed || !working;
#else
    return true;
#endif
}
