#pragma once

#include <QList>
#include <QObject>

#include <csignal>

class QSocketNotifier;

// Turns stop signals into a Qt signal in the thread that owns this object, so the program ends
// through its event loop and cleans up (a signal handler itself may do almost nothing). One
// instance per process.
//
// POSIX: the signals given (by default SIGINT, SIGTERM and SIGHUP). Windows: the console's
// events, Ctrl+C as SIGINT and Ctrl+Break or the console closing as SIGTERM.
class StopSignals : public QObject {
    Q_OBJECT

public:
    explicit StopSignals(QObject *parent = nullptr, const QList<int> &numbers = DefaultSignals());
    ~StopSignals() override;

    bool IsValid() const { return valid; }
    static QList<int> DefaultSignals();

    // Called by the platform's handler, in whatever context it runs.
    static void Handle(int signal_number);

signals:
    void Stop(int signal_number);

private:
    void Drain();

    QSocketNotifier *notifier = nullptr;
    QList<int> watched;
    bool valid = false;
};
