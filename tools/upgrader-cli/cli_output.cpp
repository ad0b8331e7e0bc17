#include "cli_output.h"

#include "stop_signals.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QMutexLocker>

#include <cmath>
#include <cstdio>

namespace {

CliOutput *installed = nullptr;

// The terminal's "back to the line start, erase to its end".
constexpr char kClearLine[] = "\r\033[K";

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

void CliOutput::SetContext(const QString &name, const QString &port_name)
{
    QMutexLocker locker(&lock);
    target = name;
    port = port_name;
}

void CliOutput::Event(const QString &event, QJsonObject fields)
{
    QMutexLocker locker(&lock);
    fields.insert(QStringLiteral("event"), event);
    fields.insert(QStringLiteral("time"), QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs));
    fields.insert(QStringLiteral("target"), TextOrNull(target));
    fields.insert(QStringLiteral("port"), TextOrNull(port));
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
    QMutexLocker locker(&lock);
    if (mode == Mode::Plain) {
        Write(stdout, line.toUtf8() + '\n');
        return;
    }
    if (mode != Mode::Terminal)
        return;
    status = line;
    if (status.isEmpty())
        ClearStatusLocked();
    else
        DrawStatusLocked();
}

void CliOutput::EndStatus()
{
    QMutexLocker locker(&lock);
    if (mode == Mode::Terminal && status_shown)
        Write(stdout, "\n");
    status_shown = false;
    status.clear();
}

void CliOutput::ClearStatusLocked()
{
    if (mode == Mode::Terminal && status_shown)
        Write(stdout, kClearLine);
    status_shown = false;
}

void CliOutput::DrawStatusLocked()
{
    if (mode != Mode::Terminal || status.isEmpty())
        return;
    Write(stdout, kClearLine + status.toUtf8());
    status_shown = true;
}

void CliOutput::Write(FILE *stream, const QByteArray &bytes)
{
    fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    fflush(stream);
}

void CliOutput::InstallMessageHandler()
{
    installed = this;
    qInstallMessageHandler(&CliOutput::Handle);
}

void CliOutput::Handle(QtMsgType type, const QMessageLogContext &, const QString &text)
{
    if (installed)
        installed->Message(type, text);
}

void CliOutput::Message(QtMsgType type, const QString &text)
{
    const bool debug = type == QtDebugMsg || type == QtInfoMsg;
    if (debug && !verbose)
        return;
    if (debug && mode == Mode::Json) {
        Event(QStringLiteral("debug"), {{QStringLiteral("text"), text}});
        return;
    }
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
