#include "history_command.h"

#include "cli_config.h"
#include "cli_options.h"
#include "cli_output.h"
#include "exit_codes.h"
#include "history_format.h"
#include "history_server.h"
#include "history_store.h"
#include "history_sync.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonObject>

#include <algorithm>
#include <cstdio>

namespace {

// The line's server as the command uses it: the connection string in force, and its name for the
// lines that say where the records came from or went.
struct LineServer {
    QString connection;
    QString name;
};

void Print(const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    fflush(stdout);
}

QString Records(qint64 count)
{
    return QStringLiteral("%1 %2").arg(count).arg(count == 1 ? "record" : "records");
}

// The server in force for config, or kConfig with the reason on standard error. The environment
// alone may name it: reading the line's records needs no configuration file.
int FindServer(const CliConfig &config, CliOutput &output, LineServer *server)
{
    server->connection =
        config.history_server.isEmpty() ? HistoryServer::Configured(QString()) : config.history_server;
    if (server->connection.isEmpty()) {
        if (config.failure)
            output.Err(config.failure->Warning(config.chinese));
        output.Err(QStringLiteral("No server of the line is configured for the upgrade history: name one in the "
                                  "configuration's \"history_server\" (%1) or in the environment variable %2")
                       .arg(config.path.isEmpty() ? QStringLiteral("no configuration file found")
                                                  : QDir::toNativeSeparators(config.path),
                            QLatin1String(HistoryServer::kEnvironmentVariable)));
        return ExitCode::kConfig;
    }
    QString problem;
    HistoryServer::ConnectOptions(server->connection, &problem);
    if (!problem.isEmpty()) {
        output.Err(QStringLiteral("The line's server for the upgrade history (\"history_server\" or %1) is not "
                                  "usable: %2")
                       .arg(QLatin1String(HistoryServer::kEnvironmentVariable), problem));
        return ExitCode::kConfig;
    }
    server->name = HistoryServer::ServerName(server->connection);
    return ExitCode::kSuccess;
}

// The configuration file whose folder decides where the station's history lives; kConfig with
// the reason on standard error when there is none. A file that no longer parses still counts.
int FindConfigFile(const CliConfig &config, CliOutput &output)
{
    if (config.path.isEmpty() || !QFileInfo(config.path).isFile()) {
        output.Err(config.failure ? config.failure->Warning(config.chinese)
                                  : QStringLiteral("No configuration file at %1").arg(config.path));
        return ExitCode::kConfig;
    }
    return ExitCode::kSuccess;
}

int RunServerHistory(const CliOptions &options, CliOutput &output)
{
    const CliConfig config = ReadCliConfig(options.config, options.chinese);
    LineServer server;
    if (const int code = FindServer(config, output, &server))
        return code;

    HistoryServer::Filter filter;
    filter.local.target = options.history_target;
    filter.local.serial = options.history_serial;
    filter.local.since = options.since;
    filter.station = options.station;
    HistoryServer::Connection connection(server.connection);
    QString warning;
    QString text;
    qint64 count = 0;
    bool read = false;
    if (options.summary) {
        QList<HistoryServer::DaySummary> days;
        read = connection.Summarize(filter, &days, &warning);
        for (const HistoryServer::DaySummary &day : days)
            count += day.count;
        text = options.csv    ? HistoryFormat::SummaryCsv(days)
               : options.json ? HistoryFormat::SummaryJsonLines(days)
                              : HistoryFormat::SummaryTable(days);
    } else {
        QList<UpgradeRecord> records;
        read = connection.Read(filter, &records, &warning);
        count = records.size();
        text = options.csv    ? HistoryFormat::Csv(records)
               : options.json ? HistoryFormat::JsonLines(records)
                              : HistoryFormat::Table(records, true);
    }
    // Nothing on standard output then: an empty table would say the line has no such records.
    if (!read) {
        output.Err(QStringLiteral("Upgrade history not readable from the line's server %1: %2")
                       .arg(server.name, warning));
        return ExitCode::kFailed;
    }
    // Which server this was, as `history` names its file.
    const QString server_line = QStringLiteral("history: server %1").arg(server.name);
    if (options.csv || options.json) {
        output.Err(server_line);
        Print(text);
    } else {
        Print(text + QStringLiteral("%1 (%2)\n").arg(server_line, Records(count)));
    }
    return ExitCode::kSuccess;
}

}  // namespace

int RunHistory(const CliOptions &options, CliOutput &output)
{
    if (options.server)
        return RunServerHistory(options, output);
    // The configuration's folder decides where the history lives. Only the file's place counts:
    // a file that no longer parses keeps its history readable. Without a file there is no such
    // folder, and another folder's history would be the wrong one.
    const CliConfig config = ReadCliConfig(options.config, options.chinese);
    if (const int code = FindConfigFile(config, output))
        return code;
    // The file beside the configuration when it may be read, even from a folder this account may
    // not write (an installed station's folder): that is the station's history.
    const HistoryStore::Places places = HistoryStore::Choose(config.path, HistoryStore::Probe(config.path));
    const QString database = places.read;

    HistoryStore::Filter filter;
    filter.target = options.history_target;
    filter.serial = options.history_serial;
    filter.since = options.since;
    QString warning;
    QList<UpgradeRecord> records = HistoryStore::Read(database, filter, &warning);
    // A station's file normally holds its own host only; one copied from another keeps its own.
    if (!options.station.isEmpty()) {
        records.erase(std::remove_if(records.begin(), records.end(),
                                     [&](const UpgradeRecord &record) { return record.host != options.station; }),
                      records.end());
    }

    // Which file this was: for a person, the table's last line; for a script, a line on standard
    // error, so that standard output holds the records and nothing else.
    const QString file_line = QStringLiteral("history: %1").arg(QDir::toNativeSeparators(database));
    QString text;
    if (options.csv) {
        text = HistoryFormat::Csv(records);
    } else if (options.json) {
        text = HistoryFormat::JsonLines(records);
    } else {
        text = HistoryFormat::Table(records) + QStringLiteral("%1 (%2)\n").arg(file_line, Records(records.size()));
    }
    if (options.csv || options.json)
        output.Err(file_line);
    // This account's own jobs go elsewhere: say so, or their records would seem lost.
    if (places.write != places.read && QFileInfo::exists(places.write))
        output.Err(QStringLiteral("history: the jobs of this account are recorded in %1 (the configuration's "
                                  "folder may not be written)")
                       .arg(QDir::toNativeSeparators(places.write)));
    Print(text);

    // What could be read is shown; the exit code tells a script the rest is missing.
    if (!warning.isEmpty()) {
        output.Err(warning);
        return ExitCode::kFailed;
    }
    return ExitCode::kSuccess;
}

int RunHistorySync(const CliOptions &options, CliOutput &output)
{
    const CliConfig config = ReadCliConfig(options.config, options.chinese);
    if (const int code = FindConfigFile(config, output))
        return code;
    LineServer server;
    if (const int code = FindServer(config, output, &server))
        return code;
    // The file this account's jobs write and mark: the records it holds are this account's to send.
    const QString database = HistoryStore::Location(config.path);
    HistoryServer::Connection connection(server.connection);
    const HistoryServer::SyncTally tally =
        HistoryServer::PushWaiting(database, connection, HistorySync::Pacing().batch);
    const int code = tally.warning.isEmpty() && tally.waiting == 0 ? ExitCode::kSuccess : ExitCode::kFailed;
    if (output.Json()) {
        output.Event(QStringLiteral("result"), {{QStringLiteral("result"), ExitCode::ResultName(code)},
                                                {QStringLiteral("exit_code"), code},
                                                {QStringLiteral("sent"), tally.sent},
                                                {QStringLiteral("waiting"), tally.waiting},
                                                {QStringLiteral("server"), server.name},
                                                {QStringLiteral("history"), QDir::toNativeSeparators(database)},
                                                {QStringLiteral("error"), tally.warning}});
        return code;
    }
    const QString waiting = tally.waiting < 0 ? QStringLiteral("how many wait cannot be told")
                                              : QStringLiteral("%1 waiting").arg(tally.waiting);
    output.Out(QStringLiteral("history sync: %1 sent to %2, %3").arg(Records(tally.sent), server.name, waiting));
    if (!tally.warning.isEmpty())
        output.Err(QStringLiteral("history sync: %1").arg(tally.warning));
    return code;
}
