#pragma once

#include <QMutex>
#include <QString>
#include <QStringList>

#include <functional>

// Collects the debug output of every thread while it exists, and the rest of the account the
// upgrade gives of itself (IsUpgradeAccount: its milestones and failures), so tests can assert
// the exact lines the program writes. Lines are still echoed to stderr when UPGRADER_TEST_ECHO is
// set.
class DebugCapture {
public:
    DebugCapture();
    ~DebugCapture();
    DebugCapture(const DebugCapture &) = delete;
    DebugCapture &operator=(const DebugCapture &) = delete;

    QStringList Lines() const;
    // The lines told always, written meanwhile: the set-up's problems and the warnings (and worse)
    // of Qt and the system. They still reach stderr as well.
    QStringList Warnings() const;
    int Count(const QString &line) const;
    bool Contains(const QString &line) const { return Count(line) > 0; }
    // Index of the first line equal to `line` at or after `from`, or -1.
    int IndexOf(const QString &line, int from = 0) const;
    void Clear();
    // Also calls observer for each line, in the thread that writes it, as the line is written
    // (for what the line's moment tells, such as the tick count then).
    void Observe(std::function<void(const QString &)> observer);

private:
    friend class DebugCaptureSink;
    mutable QMutex lock;
    QStringList lines;
    QStringList warnings;
    std::function<void(const QString &)> observer;
};
