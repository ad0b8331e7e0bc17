#pragma once

#include <QJsonObject>
#include <QList>
#include <QProcess>
#include <QString>
#include <QStringList>

// The scale of the sequence's long waits the tests run the command with, as for upgrader-sim --fast.
constexpr double kCliWaitScale = 0.05;

// upgrader-cli (the program UPGRADER_CLI names) as a child process that finds a simulator's ports
// through its catalog file, with the sequence's long waits shortened as for upgrader-sim --fast.
struct CliProcess {
    QProcess process;
    QString out;
    QString err;

    // Starts the command in working_dir (default: the test's own current directory), with the
    // sequence's long waits scaled by wait_scale; sigint_ignored: with SIGINT ignored from its
    // start, as a script's background job starts (through sh, which execs the command).
    CliProcess(const QString &catalog, const QStringList &arguments, const QString &working_dir = {},
               double wait_scale = kCliWaitScale, bool sigint_ignored = false);
    ~CliProcess();

    // Waits for the end; false when the command did not end within timeout_ms.
    bool Finish(int timeout_ms);
    // Takes what the command has written so far.
    void Read();
    int ExitCode() const { return process.exitCode(); }
    // The JSON objects of standard output, one per line. A line that is no JSON object gets an
    // object {"unparsed": line}, which no check expects.
    QList<QJsonObject> Events();
    // The events of one kind, e.g. "progress".
    QList<QJsonObject> Events(const QString &kind);
    // A section or more has been transferred (the command runs with --json).
    bool InTransfer();
};


// The arguments of /bin/sh that start program with arguments and SIGINT ignored, as a shell
// starts a script's background job.
QStringList StartedWithSigintIgnored(const QString &program, const QStringList &arguments);
