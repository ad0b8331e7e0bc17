// The launch of an upgrade from a target button.
#include "main_window.h"

#include "ui_main_window.h"
#include "window_texts.h"

#include <QTime>

void MainWindow::StartUpgradeMain()
{
    StartUpgrade(QStringLiteral("Base"));
}

void MainWindow::StartUpgradeMotor()
{
    StartUpgrade(QStringLiteral("Motor"));
}

void MainWindow::StartUpgradeSteer()
{
    StartUpgrade(QStringLiteral("Steering"));
}

void MainWindow::StartUpgradeDisplay()
{
    // The display's launch is stamped in the log when the operator pressed its button.
    if (sender() == form->btn_start_display) {
        form->text_log->appendPlainText(QString::fromUtf8("开始升级:")
                                        + QTime::currentTime().toString(QStringLiteral("hh:mm:ss.zzz")));
    }
    StartUpgrade(QStringLiteral("Meter"));
}

void MainWindow::StartUpgradePedals()
{
    StartUpgrade(QStringLiteral("Pedals"));
}

void MainWindow::StartUpgrade(QString target)
{
    form->label_error->setText(QString());

    // An edited file takes effect here, without a restart.
    if (!LoadConfig(config_path)) {
        ShowWarningMsg(WindowTexts::kConfigInvalid.In(lang), true);
        return;
    }

    // ---- Launch proper, to follow: target lookup, device checks, hardware query, job start.
    Q_UNUSED(target);
}
