#pragma once

#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// A PostgreSQL server of its own for a test suite or the benchmark: a fresh cluster in a
// temporary folder, listening on a Unix socket in that folder and on a free loopback TCP port.
// The superuser is "upgrader"; the role "refused" is always turned away at login, every other
// role is trusted. The server refuses to run as root: under root the cluster belongs to nobody
// and its programs run as nobody. Every wait is bounded; nothing is left running or on disk
// once the object is gone.
class LocalPgServer {
public:
    LocalPgServer();
    ~LocalPgServer();  // stops the server (if running) and removes its folder
    LocalPgServer(const LocalPgServer &) = delete;
    LocalPgServer &operator=(const LocalPgServer &) = delete;

    // First call: initdb and start; after Stop(): starts the same cluster again (same port).
    bool Start(QString *error);
    // A fast shutdown (open sessions are ended), waiting until the server is down.
    bool Stop(QString *error);
    bool Running() const;
    int Port() const;
    QString SocketFolder() const;
    // The server's log (pg_ctl's and the server's own lines), for a test to print on failure.
    QString LogFile() const;

    // libpq connection strings (key=value) for the superuser "upgrader":
    QString Connection(const QString &database = QStringLiteral("upgrades")) const;     // over the Unix socket
    QString TcpConnection(const QString &database = QStringLiteral("upgrades")) const;  // host=127.0.0.1 port=N
    // An empty database (the cluster starts with one named "upgrades").
    bool CreateDatabase(const QString &name, QString *error);
    // Runs sql with psql -X -At -v ON_ERROR_STOP=1 as "upgrader" on database; its standard output.
    bool Sql(const QString &database, const QString &sql, QString *output, QString *error);

    // The folder with the server's programs: UPGRADER_PG_BIN when set, otherwise the newest
    // /usr/lib/postgresql/N/bin that has initdb, otherwise the folder of an initdb on PATH.
    // Empty when there is none.
    static QString BinFolder();

private:
    bool Initialize(QString *error);
    bool StartOnPort(int port, QString *error);
    bool WriteConfiguration(QString *error);
    // Runs one of the server's programs (as nobody under root); its merged output.
    bool RunServerProgram(const QString &program, const QStringList &arguments, int timeout_ms, QString *output,
                          QString *error) const;
    void KillLeftover();
    QString DataFolder() const;
    QString PidFile() const;
    QString LogTail() const;

    QTemporaryDir folder;
    QString bin;
    int port = 0;
    bool initialized = false;
    bool running = false;
};
