#pragma once

#include <QList>
#include <QString>
#include <QStringList>

// A strict RFC 4180 reader: fields separated by commas, records ended by CR LF, a quoted field
// may hold anything with its quotes doubled. Anything else is an error, so a writer that
// forgets a quote or ends a line with LF alone fails here.
QList<QStringList> ReadCsv(const QString &text, QString *error);
