#pragma once

#include <QList>
#include <QObject>

#include <csignal>

class QSocketNotifier;

// Turns stop signals (SIGINT, SIGTERM and SIGHUP unless told otherwise) into a Qt signal in the
// thread that owns this object, so the program ends through its event loop and cleans up (a
// signal handler itself may do almost nothing). One instance per process.
class StopSignals : public QObject {
    Q_OBJECT

public:
    explicit StopSignals(QObject *parent = nullptr, const QList<int> &numbers = {SIGINT, SIGTERM, SIGHUP});
    ~StopSignals() override;

    bool IsValid() const { return notifier != nullptr; }

signals:
    void Stop(int signal_number);

private:
    void Drain();
    static void Handle(int signal_number);

    QSocketNotifier *notifier = nullptr;
    QList<int> watched;
};
