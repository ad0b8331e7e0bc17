#include "debug_capture.h"

#include "link_log.h"

#include <QMutexLocker>
#include <QtGlobal>

#include <cstdio>

namespace {

DebugCapture *active = nullptr;
QtMessageHandler previous = nullptr;
bool echo = false;

}  // namespace

class DebugCaptureSink {
public:
    static void Handle(QtMsgType type, const QMessageLogContext &context, const QString &message)
    {
        const bool account = type == QtDebugMsg || IsUpgradeAccount(type, context.category);
        if (active && account) {
            QMutexLocker locker(&active->lock);
            active->lines.append(message);
            if (active->observer)
                active->observer(message);
        } else if (active) {
            QMutexLocker locker(&active->lock);
            active->warnings.append(message);
        }
        if (echo || !account) {
            if (previous)
                previous(type, context, message);
            else
                fprintf(stderr, "%s\n", qPrintable(message));
        }
    }
};

DebugCapture::DebugCapture()
{
    echo = qEnvironmentVariableIsSet("UPGRADER_TEST_ECHO");
    active = this;
    previous = qInstallMessageHandler(&DebugCaptureSink::Handle);
}

DebugCapture::~DebugCapture()
{
    qInstallMessageHandler(previous);
    active = nullptr;
}

QStringList DebugCapture::Lines() const
{
    QMutexLocker locker(&lock);
    return lines;
}

QStringList DebugCapture::Warnings() const
{
    QMutexLocker locker(&lock);
    return warnings;
}

int DebugCapture::Count(const QString &line) const
{
    QMutexLocker locker(&lock);
    return lines.count(line);
}

int DebugCapture::IndexOf(const QString &line, int from) const
{
    QMutexLocker locker(&lock);
    return lines.indexOf(line, from);
}

void DebugCapture::Observe(std::function<void(const QString &)> watcher)
{
    QMutexLocker locker(&lock);
    observer = std::move(watcher);
}

void DebugCapture::Clear()
{
    QMutexLocker locker(&lock);
    lines.clear();
    warnings.clear();
}
