// The launch of an upgrade from a target button.
#include "main_window.h"

#include "history_store.h"
#include "my_pushbtn.h"
#include "ui_main_window.h"
#include "upgrade_launch.h"
#include "window_log.h"
#include "window_texts.h"

#include <QTime>

void MainWindow::StartUpgradeMain()
{
    StartUpgrade(form->btn_start_main->target_name);
}

void MainWindow::StartUpgradeMotor()
{
    StartUpgrade(form->btn_start_motor->target_name);
}

void MainWindow::StartUpgradeSteer()
{
    StartUpgrade(form->btn_start_steer->target_name);
}

void MainWindow::StartUpgradeDisplay()
{
    // The display's launch is stamped in the log when the operator pressed its button.
    if (sender() == form->btn_start_display) {
        form->text_log->appendPlainText(QString::fromUtf8("开始升级:")
                                        + QTime::currentTime().toString(QStringLiteral("hh:mm:ss.zzz")));
    }
    StartUpgrade(form->btn_start_display->target_name);
}

void MainWindow::StartUpgradePedals()
{
    StartUpgrade(form->btn_start_pedals->target_name);
}

void MainWindow::StartUpgrade(QString target)
{
    form->label_error->setText(QString());

    // An edited file takes effect here, without a restart.
    if (!LoadConfig(config_path)) {
        ShowWarningMsg(WindowTexts::kConfigInvalid.In(lang), true);
        return;
    }

    UpgradeLaunch launch(upgrade_server, config_path);
    launch.SetTrustedKeys(trusted_keys);
    if (const auto refusal = launch.FindDevice(firmware_entries, target)) {
        ShowRefusal(*refusal);
        return;
    }
    // The buttons come back with the next status report, whatever happens from here on.
    for (MyPushbtn *button : qAsConst(target_buttons))
        button->setEnabled(false);
    LaunchJob job;
    if (const auto refusal = launch.Prepare(job)) {
        ShowRefusal(*refusal);
        return;
    }
    // The line's guard, before any device leaves its application. A server that cannot be asked
    // lets the job run: said on the console once per outage, not on every job.
    const LineGuard::Verdict guard =
        line_guard.Ask(line_guard_settings, history_sync ? history_sync->Server() : QString(),
                       job.image ? job.image->Sha256Hex() : QString());
    if (guard.refusal) {
        ShowRefusal(*guard.refusal);
        return;
    }
    if (guard.outcome == LineGuard::Outcome::Unanswered && guard.news)
        qCWarning(lcWindow).noquote() << guard.warning;
    record_keeper.Begin(target, job, HistoryStore::Location(config_path));
    if (!launch.Start(job)) {
        record_keeper.Abandon();
        return;
    }
    // The end-of-line test program would talk to the devices the job holds; its button comes
    // back when the job has ended (ShowJobEnd).
    form->btn_eol_test->setEnabled(false);
    eol_held_by_job = true;
}

void MainWindow::ShowRefusal(const LaunchRefusal &refusal)
{
    auto debug = [&] {
        for (const QString &line : refusal.debug_lines)
            qCWarning(lcWindow).noquote() << line;
    };
    if (!refusal.debug_after_warning)
        debug();
    ShowWarningMsg(refusal.Warning(lang), false);
    if (refusal.debug_after_warning)
        debug();
}
