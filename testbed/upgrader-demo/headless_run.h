#pragma once

#include "demo_setup.h"

#include <QElapsedTimer>
#include <QObject>
#include <QStringList>
#include <QTimer>

class MainWindow;
class MyPushbtn;

// Drives the operator window the way an operator would: waits until the status poll enables a
// target's button, presses it, and follows the job on the terminal (a progress bar and the
// window's log lines) until its result; then the next target, then a summary.
class HeadlessRun : public QObject {
    Q_OBJECT

public:
    HeadlessRun(MainWindow &window, const QList<DemoTarget> &targets, bool verbose);
    void Start();

    // Debug lines of every thread arrive here (installed as the message handler).
    static void CaptureDebug(QtMsgType type, const QMessageLogContext &context, const QString &message);

signals:
    void Finished(int exit_code);

private:
    struct Outcome {
        DemoTarget target;
        QString hardware = QStringLiteral("-");
        QString image = QStringLiteral("-");
        bool success = false;
        QString error;
        double seconds = 0;
    };

    void Tick();
    void BeginTarget();
    void Press();
    // The window's button of a target, found as the operator finds it: by the target it starts.
    MyPushbtn *ButtonOf(const QString &target) const;
    void OnProgress(const QString &phase, bool show, float value);
    void OnResult(bool ok);
    void EchoNewLogLines();
    void TakeDebugLines();
    void EndTarget(bool success, const QString &error);
    void PrintSummary();
    void Line(const QString &text);

    MainWindow &window;
    QList<DemoTarget> targets;
    bool verbose = false;
    int current = -1;
    bool running = false;     // pressed, waiting for the result
    QElapsedTimer clock;      // since the current target's button became available or was pressed
    QTimer ticker;
    QList<Outcome> outcomes;
    int log_lines_seen = 0;
    bool bar_open = false;    // a progress line is on the terminal without its newline
    QString logged_phase;     // the progress last written to a log, not a terminal
    int logged_tenth = -1;
    bool tty = false;
};
