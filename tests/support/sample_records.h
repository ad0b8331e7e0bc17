#pragma once

#include "upgrade_record.h"

#include <QDateTime>
#include <QString>

// A record with every field filled, and texts a careless writer would mangle (Chinese, quotes,
// commas), as a job of the window would leave it: a success, or a failure with error_text. The
// unit's serial and its versions before and after are filled too (a failure leaves the version).
UpgradeRecord SampleRecord(const QString &target, const QDateTime &started_at, const QString &error_text = {});

// The SHA-256 of a file's bytes in lower-case hex, as the record stores an image's digest.
QString FileSha256(const QString &path);
