// The actions that upgrade nothing: opening the configuration, handing over to the end-of-line
// test, the device versions on hover, the stop button and the manual mode switch of the base.
#include "main_window.h"

#include "elevated_start.h"
#include "my_pushbtn.h"
#include "ui_main_window.h"
#include "window_log.h"
#include "window_texts.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QUrl>

void MainWindow::OpenConfig()
{
    // The desktop's answer does not matter here: a file that does not open shows nothing.
    QDesktopServices::openUrl(QUrl::fromLocalFile(QFileInfo(config_path).absoluteFilePath()));
}

void MainWindow::SwitchApp()
{
    // The program's directory as written, "/"-separated: every piece but the last, each
    // followed by "/". A path without "/" gives the empty directory.
    const QStringList pieces = eol_path.split(QLatin1Char('/'));
    QString directory;
    for (int i = 0; i + 1 < pieces.size(); ++i)
        directory += pieces[i] + QLatin1Char('/');
    qCDebug(lcWindow).noquote() << directory;

    // Resolved before the directory changes, so a relative path means below the tool's own
    // directory.
    const QString program = QDir::current().absoluteFilePath(eol_path);
    const QString previous = QDir::currentPath();
    QDir::setCurrent(directory);  // the test program runs in its own directory

    // The test program may talk to the same devices, and where the tool has to wait for it
    // (the window hidden) the status poll keeps off the port meanwhile.
    const bool polling = upgrade_server.IsPolling();
    upgrade_server.StopPolling();
    const ElevatedStart start = StartElevated(program, this);
    if (start.started) {
        QCoreApplication::exit(0);  // the test program takes over
        return;
    }
    if (polling)
        upgrade_server.StartPolling();
    qCWarning(lcWindow).noquote() << QString::fromUtf8("请检查路径,err_code:") + QString::number(start.code);
    // The tool stays open: relative firmware paths of later launches must still mean the
    // tool's directory, not the test program's.
    QDir::setCurrent(previous);
}

void MainWindow::GetOtherMsg(QString &name)
{
    upgrade_server.Probe().RequestDetails(name);
}

void MainWindow::GotMoreInfo(const TargetStatusList &statuses)
{
    for (const TargetStatus &status : statuses) {
        if (!status.details_asked)
            continue;
        QString info;
        if (status.app_version) {
            const auto &v = status.app_version->parts;
            info = QString::asprintf("APP: %d.%d.%d.%d", v[0], v[1], v[2], v[3]);
        }
        if (status.hw_text)
            info += QLatin1Char('\n') + *status.hw_text;
        const QString text = QString::fromUtf8(info.toLocal8Bit());
        for (MyPushbtn *button : qAsConst(target_buttons)) {
            if (button->target_name.contains(status.name))
                button->setToolTip(text);
        }
    }
}

void MainWindow::StopUPgrade()
{
    if (upgrade_server.Stop())
        return;
    ShowWarningMsg(WindowTexts::kNotUpgrading.In(lang), false);
}

void MainWindow::MainGoApp()
{
    upgrade_server.StopPolling();
    upgrade_server.Probe().BaseGoApp();
    // Without a valid configuration the engine has no table to poll, so polling stays off.
    if (config_valid)
        upgrade_server.StartPolling();
}

void MainWindow::MainGoBoot()
{
    upgrade_server.StopPolling();
    upgrade_server.Probe().BaseGoBoot();
    if (config_valid)
        upgrade_server.StartPolling();
}
