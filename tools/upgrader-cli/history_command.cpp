#include "history_command.h"

#include "cli_config.h"
#include "cli_options.h"
#include "cli_output.h"
#include "exit_codes.h"
#include "history_format.h"
#include "history_store.h"

#include <QDir>
#include <QFileInfo>

#include <cstdio>

int RunHistory(const CliOptions &options, CliOutput &output)
{
    // The configuration's folder decides where the history lives. Only the file's place counts:
    // a file that no longer parses keeps its history readable. Without a file there is no such
    // folder, and another folder's history would be the wrong one.
    const CliConfig config = ReadCliConfig(options.config, options.chinese);
    if (config.path.isEmpty() || !QFileInfo(config.path).isFile()) {
        output.Err(config.failure ? config.failure->Warning(config.chinese)
                                  : QStringLiteral("No configuration file at %1").arg(config.path));
        return ExitCode::kConfig;
    }
    // The file beside the configuration when it may be read, even from a folder this account may
    // not write (an installed station's folder): that is the station's history.
    const HistoryStore::Places places = HistoryStore::Choose(config.path, HistoryStore::Probe(config.path));
    const QString database = places.read;

    HistoryStore::Filter filter;
    filter.target = options.history_target;
    filter.serial = options.history_serial;
    filter.since = options.since;
    QString warning;
    const QList<UpgradeRecord> records = HistoryStore::Read(database, filter, &warning);

    // Which file this was: for a person, the table's last line; for a script, a line on standard
    // error, so that standard output holds the records and nothing else.
    const QString file_line = QStringLiteral("history: %1").arg(QDir::toNativeSeparators(database));
    QString text;
    if (options.csv) {
        text = HistoryFormat::Csv(records);
    } else if (options.json) {
        text = HistoryFormat::JsonLines(records);
    } else {
        text = HistoryFormat::Table(records) + QStringLiteral("%1 (%2 %3)\n")
                                                   .arg(file_line)
                                                   .arg(records.size())
                                                   .arg(records.size() == 1 ? "record" : "records");
    }
    if (options.csv || options.json)
        output.Err(file_line);
    // This account's own jobs go elsewhere: say so, or their records would seem lost.
    if (places.write != places.read && QFileInfo::exists(places.write))
        output.Err(QStringLiteral("history: the jobs of this account are recorded in %1 (the configuration's "
                                  "folder may not be written)")
                       .arg(QDir::toNativeSeparators(places.write)));
    const QByteArray bytes = text.toUtf8();
    fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    fflush(stdout);

    // What could be read is shown; the exit code tells a script the rest is missing.
    if (!warning.isEmpty()) {
        output.Err(warning);
        return ExitCode::kFailed;
    }
    return ExitCode::kSuccess;
}
