#include "history_command.h"

#include "cli_config.h"
#include "cli_options.h"
#include "cli_output.h"
#include "exit_codes.h"
#include "history_format.h"
#include "history_server.h"
#include "history_store.h"
#include "history_sync.h"
#include "line_report.h"
#include "line_guard.h"
#include "run_report.h"
#include "stop_signals.h"

#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonObject>
#include <QSaveFile>
#include <QSysInfo>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace {

// How long a stopped command waits for its exchange with the server to end once its connection
// is cut: a statement ends at once then; only a connect under way (bounded by connect_timeout)
// takes longer, and the command does not wait for that.
constexpr int kStoppedExchangeMs = 1000;

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

// With --json, a command that does not end with its records ends with its result line: what a
// script reads to learn why, as for every other command.
void JsonResult(CliOutput &output, int code, const QString &error, QJsonObject fields = {})
{
    if (!output.Json())
        return;
    fields.insert(QStringLiteral("result"), ExitCode::ResultName(code));
    fields.insert(QStringLiteral("exit_code"), code);
    fields.insert(QStringLiteral("error"), error);
    output.Event(QStringLiteral("result"), fields);
}

// The server in force for config, or kConfig with the reason on standard error (*problem: the
// last line of it). The environment alone may name it: reading the line's records needs no
// configuration file.
int FindServer(const CliConfig &config, CliOutput &output, LineServer *server, QString *problem)
{
    server->connection =
        config.history_server.isEmpty() ? HistoryServer::Configured(QString()) : config.history_server;
    if (server->connection.isEmpty()) {
        if (config.failure)
            output.Err(config.failure->Warning(config.language));
        *problem = QStringLiteral("No server of the line is configured for the upgrade history: name one in the "
                                  "configuration's \"history_server\" (%1) or in the environment variable %2")
                       .arg(config.path.isEmpty() ? QStringLiteral("no configuration file found")
                                                  : QDir::toNativeSeparators(config.path),
                            QLatin1String(HistoryServer::kEnvironmentVariable));
        output.Err(*problem);
        return ExitCode::kConfig;
    }
    QString unusable;
    HistoryServer::ConnectOptions(server->connection, &unusable);
    if (!unusable.isEmpty()) {
        *problem = QStringLiteral("The line's server for the upgrade history (\"history_server\" or %1) is not "
                                  "usable: %2")
                       .arg(QLatin1String(HistoryServer::kEnvironmentVariable), unusable);
        output.Err(*problem);
        return ExitCode::kConfig;
    }
    server->name = HistoryServer::ServerName(server->connection);
    return ExitCode::kSuccess;
}

// The configuration file whose folder decides where the station's history lives; kConfig with
// the reason on standard error when there is none. A file that no longer parses still counts.
int FindConfigFile(const CliConfig &config, CliOutput &output, QString *problem)
{
    if (config.path.isEmpty() || !QFileInfo(config.path).isFile()) {
        *problem = config.failure ? config.failure->Warning(config.language)
                                  : QStringLiteral("No configuration file at %1").arg(config.path);
        output.Err(*problem);
        return ExitCode::kConfig;
    }
    return ExitCode::kSuccess;
}

// One exchange with the line's server (a read, a sync), made on a thread of its own with a
// connection made there, while this thread waits for its end or for a stop signal: SIGINT,
// SIGTERM, SIGHUP (also one the command started with ignored, as a script's background job
// does). A stop cuts the connection, so a statement waiting on the server (behind another
// session's lock, say) ends at once and the records stay waiting; the cause is returned, after
// stopped(cause) has reported it. An exchange that has not ended soon after the cut (a connect
// under way) is left behind: the command exits with the stop's code right after the report.
StopCause ExchangeWithServer(const QString &connection, int statement_bound_ms,
                             const std::function<void(HistoryServer::Connection &, const std::atomic<bool> &)> &exchange,
                             const std::function<void(StopCause)> &stopped)
{
    std::mutex mutex;
    std::condition_variable wake;
    HistoryServer::Connection *live = nullptr;
    bool ended = false;
    std::atomic<bool> stop{false};
    StopCause cause = StopCause::None;

    QEventLoop loop;
    StopSignals stop_signals;
    QObject::connect(&stop_signals, &StopSignals::Stop, &loop, [&](int number) {
        if (cause == StopCause::None)
            cause = SignalStopCause(number);
        stop = true;
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (live)
                live->Cut();
        }
        loop.quit();
    });
    std::thread worker([&] {
        {
            HistoryServer::Connection server(connection, statement_bound_ms);
            {
                std::lock_guard<std::mutex> lock(mutex);
                live = &server;
                if (stop)
                    server.Cut();
            }
            exchange(server, stop);
            std::lock_guard<std::mutex> lock(mutex);
            live = nullptr;
        }
        {
            std::lock_guard<std::mutex> lock(mutex);
            ended = true;
        }
        wake.notify_all();
        QMetaObject::invokeMethod(&loop, "quit", Qt::QueuedConnection);
    });
    loop.exec();
    if (cause != StopCause::None) {
        std::unique_lock<std::mutex> lock(mutex);
        const bool in_time = wake.wait_for(lock, std::chrono::milliseconds(kStoppedExchangeMs), [&] { return ended; });
        lock.unlock();
        stopped(cause);
        if (!in_time) {
            fflush(stdout);
            fflush(stderr);
            std::_Exit(StopExitCode(cause));
        }
    }
    worker.join();
    return cause;
}

// history --server --report FILE: the line's report of the records filter chooses, written to
// FILE whole or not at all (nothing is left there when the server cannot be read or the file not
// written; a report already there stays as it was).
int RunServerReport(const CliOptions &options, CliOutput &output, const CliConfig &config, const LineServer &server,
                    const HistoryServer::Filter &filter)
{
    const QString path = QDir::toNativeSeparators(options.report);
    QSaveFile file(options.report);
    if (!file.open(QIODevice::WriteOnly)) {
        output.Err(QStringLiteral("Report not written to %1: %2").arg(path, file.errorString()));
        return ExitCode::kFailed;
    }
    LineReport report;
    report.server = server.name;
    QStringList filters;
    if (!options.history_target.isEmpty())
        filters << QStringLiteral("target %1").arg(options.history_target);
    if (!options.station.isEmpty())
        filters << QStringLiteral("station %1").arg(options.station);
    if (!options.history_serial.isEmpty())
        filters << QStringLiteral("serial %1").arg(options.history_serial);
    if (options.since.isValid())
        filters << QStringLiteral("since %1").arg(options.since.toLocalTime().toString(Qt::ISODateWithMs));
    if (options.until.isValid())
        filters << QStringLiteral("until %1").arg(options.until.toLocalTime().toString(Qt::ISODateWithMs));
    report.filters = filters.join(QStringLiteral(", "));
    QString warning;
    bool read = false;
    const StopCause stopped = ExchangeWithServer(
        server.connection, HistoryServer::DefaultStatementBoundMs(),
        [&](HistoryServer::Connection &connection, const std::atomic<bool> &) {
            read = ReadLineReport(connection, filter, &report, &warning);
        },
        [&](StopCause cause) {
            output.Err(QStringLiteral("Report not written to %1: the line's server %2 was not read: %3")
                           .arg(path, server.name, StopReason(cause, config.language, 0)));
        });
    if (stopped != StopCause::None)
        return StopExitCode(stopped);
    if (!read) {
        output.Err(QStringLiteral("Report not written to %1: upgrade history not readable from the line's server %2: %3")
                       .arg(path, server.name, warning));
        return ExitCode::kFailed;
    }
    report.generated = QDateTime::currentDateTime();
    QString problem;
    const bool drawn = options.report.endsWith(QLatin1String(".pdf"), Qt::CaseInsensitive)
                           ? WriteReportPdf(report, &file, &problem)
                           : WriteReportChartPng(report, ReportPartNamed(options.chart), &file, &problem);
    if (!drawn || !file.commit()) {
        output.Err(QStringLiteral("Report not written to %1: %2").arg(path, drawn ? file.errorString() : problem));
        return ExitCode::kFailed;
    }
    qint64 count = 0;
    for (const HistoryServer::DaySummary &day : qAsConst(report.days))
        count += day.count;
    Print(QStringLiteral("history: report %1 written from server %2 (%3)\n").arg(path, server.name, Records(count)));
    return ExitCode::kSuccess;
}

int RunServerHistory(const CliOptions &options, CliOutput &output)
{
    const CliConfig config = ReadCliConfig(options.config, options.language);
    LineServer server;
    QString problem;
    if (const int code = FindServer(config, output, &server, &problem)) {
        JsonResult(output, code, problem);
        return code;
    }

    HistoryServer::Filter filter;
    filter.local.target = options.history_target;
    filter.local.serial = options.history_serial;
    filter.local.since = options.since;
    filter.local.until = options.until;
    filter.station = options.station;
    if (!options.report.isEmpty())
        return RunServerReport(options, output, config, server, filter);
    QString warning;
    qint64 count = 0;
    bool read = false;
    QList<HistoryServer::DaySummary> days;
    QList<UpgradeRecord> records;
    const StopCause stopped = ExchangeWithServer(
        server.connection, HistoryServer::DefaultStatementBoundMs(),
        [&](HistoryServer::Connection &connection, const std::atomic<bool> &) {
            read = options.summary ? connection.Summarize(filter, &days, &warning)
                                   : connection.Read(filter, &records, &warning);
        },
        [&](StopCause cause) {
            const QString reason = StopReason(cause, config.language, 0);
            output.Err(QStringLiteral("Upgrade history not read from the line's server %1: %2").arg(server.name, reason));
            JsonResult(output, StopExitCode(cause), reason, {{QStringLiteral("server"), server.name}});
        });
    if (stopped != StopCause::None)
        return StopExitCode(stopped);
    // Nothing on standard output then (but the result line of --json): an empty table would say
    // the line has no such records.
    if (!read) {
        const QString reason = QStringLiteral("Upgrade history not readable from the line's server %1: %2")
                                   .arg(server.name, warning);
        output.Err(reason);
        JsonResult(output, ExitCode::kFailed, reason, {{QStringLiteral("server"), server.name}});
        return ExitCode::kFailed;
    }
    QString text;
    if (options.summary) {
        for (const HistoryServer::DaySummary &day : qAsConst(days))
            count += day.count;
        text = options.csv    ? HistoryFormat::SummaryCsv(days)
               : options.json ? HistoryFormat::SummaryJsonLines(days)
                              : HistoryFormat::SummaryTable(days);
    } else {
        count = records.size();
        text = options.csv    ? HistoryFormat::Csv(records)
               : options.json ? HistoryFormat::JsonLines(records)
                              : HistoryFormat::Table(records, true);
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
    const CliConfig config = ReadCliConfig(options.config, options.language);
    QString problem;
    if (const int code = FindConfigFile(config, output, &problem)) {
        JsonResult(output, code, problem);
        return code;
    }
    // The file beside the configuration when it may be read, even from a folder this account may
    // not write (an installed station's folder): that is the station's history.
    const HistoryStore::Places places = HistoryStore::Choose(config.path, HistoryStore::Probe(config.path));
    const QString database = places.read;

    HistoryStore::Filter filter;
    filter.target = options.history_target;
    filter.serial = options.history_serial;
    filter.since = options.since;
    filter.until = options.until;
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

    // What could be read is shown; the exit code tells a script the rest is missing (and with
    // --json, a result line after the records).
    if (!warning.isEmpty()) {
        output.Err(warning);
        JsonResult(output, ExitCode::kFailed, warning, {{QStringLiteral("history"), QDir::toNativeSeparators(database)}});
        return ExitCode::kFailed;
    }
    return ExitCode::kSuccess;
}

int RunHistorySync(const CliOptions &options, CliOutput &output)
{
    const CliConfig config = ReadCliConfig(options.config, options.language);
    QString problem;
    int code = FindConfigFile(config, output, &problem);
    LineServer server;
    if (code == ExitCode::kSuccess)
        code = FindServer(config, output, &server, &problem);
    if (code != ExitCode::kSuccess) {
        JsonResult(output, code, problem);
        return code;
    }
    // The file this account's jobs write and mark: the records it holds are this account's to send.
    const QString database = HistoryStore::Location(config.path);
    const QJsonObject where{{QStringLiteral("server"), server.name},
                            {QStringLiteral("history"), QDir::toNativeSeparators(database)}};
    const auto report = [&](const HistoryServer::SyncTally &tally, int exit_code) {
        if (output.Json()) {
            QJsonObject fields = where;
            fields.insert(QStringLiteral("sent"), tally.sent);
            fields.insert(QStringLiteral("waiting"), tally.waiting);
            JsonResult(output, exit_code, tally.warning, fields);
            return;
        }
        const QString waiting = tally.waiting < 0 ? QStringLiteral("how many wait cannot be told")
                                                  : QStringLiteral("%1 waiting").arg(tally.waiting);
        output.Out(QStringLiteral("history sync: %1 sent to %2, %3").arg(Records(tally.sent), server.name, waiting));
        if (!tally.warning.isEmpty())
            output.Err(QStringLiteral("history sync: %1").arg(tally.warning));
    };

    HistoryServer::SyncTally tally;
    std::atomic<bool> pushed{false};  // tally holds the push's own (read by a stop's report)
    const StopCause stopped = ExchangeWithServer(
        server.connection, HistoryServer::DefaultStatementBoundMs(),
        [&](HistoryServer::Connection &connection, const std::atomic<bool> &stop) {
            tally = HistoryServer::PushWaiting(database, connection, HistorySync::Pacing().batch, &stop);
            pushed = true;
        },
        [&](StopCause cause) {
            // What the push got through before the stop is on the server and marked; the rest waits.
            HistoryServer::SyncTally so_far;
            so_far.sent = pushed ? tally.sent : 0;
            QString unknown;
            so_far.waiting = HistoryStore::CountWaiting(database, &unknown);
            so_far.warning = QStringLiteral("%1: the records that wait go with the next job or \"upgrader-cli history "
                                            "sync\"")
                                 .arg(StopReason(cause, config.language, 0));
            report(so_far, StopExitCode(cause));
        });
    if (stopped != StopCause::None)
        return StopExitCode(stopped);
    code = tally.warning.isEmpty() && tally.waiting == 0 ? ExitCode::kSuccess : ExitCode::kFailed;
    report(tally, code);
    return code;
}

// The line's guard: `line release SHA` and `line status SHA`.
namespace {

QString LineTime(const QDateTime &time)
{
    return time.isValid() ? time.toLocalTime().toString(Qt::ISODate) : QStringLiteral("-");
}

QJsonObject ReleaseFields(const HistoryServer::ImageRelease &release)
{
    return {{QStringLiteral("image_sha256"), release.image_sha256},
            {QStringLiteral("released_at"), StoredTime(release.released_at)},
            {QStringLiteral("user"), release.user},
            {QStringLiteral("host"), release.host},
            {QStringLiteral("reason"), release.reason}};
}

QString ReleaseLine(const HistoryServer::ImageRelease &release)
{
    QString line = QStringLiteral("released %1 by %2@%3").arg(LineTime(release.released_at), release.user, release.host);
    if (!release.reason.isEmpty())
        line += QStringLiteral(": ") + release.reason;
    return line;
}

}  // namespace

int RunLine(const CliOptions &options, CliOutput &output)
{
    const bool release = options.command == CliOptions::Command::LineRelease;
    const QString word = release ? QStringLiteral("line release") : QStringLiteral("line status");
    const CliConfig config = ReadCliConfig(options.config, options.language);
    LineServer server;
    QString problem;
    if (const int code = FindServer(config, output, &server, &problem)) {
        JsonResult(output, code, problem);
        return code;
    }
    // The guard the station would apply; its defaults when the configuration sets none (or
    // cannot be read: the release itself needs no configuration).
    LineGuardSettings guard = config.line_guard.value_or(LineGuardSettings());
    if (!guard.sound)
        guard = LineGuardSettings();

    QString sha256 = options.argument.toLower();
    QStringList matches;
    HistoryServer::ImageRelease made;
    HistoryServer::ImageFigures figures;
    QList<HistoryServer::ImageRelease> releases;
    QString warning;
    bool done = false;
    bool resolved = true;
    const StopCause stopped = ExchangeWithServer(
        server.connection, HistoryServer::DefaultStatementBoundMs(),
        [&](HistoryServer::Connection &connection, const std::atomic<bool> &) {
            if (sha256.size() < 64) {
                done = connection.ImagesStartingWith(sha256, &matches, &warning);
                resolved = done && matches.size() == 1;
                if (!resolved)
                    return;
                sha256 = matches.first();
            }
            if (release) {
                made.image_sha256 = sha256;
                made.user = HistoryStore::CurrentUser();
                made.host = QSysInfo::machineHostName();
                made.reason = options.reason;
                done = connection.Release(&made, &warning);
            } else {
                done = connection.ImageRecord(sha256, guard.window_hours, &figures, &warning) &&
                       connection.Releases(sha256, &releases, &warning);
            }
        },
        [&](StopCause cause) {
            const QString reason = StopReason(cause, config.language, 0);
            output.Err(QStringLiteral("%1: %2").arg(word, reason));
            JsonResult(output, StopExitCode(cause), reason, {{QStringLiteral("server"), server.name}});
        });
    if (stopped != StopCause::None)
        return StopExitCode(stopped);
    if (done && !resolved) {
        const QString reason = matches.isEmpty()
                                   ? QStringLiteral("%1: no image of the line's records on %2 has a SHA-256 beginning "
                                                    "with %3")
                                         .arg(word, server.name, sha256)
                                   : QStringLiteral("%1: %2 begins the SHA-256 of more than one image on %3 (%4, ...): "
                                                    "give more of it")
                                         .arg(word, sha256, server.name, matches.join(QStringLiteral(", ")));
        output.Err(reason);
        JsonResult(output, ExitCode::kUsage, reason, {{QStringLiteral("server"), server.name}});
        return ExitCode::kUsage;
    }
    if (!done) {
        const QString reason = QStringLiteral("%1: the line's server %2 could not %3: %4")
                                   .arg(word, server.name,
                                        release ? QStringLiteral("record the release") : QStringLiteral("be read"),
                                        warning);
        output.Err(reason);
        JsonResult(output, ExitCode::kFailed, reason, {{QStringLiteral("server"), server.name}});
        return ExitCode::kFailed;
    }
    if (release) {
        if (output.Json()) {
            QJsonObject fields = ReleaseFields(made);
            fields.insert(QStringLiteral("server"), server.name);
            JsonResult(output, ExitCode::kSuccess, QString(), fields);
        } else {
            output.Out(QStringLiteral("line release: image %1 %2 on %3; its failures before now no longer count")
                           .arg(sha256, ReleaseLine(made), server.name));
        }
        return ExitCode::kSuccess;
    }
    const bool halted = LineGuard::Halts(guard, figures);
    const int code = halted ? ExitCode::kHalted : ExitCode::kSuccess;
    const QString hours = QString::number(guard.window_hours, 'g', 6);
    if (output.Json()) {
        QJsonArray list;
        for (const HistoryServer::ImageRelease &each : qAsConst(releases))
            list.append(ReleaseFields(each));
        JsonResult(output, code, QString(),
                   {{QStringLiteral("server"), server.name},
                    {QStringLiteral("image_sha256"), sha256},
                    {QStringLiteral("jobs"), figures.jobs},
                    {QStringLiteral("failures"), figures.failures},
                    {QStringLiteral("window_hours"), guard.window_hours},
                    {QStringLiteral("releases"), list}});
        return code;
    }
    output.Out(QStringLiteral("line status: image %1 on %2: %3 of %4 jobs failed in the last %5 h%6: %7")
                   .arg(sha256, server.name)
                   .arg(figures.failures)
                   .arg(figures.jobs)
                   .arg(hours,
                        figures.released_at.isValid()
                            ? QStringLiteral(" (since its release at %1)").arg(LineTime(figures.released_at))
                            : QString(),
                        halted ? QStringLiteral("halted") : QStringLiteral("not halted")));
    for (const HistoryServer::ImageRelease &each : qAsConst(releases))
        output.Out(QStringLiteral("  ") + ReleaseLine(each));
    return code;
}
