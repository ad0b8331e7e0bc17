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
    // The configuration's folder decides where the history lives, by the rule the jobs wrote it
    // by. Only the file's place counts: a file that no longer parses keeps its history readable.
    // Without a file there is no such folder, and another folder's history would be the wrong one.
    const CliConfig config = ReadCliConfig(options.config, options.chinese);
    if (config.path.isEmpty() || !QFileInfo(config.path).isFile()) {
        output.Err(config.failure ? config.failure->Warning(config.chinese)
                                  : QStringLiteral("No configuration file at %1").arg(config.path));
        return ExitCode::kConfig;
    }
    const QString database = HistoryStore::Location(config.path);

    HistoryStore::Filter filter;
    filter.target = options.history_target;
    filter.since = options.since;
    QString warning;
    const QList<UpgradeRecord> records = HistoryStore::Read(database, filter, &warning);

    QString text;
    if (options.csv) {
        text = HistoryFormat::Csv(records);
    } else if (options.json) {
        text = HistoryFormat::JsonLines(records);
    } else {
        text = HistoryFormat::Table(records);
        // A person also wants to know which file this was (a warning names it otherwise).
        if (warning.isEmpty())
            text += QStringLiteral("%1 %2 in %3\n")
                        .arg(records.size())
                        .arg(records.size() == 1 ? "record" : "records")
                        .arg(QDir::toNativeSeparators(database));
    }
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
