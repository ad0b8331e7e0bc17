// What the operator sees of the engine's reports: progress bars, activity text, warnings,
// results and the colours of the target buttons.
#include "main_window.h"

#include "my_pushbtn.h"
#include "ui_main_window.h"
#include "window_texts.h"

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>

#include <cmath>

namespace {

const char kRedStyle[] =
    "QPushButton{background-color: rgb(255, 102, 102);}"
    "QPushButton:hover{background-color: rgb(255, 77, 77);}"
    "QPushButton:pressed{background-color: rgb(255, 51, 51);}";
const char kGreenStyle[] =
    "QPushButton{background-color: rgb(0, 255, 124);}"
    "QPushButton:hover{background-color: rgb(0, 230, 112);}"
    "QPushButton:pressed{background-color: rgb(0, 204, 99);}";

// A style sheet set again, even the same one, makes Qt polish and paint the button anew: on every
// poll of a window left open all shift that is most of what it does.
void SetStyle(QPushButton *button, const QString &style)
{
    if (button->styleSheet() != style)
        button->setStyleSheet(style);
}

// Shows a bar at the truncated percentage while is_show holds; hides it at 100 at the end of
// its phase, so it reappears full-scale rather than with a stale value.
void ShowProgress(QProgressBar *bar, QLabel *caption, bool is_show, float val)
{
    if (!is_show) {
        bar->setValue(100);
        bar->hide();
        caption->hide();
        return;
    }
    if (bar->isHidden())
        bar->show();
    if (caption->isHidden())
        caption->show();
    // Truncation toward zero (99.9 shows 99). A value no int can hold is out of range anyway
    // and, like any out-of-range value, leaves the bar as it is.
    if (std::isfinite(val) && std::fabs(val) < 1e9f)
        bar->setValue(static_cast<int>(val));
}

}  // namespace

void MainWindow::ShowUpgradeProgress(bool is_show, float val)
{
    ShowProgress(form->progress_upgrade, form->label_upgrade, is_show, val);
}

void MainWindow::ShowVerifyProgress(bool is_show, float val)
{
    ShowProgress(form->progress_verify, form->label_verify, is_show, val);
}

void MainWindow::ShowJobProgress(const UpgradeProgress &progress)
{
    if (progress.AboutUpgradeBar())
        ShowUpgradeProgress(progress.UpgradeBarShown(), progress.UpgradeBarPercent());
    else
        ShowVerifyProgress(progress.VerifyBarShown(), progress.VerifyBarPercent());
}

void MainWindow::ShowWarningMsg(QString msg, bool append)
{
    form->text_log->appendPlainText(msg);
    if (append)
        form->label_error->setText(form->label_error->text() + QLatin1Char(' ') + msg);
    else
        form->label_error->setText(msg);
}

void MainWindow::ShowWarningMsg(QString msg)
{
    ShowWarningMsg(msg, false);
}

void MainWindow::ShowUpgState()
{
    if (upgrade_server.Upgrading()) {
        if (form->lab_upging->isHidden())
            form->lab_upging->show();
        form->lab_upging->setText(WindowTexts::kUpdating[anim_step % 3].In(texts_lang));
        ++anim_step;
    } else {
        anim_step = 0;  // the next job starts again at one dot
        if (!form->lab_upging->isHidden())
            form->lab_upging->hide();
    }
}

void MainWindow::ShowUpgRes(bool res)
{
    if (res) {
        ++success_count;
        form->label_sucess_cnt->setText(WindowTexts::kUpdateSuccess.In(texts_lang).arg(success_count));
    } else {
        success_count = 0;
        form->label_sucess_cnt->setText(WindowTexts::kUpdateFailed.In(texts_lang));
    }
}

void MainWindow::ShowJobEnd(JobEndReason reason)
{
    // The end-of-line test may take the port again.
    if (eol_held_by_job) {
        eol_held_by_job = false;
        form->btn_eol_test->setEnabled(true);
    }
    // A job whose image could not be loaded or whose port would not open never reached a
    // device: it has no result to show, and the count of successes stands.
    if (reason == JobEndReason::ImageInvalid || reason == JobEndReason::PortNotOpened)
        return;
    ShowUpgRes(reason == JobEndReason::Success);
}

void MainWindow::UpdateSlaveState(const TargetStatusList &statuses)
{
    // A button follows every reported name its own target name contains.
    for (const TargetStatus &status : statuses) {
        if (!status.mode_asked)
            continue;  // the hardware query says nothing of the mode
        for (MyPushbtn *button : qAsConst(target_buttons)) {
            if (!button->target_name.contains(status.name))
                continue;
            if (status.mode == Mode::Absent) {
                if (button->isEnabled())
                    button->setEnabled(false);
                SetStyle(button, QString());
                if (!button->toolTip().isEmpty())
                    button->setToolTip(QString());
            } else {
                if (!button->isEnabled())
                    button->setEnabled(true);
                SetStyle(button, QLatin1String(status.mode == Mode::Boot ? kRedStyle : kGreenStyle));
            }
        }
    }
}
