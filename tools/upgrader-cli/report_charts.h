#pragma once

#include "line_report.h"

#include <QImage>
#include <QSize>
#include <QString>

#include <memory>

namespace QtCharts {
class QChart;
}

// The charts of the line's report, one per part, from the report's figures.
namespace ReportCharts {

// The part's title, as its chart and its page head it.
QString Title(ReportPart part);
// A failure reason as the report names it (a stop by who stopped it, an empty text as such).
QString ReasonLabel(const HistoryServer::FailureReason &reason);
// The kind of a failure reason: "device/link", "operator stop" or "time-out".
QString KindLabel(HistoryServer::FailureReason::Kind kind);
// First-pass yield in percent; -1 without a first pass.
double Yield(const HistoryServer::FirstPassDay &day);

std::unique_ptr<QtCharts::QChart> Make(const LineReport &report, ReportPart part);
// The chart laid out at size (logical pixels) and drawn scale times as fine, on white.
QImage Draw(QtCharts::QChart &chart, const QSize &size, qreal scale);

}  // namespace ReportCharts
