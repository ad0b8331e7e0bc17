#include "cli_options.h"

#include "device_family.h"
#include "history_store.h"

#include <QCommandLineParser>
#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

#include <cmath>

namespace {

// What UPGRADER_HISTORY_STATEMENT_MS may set: short enough for a test, never unbounded.
constexpr int kShortestStatementMs = 300;
constexpr int kLongestStatementMs = 600000;

QString Description()
{
    return QStringLiteral(
               "Upgrades the device family without the window, for production lines and scripts: the same\n"
               "launch checks and the same engine as the operator window.\n"
               "\n"
               "Commands:\n"
               "  list             the station: a block per attached base (unit) with its USB location, serial\n"
               "                   number, port, product id and mode, and every configured device behind it\n"
               "                   with its mode, application, boot and hardware version, as the status\n"
               "                   poll reads them; a base whose port another program holds (a job runs on\n"
               "                   it) is shown busy; --json gives one \"unit\" object per base\n"
               "  upgrade TARGET   the window's launch checks, then the upgrade; TARGET is one of\n"
               "                   %1 (any letter case, as for history --target)\n"
               "  switch app|boot  the manual switch of the base to its application or its bootloader, confirmed\n"
               "                   by the status poll; a base already in that mode is not restarted\n"
               "  image FILE       what an image holds and whether it passes its checks (as fwimage info)\n"
               "  history          the record every upgrade (of the window or of this command) leaves beside\n"
               "                   the configuration: a table, or with --json JSON lines, with --csv CSV\n"
               "                   (RFC 4180); --target, --serial, --since, --until and --station choose the records;\n"
               "                   --server reads every station's records from the line's server instead,\n"
               "                   --server --summary counts them per day and target, --server --report\n"
               "                   FILE writes the line's report (FILE.pdf) or one of its charts (FILE.png)\n"
               "  history sync     sends this station's records that wait for the line's server now, and\n"
               "                   says how many were sent and how many still wait\n"
               "  line release SHA a supervisor lifts the line's guard's halt of the image with that SHA-256\n"
               "                   (or a unique prefix of 8 or more hex digits): recorded on the line's\n"
               "                   server with the user, host, time and --reason; earlier failures no longer count\n"
               "  line status SHA  the image's jobs and failures under the configured guard, and its releases\n"
               "\n"
               "The configuration is --config FILE, or else found in the current directory as the window finds\n"
               "it: the only *.json file there, or config.json when there are several. Firmware paths in it are\n"
               "relative to the configuration file's folder.\n"
               "\n"
               "A station with several bases attached: --port LOCATION|NAME keeps upgrade, switch and list to\n"
               "the one base at that USB location (Linux: its sysfs path such as 1-1.2; list shows them) or\n"
               "with that port name; the upgrade follows that base through its restarts, whatever tty name it\n"
               "comes back under. upgrade TARGET --all upgrades TARGET on every attached base at once, a job\n"
               "per base, and ends with a summary line per base; its exit code is 0 when every base\n"
               "succeeded, otherwise that of the first failure.\n"
               "\n"
               "Progress goes to standard output: on a terminal one line updated in place, otherwise a line per\n"
               "phase and per 10 %. The engine's log lines go to standard error. With --json every event is one\n"
               "JSON object per line on standard output instead, the last one the result.\n"
               "\n"
               "Every record keeps the unit's USB serial number and the application version the target reported\n"
               "before the job and after it. --skip-current leaves a target alone that already runs the image's\n"
               "version (result \"current\", exit 0, recorded): the image states major.minor.patch, the device\n"
               "four numbers of which the fourth, its build number, is not compared. A target in its bootloader,\n"
               "one that does not tell its version, an image that states none (0.0.0) or a patch number above\n"
               "255, and a device 5 whose hardware names the swapped display model cannot be compared: those\n"
               "are upgraded, and the command says why.\n"
               "\n"
               "Exit codes:\n"
               "    0  success\n"
               "    2  usage\n"
               "    3  configuration missing or invalid\n"
               "    4  no device of the target, or several\n"
               "    5  hardware version missing or matching no variant\n"
               "    6  image path missing, file missing or invalid, or no trusted key signed it\n"
               "    7  port could not be opened or was lost\n"
               "    8  upgrade failed (error text printed); for switch, the base did not report the mode\n"
               "    9  stopped by --timeout\n"
               "   10  with --require-history: the history cannot take a record (refused before anything is\n"
               "       sent), or the upgrade's record could not be written after all\n"
               "   11  the line's guard halted the image: too many of its recent jobs on the line failed (nothing\n"
               "       was sent; line release lifts it); line status: the image is halted\n"
               "  129  stopped by SIGHUP (the terminal was closed)\n"
               "  130  stopped by SIGINT\n"
               "  143  stopped by SIGTERM\n"
               "history ends with 0 also when no record matches, 3 when no configuration file is found (its\n"
               "folder decides where the history lives), 8 when the history file cannot be read. A history\n"
               "that cannot take an upgrade's record costs a warning, and with --require-history exit 10.\n"
               "history --server and history sync end with 3 when no server is configured (or its connection\n"
               "string is not usable), 8 when the server cannot be read, or when records still wait after the\n"
               "sync. With --json every history command that fails ends with a \"result\" line too.\n"
               "\n"
               "The line's server: a PostgreSQL server named by the configuration's \"history_server\" or by\n"
               "UPGRADER_HISTORY_SERVER (which wins; set and empty: none), a libpq connection string\n"
               "(\"host=line-db dbname=upgrades user=upgrader\") or URI (postgresql://upgrader@line-db/upgrades),\n"
               "never with a password (~/.pgpass or a service file keeps it). Every record is written here\n"
               "first and waits until it is on the server; upgrade sends what waits at its start and after\n"
               "each job, each record once, and at its end waits at most 10 s for the server. Every exchange\n"
               "with the server is bounded: the connect by its connect_timeout (5 s unless given), each\n"
               "statement by 30 s, a wait for a lock included (the server is told statement_timeout 25 s and\n"
               "lock_timeout 20 s for the session). SIGINT, SIGTERM and SIGHUP end any wait on the server at\n"
               "once (exit 130, 143, 129); the records keep waiting. A database whose table \"upgrades\" is\n"
               "another program's is refused (exit 8).\n"
               "\n"
               "The line's guard: with \"line_guard\" configured ({\"window_hours\": 24, \"min_jobs\": 10,\n"
               "\"max_failure_rate\": 0.2}) and a line's server, upgrade asks the server, before any device leaves\n"
               "its application, how the image did on the line in the last window_hours: with min_jobs jobs or\n"
               "more and a share of failures above max_failure_rate it refuses (exit 11). Failures are the jobs\n"
               "that reached the unit and failed on their own: not operator stops, time-outs, closed windows or\n"
               "targets already current. A server that does not answer within 3 s lets the job run, with one\n"
               "warning per run. A mistyped \"line_guard\" is a configuration error (exit 3).\n"
               "\n"
               "Signed images: with \"trusted_keys\" configured (public key files made by fwimage keygen,\n"
               "relative to the configuration's folder, or key lines), upgrade takes only an image that one of\n"
               "them signed (IMAGE.bin.sig beside it, made by fwimage sign); anything else is refused before any\n"
               "device is touched (exit 6, naming the signer's key id). The record keeps that key's id.\n"
               "\n"
               "upgrader-cli --version prints the program's name and version.\n"
               "\n"
               "UPGRADER_WAIT_SCALE=F (0 < F <= 1) is for tests and trials against upgrader-sim --fast only: it\n"
               "shortens the upgrade sequence's waits of a second and more F-fold. Real devices need the full\n"
               "waits. UPGRADER_HISTORY_STATEMENT_MS=MS is for tests only: the bound on each statement to the\n"
               "line's server instead of 30000 (the server's own limits scale with it).")
        .arg(TargetNames().join(QStringLiteral(", ")));
}

// The family's own spelling of a target named in any letter case; the name as given when none.
QString FamilyTargetName(const QString &given)
{
    for (const QString &name : TargetNames()) {
        if (name.compare(given, Qt::CaseInsensitive) == 0)
            return name;
    }
    return given;
}

int Usage(QString *message, const QString &text)
{
    *message = text;
    return 2;
}

// line release SHA, line status SHA: the line's guard. 0, or a usage error.
int ParseLineWords(const QStringList &words, CliOptions *options, QString *message)
{
    if (words.size() < 2 || (words[1] != QLatin1String("release") && words[1] != QLatin1String("status")))
        return Usage(message, QStringLiteral("line takes release SHA256 or status SHA256"));
    options->command = words[1] == QLatin1String("release") ? CliOptions::Command::LineRelease
                                                            : CliOptions::Command::LineStatus;
    if (words.size() < 3)
        return Usage(message, QStringLiteral("line %1 needs the image's SHA-256 (history shows it)").arg(words[1]));
    if (words.size() > 3)
        return Usage(message, QStringLiteral("unexpected argument '%1': line %2 takes one argument").arg(words[3], words[1]));
    // The whole SHA-256, or a prefix of it that names one image among the line's records.
    static const QRegularExpression hex(QStringLiteral("^[0-9a-fA-F]{8,64}$"));
    if (!hex.match(words[2]).hasMatch())
        return Usage(message, QStringLiteral("line %1 takes an image's SHA-256: 64 hex digits, or the first 8 or more "
                                             "of them, not '%2'")
                                  .arg(words[1], words[2]));
    options->argument = words[2].toLower();
    return 0;
}

// The line's switches apply to it alone, and the other commands' not to it.
int CheckLineOptions(const QCommandLineParser &parser, CliOptions *options, QString *message)
{
    const bool line = options->command == CliOptions::Command::LineRelease ||
                      options->command == CliOptions::Command::LineStatus;
    if (parser.isSet("reason")) {
        if (options->command != CliOptions::Command::LineRelease)
            return Usage(message, QStringLiteral("--reason applies to line release only"));
        options->reason = parser.value("reason").trimmed();
    }
    for (const char *name : {"port", "all", "timeout", "target", "serial", "since", "station", "csv", "server",
                             "summary", "skip-current", "require-history"}) {
        if (line && parser.isSet(name))
            return Usage(message, QStringLiteral("--%1 does not apply to line").arg(QLatin1String(name)));
    }
    return 0;
}

// Only the family's targets have a launch: the window has a button for each.
int UnknownTarget(QString *message, const QString &name)
{
    return Usage(message, QStringLiteral("unknown target '%1' (one of %2)")
                              .arg(name, TargetNames().join(QStringLiteral(", "))));
}

// --report and --chart: only with history --server, a file whose name says its form.
int ParseReport(const QCommandLineParser &parser, CliOptions *options, QString *message)
{
    for (const char *name : {"report", "chart"}) {
        if (parser.isSet(name) && options->command != CliOptions::Command::History)
            return Usage(message, QStringLiteral("--%1 applies to history --server only").arg(QLatin1String(name)));
    }
    if (parser.isSet("chart") && !parser.isSet("report"))
        return Usage(message, QStringLiteral("--chart chooses the chart of a --report FILE.png: give --report too"));
    if (!parser.isSet("report"))
        return 0;
    const QString file = parser.value("report");
    if (!options->server)
        return Usage(message, QStringLiteral("--report describes the line's records: give --server too"));
    for (const char *name : {"summary", "csv", "json"}) {
        if (parser.isSet(name))
            return Usage(message, QStringLiteral("--report writes a file and prints no records: leave out --%1")
                                      .arg(QLatin1String(name)));
    }
    const QString suffix = QFileInfo(file).suffix().toLower();
    if (file.isEmpty() || (suffix != QLatin1String("pdf") && suffix != QLatin1String("png")))
        return Usage(message, QStringLiteral("--report takes a file ending in .pdf (the whole report) or .png (one "
                                             "chart), not '%1'")
                                  .arg(file));
    options->report = QDir::current().absoluteFilePath(file);
    options->chart = parser.isSet("chart") ? parser.value("chart") : QStringLiteral("yield");
    const QStringList charts{"yield", "stations", "reasons", "durations", "versions"};
    if (!charts.contains(options->chart))
        return Usage(message, QStringLiteral("--chart takes one of %1, not '%2'")
                                  .arg(charts.join(QStringLiteral(", ")), options->chart));
    if (parser.isSet("chart") && suffix == QLatin1String("pdf"))
        return Usage(message, QStringLiteral("--chart chooses the chart of a PNG; a PDF holds them all"));
    return 0;
}

}  // namespace

int ParseCliOptions(const QStringList &arguments, const QString &wait_scale_variable,
                    const QString &statement_variable, CliOptions *options, QString *message)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(Description());
    parser.addHelpOption();
    parser.addOption({"config", "The configuration file (default: found in the current directory).", "FILE"});
    parser.addOption({"lang", "Wording of refusals and results (default: the configuration's is_english).",
                      "zh|en"});
    parser.addOption({"json", "One JSON object per line for every event, on standard output."});
    parser.addOption({"verbose", "Adds the engine's debug lines (standard error, or JSON events)."});
    parser.addOption({"timeout", "upgrade: stops the job as the Stop button does after this long, counted "
                                 "from the start of the command.",
                      "SECONDS"});
    parser.addOption({"port", "upgrade, switch, list: only the base at this USB location, with this USB serial number, or with this port name.",
                      "LOCATION|NAME"});
    parser.addOption({"all", "upgrade: the target on every attached base at once."});
    parser.addOption({"skip-current", "upgrade: sends nothing to a target that already runs the image's version "
                                      "(major.minor.patch; the device's fourth number, its build, is not compared); "
                                      "the result is \"current\", exit 0. Where no comparison can be made the "
                                      "target is upgraded and the command says why."});
    parser.addOption({"require-history", "upgrade: a record that cannot be written to the history fails the run "
                                         "(exit 10); without it, a warning."});
    parser.addOption({"target", "history: the records of this target only.", "TARGET"});
    parser.addOption({"serial", "history: the records of the unit with this serial number only (exact).", "SERIAL"});
    parser.addOption({"since", "history: the jobs started at or after this: a date (2024-05-01, from local "
                               "midnight) or an ISO 8601 time (2024-05-01T08:30, local unless it ends in Z or an "
                               "offset such as +08:00).",
                      "DATE"});
    parser.addOption({"until", "history: the jobs started before the end of this: a date (2024-05-31, the whole "
                               "day) or an ISO 8601 time (the first instant left out).",
                      "DATE"});
    parser.addOption({"station", "history: the records of this station only (its host name, exact).", "NAME"});
    parser.addOption({"csv", "history: CSV (RFC 4180) on standard output instead of the table."});
    parser.addOption({"server", "history: the records of every station from the line's server (\"history_server\" "
                                "or UPGRADER_HISTORY_SERVER) instead of this station's file."});
    parser.addOption({"summary", "history --server: per day (local) and target, the jobs, successes, failures and "
                                 "the median time of the successful upgrades, instead of the records."});
    parser.addOption({"report", "history --server: writes the line's report of the records chosen instead of "
                                "printing them: FILE.pdf, every part with its chart and table; FILE.png, one "
                                "chart (--chart).",
                      "FILE"});
    parser.addOption({"chart", "history --server --report FILE.png: the chart drawn: yield (first-pass yield per "
                               "target and day, the default), stations, reasons, durations or versions.",
                      "NAME"});
    parser.addOption({"reason", "line release: why the halt is lifted, kept with the release.", "TEXT"});
    parser.addPositionalArgument("command",
                                 "list, upgrade TARGET, switch app|boot, image FILE, history, history sync or line release|status SHA256.",
                                 "COMMAND [ARGUMENT]");
    if (!parser.parse(arguments))
        return Usage(message, parser.errorText());
    if (parser.isSet("help") || parser.isSet("help-all")) {
        *message = parser.helpText();
        return -1;
    }

    const QStringList words = parser.positionalArguments();
    if (words.isEmpty())
        return Usage(message, QStringLiteral("no command given: list, upgrade TARGET, switch app|boot, image FILE or "
                                             "history"));
    const QString &command = words[0];
    const bool line = command == QLatin1String("line");
    if (line) {
        if (const int code = ParseLineWords(words, options, message))
            return code;
    }
    const bool history = command == QLatin1String("history");
    const bool history_sync = history && words.size() >= 2 && words[1] == QLatin1String("sync");
    const int wanted = line ? int(words.size()) : command == QLatin1String("list") || (history && !history_sync) ? 1 : 2;
    if (command == QLatin1String("list")) {
        options->command = CliOptions::Command::List;
    } else if (command == QLatin1String("upgrade")) {
        options->command = CliOptions::Command::Upgrade;
    } else if (command == QLatin1String("switch")) {
        options->command = CliOptions::Command::Switch;
    } else if (command == QLatin1String("image")) {
        options->command = CliOptions::Command::Image;
    } else if (history) {
        options->command = history_sync ? CliOptions::Command::HistorySync : CliOptions::Command::History;
    } else if (line) {
        // ParseLineWords chose it.
    } else {
        return Usage(message, QStringLiteral("unknown command '%1'").arg(command));
    }
    if (words.size() < wanted) {
        const QString what = options->command == CliOptions::Command::Upgrade
                                 ? QStringLiteral("TARGET: one of %1").arg(TargetNames().join(QStringLiteral(", ")))
                             : options->command == CliOptions::Command::Switch ? QStringLiteral("app or boot")
                                                                               : QStringLiteral("FILE");
        return Usage(message, QStringLiteral("%1 needs its argument (%2)").arg(command, what));
    }
    if (words.size() > wanted)
        return Usage(message, QStringLiteral("unexpected argument '%1': %2 takes %3")
                                  .arg(words[wanted], history_sync ? QStringLiteral("history sync") : command,
                                       history_sync  ? QStringLiteral("no argument")
                                       : history     ? QStringLiteral("sync or no argument")
                                       : wanted == 1 ? QStringLiteral("no argument")
                                                     : QStringLiteral("one argument")));
    if (wanted == 2 && !history_sync && !line)
        options->argument = words[1];

    switch (options->command) {
    case CliOptions::Command::Upgrade:
        // "meter" is the Meter: the records and reports carry the family's spelling.
        options->argument = FamilyTargetName(options->argument);
        if (!TargetNamed(options->argument))
            return UnknownTarget(message, options->argument);
        break;
    case CliOptions::Command::Switch:
        if (options->argument != QLatin1String("app") && options->argument != QLatin1String("boot"))
            return Usage(message, QStringLiteral("switch takes app or boot, not '%1'").arg(options->argument));
        break;
    case CliOptions::Command::Image:
        options->argument = QDir::current().absoluteFilePath(options->argument);
        break;
    case CliOptions::Command::List:
    case CliOptions::Command::History:
    case CliOptions::Command::HistorySync:
    case CliOptions::Command::LineRelease:
    case CliOptions::Command::LineStatus:
        break;
    }
    if (const int code = CheckLineOptions(parser, options, message))
        return code;

    if (parser.isSet("config"))
        options->config = QDir::current().absoluteFilePath(parser.value("config"));
    if (parser.isSet("lang")) {
        const QString lang = parser.value("lang");
        if (lang != QLatin1String("zh") && lang != QLatin1String("en"))
            return Usage(message, QStringLiteral("--lang takes zh or en, not '%1'").arg(lang));
        options->language = lang == QLatin1String("zh") ? Language::Chinese : Language::English;
    }
    options->json = parser.isSet("json");
    options->verbose = parser.isSet("verbose");
    if (parser.isSet("timeout")) {
        if (options->command != CliOptions::Command::Upgrade)
            return Usage(message, QStringLiteral("--timeout applies to upgrade only"));
        bool ok = false;
        options->timeout_s = parser.value("timeout").toDouble(&ok);
        if (!ok || !std::isfinite(options->timeout_s) || options->timeout_s <= 0 || options->timeout_s > 86400)
            return Usage(message, QStringLiteral("--timeout takes a number of seconds above 0, not '%1'")
                                      .arg(parser.value("timeout")));
    }
    for (const char *name : {"target", "serial", "since", "until", "station", "csv", "server", "summary"}) {
        if (parser.isSet(name) && options->command == CliOptions::Command::HistorySync)
            return Usage(message, QStringLiteral("--%1 does not apply to history sync: it sends every record that "
                                                 "waits")
                                      .arg(QLatin1String(name)));
        if (parser.isSet(name) && options->command != CliOptions::Command::History)
            return Usage(message, QStringLiteral("--%1 applies to history only").arg(QLatin1String(name)));
    }
    if (parser.isSet("target")) {
        // Recorded names are the launch's, in the family's spelling ("meter" is the Meter, as for
        // upgrade): a misspelt one would match nothing and look like no history.
        options->history_target = FamilyTargetName(parser.value("target"));
        if (!TargetNamed(options->history_target))
            return UnknownTarget(message, options->history_target);
    }
    if (parser.isSet("serial")) {
        // An empty one would match the records of units whose port gave no serial: say so instead.
        options->history_serial = parser.value("serial");
        if (options->history_serial.isEmpty())
            return Usage(message, QStringLiteral("--serial needs the unit's serial number"));
    }
    if (parser.isSet("since") && !HistoryStore::ParseSince(parser.value("since"), options->since))
        return Usage(message, QStringLiteral("--since takes a date (2024-05-01) or an ISO 8601 time "
                                             "(2024-05-01T08:30:00+08:00), not '%1'")
                                  .arg(parser.value("since")));
    if (parser.isSet("until") && !HistoryStore::ParseUntil(parser.value("until"), options->until))
        return Usage(message, QStringLiteral("--until takes a date (2024-05-31) or an ISO 8601 time "
                                             "(2024-05-31T18:00:00+08:00), not '%1'")
                                  .arg(parser.value("until")));
    if (options->since.isValid() && options->until.isValid() && options->until <= options->since)
        return Usage(message, QStringLiteral("--until %1 is not after --since %2: the period holds nothing")
                                  .arg(parser.value("until"), parser.value("since")));
    if (parser.isSet("station")) {
        options->station = parser.value("station");
        if (options->station.isEmpty())
            return Usage(message, QStringLiteral("--station needs the station's host name"));
    }
    options->csv = parser.isSet("csv");
    if (options->csv && options->json)
        return Usage(message, QStringLiteral("--json and --csv exclude each other"));
    options->server = parser.isSet("server");
    options->summary = parser.isSet("summary");
    if (options->summary && !options->server)
        return Usage(message, QStringLiteral("--summary counts the line's records: give --server too"));
    if (const int code = ParseReport(parser, options, message))
        return code;
    if (parser.isSet("port")) {
        options->unit = UnitKey::Asked(parser.value("port"));
        if (options->command == CliOptions::Command::Image || options->command == CliOptions::Command::History ||
            options->command == CliOptions::Command::HistorySync)
            return Usage(message, QStringLiteral("--port applies to upgrade, switch and list"));
        if (options->unit.IsAnything())
            return Usage(message, QStringLiteral("--port needs a USB location, a USB serial number or a port name (list shows them)"));
    }
    if (parser.isSet("all")) {
        options->all = true;
        if (options->command != CliOptions::Command::Upgrade)
            return Usage(message, QStringLiteral("--all applies to upgrade only"));
        if (!options->unit.IsAnything())
            return Usage(message, QStringLiteral("--all upgrades every base; --port chooses one: give one of them"));
    }
    for (const char *name : {"skip-current", "require-history"}) {
        if (parser.isSet(name) && options->command != CliOptions::Command::Upgrade)
            return Usage(message, QStringLiteral("--%1 applies to upgrade only").arg(QLatin1String(name)));
    }
    options->skip_current = parser.isSet("skip-current");
    options->require_history = parser.isSet("require-history");
    if (!wait_scale_variable.isEmpty()) {
        bool ok = false;
        options->wait_scale = wait_scale_variable.toDouble(&ok);
        if (!ok || !(options->wait_scale > 0) || options->wait_scale > 1)
            return Usage(message, QStringLiteral("UPGRADER_WAIT_SCALE takes a factor above 0 and at most 1, not "
                                                 "'%1'")
                                      .arg(wait_scale_variable));
    }
    if (!statement_variable.isEmpty()) {
        bool ok = false;
        options->history_statement_ms = statement_variable.toInt(&ok);
        if (!ok || options->history_statement_ms < kShortestStatementMs ||
            options->history_statement_ms > kLongestStatementMs)
            return Usage(message, QStringLiteral("UPGRADER_HISTORY_STATEMENT_MS takes milliseconds from %1 to %2, not "
                                                 "'%3'")
                                      .arg(kShortestStatementMs)
                                      .arg(kLongestStatementMs)
                                      .arg(statement_variable));
    }
    return 0;
}
