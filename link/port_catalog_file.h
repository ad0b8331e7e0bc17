#pragma once

#include "port_catalog.h"

#include <QList>
#include <QString>

// The catalog file through which a simulator in another process publishes its ports:
//
//   {"pid": 4711,
//    "ports": [{"name": "/dev/pts/7", "vendor_id": 4617, "product_id": 4, "location": "sim-1-4",
//               "serial_number": "SIM0001"}]}
//
// "pid" is the publishing process; "location" and "serial_number" may be left out (none). An entry without
// "vendor_id" and "product_id" is a port that is not a USB device.
namespace PortCatalogFile {

// The entries of the file that can be opened now. None when the file is missing, not a regular
// file, too large to be a catalog, not such a JSON object (a half-written file included), owned
// by a user other than this one or root (on Unix), or not written by a process that still runs: a
// simulator that was killed leaves a stale file, and its old paths may since name someone else's
// terminal. Another owner or a publisher that is missing or gone is told in one warning per file
// and reason. An entry without a name, with an id outside 0..65535 or with a device path that no
// longer exists is skipped; the others stay.
QList<PortInfo> Read(const QString &path);

// Replaces the file in one step (a temporary file renamed over it), so a reader sees the old
// list or the new one, never part of one. False with *error set when it cannot be written.
bool Write(const QString &path, const QList<PortInfo> &ports, qint64 owner_pid, QString *error);

// Why the file gives no port now, in a few English words ("it does not exist", "the simulator
// that wrote it (process 4711) no longer runs", ...); empty when it gives at least one. Tells
// nothing on its own: for a front end that must say why no device was found.
QString Problem(const QString &path);

// The publishing process recorded in the file when that process still runs, else 0.
qint64 LiveOwner(const QString &path);

}  // namespace PortCatalogFile
