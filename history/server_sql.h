#pragma once

#include <QDateTime>
#include <QString>
#include <QVariant>

// How the line's server's statements write their values and read their times; shared by the
// history's and the guard's statements (history_server.cpp, line_releases.cpp), nothing else.
namespace HistoryServer::Sql {

// A text as a string constant in the escape form (E'...', its backslashes and quotes doubled),
// which reads the same whatever the server's standard_conforming_strings.
inline QString Text(const QString &value)
{
    QString text = value;
    text.replace(QLatin1Char('\\'), QLatin1String("\\\\")).replace(QLatin1Char('\''), QLatin1String("''"));
    return QLatin1String("E'") + text + QLatin1Char('\'');
}

// A time column as the statements give it back: UTC text with milliseconds, "2024-05-01T12:34:56.789Z".
inline QString UtcTime(const QString &column)
{
    return QStringLiteral("to_char(%1 AT TIME ZONE 'UTC', 'YYYY-MM-DD\"T\"HH24:MI:SS.MS\"Z\"')").arg(column);
}

// Such a time read back; invalid for NULL.
inline QDateTime ReadUtcTime(const QVariant &value)
{
    return QDateTime::fromString(value.toString(), Qt::ISODateWithMs).toUTC();
}

}  // namespace HistoryServer::Sql
