// Upgrade sequence, last phase: the second check of every section, the upgrade flag, and Finish,
// where every job ends: base and motor back to their applications, the target checked, the
// result decided.
#include "upgrade_server.h"

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

UpgradeServer::Check UpgradeServer::VerifySection(size_t i, int wait_ms, bool &ok)
{
    const FirmwareSection &section = sections[i];
    const int n = int(sections.size());
    Frame reply;

    // The device looks at the section again...
    const QByteArray header = SectionHeaderPayload(section);
    for (int misses = 0; !stop_requested && LinkUp();) {
        if (BlockingExchange(Cmd::SectionHeader, reinterpret_cast<const uint8_t *>(header.constData()),
                             uint8_t(header.size()), dev_id, wait_ms, reply) &&
            memcmp(reply.payload, header.constData(), 6) == 0)
            break;
        if (++misses == Waits::kVerifyMisses) {
            qDebug().noquote() << "---Verify reply timeout many times";
            ok = false;
            break;
        }
    }
    // ...computes the digest of its flash...
    const uint8_t what = VerifyWhat::Flash;
    for (int misses = 0; !stop_requested && LinkUp();) {
        if (BlockingExchange(Cmd::Verify, &what, 1, dev_id, 3 * wait_ms, reply) && reply.payload[0] == kVerifyOk)
            break;
        if (misses > 5)
            qDebug().noquote() << "---Wait verify flash timeout!";
        if (++misses == Waits::kVerifyMisses) {
            qDebug().noquote() << "---Verify reply timeout!1267";
            ok = false;
            break;
        }
    }
    // ...and reports it.
    for (int misses = 0; !stop_requested && LinkUp();) {
        if (BlockingExchange(Cmd::ReadDigest, kZeros, kDigestLength, dev_id, wait_ms, reply)) {
            if (memcmp(reply.payload, section.digest.constData(), kDigestLength) != 0) {
                qDebug().noquote() << QString::fromUtf8("---verify failed：%1").arg(i + 1);
                return Check::Mismatch;
            }
            emit UpdateVerifyProgress(true, float(i + 1) / float(n) * 100.0f);
            qDebug().noquote() << QString::fromUtf8("---verify success：%1 / %2").arg(i + 1).arg(n);
            return Check::Verified;
        }
        if (misses > 5)
            qDebug().noquote() << "---Wait verify data timeout!";
        if (++misses == Waits::kVerifyMisses) {
            qDebug().noquote() << "---Verify reply timeout!1296";
            ok = false;
            break;
        }
        if (!ok)
            break;  // an earlier check already failed: no further tries for this digest
    }
    return Check::Missed;
}

void UpgradeServer::OnVerifyAll()
{
    qDebug().noquote() << "---Verifying all sections!";
    const int wait_ms = dev_id == DeviceId::Motor ? Waits::kVerifyWaitDev3Ms : Waits::kVerifyWaitMs;
    emit UpdateVerifyProgress(true, 0.0f);
    bool ok = true;
    for (size_t i = 0; i < sections.size(); ++i) {
        if (VerifySection(i, wait_ms, ok) == Check::Mismatch) {
            RestartAfterMismatch(sections[i].address, true);
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
    error_text += QStringLiteral("Second verify failed\n");
    state = Finish;
}

void UpgradeServer::OnSetUpgradeFlag()
{
    qDebug().noquote() << "---Send set upgrade flag cmd";
    QueueSwitchMode(SwitchTo::App, dev_id);
    upgrade_flag_sent = true;
    state = UpgradeSuccess;
}

void UpgradeServer::OnUpgradeSuccess()
{
    state = Finish;
    qDebug().noquote() << "---Upgrade success!";
    SettleWait(Waits::Long(Waits::kAfterFlagMs));
    if (dev_id == DeviceId::Display)
        SleepUnlessStopped(Waits::Long(Waits::kDisplayAfterFlagMs));
}

bool UpgradeServer::ReturnBaseToApp()
{
    for (int attempt = 0; attempt < Waits::kBaseReturnAttempts; ++attempt) {
        QueueSwitchMode(SwitchTo::App, DeviceId::Base);
        FlushTx();
        SettleWait(Waits::kBaseReturnDrainMs);
        ReleaseDriver();
        SleepUnlessStopped(Waits::Long(Waits::kBaseReturnMs));
        qDebug().noquote() << "---Wait main go back App";
        driver = new UsbCdcDriver(usb_pid, &job_start);
        // Every unanswered or wrong answer counts: a base stuck in its bootloader must not keep
        // this loop going until someone presses Stop.
        for (idle_ticks = 0; !stop_requested && idle_ticks < Waits::kBaseReturnPolls; ++idle_ticks) {
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
    if (dev_id == DeviceId::Base || dev_id == DeviceId::Motor) {
        // The target was the base or the motor: the upgrade flag restarted it into its
        // application, and only a fully verified image gets the flag.
        result = upgrade_flag_sent;
    } else if (!FinishBehindBase()) {
        return;
    }
    const float seconds = float(job_start.msecsTo(QDateTime::currentDateTime())) / 1000.0f;
    qDebug().noquote() << QString::fromUtf8("---Upgrade spend：%1 s").arg(QString::asprintf("%.3f", double(seconds)));
    emit UpdateUpgradeProgress(false, 100.0f);
    stop_requested = true;
}

bool UpgradeServer::FinishBehindBase()
{
    if (base_went_to_boot && !ReturnBaseToApp())
        error_text += QStringLiteral("Main go app failed\n");
    if (dev_id == DeviceId::SlowBus && motor_went_to_boot && motor_to_boot) {
        qDebug().noquote() << "---Let motor go back app";
        QueueSwitchMode(SwitchTo::App, DeviceId::Motor);
        FlushTx();
        SettleWait(Waits::kMotorReturnMs);
    }
    if (retargeted_to_display)
        dev_id = DeviceId::SlowBus;
    if (dev_id == DeviceId::SlowBus)
        SleepUnlessStopped(Waits::Long(Waits::kTargetCheckDev5Ms));
    if (stop_requested)
        return true;
    // The target checked in its application, also when the base was found in its bootloader.
    for (int i = 0; i < Waits::kTargetCheckTries && !stop_requested; ++i) {
        uint8_t mode = 0;
        if (!QueryModeOf(dev_id, Waits::kTargetCheckMs, mode))
            continue;
        if (mode == Mode::App) {
            qDebug().noquote() << "---Target is at App";
            result = upgrade_flag_sent;
            return true;
        }
        qDebug().noquote() << "---Target is at Boot, Upgrade failed";
        error_text += QStringLiteral("Target go app failed\n");
        stop_requested = true;
        emit UpdateUpgradeProgress(false, 100.0f);
        return false;
    }
    if (!stop_requested)
        error_text += QStringLiteral("Target connect lost after upgrade.\n");
    return true;
}
