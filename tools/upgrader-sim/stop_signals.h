#pragma once

#include <QObject>

class QSocketNotifier;

// Turns SIGINT, SIGTERM and SIGHUP into a Qt signal in the thread that owns this object, so the
// program ends through its event loop and cleans up (a signal handler itself may do almost
// nothing). One instance per process.
class StopSignals : public QObject {
    Q_OBJECT

public:
    explicit StopSignals(QObject *parent = nullptr);
    ~StopSignals() override;

    bool IsValid() const { return notifier != nullptr; }

signals:
    void Stop(int signal_number);

private:
    void Drain();
    static void Handle(int signal_number);

    QSocketNotifier *notifier = nullptr;
};
