// upgrader: the operator's firmware-upgrade window.
#include "main_window.h"
#include "window_log.h"

#include <QApplication>
#include <QDir>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    ShowBareConsoleLines();

    // The configuration and relative firmware paths are looked up beside the program.
    QDir::setCurrent(QCoreApplication::applicationDirPath());
    qCDebug(lcWindow).noquote() << QStringLiteral("Current path: ") + QDir::current().absolutePath();

    // Destroyed when the event loop returns, while the application still exists: a job still
    // running when the operator closes the window is stopped and its thread waited for, so it
    // never writes to a freed engine.
    MainWindow window;
    window.show();
    return app.exec();
}
