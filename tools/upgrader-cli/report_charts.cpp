#include "report_charts.h"

#include <QBarCategoryAxis>
#include <QBarSet>
#include <QBoxPlotSeries>
#include <QBoxSet>
#include <QChart>
#include <QGraphicsLayout>
#include <QGraphicsScene>
#include <QLineSeries>
#include <QMap>
#include <QPainter>
#include <QStackedBarSeries>
#include <QBarSeries>
#include <QValueAxis>

#include <algorithm>
#include <cmath>

using namespace QtCharts;
using HistoryServer::FailureReason;

namespace ReportCharts {

namespace {

// The Pareto chart shows the commonest reasons; the rest share one bar (the table has them all).
constexpr int kParetoBars = 10;
// A category label longer than this is cut: the bars stay readable, the table keeps the whole text.
constexpr int kLabelChars = 26;

QString Cut(const QString &text)
{
    return text.size() <= kLabelChars ? text : text.left(kLabelChars - 1) + QChar(0x2026);
}

QValueAxis *CountAxis(const QString &title, qreal max)
{
    auto *axis = new QValueAxis;
    axis->setTitleText(title);
    axis->setLabelFormat(QStringLiteral("%d"));
    // Whole numbers on the ticks: counts have no fractions.
    const int top = std::max(1, int(std::ceil(max)));
    const int step = top <= 10 ? 1 : (top + 9) / 10;
    axis->setRange(0, step * ((top + step - 1) / step));
    axis->setTickCount((top + step - 1) / step + 1);
    return axis;
}

QValueAxis *PercentAxis(const QString &title)
{
    auto *axis = new QValueAxis;
    axis->setTitleText(title);
    axis->setRange(0, 100);
    axis->setTickCount(6);
    axis->setLabelFormat(QStringLiteral("%d %%"));
    return axis;
}

QBarCategoryAxis *Categories(const QStringList &names, const QString &title)
{
    auto *axis = new QBarCategoryAxis;
    axis->append(names);
    axis->setTitleText(title);
    return axis;
}

void Attach(QChart &chart, QAbstractSeries *series, QAbstractAxis *x, QAbstractAxis *y)
{
    chart.addSeries(series);
    if (!chart.axes(Qt::Horizontal).contains(x))
        chart.addAxis(x, Qt::AlignBottom);
    if (!chart.axes(Qt::Vertical).contains(y))
        chart.addAxis(y, y->alignment() == Qt::AlignRight ? Qt::AlignRight : Qt::AlignLeft);
    series->attachAxis(x);
    series->attachAxis(y);
}

void YieldChart(const LineReport &report, QChart &chart)
{
    QStringList days;
    QStringList targets;
    for (const HistoryServer::FirstPassDay &day : report.first_passes) {
        const QString name = day.day.toString(Qt::ISODate);
        if (!days.contains(name))
            days << name;
        if (!targets.contains(day.target))
            targets << day.target;
    }
    std::sort(targets.begin(), targets.end());
    if (days.isEmpty())
        return;
    auto *series = new QBarSeries;
    for (const QString &target : qAsConst(targets)) {
        auto *set = new QBarSet(target);
        for (const QString &name : qAsConst(days)) {
            double yield = 0;  // a day without this target's first pass: no bar
            for (const HistoryServer::FirstPassDay &day : report.first_passes) {
                if (day.target == target && day.day.toString(Qt::ISODate) == name)
                    yield = Yield(day);
            }
            *set << yield;
        }
        series->append(set);
    }
    Attach(chart, series, Categories(days, QStringLiteral("Day of the unit's first pass")),
           PercentAxis(QStringLiteral("First-pass yield")));
}

void StationsChart(const LineReport &report, QChart &chart)
{
    if (report.stations.isEmpty())
        return;
    QStringList names;
    auto *succeeded = new QBarSet(QStringLiteral("Succeeded"));
    auto *failed = new QBarSet(QStringLiteral("Failed (device, link, image)"));
    auto *stopped = new QBarSet(QStringLiteral("Stopped by the operator"));
    auto *timed_out = new QBarSet(QStringLiteral("Timed out"));
    qint64 most = 0;
    for (const HistoryServer::StationTally &station : report.stations) {
        names << station.station;
        *succeeded << station.successes;
        *failed << station.failures;
        *stopped << station.stops;
        *timed_out << station.timeouts;
        most = std::max(most, station.jobs);
    }
    succeeded->setColor(QColor(0x4c, 0x9a, 0x5a));
    failed->setColor(QColor(0xc6, 0x3d, 0x3d));
    stopped->setColor(QColor(0xe3, 0xa0, 0x2f));
    timed_out->setColor(QColor(0x7a, 0x5c, 0xb0));
    auto *series = new QStackedBarSeries;
    series->append({succeeded, failed, stopped, timed_out});
    Attach(chart, series, Categories(names, QStringLiteral("Station")), CountAxis(QStringLiteral("Jobs"), most));
}

void ReasonsChart(const LineReport &report, QChart &chart)
{
    if (report.reasons.isEmpty())
        return;
    qint64 total = 0;
    for (const FailureReason &reason : report.reasons)
        total += reason.count;
    // Bars by count, most first (the query's order), the rest in one bar at the end.
    QStringList names;
    QList<qint64> counts;
    QList<FailureReason::Kind> kinds;
    qint64 others = 0;
    for (int i = 0; i < report.reasons.size(); ++i) {
        if (i < kParetoBars || report.reasons.size() == kParetoBars + 1) {
            names << Cut(ReasonLabel(report.reasons[i]));
            counts << report.reasons[i].count;
            kinds << report.reasons[i].kind;
        } else {
            others += report.reasons[i].count;
        }
    }
    if (others > 0) {
        names << QStringLiteral("(%1 other reasons)").arg(report.reasons.size() - kParetoBars);
        counts << others;
        kinds << FailureReason::Kind::Failure;
    }
    // One set per kind, so that stops and time-outs stand apart from the failures by colour.
    const QList<QPair<FailureReason::Kind, QColor>> kind_colours{
        {FailureReason::Kind::Failure, QColor(0xc6, 0x3d, 0x3d)},
        {FailureReason::Kind::Stop, QColor(0xe3, 0xa0, 0x2f)},
        {FailureReason::Kind::Timeout, QColor(0x7a, 0x5c, 0xb0)}};
    auto *bars = new QStackedBarSeries;
    for (const auto &[kind, colour] : kind_colours) {
        if (!kinds.contains(kind))
            continue;
        auto *set = new QBarSet(KindLabel(kind));
        set->setColor(colour);
        for (int i = 0; i < counts.size(); ++i)
            *set << (kinds[i] == kind ? counts[i] : 0);
        bars->append(set);
    }
    auto *cumulative = new QLineSeries;
    cumulative->setName(QStringLiteral("Cumulative share"));
    cumulative->setPointsVisible(true);
    QPen pen(QColor(0x2b, 0x57, 0x9a));
    pen.setWidthF(2);
    cumulative->setPen(pen);
    qint64 sum = 0;
    for (int i = 0; i < counts.size(); ++i) {
        sum += counts[i];
        cumulative->append(i, 100.0 * sum / total);
    }
    auto *x = Categories(names, QStringLiteral("Reason (first line of the error text, numbers as #)"));
    x->setLabelsAngle(-40);
    Attach(chart, bars, x, CountAxis(QStringLiteral("Failed jobs"), counts.value(0)));
    QValueAxis *share = PercentAxis(QStringLiteral("Cumulative share"));
    chart.addAxis(share, Qt::AlignRight);
    chart.addSeries(cumulative);
    cumulative->attachAxis(x);
    cumulative->attachAxis(share);
}

void DurationsChart(const LineReport &report, QChart &chart)
{
    if (report.durations.isEmpty())
        return;
    auto *series = new QBoxPlotSeries;
    series->setName(QStringLiteral("Successful upgrades: minimum, quartiles, median, maximum"));
    QStringList names;
    double longest = 0;
    for (const HistoryServer::DurationSpread &spread : report.durations) {
        auto *box = new QBoxSet(spread.min_s, spread.q1_s, spread.median_s, spread.q3_s, spread.max_s,
                                QStringLiteral("%1 (%2)").arg(spread.target).arg(spread.count));
        series->append(box);
        names << box->label();
        longest = std::max(longest, spread.max_s);
    }
    series->setBrush(QColor(0x8f, 0xb8, 0xde));
    auto *y = new QValueAxis;
    y->setTitleText(QStringLiteral("Job time (s)"));
    y->setRange(0, longest > 0 ? longest * 1.1 : 1);
    y->applyNiceNumbers();
    Attach(chart, series, Categories(names, QStringLiteral("Target (successful upgrades)")), y);
}

void VersionsChart(const LineReport &report, QChart &chart)
{
    if (report.versions.isEmpty())
        return;
    QStringList targets;
    QStringList versions;
    QMap<QString, qint64> units_of_target;
    for (const HistoryServer::FieldVersion &version : report.versions) {
        if (!targets.contains(version.target))
            targets << version.target;
        const QString name = version.version.isEmpty() ? QStringLiteral("(not read)") : version.version;
        if (!versions.contains(name))
            versions << name;
        units_of_target[version.target] += version.units;
    }
    std::sort(versions.begin(), versions.end());
    auto *series = new QStackedBarSeries;
    for (const QString &name : qAsConst(versions)) {
        auto *set = new QBarSet(name);
        for (const QString &target : qAsConst(targets)) {
            qint64 units = 0;
            for (const HistoryServer::FieldVersion &version : report.versions) {
                const QString its = version.version.isEmpty() ? QStringLiteral("(not read)") : version.version;
                if (version.target == target && its == name)
                    units = version.units;
            }
            *set << units;
        }
        series->append(set);
    }
    qint64 most = 0;
    for (qint64 units : qAsConst(units_of_target))
        most = std::max(most, units);
    Attach(chart, series, Categories(targets, QStringLiteral("Target")),
           CountAxis(QStringLiteral("Units (by the version their last job left)"), most));
}

}  // namespace

QString Title(ReportPart part)
{
    switch (part) {
    case ReportPart::Yield: return QStringLiteral("First-pass yield per target and day");
    case ReportPart::Stations: return QStringLiteral("Jobs and failures per station");
    case ReportPart::Reasons: return QStringLiteral("Failure reasons (Pareto)");
    case ReportPart::Durations: return QStringLiteral("Job time per target");
    case ReportPart::Versions: return QStringLiteral("Versions in the field per target");
    }
    return QString();
}

QString ReasonLabel(const FailureReason &reason)
{
    switch (reason.kind) {
    case FailureReason::Kind::Stop:
        return reason.reason == QLatin1String(UpgradeRecord::kWindowClosed) ? QStringLiteral("window closed during the job")
                                                                           : QStringLiteral("stopped by the operator");
    case FailureReason::Kind::Timeout: return QStringLiteral("stopped by --timeout");
    case FailureReason::Kind::Failure: break;
    }
    return reason.reason.isEmpty() ? QStringLiteral("(no error text)") : reason.reason;
}

QString KindLabel(FailureReason::Kind kind)
{
    switch (kind) {
    case FailureReason::Kind::Failure: return QStringLiteral("device/link");
    case FailureReason::Kind::Stop: return QStringLiteral("operator stop");
    case FailureReason::Kind::Timeout: return QStringLiteral("time-out");
    }
    return QString();
}

double Yield(const HistoryServer::FirstPassDay &day)
{
    return day.units > 0 ? 100.0 * day.passed / day.units : -1;
}

std::unique_ptr<QChart> Make(const LineReport &report, ReportPart part)
{
    auto chart = std::make_unique<QChart>();
    chart->setTitle(Title(part));
    QFont title = chart->titleFont();
    title.setPointSizeF(title.pointSizeF() * 1.3);
    title.setBold(true);
    chart->setTitleFont(title);
    chart->setAnimationOptions(QChart::NoAnimation);
    chart->legend()->setAlignment(Qt::AlignBottom);
    switch (part) {
    case ReportPart::Yield: YieldChart(report, *chart); break;
    case ReportPart::Stations: StationsChart(report, *chart); break;
    case ReportPart::Reasons: ReasonsChart(report, *chart); break;
    case ReportPart::Durations: DurationsChart(report, *chart); break;
    case ReportPart::Versions: VersionsChart(report, *chart); break;
    }
    if (chart->series().isEmpty()) {
        chart->setTitle(Title(part) + QStringLiteral(": no records"));
        chart->legend()->hide();
    }
    return chart;
}

QImage Draw(QChart &chart, const QSize &size, qreal scale)
{
    // The chart is a graphics item: laid out and drawn through a scene of its own, which takes it
    // over for the drawing and gives it back.
    QGraphicsScene scene;
    scene.addItem(&chart);
    chart.setGeometry(QRectF(QPointF(0, 0), size));
    chart.layout()->activate();
    QImage image(size * scale, QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(scale);
    image.fill(Qt::white);
    {
        QPainter painter(&image);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setRenderHint(QPainter::TextAntialiasing);
        scene.render(&painter, QRectF(QPointF(0, 0), size), QRectF(QPointF(0, 0), size));
    }
    scene.removeItem(&chart);
    return image;
}

}  // namespace ReportCharts
