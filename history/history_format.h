#pragma once

#include "upgrade_record.h"

#include <QList>
#include <QString>

// The history as its readers want it: a table for a person at a terminal, JSON lines and CSV for
// scripts. Every form ends each line (the last included) with its line end.
namespace HistoryFormat {

// Aligned columns under a header: local start time, target, device, port and USB location,
// hardware, image version and the first characters of its SHA-256, result (with who stopped
// it), duration, user@host and the error text on one line. The full record is in the other forms.
QString Table(const QList<UpgradeRecord> &records);

// One JSON object per record and line, every field under its column name, in column order;
// numbers as numbers, the start time as ISO 8601 UTC text.
QString JsonLines(const QList<UpgradeRecord> &records);

// RFC 4180: a header of the column names, then one row per record, lines ended by CR LF, a
// field quoted (quotes doubled) when it holds a comma, a quote, CR or LF.
QString Csv(const QList<UpgradeRecord> &records);

}  // namespace HistoryFormat
