#include "history_probe.h"

#include "history_store.h"

#include <QDir>
#include <QFileInfo>

namespace {

// Folders above a history file, at most: a path deeper than this is no folder of ours.
constexpr int kMaxFolderDepth = 256;

}  // namespace

QString HistoryWriteProblem(const QString &database)
{
    if (QFileInfo::exists(database)) {
        // Counting the outbox is a write transaction on the file (it brings an older file to the
        // present layout first): where it commits, an append commits too.
        QString warning;
        HistoryStore::CountWaiting(database, &warning);
        return warning;
    }
    // The first record makes the file, and the folders to it.
    QFileInfo folder(QFileInfo(database).absolutePath());
    for (int depth = 0; depth < kMaxFolderDepth && !folder.exists(); ++depth)
        folder = QFileInfo(folder.absolutePath());
    if (folder.exists() && folder.isDir() && folder.isWritable())
        return QString();
    return QStringLiteral("Upgrade history not written to %1: the folder %2 does not take new files")
        .arg(QDir::toNativeSeparators(database), QDir::toNativeSeparators(folder.absoluteFilePath()));
}
