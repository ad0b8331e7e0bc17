// Upgrade sequence, last phase: the second check of every section, the upgrade flag, and Finish,
// where every job ends: base and motor back to their applications, the target checked, the
// result decided.
#include "upgrade_sequence.h"

#include "engine_log.h"
#include "sequence_limits.h"
#include "messages.h"
#include "port_catalog.h"
#include "byte_channel.h"
#include "waits.h"

#include <QThread>

namespace {

constexpr uint8_t kZeros[kDigestLength] = {};

}  // namespace

void UpgradeSequence::OnAllSectionsDone()
{
    qCInfo(lcEngine).noquote() << "---All Sections upgrade finished!";
    state = VerifyAll;
}

bool UpgradeSequence::RepeatVerifyRequest(const VerifyRequest &request, bool &ok, Frame &reply)
{
    for (int misses = 0; !control.stop_requested && LinkUp();) {
        if (link.BlockingExchange(request.command, request.payload, request.length, job.dev_id, request.wait_ms, reply,
                             request.accept))
            return true;
        if (request.slow_line && misses > Limits::kVerifyQuietMisses)
            qCDebug(lcEngine).noquote() << request.slow_line;
        if (++misses == Limits::kVerifyMisses) {
            qCWarning(lcEngine).noquote() << request.missed_line;
            ok = false;
            return false;
        }
        if (request.once_failed_tries_once && !ok)
            return false;  // an earlier check already failed: no further tries
    }
    return false;
}

UpgradeSequence::Check UpgradeSequence::VerifySection(size_t i, int wait_ms, bool &ok)
{
    const FirmwareSection &section = job.sections[i];
    const int n = int(job.sections.size());
    const QByteArray header = SectionHeaderPayload(section);
    const uint8_t flash = VerifyWhat::Flash;
    Frame reply;

    // The device looks at the section again (its echo must name the same address and length)...
    RepeatVerifyRequest({Cmd::SectionHeader, reinterpret_cast<const uint8_t *>(header.constData()),
                         uint8_t(header.size()), wait_ms, nullptr, "---Verify reply timeout many times", false,
                         [&](const Frame &f) { return memcmp(f.payload, header.constData(), 6) == 0; }},
                        ok, reply);
    // ...computes the digest of its flash...
    RepeatVerifyRequest({Cmd::Verify, &flash, 1, Limits::kVerifyFlashWaitFactor * wait_ms,
                         "---Wait verify flash timeout!", "---Verify reply timeout!1267", false,
                         [](const Frame &f) { return f.payload[0] == kVerifyOk; }},
                        ok, reply);
    // ...and reports it.
    if (!RepeatVerifyRequest({Cmd::ReadDigest, kZeros, kDigestLength, wait_ms, "---Wait verify data timeout!",
                              "---Verify reply timeout!1296", true, [](const Frame &) { return true; }},
                             ok, reply))
        return Check::Missed;
    if (memcmp(reply.payload, section.digest.constData(), kDigestLength) != 0) {
        qCDebug(lcEngine).noquote() << QString::fromUtf8("---verify failed：%1").arg(i + 1);
        return Check::Mismatch;
    }
    ReportProgress(JobPhase::FinalVerify, int(i) + 1);
    qCInfo(lcEngine).noquote() << QString::fromUtf8("---verify success：%1 / %2").arg(i + 1).arg(n);
    return Check::Verified;
}

void UpgradeSequence::OnVerifyAll()
{
    qCInfo(lcEngine).noquote() << "---Verifying all sections!";
    const int wait_ms = Role().verify_wait_ms;
    ReportProgress(JobPhase::FinalVerify);
    bool ok = true;
    for (size_t i = 0; i < job.sections.size(); ++i) {
        if (VerifySection(i, wait_ms, ok) == Check::Mismatch) {
            RestartAfterMismatch(job.sections[i].address, true);
            return;
        }
    }
    ReportProgress(JobPhase::ReturningToApp);
    // A pass cut short by a stop or a lost port verified nothing: never set the flag after it.
    if (control.stop_requested || !LinkUp())
        return;
    if (ok) {
        state = SetUpgradeFlag;
        return;
    }
    qCWarning(lcEngine).noquote() << QString::fromUtf8("---校验失败或超时，需要重新升级");
    Fail(JobEndReason::DeviceFailed, QStringLiteral("Second verify failed"));
}

void UpgradeSequence::OnSetUpgradeFlag()
{
    qCDebug(lcEngine).noquote() << "---Send set upgrade flag cmd";
    link.QueueSwitchMode(SwitchTo::App, job.dev_id);
    job.upgrade_flag_sent = true;
    state = UpgradeSuccess;
}

void UpgradeSequence::OnUpgradeSuccess()
{
    state = Finish;
    qCInfo(lcEngine).noquote() << "---Upgrade success!";
    SettleWait(Waits::Long(Waits::kAfterFlagMs));
    if (Role().after_flag_extra_ms > 0)
        SleepUnlessStopped(Waits::Long(Role().after_flag_extra_ms));
}

bool UpgradeSequence::ReturnBaseToApp(int attempts)
{
    for (int attempt = 0; attempt < attempts; ++attempt) {
        link.QueueSwitchMode(SwitchTo::App, DeviceId::Base);
        link.FlushAllTx();
        SettleWait(Waits::kBaseReturnDrainMs);
        link.TakeInput();  // a port that has gone away says so here
        const QString old_name = link.Up() ? link.Channel().CatalogName() : QString();
        link.Close();
        // The operator who stopped the job (or whose cable came out) waits for this: then the
        // base is taken as soon as it is back, within the restart time.
        const int restart_ms = Waits::Long(Waits::kBaseReturnMs);
        if (job.restoring)
            AwaitBaseRestart(old_name, 0, restart_ms);
        else
            AwaitBaseRestart(old_name, restart_ms, std::max(restart_ms, Waits::kBaseBackLimitMs));
        qCDebug(lcEngine).noquote() << "---Wait main go back App";
        if (OpenLink())
            link.last_reply.start();  // the devices could not be heard while the base was away
        // Every unanswered or wrong answer counts: a base stuck in its bootloader must not keep
        // this loop going until someone presses Stop.
        for (job.idle_ticks = 0; !StopHonoured() && job.idle_ticks < Limits::kBaseReturnPolls; ++job.idle_ticks) {
            uint8_t mode = 0;
            if (!LinkUp())
                break;  // the base has not come back (yet): nothing to ask
            if (!link.QueryModeOf(DeviceId::Base, Waits::kBaseReturnQueryMs, mode))
                continue;
            if (mode == Mode::App) {
                qCInfo(lcEngine).noquote() << "---Main go back App";
                job.base_returned = true;
                return true;
            }
            qCDebug(lcEngine).noquote() << "---Main go App failed";
        }
    }
    return false;
}

void UpgradeSequence::AwaitBaseRestart(const QString &old_name, int min_ms, int max_ms)
{
    // A restarting base leaves USB and comes back, perhaps under another name, when it is ready:
    // a port opened before it has left is about to vanish, and one opened after a fixed time may
    // not be there yet. So its port is watched, and only a port that has been seen gone (or under
    // a new name) and back ends the wait early; a base never seen to go is waited for up to
    // max_ms, then taken as it stands.
    QElapsedTimer clock;
    clock.start();
    bool left = old_name.isEmpty();
    for (;;) {
        const QString now = FamilyPort(job.usb_pid, job.unit, PortCatalog::View::Recent).name;
        left = left || now != old_name;
        const qint64 elapsed = clock.elapsed();
        if ((left && !now.isEmpty() && elapsed >= min_ms) || elapsed >= max_ms || StopHonoured())
            break;
        QThread::msleep(Waits::kUnitWatchMs);
    }
    if (!left)
        qCDebug(lcEngine).noquote() << "---The base was not seen to restart";
    PaceFromNow();
    stats.fixed_wait_ms += clock.elapsed();
    stats.fixed_wait_asked_ms += qMin<qint64>(clock.elapsed(), min_ms);
}

bool UpgradeSequence::ReturnMotorToApp()
{
    // The request or its effect can be lost like any other frame: the motor counts as back only
    // once it answers from its application, and is asked again when it does not.
    for (int attempt = 0; attempt < Limits::kMotorReturnAttempts && LinkUp() && !StopHonoured(); ++attempt) {
        qCDebug(lcEngine).noquote() << "---Let motor go back app";
        link.QueueSwitchMode(SwitchTo::App, DeviceId::Motor);
        link.FlushTx();
        SettleWait(Waits::kMotorReturnMs);
        if (MotorAnswersFromApp()) {
            qCInfo(lcEngine).noquote() << "---Motor is at App";
            job.motor_returned = true;
            return true;
        }
    }
    qCWarning(lcEngine).noquote() << "---Motor go App failed";
    job.motor_given_up = LinkUp() && !StopHonoured();  // asked for all its attempts: not again
    return false;
}

bool UpgradeSequence::MotorAnswersFromApp()
{
    // Asked until it answers from its application, for a restart's time and a few queries at
    // least; a motor that answers from its bootloader meanwhile may not have restarted yet.
    QElapsedTimer clock;
    clock.start();
    const int restart_ms = Waits::Long(Waits::kTargetRestartMs);
    for (int queries = 1; LinkUp() && !StopHonoured(); ++queries) {
        uint8_t mode = 0;
        const bool answered = link.QueryModeOf(DeviceId::Motor, Waits::kBootExchangeMs, mode);
        if (answered && mode == Mode::App)
            return true;
        if (queries >= Limits::kMotorModeQueries && clock.elapsed() >= restart_ms)
            return false;
        if (answered)
            SleepUnlessStopped(Waits::kMotorModePollMs);
    }
    return false;
}

void UpgradeSequence::RestoreUnit()
{
    const bool behind_base = Role().behind_base;
    const bool motor_left = job.motor_went_to_boot && !job.motor_returned && !job.motor_given_up;
    const bool base_left = behind_base && (job.base_went_to_boot || job.base_found_in_boot) && !job.base_returned;
    if (!motor_left && !base_left)
        return;
    // The sequence ended early (a stop, a lost link, a failure before Finish's returns): the unit
    // goes back to its applications all the same, so that the next plain upgrade finds it usable.
    // A base or target left in its bootloader by a cut-off transfer is taken from there by the
    // next job of that target.
    qCInfo(lcEngine).noquote() << "---Return the unit to its application";
    job.restoring = true;
    link.DropUnsentFrames();
    link.streaming = false;  // the stream is over: the return requests go out at once
    if (motor_left && LinkUp() && !ReturnMotorToApp() && job.failure == JobEndReason::Success &&
        !control.stopped_by_operator)
        Fail(JobEndReason::DeviceFailed, QStringLiteral("Motor go app failed"));
    // After the operator's stop one attempt: the operator is waiting. After a lost link the first
    // attempt only finds out whether the base is back; the second asks it.
    if (base_left && !ReturnBaseToApp(control.stopped_by_operator ? 1 : Limits::kBaseReturnAttempts)) {
        qCWarning(lcEngine).noquote() << "---Main go app failed";
        // A lost unit says so already; a stopped one says it was stopped.
        if (job.failure == JobEndReason::Success && !control.stopped_by_operator)
            Fail(JobEndReason::DeviceFailed, QStringLiteral("Main go app failed"));
    }
    job.restoring = false;
}

void UpgradeSequence::OnFinish()
{
    qCInfo(lcEngine).noquote() << "---Stopped!";
    if (!Role().behind_base) {
        // The target was the base or the motor: the upgrade flag restarted it into its
        // application, and only a fully verified image gets the flag. The motor stays on the bus
        // behind the base, so its restart is confirmed as well: a flag lost on the way leaves it
        // in its bootloader, and is sent again.
        job.result = job.upgrade_flag_sent;
        if (job.result && IsMotor(job.dev_id) && !MotorAnswersFromApp() && !ReturnMotorToApp()) {
            job.result = false;
            if (!control.stop_requested)
                Fail(JobEndReason::DeviceFailed, QStringLiteral("Motor go app failed"));
        }
    } else if (!FinishBehindBase()) {
        return;
    }
    const float seconds = float(job.job_start.msecsTo(QDateTime::currentDateTime())) / 1000.0f;
    qCInfo(lcEngine).noquote() << QString::fromUtf8("---Upgrade spend：%1 s").arg(QString::asprintf("%.3f", double(seconds)));
    ReportProgress(JobPhase::Ended);
    control.stop_requested = true;
}

bool UpgradeSequence::FinishBehindBase()
{
    // A base found in its bootloader (an earlier job was cut off) goes back too: the unit must be
    // usable after every job, and the display is powered only by the base's application.
    if ((job.base_went_to_boot || job.base_found_in_boot) && !ReturnBaseToApp(Limits::kBaseReturnAttempts) &&
        !control.stop_requested)  // a stop meanwhile: the return is tried once more after the loop
        Fail(JobEndReason::DeviceFailed, QStringLiteral("Main go app failed"));
    // Tested before the display retarget below is undone: a job retargeted to the display sent
    // the motor away all the same.
    if (job.motor_went_to_boot && LinkUp() && !ReturnMotorToApp() && !control.stop_requested)
        Fail(JobEndReason::DeviceFailed, QStringLiteral("Motor go app failed"));
    if (job.retargeted_to_display)
        Retarget(DeviceId::SlowBus);
    if (Role().target_check_delay_ms > 0)
        SleepUnlessStopped(Waits::Long(Role().target_check_delay_ms));
    if (control.stop_requested)
        return true;
    // The target checked in its application, also when the base was found in its bootloader.
    for (int i = 0; i < Limits::kTargetCheckTries && !control.stop_requested; ++i) {
        uint8_t mode = 0;
        if (!link.QueryModeOf(job.dev_id, Waits::kTargetCheckMs, mode))
            continue;
        if (mode == Mode::App) {
            qCInfo(lcEngine).noquote() << "---Target is at App";
            job.result = job.upgrade_flag_sent;
            return true;
        }
        qCWarning(lcEngine).noquote() << "---Target is at Boot, Upgrade failed";
        Fail(JobEndReason::DeviceFailed, QStringLiteral("Target go app failed"));
        control.stop_requested = true;
        ReportProgress(JobPhase::Ended);
        return false;
    }
    if (!control.stop_requested)
        Fail(JobEndReason::DeviceSilent, QStringLiteral("Target connect lost after upgrade."));
    return true;
}
