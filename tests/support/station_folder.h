#pragma once

#include "upgrade_record.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QTemporaryDir>

// Records appended one by one to the history at database; the first warning, or empty.
QString AppendRecords(const QString &database, const QList<UpgradeRecord> &records);
// Every record of the history at database, as it keeps them (ids and uids given); a warning is
// printed, and gives what could be read.
QList<UpgradeRecord> ReadRecords(const QString &database);

// A station's folder: a configuration and the history its jobs write beside it.
struct StationFolder {
    QTemporaryDir dir;

    explicit StationFolder(const QByteArray &config = "{}");
    QString Config() const { return dir.filePath("config.json"); }
    QString Database() const { return dir.filePath("upgrade-history.sqlite"); }
    bool Append(const QList<UpgradeRecord> &records) const { return AppendRecords(Database(), records).isEmpty(); }
    QList<UpgradeRecord> Records() const { return ReadRecords(Database()); }
    // Records that wait for the line's server; -1 when that cannot be told.
    qint64 Waiting() const;
};
