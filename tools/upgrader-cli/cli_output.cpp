#include "cli_output.h"

#include "cli_log.h"
#include "console.h"
#include "link_log.h"
#include "log_unit.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QMutexLocker>

#include <cmath>
#include <cstdio>
#include <optional>

namespace {

CliOutput *installed = nullptr;

// The terminal's "back to the line start, erase to its end", and "one line up, erase it".
constexpr char kClearLine[] = "\r\033[K";
constexpr char kClearLineAbove[] = "\033[A\033[K";

QJsonValue TextOrNull(const QString &text)
{
    return text.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(text);
}

}  // namespace

CliOutput::CliOutput(bool json, bool chatty)
    : mode(json ? Mode::Json : StdoutIsTerminal() ? Mode::Terminal : Mode::Plain), verbose(chatty)
{
}

CliOutput::~CliOutput()
{
    if (installed == this) {
        qInstallMessageHandler(nullptr);
        installed = nullptr;
    }
    EndStatus();
}

void CliOutput::SetContext(const QString &name, const QString &port_name, const QString &location)
{
    QMutexLocker locker(&lock);
    context = {name, port_name, location};
}

void CliOutput::SetUnitContext(const QString &unit, const Context &about)
{
    QMutexLocker locker(&lock);
    if (about.target.isEmpty())
        unit_contexts.remove(unit);
    else
        unit_contexts.insert(unit, about);
}

void CliOutput::Event(const QString &event, QJsonObject fields)
{
    QMutexLocker locker(&lock);
    EventLocked(context, event, std::move(fields));
}

void CliOutput::Event(const Context &about, const QString &event, QJsonObject fields)
{
    QMutexLocker locker(&lock);
    EventLocked(about, event, std::move(fields));
}

void CliOutput::EventLocked(const Context &about, const QString &event, QJsonObject fields)
{
    fields.insert(QStringLiteral("event"), event);
    fields.insert(QStringLiteral("time"), QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs));
    fields.insert(QStringLiteral("target"), TextOrNull(about.target));
    fields.insert(QStringLiteral("port"), TextOrNull(about.port));
    fields.insert(QStringLiteral("location"), TextOrNull(about.location));
    Write(stdout, QJsonDocument(fields).toJson(QJsonDocument::Compact) + '\n');
}

void CliOutput::Out(const QString &line)
{
    QMutexLocker locker(&lock);
    ClearStatusLocked();
    Write(stdout, line.toUtf8() + '\n');
    DrawStatusLocked();
}

void CliOutput::Err(const QString &line)
{
    QMutexLocker locker(&lock);
    ClearStatusLocked();
    Write(stderr, line.toUtf8() + '\n');
    DrawStatusLocked();
}

void CliOutput::Status(const QString &line)
{
    if (mode == Mode::Plain) {
        QMutexLocker locker(&lock);
        Write(stdout, line.toUtf8() + '\n');
        return;
    }
    StatusLines(line.isEmpty() ? QStringList() : QStringList{line});
}

void CliOutput::StatusLines(const QStringList &lines)
{
    QMutexLocker locker(&lock);
    if (mode != Mode::Terminal)
        return;
    ClearStatusLocked();
    status = lines;
    DrawStatusLocked();
}

void CliOutput::EndStatus()
{
    QMutexLocker locker(&lock);
    if (mode == Mode::Terminal && status_shown > 0)
        Write(stdout, "\n");
    status_shown = 0;
    status.clear();
}

void CliOutput::ClearStatusLocked()
{
    if (mode != Mode::Terminal || status_shown == 0)
        return;
    QByteArray erase = kClearLine;
    for (int i = 1; i < status_shown; ++i)
        erase += kClearLineAbove;
    Write(stdout, erase);
    status_shown = 0;
}

void CliOutput::DrawStatusLocked()
{
    if (mode != Mode::Terminal || status.isEmpty())
        return;
    // A line wider than the terminal would wrap, and the block could no longer be erased.
    const int columns = TerminalColumns();
    QStringList shown;
    for (const QString &line : qAsConst(status))
        shown << (columns > 1 && line.size() >= columns ? line.left(columns - 1) : line);
    Write(stdout, kClearLine + shown.join(QLatin1Char('\n')).toUtf8());
    status_shown = shown.size();
}

void CliOutput::Write(FILE *stream, const QByteArray &bytes)
{
    fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    fflush(stream);
}

void CliOutput::InstallMessageHandler()
{
    SelectCommandLines(verbose);
    installed = this;
    qInstallMessageHandler(&CliOutput::Handle);
}

void CliOutput::Handle(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    if (installed)
        installed->Message(type, context.category, text);
}

void CliOutput::Message(QtMsgType type, const char *category, const QString &text)
{
    // Which lines of the upgrade's account come here at all is the categories' choice
    // (--verbose); whatever their level, they are "debug" lines, as are Qt's own debug output.
    const bool debug = type == QtDebugMsg || type == QtInfoMsg || IsUpgradeAccount(type, category);
    const QString unit = LogUnit::Current();
    std::optional<Context> unit_context;
    if (!unit.isEmpty()) {
        QMutexLocker locker(&lock);
        const auto found = unit_contexts.constFind(unit);
        if (found != unit_contexts.constEnd())
            unit_context = *found;
    }
    if (debug && mode == Mode::Json) {
        if (unit_context)
            Event(*unit_context, QStringLiteral("debug"), {{QStringLiteral("text"), text}});
        else
            Event(QStringLiteral("debug"), {{QStringLiteral("text"), text}});
        return;
    }
    // A station's bases speak at once: each line says whose it is, by its place on USB where the
    // platform tells it.
    if (unit_context)
        Err((unit_context->location.isEmpty() ? unit_context->port : unit_context->location) + QStringLiteral(": ") + text);
    else
        Err(text);
}

QString FormatRate(double bytes_per_second)
{
    if (bytes_per_second < 0)
        return QString();
    return QStringLiteral("%1 KiB/s").arg(bytes_per_second / 1024.0, 0, 'f', 1);
}

QString FormatMinutes(double seconds)
{
    const qint64 whole = qint64(std::llround(std::max(0.0, seconds)));
    return QStringLiteral("%1:%2").arg(whole / 60).arg(whole % 60, 2, 10, QLatin1Char('0'));
}
