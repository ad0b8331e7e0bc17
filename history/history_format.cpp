#include "history_format.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonValue>
#include <QRegularExpression>
#include <QVector>
#include <QStringList>

#include <utility>

namespace {

constexpr char kGap[] = "  ";

QString OneLine(const QString &text)
{
    QStringList lines = text.split(QRegularExpression(QStringLiteral("\r\n|\r|\n")), Qt::SkipEmptyParts);
    for (QString &line : lines)
        line = line.trimmed();
    lines.removeAll(QString());
    return lines.join(QStringLiteral(" / "));
}

QString ResultCell(const UpgradeRecord &record)
{
    QString text = QLatin1String(ResultText(record));
    if (!record.stopped_by.isEmpty())
        text += QStringLiteral(" (%1)").arg(record.stopped_by);
    return text;
}

// The unit's application version before and after the job: "2.1.4.0 -> 2.1.5.0"; a side never
// asked shows as "-", and a job that never reached the unit shows nothing.
QString VersionsCell(const UpgradeRecord &record)
{
    if (record.version_before.isEmpty() && record.version_after.isEmpty())
        return QString();
    auto side = [](const QString &version) { return version.isEmpty() ? QStringLiteral("-") : version; };
    return side(record.version_before) + QStringLiteral(" -> ") + side(record.version_after);
}

// A text cell that a spreadsheet would run as a formula (or, for a tab or a carriage return first,
// that some spreadsheets strip to reach one) is written as text: a leading apostrophe, inside
// quotes. Number columns hold numbers only, and a negative number stays a number.
bool RunsAsFormula(const QString &field)
{
    static const QString kFormulaStarts = QStringLiteral("=+-@\t\r");
    return !field.isEmpty() && kFormulaStarts.contains(field.at(0));
}

QString CsvField(const QString &field, bool is_number)
{
    static const QRegularExpression special(QStringLiteral("[\",\r\n]"));
    const bool formula = !is_number && RunsAsFormula(field);
    if (!formula && !field.contains(special))
        return field;
    QString quoted = field;
    quoted.replace(QLatin1Char('"'), QStringLiteral("\"\""));
    return QLatin1Char('"') + (formula ? QStringLiteral("'") : QString()) + quoted + QLatin1Char('"');
}

// One JSON value as compact text (QJsonDocument only writes arrays and objects).
QString JsonValueText(const QJsonValue &value)
{
    const QByteArray array = QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact);
    return QString::fromUtf8(array.mid(1, array.size() - 2));
}

// Columns padded to their widest cell, two spaces apart; a line ends where its text does.
QString Aligned(const QList<QStringList> &rows)
{
    QVector<int> widths(rows.first().size(), 0);
    for (const QStringList &row : rows) {
        for (int i = 0; i < row.size(); ++i)
            widths[i] = qMax(widths[i], row[i].size());
    }
    QString out;
    for (const QStringList &row : rows) {
        QString line;
        for (int i = 0; i < row.size(); ++i) {
            if (i > 0)
                line += QLatin1String(kGap);
            line += row[i].leftJustified(widths[i]);
        }
        while (line.endsWith(QLatin1Char(' ')))
            line.chop(1);
        out += line + QLatin1Char('\n');
    }
    return out;
}

// A median in seconds as the forms show it: to the millisecond.
double MedianSeconds(const HistoryServer::DaySummary &day)
{
    return qRound64(day.median_s * 1000.0) / 1000.0;
}

}  // namespace

namespace HistoryFormat {

QString Table(const QList<UpgradeRecord> &records, bool with_station)
{
    QStringList header{"Started (local)", "Target", "Serial", "Before -> after", "Image",
                       "Result",          "Time",   "User",   "Error"};
    if (with_station)
        header.insert(1, QStringLiteral("Station"));
    QList<QStringList> rows{header};
    for (const UpgradeRecord &r : records) {
        QStringList row{r.started_at.toLocalTime().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")),
                        r.target,
                        r.unit_serial,
                        VersionsCell(r),
                        r.image_version,
                        ResultCell(r),
                        QString::number(r.duration_ms / 1000.0, 'f', 1) + QStringLiteral(" s"),
                        r.user,
                        OneLine(r.error_text)};
        if (with_station)
            row.insert(1, r.host);
        rows << row;
    }
    return Aligned(rows);
}

QString JsonLines(const QList<UpgradeRecord> &records)
{
    QString out;
    for (const UpgradeRecord &record : records) {
        QStringList members;
        for (const RecordColumn &column : RecordColumns()) {
            const QVariant value = column.get(record);
            const QJsonValue json = column.is_number ? QJsonValue(double(value.toLongLong())) : QJsonValue(value.toString());
            members << JsonValueText(QLatin1String(column.name)) + QLatin1Char(':') + JsonValueText(json);
        }
        out += QLatin1Char('{') + members.join(QLatin1Char(',')) + QStringLiteral("}\n");
    }
    return out;
}

QString Csv(const QList<UpgradeRecord> &records)
{
    QStringList header;
    for (const RecordColumn &column : RecordColumns())
        header << QLatin1String(column.name);
    QString out = header.join(QLatin1Char(',')) + QStringLiteral("\r\n");
    for (const UpgradeRecord &record : records) {
        QStringList fields;
        for (const RecordColumn &column : RecordColumns())
            fields << CsvField(column.get(record).toString(), column.is_number);
        out += fields.join(QLatin1Char(',')) + QStringLiteral("\r\n");
    }
    return out;
}

QString SummaryTable(const QList<HistoryServer::DaySummary> &days)
{
    QList<QStringList> rows{{"Day (local)", "Target", "Jobs", "Succeeded", "Failed", "Median time"}};
    for (const HistoryServer::DaySummary &day : days) {
        rows << QStringList{day.day.toString(Qt::ISODate),
                            day.target,
                            QString::number(day.count),
                            QString::number(day.successes),
                            QString::number(day.failures),
                            day.median_s < 0 ? QStringLiteral("-")
                                             : QString::number(day.median_s, 'f', 1) + QStringLiteral(" s")};
    }
    return Aligned(rows);
}

QString SummaryJsonLines(const QList<HistoryServer::DaySummary> &days)
{
    QString out;
    for (const HistoryServer::DaySummary &day : days) {
        const std::pair<const char *, QJsonValue> fields[] = {
            {"day", day.day.toString(Qt::ISODate)},
            {"target", day.target},
            {"count", double(day.count)},
            {"successes", double(day.successes)},
            {"failures", double(day.failures)},
            {"median_s", day.median_s < 0 ? QJsonValue() : QJsonValue(MedianSeconds(day))}};
        QStringList members;
        for (const auto &field : fields)
            members << JsonValueText(QLatin1String(field.first)) + QLatin1Char(':') + JsonValueText(field.second);
        out += QLatin1Char('{') + members.join(QLatin1Char(',')) + QStringLiteral("}\n");
    }
    return out;
}

QString SummaryCsv(const QList<HistoryServer::DaySummary> &days)
{
    QString out = QStringLiteral("day,target,count,successes,failures,median_s\r\n");
    for (const HistoryServer::DaySummary &day : days) {
        out += QStringList{day.day.toString(Qt::ISODate), CsvField(day.target, false), QString::number(day.count),
                           QString::number(day.successes), QString::number(day.failures),
                           day.median_s < 0 ? QString() : QString::number(MedianSeconds(day), 'f', 3)}
                   .join(QLatin1Char(',')) +
               QStringLiteral("\r\n");
    }
    return out;
}

}  // namespace HistoryFormat
