#pragma once

#include "history_server.h"
#include "upgrade_record.h"

#include <QList>
#include <QString>

// The history as its readers want it: a table for a person at a terminal, JSON lines and CSV for
// scripts. Every form ends each line (the last included) with its line end.
namespace HistoryFormat {

// Aligned columns under a header, narrow enough for a terminal of 100 to 120 columns up to the
// error: local start time, target, the unit's serial, its version before and after the job, the
// image's version, result (with who stopped it), duration, user and the error text on one line.
// The full record (device, port, USB location, hardware, digest, host, ...) is in the other forms.
// with_station adds the station (the record's host) after the start: the line's records come
// from many.
QString Table(const QList<UpgradeRecord> &records, bool with_station = false);

// One JSON object per record and line, every field under its column name, in column order;
// numbers as numbers, the start time as ISO 8601 UTC text.
QString JsonLines(const QList<UpgradeRecord> &records);

// RFC 4180: a header of the column names, then one row per record, lines ended by CR LF, a
// field quoted (quotes doubled) when it holds a comma, a quote, CR or LF. A text field starting
// with =, +, -, @, a tab or a CR is quoted with an apostrophe before it, so that a spreadsheet
// shows it as text instead of running it as a formula; number fields are never changed.
QString Csv(const QList<UpgradeRecord> &records);

// The line's jobs per day and target in the same three forms: day, target, jobs, successes
// (current included), failures, and the median time of the successful upgrades (in the table
// "-", in JSON null and in CSV empty when there was none).
QString SummaryTable(const QList<HistoryServer::DaySummary> &days);
QString SummaryJsonLines(const QList<HistoryServer::DaySummary> &days);
QString SummaryCsv(const QList<HistoryServer::DaySummary> &days);

}  // namespace HistoryFormat
