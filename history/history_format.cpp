#include "history_format.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonValue>
#include <QRegularExpression>
#include <QVector>
#include <QStringList>

namespace {

constexpr int kShortDigest = 12;  // enough to tell images apart at a glance
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
    QString text = QLatin1String(record.success ? UpgradeRecord::kSuccess : UpgradeRecord::kFailed);
    if (!record.stopped_by.isEmpty())
        text += QStringLiteral(" (%1)").arg(record.stopped_by);
    return text;
}

QString CsvField(const QString &field)
{
    static const QRegularExpression special(QStringLiteral("[\",\r\n]"));
    if (!field.contains(special))
        return field;
    QString quoted = field;
    quoted.replace(QLatin1Char('"'), QStringLiteral("\"\""));
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

// One JSON value as compact text (QJsonDocument only writes arrays and objects).
QString JsonValueText(const QJsonValue &value)
{
    const QByteArray array = QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact);
    return QString::fromUtf8(array.mid(1, array.size() - 2));
}

}  // namespace

namespace HistoryFormat {

QString Table(const QList<UpgradeRecord> &records)
{
    QList<QStringList> rows{{"Started (local)", "Target", "Dev", "Port", "Location", "Hardware", "Version", "SHA-256", "Result",
                             "Time", "Station", "Error"}};
    for (const UpgradeRecord &r : records) {
        rows << QStringList{r.started_at.toLocalTime().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")),
                            r.target,
                            QString::number(r.dev_id),
                            r.port_name,
                            r.usb_location,
                            r.hw_version,
                            r.image_version,
                            r.image_sha256.left(kShortDigest),
                            ResultCell(r),
                            QString::number(r.duration_ms / 1000.0, 'f', 1) + QStringLiteral(" s"),
                            r.user + QLatin1Char('@') + r.host,
                            OneLine(r.error_text)};
    }
    QVector<int> widths(rows.first().size(), 0);
    for (const QStringList &row : qAsConst(rows)) {
        for (int i = 0; i < row.size(); ++i)
            widths[i] = qMax(widths[i], row[i].size());
    }
    QString out;
    for (const QStringList &row : qAsConst(rows)) {
        QString line;
        for (int i = 0; i < row.size(); ++i) {
            if (i > 0)
                line += QLatin1String(kGap);
            line += row[i].leftJustified(widths[i]);
        }
        // The last column is left-justified too; a line ends where its text does.
        while (line.endsWith(QLatin1Char(' ')))
            line.chop(1);
        out += line + QLatin1Char('\n');
    }
    return out;
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
            fields << CsvField(column.get(record).toString());
        out += fields.join(QLatin1Char(',')) + QStringLiteral("\r\n");
    }
    return out;
}

}  // namespace HistoryFormat
