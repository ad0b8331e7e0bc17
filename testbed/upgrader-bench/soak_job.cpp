#include "soak_job.h"

#include "event_wait.h"
#include "sim_family.h"
#include "upgrade_server.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <memory>

SoakJobResult RunSoakJob(UpgradeServer &server, SimFamily &family, const FirmwareEntries &entries,
                         const QString &target, const Interruption &interruption, const SoakBounds &bounds)
{
    SoakJobResult result;
    UpgradeLaunch launch(server, QString());  // the soak's images are named by absolute paths
    if (const auto refusal = launch.FindDevice(entries, target, UnitKey::AtLocation(family.Location()))) {
        result.refused = refusal->kind;
        return result;
    }
    LaunchJob job;
    const auto refusal = launch.Prepare(job);
    server.StopPolling();  // the launch restarts the window's poll; a command polls nothing
    if (refusal) {
        result.refused = refusal->kind;
        return result;
    }

    // Owns the connections and the interruption's timers of this job alone.
    QObject context;
    bool ended = false;
    QObject::connect(&server, &UpgradeServer::JobEnded, &context, [&](JobEndReason reason) {
        ended = true;
        result.reason = reason;
    });
    QElapsedTimer clock;
    clock.start();
    if (!launch.Start(job)) {
        result.link_busy = true;
        return result;
    }

    QElapsedTimer unplugged;  // valid while the soak holds the cable out
    auto unplug = [&] {
        family.Unplug();
        unplugged.start();
    };
    auto plug = [&] {
        family.Plug();
        unplugged.invalidate();
    };
    switch (interruption.kind) {
    case Interruption::Kind::None:
        break;
    case Interruption::Kind::Stop:
        QTimer::singleShot(interruption.after_ms, &context, [&server] { server.Stop(); });
        break;
    case Interruption::Kind::Unplug:
        QTimer::singleShot(interruption.after_ms, &context, [&] {
            if (!ended)
                unplug();
        });
        break;
    case Interruption::Kind::UnplugAndPlug:
        QTimer::singleShot(interruption.after_ms, &context, [&] {
            if (ended)
                return;
            unplug();
            QTimer::singleShot(std::max(interruption.plugged_for_ms, bounds.replug_gap_ms), &context, plug);
        });
        break;
    }

    result.ended = RunEventsUntil([&] { return ended; }, bounds.deadline_ms);
    if (!result.ended) {
        server.Stop();
        result.stopped_late = RunEventsUntil([&] { return ended; }, bounds.stop_grace_ms);
    }
    result.ms = clock.elapsed();
    if (result.ended || result.stopped_late) {
        // The job's thread reports its end a moment before it is gone.
        RunEventsUntil([&] { return !server.isRunning(); }, bounds.stop_grace_ms);
    }
    if (unplugged.isValid()) {
        RunEventsUntil([&] { return unplugged.elapsed() >= bounds.replug_gap_ms; }, bounds.replug_gap_ms);
        plug();
    }
    return result;
}
