#pragma once

#include <QByteArray>
#include <QString>

// Reading a whole file named by an operator, a configuration or a script: only a regular file is
// read, and only when it is no larger than the caller's bound. A named pipe, a device, a socket or
// a directory is refused at once, without waiting for a writer and without reading anything, and
// a file above the bound is refused without being read, so a mistaken path can neither hang the
// program nor fill its memory.
namespace BoundedFile {

enum class Refusal {
    None,
    Missing,         // nothing at the path
    CannotOpen,      // there, but the system refuses to open it (permissions, ...)
    Directory,       // a directory
    NotRegularFile,  // a named pipe, a device or a socket
    TooLarge,        // a regular file above the bound
    ReadFailed,      // opened, but reading it failed
};

struct Result {
    Refusal refusal = Refusal::None;
    QString reason;    // English, names the path and what it is; empty when read
    qint64 size = -1;  // the file's size when known
    QByteArray bytes;  // the whole file; empty unless read

    bool Ok() const { return refusal == Refusal::None; }
};

// Reads the file at path when it is a regular file of at most max_bytes bytes.
Result Read(const QString &path, qint64 max_bytes);

}  // namespace BoundedFile
