#pragma once

#include "folder_watch.h"
#include "port_catalog.h"

#include <QElapsedTimer>
#include <QList>
#include <QMutex>
#include <QStringList>

#include <functional>

// The last enumeration of a set of ports, given again while nothing says the set may have
// changed. Enumerating the system's serial ports is costly (on Linux, libudev walks sysfs: some
// thousand files a time), and a window that polls its devices every 1.5 s would do it all day.
//
// A recent view is enumerated anew when an entry appeared in or left a watched folder (a device
// node in /dev), for a while after such a change (the system may still be describing the new
// port: udev adds its USB ids after the node exists), when the last enumeration is older than the
// refresh period (a safety net for a change no folder shows), and always where the platform gives
// no notices. A fresh view always enumerates. Both may be asked from any thread.
class PortCache {
public:
    using Enumerate = std::function<QList<PortInfo>()>;

    PortCache(Enumerate enumerate, const QStringList &folders, int settle_ms, int refresh_ms);

    // Enumerates now, and keeps the result for recent views.
    QList<PortInfo> Fresh();
    // The kept enumeration while it can be trusted, else a fresh one.
    QList<PortInfo> Recent();
    // Enumerations made so far.
    int Enumerations() const;

private:
    // Takes the watch's notices; with the lock held.
    void NoteChanges();

    const Enumerate enumerate;
    const int settle_ms;
    const int refresh_ms;

    mutable QMutex lock;  // guards everything below
    FolderWatch watch;
    QElapsedTimer clock;           // the time base of the two stamps
    QList<PortInfo> kept;
    bool have_kept = false;
    qint64 kept_started_ms = 0;    // when the kept enumeration began
    qint64 last_change_ms = 0;     // when a change was last noticed
    quint64 changes = 0;           // changes noticed so far
    int enumerations = 0;
};
