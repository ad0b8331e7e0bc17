// Upgrade sequence, last phase: the second check of every section, the upgrade flag, and Finish,
// where every job ends: base and motor back to their applications, the target checked, the
// result decided.
#include "upgrade_server.h"

#include "sequence_limits.h"
#include "messages.h"
#include "usb_cdc_driver.h"
#include "waits.h"

#include <QDebug>

namespace {

constexpr uint8_t kZeros[kDigestLength] = {};

}  // namespace

void UpgradeServer::OnAllSectionsDone()
{
    qDebug().noquote() << "---All Sections upgrade finished!";
    state = VerifyAll;
}

bool UpgradeServer::RepeatVerifyRequest(const VerifyRequest &request, bool &ok, Frame &reply)
{
    for (int misses = 0; !stop_requested && LinkUp();) {
        if (BlockingExchange(request.command, request.payload, request.length, job.dev_id, request.wait_ms, reply) &&
            request.accept(reply))
            return true;
        if (request.slow_line && misses > Limits::kVerifyQuietMisses)
            qDebug().noquote() << request.slow_line;
        if (++misses == Limits::kVerifyMisses) {
            qDebug().noquote() << request.missed_line;
            ok = false;
            return false;
        }
        if (request.once_failed_tries_once && !ok)
            return false;  // an earlier check already failed: no further tries
    }
    return false;
}

UpgradeServer::Check UpgradeServer::VerifySection(size_t i, int wait_ms, bool &ok)
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
        qDebug().noquote() << QString::fromUtf8("---verify failed：%1").arg(i + 1);
        return Check::Mismatch;
    }
    emit UpdateVerifyProgress(true, float(i + 1) / float(n) * 100.0f);
    qDebug().noquote() << QString::fromUtf8("---verify success：%1 / %2").arg(i + 1).arg(n);
    return Check::Verified;
}

void UpgradeServer::OnVerifyAll()
{
    qDebug().noquote() << "---Verifying all sections!";
    const int wait_ms = job.dev_id == DeviceId::Motor ? Waits::kVerifyWaitDev3Ms : Waits::kVerifyWaitMs;
    emit UpdateVerifyProgress(true, 0.0f);
    bool ok = true;
    for (size_t i = 0; i < job.sections.size(); ++i) {
        if (VerifySection(i, wait_ms, ok) == Check::Mismatch) {
            RestartAfterMismatch(job.sections[i].address, true);
            return;
        }
    }
    emit UpdateVerifyProgress(false, 0.0f);
    // A pass cut short by a stop or a lost port verified nothing: never set the flag after it.
    if (stop_requested || !LinkUp())
        return;
    if (ok) {
        state = SetUpgradeFlag;
        return;
    }
    qDebug().noquote() << QString::fromUtf8("---校验失败或超时，需要重新升级");
    job.error_text += QStringLiteral("Second verify failed\n");
    state = Finish;
}

void UpgradeServer::OnSetUpgradeFlag()
{
    qDebug().noquote() << "---Send set upgrade flag cmd";
    QueueSwitchMode(SwitchTo::App, job.dev_id);
    job.upgrade_flag_sent = true;
    state = UpgradeSuccess;
}

void UpgradeServer::OnUpgradeSuccess()
{
    state = Finish;
    qDebug().noquote() << "---Upgrade success!";
    SettleWait(Waits::Long(Waits::kAfterFlagMs));
    if (job.dev_id == DeviceId::Display)
        SleepUnlessStopped(Waits::Long(Waits::kDisplayAfterFlagMs));
}

bool UpgradeServer::ReturnBaseToApp()
{
    for (int attempt = 0; attempt < Limits::kBaseReturnAttempts; ++attempt) {
        QueueSwitchMode(SwitchTo::App, DeviceId::Base);
        FlushTx();
        SettleWait(Waits::kBaseReturnDrainMs);
        ReleaseDriver();
        SleepUnlessStopped(Waits::Long(Waits::kBaseReturnMs));
        qDebug().noquote() << "---Wait main go back App";
        OpenDriver();
        // Every unanswered or wrong answer counts: a base stuck in its bootloader must not keep
        // this loop going until someone presses Stop.
        for (job.idle_ticks = 0; !stop_requested && job.idle_ticks < Limits::kBaseReturnPolls; ++job.idle_ticks) {
            uint8_t mode = 0;
            if (!QueryModeOf(DeviceId::Base, Waits::kBaseReturnQueryMs, mode))
                continue;
            if (mode == Mode::App) {
                qDebug().noquote() << "---Main go back App";
                return true;
            }
            qDebug().noquote() << "---Main go App failed";
        }
    }
    return false;
}

void UpgradeServer::OnFinish()
{
    qDebug().noquote() << "---Stopped!";
    if (job.dev_id == DeviceId::Base || job.dev_id == DeviceId::Motor) {
        // The target was the base or the motor: the upgrade flag restarted it into its
        // application, and only a fully verified image gets the flag.
        job.result = job.upgrade_flag_sent;
    } else if (!FinishBehindBase()) {
        return;
    }
    const float seconds = float(job.job_start.msecsTo(QDateTime::currentDateTime())) / 1000.0f;
    qDebug().noquote() << QString::fromUtf8("---Upgrade spend：%1 s").arg(QString::asprintf("%.3f", double(seconds)));
    emit UpdateUpgradeProgress(false, 100.0f);
    stop_requested = true;
}

bool UpgradeServer::FinishBehindBase()
{
    if (job.base_went_to_boot && !ReturnBaseToApp())
        job.error_text += QStringLiteral("Main go app failed\n");
    if (job.dev_id == DeviceId::SlowBus && job.motor_went_to_boot && job.motor_to_boot) {
        qDebug().noquote() << "---Let motor go back app";
        QueueSwitchMode(SwitchTo::App, DeviceId::Motor);
        FlushTx();
        SettleWait(Waits::kMotorReturnMs);
    }
    if (job.retargeted_to_display)
        job.dev_id = DeviceId::SlowBus;
    if (job.dev_id == DeviceId::SlowBus)
        SleepUnlessStopped(Waits::Long(Waits::kTargetCheckDev5Ms));
    if (stop_requested)
        return true;
    // The target checked in its application, also when the base was found in its bootloader.
    for (int i = 0; i < Limits::kTargetCheckTries && !stop_requested; ++i) {
        uint8_t mode = 0;
        if (!QueryModeOf(job.dev_id, Waits::kTargetCheckMs, mode))
            continue;
        if (mode == Mode::App) {
            qDebug().noquote() << "---Target is at App";
            job.result = job.upgrade_flag_sent;
            return true;
        }
        qDebug().noquote() << "---Target is at Boot, Upgrade failed";
        job.error_text += QStringLiteral("Target go app failed\n");
        stop_requested = true;
        emit UpdateUpgradeProgress(false, 100.0f);
        return false;
    }
    if (!stop_requested)
        job.error_text += QStringLiteral("Target connect lost after upgrade.\n");
    return true;
}
