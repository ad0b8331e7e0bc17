#include "port_cache.h"

#include <QMutexLocker>

PortCache::PortCache(Enumerate source, const QStringList &folders, int settle, int refresh)
    : enumerate(std::move(source)), settle_ms(settle), refresh_ms(refresh), watch(folders)
{
    clock.start();
    // Before the first enumeration every change counts as recent.
    last_change_ms = -settle_ms;
}

void PortCache::NoteChanges()
{
    if (watch.Changed()) {
        last_change_ms = clock.elapsed();
        ++changes;
        have_kept = false;  // it began before the change was noticed
    }
}

QList<PortInfo> PortCache::Fresh()
{
    qint64 started = 0;
    quint64 changes_before = 0;
    {
        QMutexLocker locker(&lock);
        NoteChanges();
        started = clock.elapsed();
        changes_before = changes;
        ++enumerations;
    }
    // Without the lock: an enumeration takes milliseconds, and the other thread's fresh view
    // must not wait for this one.
    const QList<PortInfo> ports = enumerate();
    QMutexLocker locker(&lock);
    NoteChanges();
    // A change during the enumeration may or may not be in it: kept only when there was none.
    if (changes == changes_before && (!have_kept || started >= kept_started_ms)) {
        kept = ports;
        have_kept = true;
        kept_started_ms = started;
    }
    return ports;
}

QList<PortInfo> PortCache::Recent()
{
    {
        QMutexLocker locker(&lock);
        NoteChanges();
        const qint64 now = clock.elapsed();
        const bool settled = kept_started_ms - last_change_ms >= settle_ms;
        if (watch.Works() && have_kept && settled && now - kept_started_ms < refresh_ms)
            return kept;
    }
    return Fresh();
}

int PortCache::Enumerations() const
{
    QMutexLocker locker(&lock);
    return enumerations;
}
