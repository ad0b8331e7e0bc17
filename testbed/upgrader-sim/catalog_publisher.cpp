#include "catalog_publisher.h"

#include "port_catalog_file.h"
#include "sim_port_catalog.h"

#include <QCoreApplication>
#include <QFile>
#include <QTime>

#include <cstdio>

namespace {

void Say(const QString &line)
{
    fprintf(stdout, "%s %s\n", qPrintable(QTime::currentTime().toString(QStringLiteral("HH:mm:ss.zzz"))),
            qPrintable(line));
    fflush(stdout);
}

const PortInfo *AtLocation(const QList<PortInfo> &ports, const QString &location)
{
    for (const PortInfo &port : ports) {
        if (port.location == location)
            return &port;
    }
    return nullptr;
}

}  // namespace

CatalogPublisher::CatalogPublisher(const QString &file, QObject *parent) : QObject(parent), path(file) {}

void CatalogPublisher::Changed()
{
    if (pending.exchange(true))
        return;  // a rewrite is already queued and will read the newest state
    QMetaObject::invokeMethod(this, [this] { Refresh(); }, Qt::QueuedConnection);
}

bool CatalogPublisher::Refresh()
{
    pending = false;
    if (withdrawn)
        return true;
    const QList<PortInfo> ports = SimPortCatalog::Ports();
    QString error;
    if (!PortCatalogFile::Write(path, ports, QCoreApplication::applicationPid(), &error)) {
        if (!failing)
            fprintf(stderr, "upgrader-sim: cannot write %s: %s\n", qPrintable(path), qPrintable(error));
        failing = true;
        return false;
    }
    failing = false;
    for (const PortInfo &before : published) {
        if (!AtLocation(ports, before.location))
            Say(QStringLiteral("%1 left USB (was %2)").arg(before.location, before.name));
    }
    if (!first) {  // the start lists the first ports itself
        for (const PortInfo &now : ports) {
            const PortInfo *before = AtLocation(published, now.location);
            if (!before || before->name != now.name)
                Say(QStringLiteral("%1 back on USB as %2").arg(now.location, now.name));
        }
    }
    published = ports;
    first = false;
    return true;
}

void CatalogPublisher::Withdraw()
{
    withdrawn = true;
    QFile::remove(path);
}
