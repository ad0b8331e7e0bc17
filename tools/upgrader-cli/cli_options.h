#pragma once

#include "bilingual.h"
#include "unit_key.h"

#include <QDateTime>
#include <QString>
#include <QStringList>

#include <optional>

// What upgrader-cli was asked to do.
struct CliOptions {
    enum class Command { List, Upgrade, Switch, Image, History, HistorySync, LineRelease, LineStatus };

    Command command = Command::List;
    QString argument;               // upgrade: the target; switch: "app" or "boot"; image: the file (absolute)
    QString config;                 // absolute; empty: the only *.json (or config.json) of the current directory
    std::optional<Language> language;  // --lang; unset: the configuration's is_english
    bool json = false;
    bool verbose = false;
    double timeout_s = 0;           // 0: none
    double wait_scale = 1.0;        // UPGRADER_WAIT_SCALE, for trials against upgrader-sim --fast
    int history_statement_ms = 0;   // UPGRADER_HISTORY_STATEMENT_MS, for tests; 0: the shipped bound
    UnitKey unit;                   // --port: the one base to use, by USB location, serial number or port name
    bool all = false;               // --all: upgrade: the target on every attached base at once
    bool skip_current = false;      // --skip-current: upgrade: nothing sent to a target that runs the image's version
    bool require_history = false;   // --require-history: upgrade: a record not written fails the run

    // history: which records, from where, in which form (--json: JSON lines)
    QString history_target;         // empty: every target
    QString history_serial;         // --serial: one unit's records (exact); empty: every unit
    QDateTime since;                // invalid: from the first record
    QDateTime until;                // invalid: to the last record
    QString station;                // --station: one station's records (the record's host); empty: every station
    bool csv = false;
    bool server = false;            // --server: the line's server instead of this station's file
    bool summary = false;           // --summary (with --server): per day and target instead of the records
    // history --server --report FILE: the line's report, a PDF (every part) or a PNG (one chart)
    QString report;                 // absolute; empty: no report
    QString chart;                  // --chart: the PNG's chart (yield, stations, reasons, durations, versions)

    // line release SHA, line status SHA: the image (argument: its SHA-256 or a prefix, lower case)
    QString reason;                 // --reason: line release: why the supervisor lifts the halt
};

// Reads the command line (and UPGRADER_WAIT_SCALE from wait_scale_variable,
// UPGRADER_HISTORY_STATEMENT_MS from statement_variable). Returns 0 with *options filled, 2 with
// *message set for a usage error, or -1 when help was asked for (*message holds it).
int ParseCliOptions(const QStringList &arguments, const QString &wait_scale_variable,
                    const QString &statement_variable, CliOptions *options, QString *message);
