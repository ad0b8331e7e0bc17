#include "bounded_file.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <limits>

#ifndef Q_OS_WIN
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#endif

namespace BoundedFile {
namespace {

constexpr qint64 kKiB = 1024;
constexpr qint64 kMiB = 1024 * kKiB;

// A size as a person reads it: whole MiB or KiB when it is one, bytes otherwise.
QString Size(qint64 bytes)
{
    if (bytes >= kMiB && bytes % kMiB == 0)
        return QStringLiteral("%1 MiB").arg(bytes / kMiB);
    if (bytes >= kKiB && bytes % kKiB == 0)
        return QStringLiteral("%1 KiB").arg(bytes / kKiB);
    return QStringLiteral("%1 bytes").arg(bytes);
}

Result Refuse(Refusal refusal, const QString &reason, qint64 size = -1)
{
    Result result;
    result.refusal = refusal;
    result.reason = reason;
    result.size = size;
    return result;
}

Result TooLarge(const QString &path, qint64 size, qint64 max_bytes)
{
    return Refuse(Refusal::TooLarge,
                  QStringLiteral("%1 is %2 bytes, more than the %3 such a file may have").arg(path).arg(size).arg(Size(max_bytes)),
                  size);
}

#ifndef Q_OS_WIN

// What a file that is not a regular one is, in words.
Result NotRegular(const QString &path, mode_t mode)
{
    if (S_ISDIR(mode))
        return Refuse(Refusal::Directory, QStringLiteral("%1 is a directory, not a file").arg(path));
    const char *kind = S_ISFIFO(mode)   ? "a named pipe (FIFO)"
                       : S_ISCHR(mode)  ? "a character device"
                       : S_ISBLK(mode)  ? "a block device"
                       : S_ISSOCK(mode) ? "a socket"
                                        : "not a regular file";
    return Refuse(Refusal::NotRegularFile, QStringLiteral("%1 is %2, not a regular file").arg(path, QLatin1String(kind)));
}

Result OpenFailed(const QString &path, int error)
{
    if (error == ENOENT || error == ENOTDIR)
        return Refuse(Refusal::Missing, QStringLiteral("%1 does not exist").arg(path));
    // Opening a socket fails this way; it is no file either.
    if (error == ENXIO)
        return Refuse(Refusal::NotRegularFile, QStringLiteral("%1 is not a regular file").arg(path));
    return Refuse(Refusal::CannotOpen, QStringLiteral("cannot open %1: %2").arg(path, QString::fromLocal8Bit(std::strerror(error))));
}

// Owns a descriptor for the length of one read.
struct Descriptor {
    int fd = -1;
    ~Descriptor()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

#endif

}  // namespace

Result Read(const QString &path, qint64 max_bytes)
{
    if (path.isEmpty())
        return Refuse(Refusal::Missing, QStringLiteral("no file named (empty path)"));
    // The bytes are held in one QByteArray, whose size is an int.
    max_bytes = std::min<qint64>(max_bytes, std::numeric_limits<int>::max() - 1);
#ifndef Q_OS_WIN
    const QByteArray native = QFile::encodeName(path);
    // A first look by name spares a device the side effects of being opened (a serial port
    // raises its control lines on open). It is only a first look: the check that counts is made
    // on the opened descriptor below, so a file swapped in between changes nothing.
    struct stat before {};
    if (::stat(native.constData(), &before) != 0)
        return OpenFailed(path, errno);
    if (!S_ISREG(before.st_mode))
        return NotRegular(path, before.st_mode);
    if (before.st_size > max_bytes)
        return TooLarge(path, before.st_size, max_bytes);

    // O_NONBLOCK: a named pipe put here after the look above opens at once instead of waiting
    // for a writer; O_NOCTTY: a terminal never becomes ours.
    Descriptor file;
    do
        file.fd = ::open(native.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    while (file.fd < 0 && errno == EINTR);
    if (file.fd < 0)
        return OpenFailed(path, errno);
    struct stat opened {};
    if (::fstat(file.fd, &opened) != 0)
        return Refuse(Refusal::ReadFailed, QStringLiteral("cannot read %1: %2").arg(path, QString::fromLocal8Bit(std::strerror(errno))));
    if (!S_ISREG(opened.st_mode))
        return NotRegular(path, opened.st_mode);
    if (opened.st_size > max_bytes)
        return TooLarge(path, opened.st_size, max_bytes);
    // Reads of a regular file never wait; the flag only mattered for the open.
    const int flags = ::fcntl(file.fd, F_GETFL);
    if (flags >= 0)
        ::fcntl(file.fd, F_SETFL, flags & ~O_NONBLOCK);

    // At most one byte more than the bound, so a file that grows while it is read is caught
    // without reading the growth.
    Result result;
    result.bytes.resize(int(opened.st_size));
    qint64 total = 0;
    const qint64 limit = max_bytes + 1;
    for (;;) {
        if (total == result.bytes.size()) {
            if (total >= limit)
                break;
            result.bytes.resize(int(std::min<qint64>(limit, total + 64 * kKiB)));
        }
        const ssize_t n = ::read(file.fd, result.bytes.data() + total, size_t(result.bytes.size() - total));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return Refuse(Refusal::ReadFailed, QStringLiteral("cannot read %1: %2").arg(path, QString::fromLocal8Bit(std::strerror(errno))));
        if (n == 0)
            break;
        total += n;
    }
    if (total > max_bytes)
        return Refuse(Refusal::TooLarge,
                      QStringLiteral("%1 grew past the %2 such a file may have while it was read").arg(path, Size(max_bytes)));
    result.bytes.truncate(int(total));
    result.size = total;
    return result;
#else
    // Windows has no named pipes or devices among the paths a file system lists; QFileInfo
    // tells a regular file from the rest, and the read is bounded all the same.
    const QFileInfo info(path);
    if (!info.exists())
        return Refuse(Refusal::Missing, QStringLiteral("%1 does not exist").arg(path));
    if (info.isDir())
        return Refuse(Refusal::Directory, QStringLiteral("%1 is a directory, not a file").arg(path));
    if (!info.isFile())
        return Refuse(Refusal::NotRegularFile, QStringLiteral("%1 is not a regular file").arg(path));
    if (info.size() > max_bytes)
        return TooLarge(path, info.size(), max_bytes);
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return Refuse(Refusal::CannotOpen, QStringLiteral("cannot open %1: %2").arg(path, file.errorString()));
    if (file.isSequential())
        return Refuse(Refusal::NotRegularFile, QStringLiteral("%1 is not a regular file").arg(path));
    Result result;
    result.bytes = file.read(max_bytes + 1);
    if (file.error() != QFileDevice::NoError)
        return Refuse(Refusal::ReadFailed, QStringLiteral("cannot read %1: %2").arg(path, file.errorString()));
    if (result.bytes.size() > max_bytes)
        return TooLarge(path, result.bytes.size(), max_bytes);
    result.size = result.bytes.size();
    return result;
#endif
}

}  // namespace BoundedFile
