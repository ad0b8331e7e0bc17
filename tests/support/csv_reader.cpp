#include "csv_reader.h"

QList<QStringList> ReadCsv(const QString &text, QString *error)
{
    QList<QStringList> rows;
    QStringList row;
    QString field;
    bool in_quotes = false;
    bool was_quoted = false;
    for (int i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (in_quotes) {
            if (c != '"') {
                field += c;
            } else if (i + 1 < text.size() && text[i + 1] == '"') {
                field += '"';
                ++i;
            } else {
                in_quotes = false;
            }
            continue;
        }
        if (c == '"') {
            if (!field.isEmpty() || was_quoted) {
                *error = QStringLiteral("a quote inside an unquoted field at %1").arg(i);
                return {};
            }
            in_quotes = was_quoted = true;
        } else if (c == ',') {
            row << field;
            field.clear();
            was_quoted = false;
        } else if (c == '\r') {
            if (i + 1 >= text.size() || text[i + 1] != '\n') {
                *error = QStringLiteral("CR without LF at %1").arg(i);
                return {};
            }
            ++i;
            rows << (row << field);
            row.clear();
            field.clear();
            was_quoted = false;
        } else if (c == '\n') {
            *error = QStringLiteral("LF without CR at %1").arg(i);
            return {};
        } else if (was_quoted) {
            *error = QStringLiteral("text after a closing quote at %1").arg(i);
            return {};
        } else {
            field += c;
        }
    }
    if (in_quotes || !field.isEmpty() || !row.isEmpty()) {
        *error = QStringLiteral("the last record is not ended");
        return {};
    }
    return rows;
}
