#pragma once

#include <QHash>
#include <QJsonObject>
#include <QMutex>
#include <QString>
#include <QStringList>

#include <cstdio>

// Where everything the command reports goes. Text for people: lines on standard output and
// standard error, and on a terminal a status block on standard output (a line, or a line per
// base of a station) rewritten in place. Or, with --json, one JSON object per line on standard
// output, each stamped with the time, the target, the port and its USB location. Safe from any
// thread: the engine's debug lines come from the job threads.
class CliOutput {
public:
    enum class Mode { Terminal, Plain, Json };

    // What an event is about: null in JSON where empty.
    struct Context {
        QString target;
        QString port;      // the port name when the event was made
        QString location;  // the port's USB location, which outlives the name
    };

    CliOutput(bool json, bool verbose);
    ~CliOutput();

    Mode GetMode() const { return mode; }
    bool Json() const { return mode == Mode::Json; }

    // The context every JSON object names from now on.
    void SetContext(const QString &target, const QString &port, const QString &location = QString());
    // The context of the debug lines about a unit (a station's bases, each named by its unit key,
    // as the engine and the launch mark their lines); an empty target forgets the unit. A line
    // about a unit not named here is about the current context.
    void SetUnitContext(const QString &unit, const Context &context);

    // JSON: one event object, with "event", "time", "target", "port" and "location" added.
    void Event(const QString &event, QJsonObject fields = {});
    // The same about the given context rather than the current one.
    void Event(const Context &context, const QString &event, QJsonObject fields = {});
    // Text: a line on standard output or standard error; a status block shown in place is
    // cleared first and drawn again after.
    void Out(const QString &line);
    void Err(const QString &line);
    // Terminal: replaces the status block by this line (empty: removes it). Plain: a line on
    // standard output.
    void Status(const QString &line);
    // Terminal: replaces the status block by these lines, each cut to the terminal's width.
    void StatusLines(const QStringList &lines);
    // Terminal: leaves the status block as it stands and ends it, so later lines go below it.
    void EndStatus();

    // Routes the program's Qt messages here: the upgrade's own account only with --verbose (JSON
    // events "debug" or lines on standard error), everything else always on standard error.
    void InstallMessageHandler();

private:
    void Write(FILE *stream, const QByteArray &bytes);
    void ClearStatusLocked();
    void DrawStatusLocked();
    void Message(QtMsgType type, const char *category, const QString &text);
    static void Handle(QtMsgType type, const QMessageLogContext &context, const QString &text);

    void EventLocked(const Context &context, const QString &event, QJsonObject fields);

    Mode mode;
    bool verbose;
    QMutex lock;
    Context context;
    QHash<QString, Context> unit_contexts;  // by unit key
    QStringList status;    // the status block on the terminal, if one is shown
    int status_shown = 0;  // lines of it on the screen
};

// "12.3 KiB/s" and "1:05": the pieces of a progress line.
QString FormatRate(double bytes_per_second);
QString FormatMinutes(double seconds);
