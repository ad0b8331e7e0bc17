#include "log_unit.h"

namespace {

// Per thread: a job thread and the window's thread each speak about their own unit.
thread_local QString current_unit;

}  // namespace

namespace LogUnit {

QString Current()
{
    return current_unit;
}

Scope::Scope(const QString &unit) : previous(current_unit)
{
    current_unit = unit;
}

Scope::~Scope()
{
    current_unit = previous;
}

}  // namespace LogUnit
