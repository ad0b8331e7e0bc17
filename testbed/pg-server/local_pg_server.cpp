#include "local_pg_server.h"

#include <QCollator>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStandardPaths>
#include <QThread>

#include <algorithm>

#ifdef Q_OS_WIN
#include <winsock2.h>
#else
#include <grp.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>
#endif

namespace {

constexpr char kSuperuser[] = "upgrader";
constexpr char kFirstDatabase[] = "upgrades";
// The database every cluster has from initdb on, where the first one is made.
constexpr char kMaintenanceDatabase[] = "postgres";
// Waits, each with its unit. initdb writes a few hundred files: generous on a loaded machine.
constexpr int kInitdbMs = 120000;
constexpr int kPgCtlWaitSeconds = 30;                           // pg_ctl -w -t: until up or down
constexpr int kPgCtlMs = (kPgCtlWaitSeconds + 15) * 1000;       // pg_ctl itself, around its own wait
constexpr int kPsqlMs = 60000;
constexpr int kLeftoverKillMs = 5000;                           // a killed postmaster's exit
// Another program may take the free port between our look and the server's bind.
constexpr int kPortAttempts = 5;
// A Unix socket's path has room for 107 bytes; the socket's own name takes 17 of them.
constexpr int kLongestSocketFolder = 80;
constexpr char kFolderName[] = "upgrader-pg-XXXXXX";
constexpr char kLogName[] = "server.log";
constexpr char kOwnConfigurationName[] = "local_server.conf";

QString FolderTemplate()
{
    QString base = QDir::tempPath();
#ifndef Q_OS_WIN
    if (base.size() + 1 + int(sizeof kFolderName) - 1 > kLongestSocketFolder)
        base = QStringLiteral("/tmp");
#endif
    return QDir(base).filePath(QLatin1String(kFolderName));
}

// A value in a libpq connection string: quoted when it holds a space, a quote or a backslash.
QString ConnectionValue(const QString &value)
{
    if (!value.isEmpty() && !value.contains(QLatin1Char(' ')) && !value.contains(QLatin1Char('\'')) &&
        !value.contains(QLatin1Char('\\')))
        return value;
    QString quoted = value;
    quoted.replace(QLatin1String("\\"), QLatin1String("\\\\")).replace(QLatin1String("'"), QLatin1String("\\'"));
    return QLatin1Char('\'') + quoted + QLatin1Char('\'');
}

QString Identifier(const QString &name)
{
    return QLatin1Char('"') + QString(name).replace(QLatin1String("\""), QLatin1String("\"\"")) + QLatin1Char('"');
}

// The environment of every program we start: no PG* variable of the caller's may redirect it,
// and the C locale keeps the server's messages in English (the port check reads them).
QProcessEnvironment ProgramEnvironment()
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const QString &name : environment.keys()) {
        if (name.startsWith(QLatin1String("PG")))
            environment.remove(name);
    }
    environment.insert(QStringLiteral("LC_ALL"), QStringLiteral("C"));
    environment.insert(QStringLiteral("LANG"), QStringLiteral("C"));
    return environment;
}

QString CommandLine(const QString &program, const QStringList &arguments)
{
    return (QStringList{program} + arguments).join(QLatin1Char(' '));
}

QString Program(const QString &bin, const char *name)
{
    QString file = QDir(bin).filePath(QLatin1String(name));
#ifdef Q_OS_WIN
    file += QLatin1String(".exe");
#endif
    return file;
}

// A loopback port nobody listens on right now: the kernel's choice for a socket bound to port 0.
int FreePort()
{
#ifdef Q_OS_WIN
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0)
        return 0;
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    int port = 0;
    if (s != INVALID_SOCKET) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int length = sizeof address;
        if (bind(s, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 &&
            getsockname(s, reinterpret_cast<sockaddr *>(&address), &length) == 0)
            port = ntohs(address.sin_port);
        closesocket(s);
    }
    WSACleanup();
    return port;
#else
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    if (s < 0)
        return 0;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = 0;
    if (::bind(s, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 &&
        ::getsockname(s, reinterpret_cast<sockaddr *>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    ::close(s);
    return port;
#endif
}

// The server will not run as root: then its files belong to nobody and its programs run as nobody.
struct ServerAccount {
    bool switch_user = false;
    unsigned uid = 0;
    unsigned gid = 0;
};

ServerAccount Account()
{
    ServerAccount account;
#ifndef Q_OS_WIN
    if (geteuid() != 0)
        return account;
    account.switch_user = true;
    account.uid = 65534;
    account.gid = 65534;
    if (const passwd *nobody = getpwnam("nobody")) {
        account.uid = nobody->pw_uid;
        account.gid = nobody->pw_gid;
    }
    if (const group *nogroup = getgrnam("nogroup"))
        account.gid = nogroup->gr_gid;
#endif
    return account;
}

// Hands a file or folder we wrote as root to the server's account.
bool GiveToServer(const ServerAccount &account, const QString &path)
{
#ifdef Q_OS_WIN
    Q_UNUSED(account);
    Q_UNUSED(path);
    return true;
#else
    return !account.switch_user || ::chown(QFile::encodeName(path).constData(), account.uid, account.gid) == 0;
#endif
}

bool WriteFile(const QString &path, const QByteArray &contents, QIODevice::OpenMode mode, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | mode) || file.write(contents) != contents.size() || !file.flush()) {
        *error = QStringLiteral("cannot write %1: %2").arg(path, file.errorString());
        return false;
    }
    return true;
}

}  // namespace

LocalPgServer::LocalPgServer() : folder(FolderTemplate()) {}

LocalPgServer::~LocalPgServer()
{
    // A start that failed after the server came up (pg_ctl's wait ran out) leaves it running
    // unknown to us: its pid file tells.
    if (running || (initialized && QFileInfo::exists(PidFile()))) {
        running = true;
        QString ignored;
        Stop(&ignored);
    }
}

QString LocalPgServer::BinFolder()
{
    const QString named = qEnvironmentVariable("UPGRADER_PG_BIN");
    if (!named.isEmpty())
        return named;
    // /usr/lib/postgresql/<major>/bin, the newest major first (15 after 9: a numeric order).
    QStringList majors = QDir(QStringLiteral("/usr/lib/postgresql")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    QCollator numeric;
    numeric.setNumericMode(true);
    std::sort(majors.begin(), majors.end(),
              [&numeric](const QString &a, const QString &b) { return numeric.compare(a, b) > 0; });
    for (const QString &major : majors) {
        const QString bin = QStringLiteral("/usr/lib/postgresql/%1/bin").arg(major);
        if (QFileInfo(Program(bin, "initdb")).isExecutable())
            return bin;
    }
    const QString on_path = QStandardPaths::findExecutable(QStringLiteral("initdb"));
    return on_path.isEmpty() ? QString() : QFileInfo(on_path).absolutePath();
}

QString LocalPgServer::DataFolder() const
{
    return QDir(folder.path()).filePath(QStringLiteral("data"));
}

QString LocalPgServer::PidFile() const
{
    return QDir(DataFolder()).filePath(QStringLiteral("postmaster.pid"));
}

QString LocalPgServer::LogFile() const
{
    return QDir(folder.path()).filePath(QLatin1String(kLogName));
}

QString LocalPgServer::SocketFolder() const
{
    return folder.path();
}

int LocalPgServer::Port() const
{
    return port;
}

bool LocalPgServer::Running() const
{
    return running;
}

QString LocalPgServer::Connection(const QString &database) const
{
    return QStringLiteral("host=%1 port=%2 user=%3 dbname=%4")
        .arg(ConnectionValue(SocketFolder()))
        .arg(port)
        .arg(QLatin1String(kSuperuser), ConnectionValue(database));
}

QString LocalPgServer::TcpConnection(const QString &database) const
{
    return QStringLiteral("host=127.0.0.1 port=%1 user=%2 dbname=%3")
        .arg(port)
        .arg(QLatin1String(kSuperuser), ConnectionValue(database));
}

QString LocalPgServer::LogTail() const
{
    constexpr qint64 kTailBytes = 4000;
    QFile log(LogFile());
    if (!log.open(QIODevice::ReadOnly))
        return QString();
    if (log.size() > kTailBytes)
        log.seek(log.size() - kTailBytes);
    return QString::fromLocal8Bit(log.readAll());
}

bool LocalPgServer::RunServerProgram(const QString &program, const QStringList &arguments, int timeout_ms,
                                     QString *output, QString *error) const
{
    const ServerAccount account = Account();
    QString executable = program;
    QStringList all = arguments;
    if (account.switch_user) {
        executable = QStandardPaths::findExecutable(QStringLiteral("setpriv"));
        if (executable.isEmpty()) {
            *error = QStringLiteral("running as root, and setpriv (util-linux) is missing: the PostgreSQL server "
                                    "refuses to run as root");
            return false;
        }
        all = QStringList{QStringLiteral("--reuid=%1").arg(account.uid), QStringLiteral("--regid=%1").arg(account.gid),
                          QStringLiteral("--clear-groups"), QStringLiteral("--"), program} +
              arguments;
    }
    QProcess process;
    process.setProcessEnvironment(ProgramEnvironment());
    // nobody may not enter the caller's working folder (below /root): start in our own.
    process.setWorkingDirectory(folder.path());
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(executable, all);
    const QString command = CommandLine(executable, all);
    if (!process.waitForStarted(timeout_ms)) {
        *error = QStringLiteral("cannot start %1: %2").arg(command, process.errorString());
        return false;
    }
    process.closeWriteChannel();
    if (!process.waitForFinished(timeout_ms)) {
        process.kill();
        process.waitForFinished(timeout_ms);
        *error = QStringLiteral("%1 did not end within %2 s: %3")
                     .arg(command)
                     .arg(timeout_ms / 1000)
                     .arg(QString::fromLocal8Bit(process.readAll()));
        return false;
    }
    *output = QString::fromLocal8Bit(process.readAll());
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        *error = QStringLiteral("%1 failed (exit code %2): %3").arg(command).arg(process.exitCode()).arg(*output);
        return false;
    }
    return true;
}

bool LocalPgServer::Initialize(QString *error)
{
    if (!folder.isValid()) {
        *error = QStringLiteral("cannot create a temporary folder for the PostgreSQL server: ") + folder.errorString();
        return false;
    }
    bin = BinFolder();
    if (bin.isEmpty() || !QFileInfo(Program(bin, "initdb")).isExecutable()) {
        *error = QStringLiteral("no PostgreSQL server programs (initdb) found: install the Debian package "
                                "postgresql, or name their folder in UPGRADER_PG_BIN");
        return false;
    }
    const ServerAccount account = Account();
    // The socket and the log are written here by the server's account; others may reach the
    // socket (the data folder below keeps its own 0700).
    QFile::setPermissions(folder.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner |
                                             QFileDevice::ReadGroup | QFileDevice::ExeGroup |
                                             QFileDevice::ReadOther | QFileDevice::ExeOther);
    if (!GiveToServer(account, folder.path())) {
        *error = QStringLiteral("cannot hand %1 to the account nobody").arg(folder.path());
        return false;
    }
    // A failed earlier attempt may have left half a cluster: initdb wants an empty folder.
    QDir(DataFolder()).removeRecursively();

    QString output;
    if (!RunServerProgram(Program(bin, "initdb"),
                          {QStringLiteral("-D"), DataFolder(), QStringLiteral("-U"), QLatin1String(kSuperuser),
                           QStringLiteral("--auth=trust"), QStringLiteral("-N"), QStringLiteral("-E"),
                           QStringLiteral("UTF8"), QStringLiteral("--locale=C")},
                          kInitdbMs, &output, error))
        return false;

    // Who may log in: "refused" never (so a test has a server that turns a login away), every
    // other role without a password, over the socket and over loopback TCP.
    const QByteArray access = "# TYPE  DATABASE  USER     ADDRESS        METHOD\n"
                              "local   all       refused                 reject\n"
                              "host    all       refused  127.0.0.1/32   reject\n"
                              "local   all       all                     trust\n"
                              "host    all       all      127.0.0.1/32   trust\n";
    const QString access_file = QDir(DataFolder()).filePath(QStringLiteral("pg_hba.conf"));
    if (!WriteFile(access_file, access, QIODevice::Truncate, error))
        return false;
    const QByteArray include = QByteArray("\ninclude '") + kOwnConfigurationName + "'\n";
    if (!WriteFile(QDir(DataFolder()).filePath(QStringLiteral("postgresql.conf")), include, QIODevice::Append, error))
        return false;
    initialized = true;
    return true;
}

bool LocalPgServer::WriteConfiguration(QString *error)
{
    // A scratch server: durability is worth nothing here, speed is.
    const QString settings = QStringLiteral("listen_addresses = '127.0.0.1'\n"
                                            "port = %1\n"
                                            "unix_socket_directories = '%2'\n"
                                            "fsync = off\n"
                                            "synchronous_commit = off\n"
                                            "full_page_writes = off\n"
                                            "max_connections = 100\n"
                                            "shared_buffers = 32MB\n")
                                 .arg(port)
                                 .arg(QString(SocketFolder()).replace(QLatin1String("'"), QLatin1String("''")));
    const QString path = QDir(DataFolder()).filePath(QLatin1String(kOwnConfigurationName));
    if (!WriteFile(path, settings.toLocal8Bit(), QIODevice::Truncate, error))
        return false;
    if (!GiveToServer(Account(), path)) {
        *error = QStringLiteral("cannot hand %1 to the account nobody").arg(path);
        return false;
    }
    return true;
}

bool LocalPgServer::StartOnPort(int chosen, QString *error)
{
    port = chosen;
    if (!WriteConfiguration(error))
        return false;
    QString output;
    if (!RunServerProgram(Program(bin, "pg_ctl"),
                          {QStringLiteral("start"), QStringLiteral("-D"), DataFolder(), QStringLiteral("-l"),
                           LogFile(), QStringLiteral("-w"), QStringLiteral("-t"),
                           QString::number(kPgCtlWaitSeconds), QStringLiteral("-s")},
                          kPgCtlMs, &output, error)) {
        *error += QStringLiteral("\nserver log:\n") + LogTail();
        return false;
    }
    running = true;
    return true;
}

bool LocalPgServer::Start(QString *error)
{
    if (running)
        return true;
    if (!initialized) {
        if (!Initialize(error))
            return false;
        // The port is only ours once the server holds it: on a lost race, take another.
        for (int attempt = 1;; ++attempt) {
            const int candidate = FreePort();
            if (candidate == 0) {
                *error = QStringLiteral("cannot find a free loopback TCP port");
                return false;
            }
            const qint64 log_before = QFileInfo(LogFile()).size();
            if (StartOnPort(candidate, error)) {
                QString output;
                return Sql(QLatin1String(kMaintenanceDatabase),
                           QStringLiteral("create database %1").arg(Identifier(QLatin1String(kFirstDatabase))),
                           &output, error);
            }
            QFile log(LogFile());
            QString attempt_log;
            if (log.open(QIODevice::ReadOnly) && log.seek(log_before))
                attempt_log = QString::fromLocal8Bit(log.readAll());
            const bool port_taken = attempt_log.contains(QLatin1String("could not bind IPv4 address")) ||
                                    attempt_log.contains(QLatin1String("Address already in use"));
            if (!port_taken || attempt == kPortAttempts)
                return false;
        }
    }
    return StartOnPort(port, error);
}

bool LocalPgServer::Stop(QString *error)
{
    if (!running)
        return true;
    QString output;
    const QStringList stop{QStringLiteral("stop"), QStringLiteral("-D"), DataFolder(), QStringLiteral("-w"),
                           QStringLiteral("-t"), QString::number(kPgCtlWaitSeconds), QStringLiteral("-s"),
                           QStringLiteral("-m")};
    if (RunServerProgram(Program(bin, "pg_ctl"), stop + QStringList{QStringLiteral("fast")}, kPgCtlMs, &output,
                         error)) {
        running = false;
        return true;
    }
    // A fast stop that did not finish: end it the hard way, so that nothing stays behind.
    QString second;
    if (!RunServerProgram(Program(bin, "pg_ctl"), stop + QStringList{QStringLiteral("immediate")}, kPgCtlMs,
                          &output, &second))
        KillLeftover();
    running = false;
    *error += QStringLiteral("\nserver log:\n") + LogTail();
    return false;
}

void LocalPgServer::KillLeftover()
{
#ifndef Q_OS_WIN
    QFile pid_file(PidFile());
    if (!pid_file.open(QIODevice::ReadOnly))
        return;
    bool ok = false;
    const pid_t pid = pid_file.readLine().trimmed().toInt(&ok);
    if (!ok || pid <= 0)
        return;
    // The server's backends end on their own once they see their postmaster gone.
    ::kill(pid, SIGKILL);
    const QDeadlineTimer deadline(kLeftoverKillMs);
    while (::kill(pid, 0) == 0 && !deadline.hasExpired())
        QThread::msleep(10);
#endif
}

bool LocalPgServer::Sql(const QString &database, const QString &sql, QString *output, QString *error)
{
    if (!running) {
        *error = QStringLiteral("the PostgreSQL server is not running");
        return false;
    }
    const QString program = Program(bin, "psql");
    const QStringList arguments{QStringLiteral("-X"),         QStringLiteral("-At"),
                                QStringLiteral("-v"),         QStringLiteral("ON_ERROR_STOP=1"),
                                QStringLiteral("-h"),         SocketFolder(),
                                QStringLiteral("-p"),         QString::number(port),
                                QStringLiteral("-U"),         QLatin1String(kSuperuser),
                                QStringLiteral("-d"),         database,
                                QStringLiteral("-f"),         QStringLiteral("-")};
    QProcess process;
    process.setProcessEnvironment(ProgramEnvironment());
    process.start(program, arguments);
    const QString command = CommandLine(program, arguments);
    if (!process.waitForStarted(kPsqlMs)) {
        *error = QStringLiteral("cannot start %1: %2").arg(command, process.errorString());
        return false;
    }
    process.write(sql.toUtf8());
    process.closeWriteChannel();
    if (!process.waitForFinished(kPsqlMs)) {
        process.kill();
        process.waitForFinished(kPsqlMs);
        *error = QStringLiteral("%1 did not end within %2 s").arg(command).arg(kPsqlMs / 1000);
        return false;
    }
    QString out = QString::fromUtf8(process.readAllStandardOutput());
    while (out.endsWith(QLatin1Char('\n')))
        out.chop(1);
    if (output)
        *output = out;
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        *error = QStringLiteral("%1 failed (exit code %2): %3")
                     .arg(command)
                     .arg(process.exitCode())
                     .arg(QString::fromUtf8(process.readAllStandardError()));
        return false;
    }
    return true;
}

bool LocalPgServer::CreateDatabase(const QString &name, QString *error)
{
    QString output;
    return Sql(QLatin1String(kMaintenanceDatabase), QStringLiteral("create database %1").arg(Identifier(name)), &output,
               error);
}
