#pragma once

#include "scoped_fixtures.h"

#include <QObject>

// The set-up of a suite that runs the engine against simulated families: the simulated port
// catalog in place of the system's and the sequence's long waits scaled, for the whole suite
// (from the suite's construction, after the application, to its destruction); and before each
// test no simulated port attached. A suite with an init() of its own empties the catalog there.
class SimulatedFamilySuite : public QObject {
    Q_OBJECT

public:
    explicit SimulatedFamilySuite(double wait_scale = 1.0);

private slots:
    void init();

private:
    ScopedSimCatalog catalog;
    ScopedWaitScale waits;
};
