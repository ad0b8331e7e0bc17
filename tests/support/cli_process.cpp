#include "cli_process.h"

#include "port_catalog.h"

#include <QJsonDocument>

namespace {
constexpr int kKillMs = 10000;
}  // namespace

CliProcess::CliProcess(const QString &catalog, const QStringList &arguments, const QString &working_dir,
                       double wait_scale, bool sigint_ignored)
{
    if (!working_dir.isEmpty())
        process.setWorkingDirectory(working_dir);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(PortCatalog::kSimCatalogVariable, catalog);
    environment.insert(QStringLiteral("UPGRADER_WAIT_SCALE"), QString::number(wait_scale));
    process.setProcessEnvironment(environment);
    if (sigint_ignored)
        process.start(QStringLiteral("/bin/sh"), StartedWithSigintIgnored(qEnvironmentVariable("UPGRADER_CLI"), arguments));
    else
        process.start(qEnvironmentVariable("UPGRADER_CLI"), arguments);
}

QStringList StartedWithSigintIgnored(const QString &program, const QStringList &arguments)
{
    // The ignored disposition survives the exec; the process keeps sh's pid.
    return QStringList{QStringLiteral("-c"), QStringLiteral("trap '' INT; exec \"$0\" \"$@\""), program} + arguments;
}

CliProcess::~CliProcess()
{
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished(kKillMs);
    }
}

bool CliProcess::Finish(int timeout_ms)
{
    const bool ended = process.state() == QProcess::NotRunning || process.waitForFinished(timeout_ms);
    Read();
    return ended && process.exitStatus() == QProcess::NormalExit;
}

void CliProcess::Read()
{
    out += QString::fromUtf8(process.readAllStandardOutput());
    err += QString::fromUtf8(process.readAllStandardError());
}

QList<QJsonObject> CliProcess::Events()
{
    Read();
    QList<QJsonObject> events;
    for (const QString &line : out.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        QJsonParseError error;
        const QJsonDocument document = QJsonDocument::fromJson(line.toUtf8(), &error);
        if (error.error != QJsonParseError::NoError || !document.isObject())
            events.append(QJsonObject{{QStringLiteral("unparsed"), line}});
        else
            events.append(document.object());
    }
    return events;
}

QList<QJsonObject> CliProcess::Events(const QString &kind)
{
    QList<QJsonObject> chosen;
    for (const QJsonObject &event : Events()) {
        if (event.value(QStringLiteral("event")).toString() == kind)
            chosen.append(event);
    }
    return chosen;
}

bool CliProcess::InTransfer()
{
    for (const QJsonObject &event : Events(QStringLiteral("progress"))) {
        if (event.value(QStringLiteral("phase")) == QLatin1String("transfer") &&
            event.value(QStringLiteral("sections_done")).toInt() > 0)
            return true;
    }
    return false;
}
