#include "job_recorder.h"

#include "upgrade_server.h"

#include "wait_until.h"

JobRecorder::JobRecorder(UpgradeServer &server)
{
    Record(server, server);
}

JobRecorder::JobRecorder(UpgradeSequence &sequence, QThread &thread)
{
    Record(sequence, thread);
}

template <class Source>
void JobRecorder::Record(Source &server, QThread &thread)
{
    connect(&server, &Source::UpdateUpgradeProgress, this, [this](bool show, float value) {
        events << QStringLiteral("upgrade %1 %2").arg(show ? "true" : "false").arg(double(value));
    });
    connect(&server, &Source::UpdateVerifyProgress, this, [this](bool show, float value) {
        events << QStringLiteral("verify %1 %2").arg(show ? "true" : "false").arg(double(value));
    });
    connect(&server, &Source::PushLogMsg, this, [this](const QString &text) { events << "log " + text; });
    connect(&server, &Source::PushErrorMsg, this, [this](const QString &text) { events << "error " + text; });
    connect(&server, &Source::PushUpgRes, this,
            [this](bool ok) { events << QStringLiteral("result %1").arg(ok ? "true" : "false"); });
    connect(&server, &Source::JobEnded, this, [this](JobEndReason reason) { reasons << reason; });
    connect(&thread, &QThread::finished, this, [this] {
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
