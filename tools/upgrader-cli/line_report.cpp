#include "line_report.h"

#include "report_charts.h"

#include <QApplication>
#include <QChart>
#include <QFont>
#include <QIODevice>
#include <QMap>
#include <QPageLayout>
#include <QPageSize>
#include <QPdfWriter>
#include <QTextDocument>
#include <QUrl>

#include <cstring>

using HistoryServer::DaySummary;
using HistoryServer::FirstPassDay;

namespace {

// A chart on a page: laid out at this size (its texts in proportion), then shown at the width of
// the page's text (in the document's units, about a 96 dpi pixel) and drawn this many times as
// fine for print.
constexpr int kChartWidth = 1000;
constexpr int kChartHeight = 600;
constexpr int kChartShownWidth = 640;
constexpr qreal kChartScale = 2;
// A chart alone (--report FILE.png), in pixels.
constexpr int kPngWidth = 1200;
constexpr int kPngHeight = 720;
constexpr int kPdfDpi = 300;
// A table's cell up to this long stays on one line.
constexpr int kNoWrapChars = 60;

const QList<ReportPart> kParts{ReportPart::Yield, ReportPart::Stations, ReportPart::Reasons, ReportPart::Durations,
                               ReportPart::Versions};

QString Escaped(const QString &text)
{
    return text.toHtmlEscaped();
}

QString Seconds(double s)
{
    return s < 0 ? QStringLiteral("-") : QString::number(s, 'f', 1);
}

QString Percent(double value)
{
    return value < 0 ? QStringLiteral("-") : QStringLiteral("%1 %").arg(QString::number(value, 'f', 1));
}

// An HTML table: a header row and right-aligned numbers (every column after the first ones, which
// name what a row is about).
QString Table(const QStringList &header, const QList<QStringList> &rows, int name_columns)
{
    QString html = QStringLiteral("<table border=\"1\" cellspacing=\"0\" cellpadding=\"3\" "
                                  "style=\"border-collapse: collapse; border-color: #999999;\"><tr>");
    for (const QString &cell : header)
        html += QStringLiteral("<th bgcolor=\"#e4e8ee\" style=\"white-space: nowrap;\">%1</th>").arg(Escaped(cell));
    html += QStringLiteral("</tr>");
    for (const QStringList &row : rows) {
        html += QStringLiteral("<tr>");
        for (int i = 0; i < row.size(); ++i)
            html += QStringLiteral("<td align=\"%1\"%2>%3</td>")
                        .arg(i < name_columns ? "left" : "right",
                             // Numbers and days whole on one line; a reason's long text may wrap.
                             row[i].size() <= kNoWrapChars ? QStringLiteral(" style=\"white-space: nowrap;\"") : QString(),
                             Escaped(row[i]));
        html += QStringLiteral("</tr>");
    }
    if (rows.isEmpty())
        html += QStringLiteral("<tr><td colspan=\"%1\">No records</td></tr>").arg(header.size());
    return html + QStringLiteral("</table>");
}

QString Number(qint64 value)
{
    return QString::number(value);
}

// Per day and target: the summary's counts beside the first passes of that day.
QString YieldTable(const LineReport &report)
{
    QMap<QPair<QDate, QString>, FirstPassDay> firsts;
    for (const FirstPassDay &day : report.first_passes)
        firsts.insert({day.day, day.target}, day);
    QList<QStringList> rows;
    for (const DaySummary &day : report.days) {
        const FirstPassDay first = firsts.value({day.day, day.target});
        rows << QStringList{day.day.toString(Qt::ISODate), day.target, Number(day.count), Number(day.successes),
                            Number(day.failures), Seconds(day.median_s), Number(first.units), Number(first.passed),
                            Percent(ReportCharts::Yield(first))};
    }
    return Table({"Day", "Target", "Jobs", "Succeeded", "Failed", "Median s", "First passes", "Passed", "Yield"},
                 rows, 2);
}

QString StationsTable(const LineReport &report)
{
    QList<QStringList> rows;
    for (const HistoryServer::StationTally &station : report.stations) {
        rows << QStringList{station.station, Number(station.jobs), Number(station.successes), Number(station.failures),
                            Number(station.stops), Number(station.timeouts),
                            Percent(station.jobs ? 100.0 * (station.jobs - station.successes) / station.jobs : -1)};
    }
    return Table({"Station", "Jobs", "Succeeded", "Failed", "Stopped", "Timed out", "Not successful"}, rows, 1);
}

QString ReasonsTable(const LineReport &report)
{
    qint64 total = 0;
    for (const HistoryServer::FailureReason &reason : report.reasons)
        total += reason.count;
    QList<QStringList> rows;
    qint64 sum = 0;
    int rank = 0;
    for (const HistoryServer::FailureReason &reason : report.reasons) {
        sum += reason.count;
        rows << QStringList{Number(++rank), ReportCharts::ReasonLabel(reason), ReportCharts::KindLabel(reason.kind),
                            Number(reason.count), Percent(100.0 * reason.count / total), Percent(100.0 * sum / total)};
    }
    return Table({"#", "Reason", "Kind", "Failed jobs", "Share", "Cumulative"}, rows, 3);
}

QString DurationsTable(const LineReport &report)
{
    QList<QStringList> rows;
    for (const HistoryServer::DurationSpread &spread : report.durations) {
        rows << QStringList{spread.target, Number(spread.count), Seconds(spread.min_s), Seconds(spread.q1_s),
                            Seconds(spread.median_s), Seconds(spread.q3_s), Seconds(spread.max_s)};
    }
    return Table({"Target", "Upgrades", "Min s", "Q1 s", "Median s", "Q3 s", "Max s"}, rows, 1);
}

QString VersionsTable(const LineReport &report)
{
    QMap<QString, qint64> units_of_target;
    for (const HistoryServer::FieldVersion &version : report.versions)
        units_of_target[version.target] += version.units;
    QList<QStringList> rows;
    for (const HistoryServer::FieldVersion &version : report.versions) {
        rows << QStringList{version.target, version.version.isEmpty() ? QStringLiteral("(not read)") : version.version,
                            Number(version.units), Percent(100.0 * version.units / units_of_target[version.target])};
    }
    return Table({"Target", "Version", "Units", "Share of the target"}, rows, 2);
}

// What each part counts, in a line under its head.
QString Explanation(ReportPart part)
{
    switch (part) {
    case ReportPart::Yield:
        return QStringLiteral(
            "A unit's first pass is its first job for the target in the period that sent an image; it passed when "
            "that job succeeded. Jobs that found the target current (nothing sent) and units without a serial "
            "number are left out of it. Jobs, successes (current included), failures and the median time of the "
            "successful upgrades count every job of the day.");
    case ReportPart::Stations:
        return QStringLiteral("Every job of the period per station; failures are those of the device, the link or the "
                              "image, apart from the jobs the operator stopped or --timeout ended.");
    case ReportPart::Reasons:
        return QStringLiteral("Failed jobs grouped by the first line of their error text, numbers written as #, "
                              "spaces collapsed, trailing punctuation and letter case ignored. Operator stops and "
                              "time-outs are counted apart, whatever their text.");
    case ReportPart::Durations:
        return QStringLiteral("The time of the successful upgrades (nothing for the current ones): minimum, quartiles, "
                              "median and maximum.");
    case ReportPart::Versions:
        return QStringLiteral("Each unit (by serial number) counted once per target, by the version its last job of "
                              "the period read after the job.");
    }
    return QString();
}

QString PartTable(const LineReport &report, ReportPart part)
{
    switch (part) {
    case ReportPart::Yield: return YieldTable(report);
    case ReportPart::Stations: return StationsTable(report);
    case ReportPart::Reasons: return ReasonsTable(report);
    case ReportPart::Durations: return DurationsTable(report);
    case ReportPart::Versions: return VersionsTable(report);
    }
    return QString();
}

// The period the report covers: from --since (or the first day with records) to --until (or the
// last day with records).
QString Period(const LineReport &report)
{
    QDate first, last;
    for (const DaySummary &day : report.days) {
        if (!first.isValid() || day.day < first)
            first = day.day;
        if (!last.isValid() || day.day > last)
            last = day.day;
    }
    const QString from = report.since.isValid() ? report.since.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm"))
                         : first.isValid()     ? first.toString(Qt::ISODate)
                                               : QStringLiteral("the first record");
    const QString to = report.until.isValid() ? QStringLiteral("before ") + report.until.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm"))
                       : last.isValid()       ? last.toString(Qt::ISODate)
                                              : QStringLiteral("the last record");
    return QStringLiteral("%1 to %2 (local days)").arg(from, to);
}

QString Html(const LineReport &report)
{
    QString html = QStringLiteral("<html><body><h1>Upgrade report of the line</h1>");
    const QList<QStringList> facts{
        {"Period", Period(report)},
        {"Filters", report.filters.isEmpty() ? QStringLiteral("none (every record)") : report.filters},
        {"Server", report.server},
        {"Generated", report.generated.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss t"))}};
    html += QStringLiteral("<table cellpadding=\"2\">");
    for (const QStringList &fact : facts)
        html += QStringLiteral("<tr><td><b>%1</b></td><td>%2</td></tr>").arg(Escaped(fact[0]), Escaped(fact[1]));
    html += QStringLiteral("</table>");
    for (int i = 0; i < kParts.size(); ++i) {
        const ReportPart part = kParts[i];
        // Every part but the first on a page of its own.
        html += QStringLiteral("<h2%1>%2. %3</h2><p>%4</p>")
                    .arg(i == 0 ? QString() : QStringLiteral(" style=\"page-break-before: always;\""))
                    .arg(i + 1)
                    .arg(Escaped(ReportCharts::Title(part)), Escaped(Explanation(part)));
        html += QStringLiteral("<p align=\"center\"><img src=\"chart:%1\" width=\"%2\" height=\"%3\"></p>")
                    .arg(i)
                    .arg(kChartShownWidth)
                    .arg(kChartShownWidth * kChartHeight / kChartWidth);
        html += PartTable(report, part);
    }
    return html + QStringLiteral("</body></html>");
}

}  // namespace

ReportPart ReportPartNamed(const QString &name)
{
    const QStringList names{"yield", "stations", "reasons", "durations", "versions"};
    const int index = names.indexOf(name);
    return index < 0 ? ReportPart::Yield : kParts[index];
}

bool ReadLineReport(HistoryServer::Connection &server, const HistoryServer::Filter &filter, LineReport *report,
                    QString *warning)
{
    report->since = filter.local.since;
    report->until = filter.local.until;
    return server.Summarize(filter, &report->days, warning) &&
           server.FirstPasses(filter, &report->first_passes, warning) &&
           server.Stations(filter, &report->stations, warning) && server.Reasons(filter, &report->reasons, warning) &&
           server.Durations(filter, &report->durations, warning) &&
           server.FieldVersions(filter, &report->versions, warning);
}

bool WriteReportPdf(const LineReport &report, QIODevice *file, QString *problem)
{
    QPdfWriter pdf(file);
    pdf.setResolution(kPdfDpi);
    pdf.setPageLayout(QPageLayout(QPageSize(QPageSize::A4), QPageLayout::Portrait, QMarginsF(15, 15, 15, 15),
                                  QPageLayout::Millimeter));
    pdf.setTitle(QStringLiteral("Upgrade report of the line %1").arg(report.server));
    pdf.setCreator(QStringLiteral("upgrader-cli"));

    QTextDocument document;
    QFont font = document.defaultFont();
    font.setPointSizeF(9);
    document.setDefaultFont(font);
    for (int i = 0; i < kParts.size(); ++i) {
        const std::unique_ptr<QtCharts::QChart> chart = ReportCharts::Make(report, kParts[i]);
        document.addResource(QTextDocument::ImageResource, QUrl(QStringLiteral("chart:%1").arg(i)),
                             ReportCharts::Draw(*chart, QSize(kChartWidth, kChartHeight), kChartScale));
    }
    document.setHtml(Html(report));
    // The document paginates itself over the writer's pages, with the page number at their foot.
    document.print(&pdf);
    // A write that failed on the way shows at the file's commit; one that closed the file, here.
    if (!file->isOpen()) {
        *problem = file->errorString();
        return false;
    }
    return true;
}

bool WriteReportChartPng(const LineReport &report, ReportPart part, QIODevice *file, QString *problem)
{
    const std::unique_ptr<QtCharts::QChart> chart = ReportCharts::Make(report, part);
    QImage image = ReportCharts::Draw(*chart, QSize(kPngWidth, kPngHeight), 1);
    image.setDevicePixelRatio(1);
    if (!image.save(file, "PNG")) {
        *problem = file->errorString().isEmpty() ? QStringLiteral("the image could not be written") : file->errorString();
        return false;
    }
    return true;
}

std::unique_ptr<QCoreApplication> MakeCliApplication(int &argc, char **argv)
{
    bool report = false;
    bool platform = false;
    for (int i = 1; i < argc; ++i) {
        report |= std::strcmp(argv[i], "--report") == 0 || std::strncmp(argv[i], "--report=", 9) == 0;
        platform |= std::strcmp(argv[i], "-platform") == 0;
    }
    if (!report)
        return std::make_unique<QCoreApplication>(argc, argv);
#ifdef Q_OS_LINUX
    if (!platform && !qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
#else
    Q_UNUSED(platform);
#endif
    return std::make_unique<QApplication>(argc, argv);
}
