#include "job_recorder.h"

#include "upgrade_server.h"

#include "wait_until.h"

JobRecorder::JobRecorder(UpgradeServer &server)
{
    connect(&server, &UpgradeServer::UpdateUpgradeProgress, this, [this](bool show, float value) {
        events << QStringLiteral("upgrade %1 %2").arg(show ? "true" : "false").arg(double(value));
    });
    connect(&server, &UpgradeServer::UpdateVerifyProgress, this, [this](bool show, float value) {
        events << QStringLiteral("verify %1 %2").arg(show ? "true" : "false").arg(double(value));
    });
    connect(&server, &UpgradeServer::PushLogMsg, this, [this](const QString &text) { events << "log " + text; });
    connect(&server, &UpgradeServer::PushErrorMsg, this, [this](const QString &text) { events << "error " + text; });
    connect(&server, &UpgradeServer::PushUpgRes, this,
            [this](bool ok) { events << QStringLiteral("result %1").arg(ok ? "true" : "false"); });
    connect(&server, &UpgradeServer::JobEnded, this, [this](JobEndReason reason) { reasons << reason; });
    connect(&server, &QThread::finished, this, [this] {
        events << QStringLiteral("finished");
        ++finished;
    });
}

bool JobRecorder::WaitFinished(int jobs, int timeout_ms)
{
    return WaitUntil([&] { return finished >= jobs; }, timeout_ms);
}

QStringList JobRecorder::Of(const QString &kind) const
{
    QStringList out;
    for (const QString &event : events) {
        if (event.startsWith(kind + ' '))
            out << event.mid(kind.size() + 1);
    }
    return out;
}
