#include "station_folder.h"

#include "history_store.h"

#include <QFile>

QString AppendRecords(const QString &database, const QList<UpgradeRecord> &records)
{
    for (const UpgradeRecord &record : records) {
        const QString warning = HistoryStore::Append(database, record);
        if (!warning.isEmpty()) {
            qWarning("%s", qPrintable(warning));
            return warning;
        }
    }
    return QString();
}

QList<UpgradeRecord> ReadRecords(const QString &database)
{
    QString warning;
    const QList<UpgradeRecord> records = HistoryStore::Read(database, {}, &warning);
    if (!warning.isEmpty())
        qWarning("%s", qPrintable(warning));
    return records;
}

StationFolder::StationFolder(const QByteArray &config)
{
    QFile file(Config());
    if (!file.open(QIODevice::WriteOnly) || file.write(config) != config.size())
        qFatal("cannot write %s", qPrintable(Config()));
}

qint64 StationFolder::Waiting() const
{
    QString warning;
    return HistoryStore::CountWaiting(Database(), &warning);
}
