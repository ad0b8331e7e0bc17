#include "channel_opener.h"

#include "link_log.h"

#include <QMutex>
#include <QMutexLocker>

namespace {

QMutex opener_lock;
ChannelOpener installed;

}  // namespace

void SetChannelOpener(ChannelOpener opener)
{
    QMutexLocker lock(&opener_lock);
    installed = std::move(opener);
}

std::unique_ptr<ByteChannel> OpenWithChannelOpener(const std::function<PortInfo()> &choose)
{
    ChannelOpener current;
    {
        QMutexLocker lock(&opener_lock);
        current = installed;
    }
    if (!current)
        return nullptr;
    return current(choose());
}

void LogPortNotOpened(const QString &port, const QString &reason)
{
    qCWarning(lcLink).noquote() << QString::fromUtf8("---端口被占用");
    qCWarning(lcLink).noquote() << QStringLiteral("---%1: %2").arg(port, reason);
}
