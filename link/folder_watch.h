#pragma once

#include <QString>
#include <QStringList>

// Tells whether entries have appeared in, left or been renamed within a few folders since it was
// last asked, from the file system's own notices (Linux: inotify). A device node that appears in
// /dev is such an entry, whether udev made it or not (a container or chroot without udev still
// gets the kernel's devtmpfs node, or an administrator's mknod). No event loop or thread is
// needed: the notices queue up in the kernel and are drained when asked. Not thread-safe; its
// owner locks.
class FolderWatch {
public:
    explicit FolderWatch(const QStringList &folders);
    ~FolderWatch();
    FolderWatch(const FolderWatch &) = delete;
    FolderWatch &operator=(const FolderWatch &) = delete;

    // Whether notices are coming: false where the platform gives none, where a folder could not
    // be watched, and once a watched folder itself went away or was moved. A caller that gets
    // false must look at the folders itself every time.
    bool Works() const { return working; }
    // Whether an entry was created, removed or renamed in a watched folder since the last call
    // (or since construction); also true when notices were lost or the watch stopped working.
    bool Changed();

private:
    int descriptor = -1;
    bool working = false;
};
