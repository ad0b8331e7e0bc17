#pragma once

#include <QJsonObject>
#include <QMutex>
#include <QString>

#include <cstdio>

// Where everything the command reports goes. Text for people: lines on standard output and
// standard error, and on a terminal one status line on standard output rewritten in place. Or,
// with --json, one JSON object per line on standard output, each stamped with the time, the
// target and the port. Safe from any thread: the engine's debug lines come from the job thread.
class CliOutput {
public:
    enum class Mode { Terminal, Plain, Json };

    CliOutput(bool json, bool verbose);
    ~CliOutput();

    Mode GetMode() const { return mode; }
    bool Json() const { return mode == Mode::Json; }

    // The target and port every JSON object names from now on (empty: null).
    void SetContext(const QString &target, const QString &port);

    // JSON: one event object, with "event", "time", "target" and "port" added.
    void Event(const QString &event, QJsonObject fields = {});
    // Text: a line on standard output or standard error; a status line shown in place is
    // cleared first and drawn again after.
    void Out(const QString &line);
    void Err(const QString &line);
    // Terminal: replaces the status line (empty: removes it). Plain: a line on standard output.
    void Status(const QString &line);
    // Terminal: leaves the status line as it stands and ends it, so later lines go below it.
    void EndStatus();

    // Routes the program's Qt messages here: debug lines only with --verbose (JSON events "debug"
    // or lines on standard error), warnings always on standard error.
    void InstallMessageHandler();

private:
    void Write(FILE *stream, const QByteArray &bytes);
    void ClearStatusLocked();
    void DrawStatusLocked();
    void Message(QtMsgType type, const QString &text);
    static void Handle(QtMsgType type, const QMessageLogContext &context, const QString &text);

    Mode mode;
    bool verbose;
    QMutex lock;
    QString target;
    QString port;
    QString status;        // the status line on the terminal, if one is shown
    bool status_shown = false;
};

// "12.3 KiB/s" and "1:05": the pieces of a progress line.
QString FormatRate(double bytes_per_second);
QString FormatMinutes(double seconds);
