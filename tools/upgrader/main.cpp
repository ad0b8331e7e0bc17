// upgrader: the operator's firmware-upgrade window.
#include "config_discovery.h"
#include "main_window.h"
#include "program_version.h"
#include "window_log.h"

#include <QApplication>
#include <QDir>

int main(int argc, char *argv[])
{
    // Before the application: the version needs no display.
    if (PrintVersionIfAsked(argc, argv, "upgrader"))
        return 0;
    QApplication app(argc, argv);
    ShowBareConsoleLines();

    // The window works in the folder of its configuration: beside the program when it holds one
    // (a build folder), else the first of the current directory, ~/.config/upgrader and
    // /etc/upgrader that holds a config.json. Relative paths in the configuration (the
    // end-of-line test program) mean that folder.
    const QList<ConfigFolder> folders =
        WindowConfigFolders(QCoreApplication::applicationDirPath(), QDir::currentPath());
    QDir::setCurrent(ChooseConfigFolder(folders));
    if (!HoldsConfig(QDir::current())) {
        QStringList searched;
        for (const ConfigFolder &folder : folders)
            searched << (folder.rule == ConfigRule::AnyJson ? folder.path + QStringLiteral("/*.json")
                                                             : folder.path + QStringLiteral("/config.json"));
        qCWarning(lcWindow).noquote() << QStringLiteral("No configuration in ") + searched.join(QStringLiteral(", "));
    }
    qCInfo(lcWindow).noquote() << QStringLiteral("Current path: ") + QDir::current().absolutePath();

    // Destroyed when the event loop returns, while the application still exists: a job still
    // running when the operator closes the window is stopped and its thread waited for, so it
    // never writes to a freed engine.
    MainWindow window;
    window.show();
    return app.exec();
}
