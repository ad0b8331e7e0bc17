#include "pg_faults.h"

#include "local_pg_server.h"
#include "wait_until.h"

#include <QByteArray>
#include <QDir>
#include <QProcessEnvironment>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <vector>

namespace {

// PostgreSQL's wire protocol (version 3). Every message after the start-up phase is one type byte
// and an int32 length in big-endian that counts itself but not the type byte. The client's
// start-up phase messages have no type byte: an int32 length, then an int32 code.
constexpr int kTypedHeader = 5;       // type byte + length
constexpr int kUntypedHeader = 8;     // length + code
constexpr quint32 kSslRequest = 80877103;      // answered by one byte: 'S' (TLS follows) or 'N'
constexpr quint32 kGssEncRequest = 80877104;   // answered by one byte: 'G' (GSS follows) or 'N'
constexpr char kCommandComplete = 'C';
constexpr char kCommitTag[] = "COMMIT";  // with its terminating zero byte in the message

constexpr int kBacklog = 64;
constexpr int kReadChunk = 64 * 1024;
// A peer that stops reading must not hold the relay thread (and the destructor) for long.
constexpr int kSendTimeoutSeconds = 5;
// psql holding the lock: its start, and its end once told to roll back.
constexpr int kLockSessionMs = 15000;

quint32 BigEndian32(const char *bytes)
{
    const auto *b = reinterpret_cast<const unsigned char *>(bytes);
    return (quint32(b[0]) << 24) | (quint32(b[1]) << 16) | (quint32(b[2]) << 8) | quint32(b[3]);
}

// A listening loopback socket on a port of the kernel's choice; -1 on failure.
int ListenOnLoopback(int *port)
{
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return -1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(s, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 || ::listen(s, kBacklog) != 0 ||
        ::getsockname(s, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
        ::close(s);
        return -1;
    }
    *port = ntohs(address.sin_port);
    return s;
}

void PrepareRelaySocket(int s)
{
    const int on = 1;
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    timeval timeout{};
    timeout.tv_sec = kSendTimeoutSeconds;
    ::setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
}

bool SendAll(int s, const QByteArray &bytes)
{
    qsizetype sent = 0;
    while (sent < bytes.size()) {
        // MSG_NOSIGNAL: a peer that has gone must end this connection, not the test process.
        const ssize_t n = ::send(s, bytes.constData() + sent, size_t(bytes.size() - sent), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        sent += n;
    }
    return true;
}

// One client's connection and its own to the server, with what the relay knows of each stream.
struct Pair {
    int client = -1;
    int server = -1;
    // Client to server: start-up phase messages not yet whole. Parsing ends with the
    // StartupMessage; what follows is relayed unread.
    QByteArray startup;
    bool startup_done = false;
    // Server to client: bytes not yet a whole message, and how many one-byte answers to an
    // SSLRequest or GSSENCRequest come before the messages do.
    QByteArray answers;
    int one_byte_answers = 0;
    // Once TLS or GSS encryption is on, the stream cannot be read: relayed unread.
    bool opaque = false;

    ~Pair()
    {
        if (client >= 0)
            ::close(client);
        if (server >= 0)
            ::close(server);
    }
};

// Reads the client's start-up phase messages as they pass; the relay forwards the bytes after.
void ReadStartup(Pair &pair, const QByteArray &bytes)
{
    if (pair.startup_done)
        return;
    pair.startup += bytes;
    while (pair.startup.size() >= kUntypedHeader) {
        const quint32 length = BigEndian32(pair.startup.constData());
        if (length < quint32(kUntypedHeader)) {  // not the protocol we know: stop reading
            pair.startup_done = true;
            pair.opaque = true;
            return;
        }
        if (quint32(pair.startup.size()) < length)
            return;
        const quint32 code = BigEndian32(pair.startup.constData() + 4);
        pair.startup.remove(0, int(length));
        if (code == kSslRequest || code == kGssEncRequest) {
            ++pair.one_byte_answers;
        } else {
            // StartupMessage (code 196608, version 3.0) or CancelRequest: typed messages follow.
            pair.startup_done = true;
            pair.startup.clear();
            return;
        }
    }
}

}  // namespace

HangingListener::HangingListener()
{
    listener = ListenOnLoopback(&port);
}

HangingListener::~HangingListener()
{
    if (listener >= 0)
        ::close(listener);
}

int HangingListener::Port() const
{
    return port;
}

bool HangingListener::Ok() const
{
    return listener >= 0;
}

LostAnswerProxy::LostAnswerProxy(int upstream) : upstream_port(upstream)
{
    listener = ListenOnLoopback(&port);
    if (listener < 0 || ::pipe2(wake, O_CLOEXEC) != 0) {
        port = 0;
        return;
    }
    relay = std::thread([this] { Run(); });
}

LostAnswerProxy::~LostAnswerProxy()
{
    if (relay.joinable()) {
        const char stop = 1;
        while (::write(wake[1], &stop, 1) < 0 && errno == EINTR) {
        }
        relay.join();
    }
    for (int fd : {listener, wake[0], wake[1]}) {
        if (fd >= 0)
            ::close(fd);
    }
}

int LostAnswerProxy::Port() const
{
    return port;
}

void LostAnswerProxy::ArmLoseNextCommit()
{
    armed = true;
}

int LostAnswerProxy::AnswersLost() const
{
    return lost;
}

void LostAnswerProxy::HoldAnswers()
{
    holding = true;
}

void LostAnswerProxy::Run()
{
    std::vector<std::unique_ptr<Pair>> pairs;

    // Relays what the server sent; false when the pair is to be closed.
    const auto relay_answers = [this](Pair &pair) {
        QByteArray out;
        bool keep = true;
        for (;;) {
            if (pair.opaque) {
                out += pair.answers;
                pair.answers.clear();
                break;
            }
            if (pair.one_byte_answers > 0) {
                if (pair.answers.isEmpty())
                    break;
                const char answer = pair.answers.at(0);
                out += answer;
                pair.answers.remove(0, 1);
                --pair.one_byte_answers;
                if (answer == 'S' || answer == 'G') {  // encrypted from here on
                    pair.opaque = true;
                    pair.startup_done = true;
                }
                continue;
            }
            if (pair.answers.size() < kTypedHeader)
                break;
            const quint32 length = BigEndian32(pair.answers.constData() + 1);
            if (length < 4) {  // not the protocol we know: relay the rest unread
                pair.opaque = true;
                continue;
            }
            const qint64 whole = qint64(length) + 1;
            if (pair.answers.size() < whole)
                break;
            const QByteArray message = pair.answers.left(int(whole));
            pair.answers.remove(0, int(whole));
            const bool commit_done = message.at(0) == kCommandComplete &&
                                     message.mid(kTypedHeader) == QByteArray(kCommitTag, sizeof kCommitTag);
            if (commit_done && armed.exchange(false)) {
                // The commit happened on the server; its client never learns of it.
                ++lost;
                keep = false;
                break;
            }
            out += message;
        }
        if (!out.isEmpty() && !SendAll(pair.client, out))
            return false;
        return keep;
    };

    for (;;) {
        std::vector<pollfd> watched;
        watched.push_back({wake[0], POLLIN, 0});
        watched.push_back({listener, POLLIN, 0});
        for (const auto &pair : pairs) {
            watched.push_back({pair->client, POLLIN, 0});
            watched.push_back({pair->server, POLLIN, 0});
        }
        if (::poll(watched.data(), nfds_t(watched.size()), -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (watched[0].revents)
            return;

        // Pairs to close, by index into pairs (the new ones come after the watched ones).
        std::vector<bool> closing(pairs.size(), false);
        for (size_t i = 0; i < pairs.size(); ++i) {
            Pair &pair = *pairs[i];
            char buffer[kReadChunk];
            const short from_client = watched[2 + 2 * i].revents;
            const short from_server = watched[3 + 2 * i].revents;
            if (from_client) {
                const ssize_t n = ::recv(pair.client, buffer, sizeof buffer, 0);
                if (n <= 0) {
                    closing[i] = true;
                    continue;
                }
                const QByteArray bytes(buffer, int(n));
                // Read before relaying: the server's one-byte answer must find us expecting it.
                ReadStartup(pair, bytes);
                if (!SendAll(pair.server, bytes)) {
                    closing[i] = true;
                    continue;
                }
            }
            if (from_server) {
                const ssize_t n = ::recv(pair.server, buffer, sizeof buffer, 0);
                if (n <= 0) {
                    closing[i] = true;
                    continue;
                }
                if (holding)
                    continue;  // read and never delivered: the client waits for an answer
                pair.answers += QByteArray(buffer, int(n));
                if (!relay_answers(pair))
                    closing[i] = true;
            }
        }
        for (size_t i = pairs.size(); i-- > 0;) {
            if (closing[i])
                pairs.erase(pairs.begin() + long(i));
        }

        if (watched[1].revents & POLLIN) {
            const int client = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0)
                continue;
            auto pair = std::make_unique<Pair>();
            pair->client = client;
            pair->server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in upstream{};
            upstream.sin_family = AF_INET;
            upstream.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            upstream.sin_port = htons(quint16(upstream_port));
            // On loopback a connect ends at once: accepted, or refused when nothing listens.
            if (pair->server < 0 ||
                ::connect(pair->server, reinterpret_cast<sockaddr *>(&upstream), sizeof upstream) != 0)
                continue;  // the client sees its connection closed, as with a server that is down
            PrepareRelaySocket(pair->client);
            PrepareRelaySocket(pair->server);
            pairs.push_back(std::move(pair));
        }
    }
}

TableLock::TableLock(LocalPgServer &pg, const QString &name, const QString &locked)
    : server(pg), database(name), table(locked)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("PGAPPNAME"), QStringLiteral("table-lock"));
    psql.setProcessEnvironment(environment);
    psql.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    psql.start(QDir(LocalPgServer::BinFolder()).filePath(QStringLiteral("psql")),
               {QStringLiteral("-X"), QStringLiteral("-q"), QStringLiteral("-v"), QStringLiteral("ON_ERROR_STOP=1"),
                QStringLiteral("-h"), server.SocketFolder(), QStringLiteral("-p"), QString::number(server.Port()),
                QStringLiteral("-U"), QStringLiteral("upgrader"), QStringLiteral("-d"), database});
    if (!psql.waitForStarted(kLockSessionMs))
        return;
    // The transaction stays open while psql waits for its next line.
    psql.write(QStringLiteral("BEGIN;\nLOCK TABLE %1 IN ACCESS EXCLUSIVE MODE;\n").arg(table).toUtf8());
}

TableLock::~TableLock()
{
    Release();
}

int TableLock::Count(const QString &sql)
{
    QString out;
    QString error;
    if (!server.Sql(database, sql, &out, &error)) {
        qWarning("%s", qPrintable(error));
        return -1;
    }
    return out.trimmed().toInt();
}

bool TableLock::Held(int timeout_ms)
{
    return WaitUntil(
        [this] {
            return psql.state() == QProcess::Running &&
                   Count(QStringLiteral("SELECT count(*) FROM pg_locks WHERE relation = to_regclass('%1') AND "
                                        "mode = 'AccessExclusiveLock' AND granted")
                             .arg(table)) == 1;
        },
        timeout_ms);
}

int TableLock::Waiters()
{
    return Count(QStringLiteral("SELECT count(*) FROM pg_locks WHERE relation = to_regclass('%1') AND NOT granted")
                     .arg(table));
}

void TableLock::Release()
{
    if (psql.state() == QProcess::NotRunning)
        return;
    psql.write("ROLLBACK;\n");
    psql.closeWriteChannel();
    if (!psql.waitForFinished(kLockSessionMs)) {
        psql.kill();  // the server ends the session, and its lock, when the connection goes
        psql.waitForFinished(kLockSessionMs);
    }
}
