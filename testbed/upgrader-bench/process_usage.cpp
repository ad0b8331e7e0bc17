#include "process_usage.h"

#ifdef Q_OS_LINUX
#include <QByteArray>
#include <QDir>
#include <QFile>

#include <malloc.h>
#endif

ProcessUsage ProcessUsage::Now()
{
    ProcessUsage usage;
#ifdef Q_OS_LINUX
    // The listing holds one descriptor of its own while it reads the folder, at every count alike.
    usage.open_files = int(QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System).size());
    QFile status(QStringLiteral("/proc/self/status"));
    if (status.open(QIODevice::ReadOnly)) {
        for (const QByteArray &line : status.readAll().split('\n')) {
            if (line.startsWith("Threads:"))
                usage.threads = line.mid(8).trimmed().toInt();
        }
    }
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 33))
    // Small blocks from the arenas and large ones mapped on their own.
    const struct mallinfo2 info = mallinfo2();
    usage.heap_bytes = qint64(info.uordblks + info.hblkhd);
#endif
#endif
    return usage;
}
