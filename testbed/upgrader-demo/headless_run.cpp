#include "headless_run.h"

#include "link_log.h"
#include "main_window.h"
#include "my_pushbtn.h"

#include <QLabel>
#include <QDir>
#include <QFileInfo>
#include <QMutex>
#include <QMutexLocker>
#include <QPlainTextEdit>
#include <QTextBlock>

#include <unistd.h>

#include <cstdio>

namespace {

constexpr int kTickMs = 50;
constexpr int kDeviceWaitMs = 30000;    // the status poll finds an attached device well within this
constexpr int kJobLimitMs = 15 * 60000; // far beyond any job; only a hang gets here
constexpr int kBarWidth = 30;

QMutex debug_lock;
QStringList debug_lines;

}  // namespace

HeadlessRun::HeadlessRun(MainWindow &w, const QList<DemoTarget> &list, bool chatty)
    : window(w), targets(list), verbose(chatty), tty(isatty(STDOUT_FILENO))
{
    UpgradeServer &engine = window.upgrade_server;
    connect(&engine, &UpgradeServer::UpdateUpgradeProgress, this,
            [this](bool show, float value) { OnProgress(QStringLiteral("transfer"), show, value); });
    connect(&engine, &UpgradeServer::UpdateVerifyProgress, this,
            [this](bool show, float value) { OnProgress(QStringLiteral("verify  "), show, value); });
    connect(&engine, &UpgradeServer::PushErrorMsg, this, [this](const QString &text) {
        if (running && current >= 0)
            outcomes[current].error += text.trimmed() + QLatin1Char(' ');
    });
    connect(&engine, &UpgradeServer::PushUpgRes, this, &HeadlessRun::OnResult);
    connect(&ticker, &QTimer::timeout, this, &HeadlessRun::Tick);
}

void HeadlessRun::CaptureDebug(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type != QtDebugMsg && !IsUpgradeAccount(type, context.category)) {
        // The offscreen platform has no window manager to tell about sizes; nothing to report.
        if (!message.contains(QLatin1String("propagateSizeHints")))
            fprintf(stderr, "%s\n", qPrintable(message));
        return;
    }
    QMutexLocker lock(&debug_lock);
    debug_lines << message;
}

void HeadlessRun::Start()
{
    log_lines_seen = 0;  // the window's log is still empty: its first line fills the first block
    ticker.start(kTickMs);
    BeginTarget();
}

void HeadlessRun::Line(const QString &text)
{
    if (bar_open)
        fputs("\n", stdout);
    bar_open = false;
    fprintf(stdout, "%s\n", qPrintable(text));
    fflush(stdout);
}

void HeadlessRun::BeginTarget()
{
    ++current;
    if (current >= targets.size()) {
        ticker.stop();
        PrintSummary();
        return;
    }
    const DemoTarget &target = targets[current];
    Outcome outcome;
    outcome.target = target;
    outcomes.append(outcome);
    logged_tenth = -1;
    Line(QStringLiteral("\n== %1 (device %2): waiting for the status poll to find it").arg(target.name).arg(target.dev_id));
    running = false;
    clock.start();
}

void HeadlessRun::Tick()
{
    TakeDebugLines();
    EchoNewLogLines();
    if (current < 0 || current >= targets.size())
        return;
    if (running) {
        if (clock.elapsed() > kJobLimitMs) {
            window.StopUPgrade();
            EndTarget(false, QStringLiteral("no result after %1 minutes").arg(kJobLimitMs / 60000));
        }
        return;
    }
    MyPushbtn *button = ButtonOf(targets[current].name);
    if (button && button->isEnabled()) {
        Press();
        return;
    }
    if (clock.elapsed() > kDeviceWaitMs)
        EndTarget(false, QStringLiteral("the status poll never found the device"));
}

MyPushbtn *HeadlessRun::ButtonOf(const QString &target) const
{
    for (MyPushbtn *button : window.findChildren<MyPushbtn *>()) {
        if (button->target_name == target)
            return button;
    }
    return nullptr;
}

void HeadlessRun::Press()
{
    MyPushbtn *button = ButtonOf(targets[current].name);
    Line(QStringLiteral("== %1: pressing %2").arg(targets[current].name, button->objectName()));
    running = true;
    clock.start();
    // A click through the button itself, as the operator's would be: its slot sees the button as
    // sender.
    button->click();
    TakeDebugLines();
    EchoNewLogLines();
    if (window.upgrade_server.LinkBusy())
        return;
    // The launch refused: its warning is in the window's error line.
    EndTarget(false, window.findChild<QLabel *>(QStringLiteral("label_error"))->text());
}

void HeadlessRun::OnProgress(const QString &phase, bool show, float value)
{
    if (!running || !show)
        return;
    const int percent = qBound(0, int(value), 100);
    const int filled = percent * kBarWidth / 100;
    const QString bar = QStringLiteral("  %1 [%2%3] %4%  %5 s")
                            .arg(phase)
                            .arg(QString(filled, QLatin1Char('#')))
                            .arg(QString(kBarWidth - filled, QLatin1Char('.')))
                            .arg(percent, 3)
                            .arg(clock.elapsed() / 1000.0, 0, 'f', 1);
    if (tty) {
        fprintf(stdout, "\r%s", qPrintable(bar));
        bar_open = true;
        fflush(stdout);
        return;
    }
    // In a log, a line per tenth of a phase (and whenever it starts over) is enough to follow.
    const int tenth = percent / 10;
    if (phase != logged_phase || tenth != logged_tenth)
        Line(bar);
    logged_phase = phase;
    logged_tenth = tenth;
}

void HeadlessRun::OnResult(bool ok)
{
    if (!running)
        return;
    EndTarget(ok, outcomes[current].error.trimmed());
}

void HeadlessRun::EndTarget(bool success, const QString &error)
{
    TakeDebugLines();
    EchoNewLogLines();
    Outcome &outcome = outcomes[current];
    outcome.success = success;
    outcome.error = error;
    outcome.seconds = clock.elapsed() / 1000.0;
    running = false;
    Line(QStringLiteral("== %1: %2 after %3 s%4")
             .arg(outcome.target.name, success ? QStringLiteral("upgraded") : QStringLiteral("FAILED"))
             .arg(outcome.seconds, 0, 'f', 1)
             .arg(error.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(error)));
    // The next target waits for its button, which the status poll enables once this job has
    // ended and released the port.
    QTimer::singleShot(0, this, &HeadlessRun::BeginTarget);
}

void HeadlessRun::EchoNewLogLines()
{
    QTextDocument *log = window.findChild<QPlainTextEdit *>(QStringLiteral("text_log"))->document();
    if (log->isEmpty())
        return;  // an empty log still has one (empty) block, which its first line will fill
    for (; log_lines_seen < log->blockCount(); ++log_lines_seen) {
        const QString text = log->findBlockByNumber(log_lines_seen).text();
        if (!text.isEmpty())
            Line(QStringLiteral("  log | ") + text);
    }
}

void HeadlessRun::TakeDebugLines()
{
    QStringList lines;
    {
        QMutexLocker lock(&debug_lock);
        lines.swap(debug_lines);
    }
    for (const QString &line : lines) {
        // What the launch read and the job loaded, for the summary.
        if (line.startsWith(QLatin1String("\nHardware Version: ")) && current >= 0 && current < outcomes.size())
            outcomes[current].hardware = line.mid(19);
        if (line.startsWith(QLatin1String("Using firmware:  ")) && current >= 0 && current < outcomes.size())
            outcomes[current].image = QFileInfo(window.config_path).absoluteDir().relativeFilePath(line.mid(17));
        if (verbose)
            Line(QStringLiteral("  dbg | ") + line.trimmed());
    }
}

void HeadlessRun::PrintSummary()
{
    Line(QStringLiteral("\n== Summary"));
    Line(QString::asprintf("%-9s %-20s %-18s %-8s %8s", "target", "hardware", "image", "result", "time"));
    int failed = 0;
    for (const Outcome &o : outcomes) {
        Line(QString::asprintf("%-9s %-20s %-18s %-8s %7.1fs", qPrintable(o.target.name), qPrintable(o.hardware),
                               qPrintable(o.image), o.success ? "success" : "failed", o.seconds) +
             (o.error.isEmpty() ? QString() : QStringLiteral("  ") + o.error));
        failed += !o.success;
    }
    Line(failed ? QStringLiteral("%1 of %2 upgrades failed").arg(failed).arg(outcomes.size())
                : QStringLiteral("all %1 upgrades succeeded").arg(outcomes.size()));
    emit Finished(failed ? 1 : 0);
}
