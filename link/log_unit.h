#pragma once

#include <QString>

// Which unit the calling thread's console lines are about: the unit key of a job's base (its USB
// location, else its USB serial number, else the port name the job was given), or empty when the
// thread works for no one unit. Each thread has its own: a station runs one job thread per base,
// and its window thread talks to one base at a time. Message handlers read it to say whose line
// a line is.
namespace LogUnit {

// The calling thread's unit; empty outside every Scope.
QString Current();

// Makes unit the calling thread's unit until the scope ends, then restores the one before.
// Created and destroyed in the same thread; scopes nest.
class Scope {
public:
    explicit Scope(const QString &unit);
    ~Scope();
    Scope(const Scope &) = delete;
    Scope &operator=(const Scope &) = delete;

private:
    QString previous;
};

}  // namespace LogUnit
