#pragma once

#include "port_catalog.h"

#include <QList>
#include <QObject>
#include <QString>

#include <atomic>

// Keeps the catalog file current with the simulated ports of this process, so that programs in
// other processes find them (UPGRADER_SIM_CATALOG), and tells the terminal when a base leaves
// USB or comes back under a new path.
class CatalogPublisher : public QObject {
    Q_OBJECT

public:
    explicit CatalogPublisher(const QString &path, QObject *parent = nullptr);

    // Asks for the file to be rewritten from the simulated catalog. Safe from any thread (the
    // simulator's threads call it when a port appears or vanishes); the write happens in this
    // object's thread, once for a burst of changes.
    void Changed();

    // Writes the file now. False (with the reason printed) when it cannot be written.
    bool Refresh();

    // Removes the file and stops publishing: the simulator is going away.
    void Withdraw();

    const QString &Path() const { return path; }

private:
    QString path;
    QList<PortInfo> published;
    bool first = true;                    // nothing written yet
    bool withdrawn = false;
    bool failing = false;                 // the last write failed (reported once)
    std::atomic<bool> pending{false};     // a rewrite is queued
};
