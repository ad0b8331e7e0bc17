// The PostgreSQL parts the history's outbox is tested and measured against: a server of the
// suite's own (over its socket and TCP, stopped and started again, a login it refuses), a proxy
// that loses the answer to a COMMIT, and a listener that never answers.
#include "local_pg_server.h"
#include "pg_faults.h"
#include "unprivileged.h"
#include "with_deadline.h"

#include <QAtomicInt>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QtTest>

#include <pwd.h>
#include <unistd.h>

namespace {

constexpr int kHungOpenMs = 30000;  // far above connect_timeout=2, far below the suite's limit

// QPSQL takes libpq's key=value pairs as connect options, separated by ';', with no host name or
// database name set on the QSqlDatabase. A quoted value keeps its spaces.
QString ConnectOptions(const QString &connection)
{
    QStringList pairs{QString()};
    bool quoted = false;
    for (int i = 0; i < connection.size(); ++i) {
        const QChar c = connection.at(i);
        if (quoted && c == QLatin1Char('\\') && i + 1 < connection.size()) {
            pairs.last() += c;
            pairs.last() += connection.at(++i);
            continue;
        }
        if (c == QLatin1Char('\'')) {
            quoted = !quoted;
        } else if (c == QLatin1Char(' ') && !quoted) {
            if (!pairs.last().isEmpty())
                pairs << QString();
            continue;
        }
        pairs.last() += c;
    }
    pairs.removeAll(QString());
    return pairs.join(QLatin1Char(';'));
}

QString WithUser(QString connection, const QString &user)
{
    return connection.replace(QStringLiteral("user=upgrader"), QStringLiteral("user=") + user);
}

// One QPSQL connection, named uniquely and removed again when the session ends.
class PgSession {
public:
    explicit PgSession(const QString &connection)
        : name(QStringLiteral("pg-support-%1").arg(counter.fetchAndAddRelaxed(1)))
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), name);
        db.setConnectOptions(ConnectOptions(connection));
    }
    ~PgSession()
    {
        {
            QSqlDatabase db = Db();
            db.close();
        }
        QSqlDatabase::removeDatabase(name);
    }
    PgSession(const PgSession &) = delete;
    PgSession &operator=(const PgSession &) = delete;

    QSqlDatabase Db() const { return QSqlDatabase::database(name, false); }

    bool Open(QString *error)
    {
        QSqlDatabase db = Db();
        if (db.open())
            return true;
        *error = db.lastError().text();
        return false;
    }

    // The first column of the first row, or the error's text after "error: ".
    QString Value(const QString &sql)
    {
        QSqlQuery query(Db());
        if (!query.exec(sql))
            return QStringLiteral("error: ") + query.lastError().text();
        return query.next() ? query.value(0).toString() : QStringLiteral("no row");
    }

    bool Exec(const QString &sql, QString *error)
    {
        QSqlQuery query(Db());
        if (query.exec(sql))
            return true;
        *error = query.lastError().text();
        return false;
    }

private:
    static QAtomicInt counter;
    QString name;
};

QAtomicInt PgSession::counter;

uint NobodyUid()
{
    const passwd *nobody = getpwnam("nobody");
    return nobody ? nobody->pw_uid : 65534;
}

}  // namespace

class TestPgSupport : public QObject {
    Q_OBJECT

    LocalPgServer server;

    QString ServerLog() const
    {
        QFile log(server.LogFile());
        return log.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(log.readAll()) : QStringLiteral("(no log)");
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(QSqlDatabase::isDriverAvailable(QStringLiteral("QPSQL")),
                 "Qt's PostgreSQL driver is missing (Debian package libqt5sql5-psql)");
        QString error;
        QVERIFY2(server.Start(&error), qPrintable(error));
        QVERIFY(server.Running());
        QVERIFY(server.Port() > 0);
    }

    // The server answers over its socket and over loopback TCP, and runs as an account that may
    // run it: nobody under root, the caller's own otherwise (as the row run by nobody shows).
    void startsAndAnswers_data()
    {
        QTest::addColumn<bool>("tcp");
        QTest::addColumn<bool>("unprivileged");
        QTest::newRow("socket") << false << false;
        QTest::newRow("tcp") << true << false;
        QTest::newRow("socket, suite run by an unprivileged account") << false << true;
        QTest::newRow("tcp, suite run by an unprivileged account") << true << true;
    }

    void startsAndAnswers()
    {
        QFETCH(bool, tcp);
        QFETCH(bool, unprivileged);
        if (unprivileged)
            RUN_AS_NOBODY_WHEN_ROOT();

        const QString socket = QDir(server.SocketFolder()).filePath(QStringLiteral(".s.PGSQL.%1").arg(server.Port()));
        QVERIFY2(QFileInfo::exists(socket), qPrintable(ServerLog()));
        QCOMPARE(QFileInfo(socket).ownerId(), geteuid() == 0 ? NobodyUid() : uint(geteuid()));

        PgSession session(tcp ? server.TcpConnection() : server.Connection());
        QString error;
        QVERIFY2(session.Open(&error), qPrintable(error));
        QCOMPARE(session.Value(QStringLiteral("select 1")), QStringLiteral("1"));
        QCOMPARE(session.Value(QStringLiteral("select current_database()")), QStringLiteral("upgrades"));
        // Only a TCP session has a server port; a socket session has none.
        QCOMPARE(session.Value(QStringLiteral("select coalesce(inet_server_port()::text, 'socket')")),
                 tcp ? QString::number(server.Port()) : QStringLiteral("socket"));

        QString output;
        QVERIFY2(server.Sql(QStringLiteral("upgrades"), QStringLiteral("select 1; select 2"), &output, &error),
                 qPrintable(error));
        QCOMPARE(output, QStringLiteral("1\n2"));
    }

    void sqlReportsTheServersError()
    {
        QString output;
        QString error;
        QVERIFY(!server.Sql(QStringLiteral("upgrades"), QStringLiteral("select * from no_such_table"), &output,
                            &error));
        QVERIFY2(error.contains(QLatin1String("no_such_table")), qPrintable(error));
        QVERIFY(!server.Sql(QStringLiteral("no_such_database"), QStringLiteral("select 1"), &output, &error));
        QVERIFY2(error.contains(QLatin1String("no_such_database")), qPrintable(error));
    }

    void createsDatabases()
    {
        QString error;
        QVERIFY2(server.CreateDatabase(QStringLiteral("second line"), &error), qPrintable(error));
        // The name holds a space: the connection string quotes it, and QPSQL passes the quotes on.
        PgSession session(server.Connection(QStringLiteral("second line")));
        QVERIFY2(session.Open(&error), qPrintable(error));
        QCOMPARE(session.Value(QStringLiteral("select current_database()")), QStringLiteral("second line"));
        QVERIFY(!server.CreateDatabase(QStringLiteral("second line"), &error));
        QVERIFY2(error.contains(QLatin1String("already exists")), qPrintable(error));
    }

    // The role "refused" is turned away at login, over either way in.
    void refusesItsRole_data()
    {
        QTest::addColumn<bool>("tcp");
        QTest::newRow("socket") << false;
        QTest::newRow("tcp") << true;
    }

    void refusesItsRole()
    {
        QFETCH(bool, tcp);
        const QString connection = tcp ? server.TcpConnection() : server.Connection();
        PgSession refused(WithUser(connection, QStringLiteral("refused")));
        QString error;
        QVERIFY(!refused.Open(&error));
        QVERIFY2(error.contains(QLatin1String("pg_hba.conf rejects connection")), qPrintable(error));
        // Any other role is let in (and then found missing): the refusal is the role's alone.
        PgSession other(WithUser(connection, QStringLiteral("someone")));
        QVERIFY(!other.Open(&error));
        QVERIFY2(error.contains(QLatin1String("role \"someone\" does not exist")), qPrintable(error));
    }

    // A stopped server takes no connection; started again it has the same port and its data.
    void stopsAndStartsAgainWithItsData()
    {
        QString error;
        QString output;
        QVERIFY2(server.Sql(QStringLiteral("upgrades"),
                            QStringLiteral("create table kept (n int); insert into kept values (41), (42)"), &output,
                            &error),
                 qPrintable(error));
        const int port = server.Port();

        QVERIFY2(server.Stop(&error), qPrintable(error));
        QVERIFY(!server.Running());
        {
            PgSession socket(server.Connection());
            QVERIFY(!socket.Open(&error));
            PgSession tcp(server.TcpConnection());
            QVERIFY(!tcp.Open(&error));
            QVERIFY(!server.Sql(QStringLiteral("upgrades"), QStringLiteral("select 1"), &output, &error));
        }

        QVERIFY2(server.Start(&error), qPrintable(error));
        QVERIFY(server.Running());
        QCOMPARE(server.Port(), port);
        PgSession tcp(server.TcpConnection());
        QVERIFY2(tcp.Open(&error), qPrintable(error));
        QCOMPARE(tcp.Value(QStringLiteral("select string_agg(n::text, ',' order by n) from kept")),
                 QStringLiteral("41,42"));
    }

    // Through the proxy, a COMMIT whose answer is lost: the client hears of a failure while the
    // row is on the server. Only the armed connection is cut, once; libpq may ask for TLS first.
    void losesTheAnswerToACommit_data()
    {
        QTest::addColumn<QString>("ssl");
        QTest::newRow("no TLS asked") << QStringLiteral("sslmode=disable");
        QTest::newRow("TLS asked first, declined") << QStringLiteral("sslmode=prefer");
    }

    void losesTheAnswerToACommit()
    {
        QFETCH(QString, ssl);
        QString error;
        QString output;
        QVERIFY2(server.Sql(QStringLiteral("upgrades"),
                            QStringLiteral("drop table if exists outbox; create table outbox (n int)"), &output,
                            &error),
                 qPrintable(error));
        LostAnswerProxy proxy(server.Port());
        QVERIFY(proxy.Port() > 0);
        const QString through_proxy =
            QStringLiteral("host=127.0.0.1 port=%1 user=upgrader dbname=upgrades %2").arg(proxy.Port()).arg(ssl);

        PgSession bystander(through_proxy);
        QVERIFY2(bystander.Open(&error), qPrintable(error));
        PgSession writer(through_proxy);
        QVERIFY2(writer.Open(&error), qPrintable(error));
        QSqlDatabase db = writer.Db();
        QVERIFY(db.transaction());
        QVERIFY2(writer.Exec(QStringLiteral("create table lost_answer (n int)"), &error), qPrintable(error));
        QVERIFY2(writer.Exec(QStringLiteral("insert into lost_answer values (7)"), &error), qPrintable(error));
        QVERIFY2(writer.Exec(QStringLiteral("insert into outbox values (1)"), &error), qPrintable(error));
        proxy.ArmLoseNextCommit();
        QVERIFY(!db.commit());
        QCOMPARE(db.lastError().type(), QSqlError::TransactionError);
        QCOMPARE(proxy.AnswersLost(), 1);

        QVERIFY2(server.Sql(QStringLiteral("upgrades"), QStringLiteral("select n from lost_answer"), &output, &error),
                 qPrintable(error));
        QCOMPARE(output, QStringLiteral("7"));
        QCOMPARE(bystander.Value(QStringLiteral("select count(*) from outbox")), QStringLiteral("1"));

        // Disarmed: the next commit, on a new connection, is answered.
        PgSession again(through_proxy);
        QVERIFY2(again.Open(&error), qPrintable(error));
        QSqlDatabase second = again.Db();
        QVERIFY(second.transaction());
        QVERIFY2(again.Exec(QStringLiteral("insert into outbox values (2)"), &error), qPrintable(error));
        QVERIFY2(second.commit(), qPrintable(second.lastError().text()));
        QCOMPARE(proxy.AnswersLost(), 1);
        QCOMPARE(bystander.Value(QStringLiteral("select string_agg(n::text, ',' order by n) from outbox")),
                 QStringLiteral("1,2"));
        QVERIFY2(server.Sql(QStringLiteral("upgrades"), QStringLiteral("drop table lost_answer"), &output, &error),
                 qPrintable(error));
    }

    // A server that takes the connection and never answers: the open gives up on its own.
    void hungServerFailsTheOpen()
    {
        HangingListener hung;
        QVERIFY(hung.Ok());
        const QString connection =
            QStringLiteral("host=127.0.0.1 port=%1 user=upgrader dbname=upgrades connect_timeout=2 sslmode=disable")
                .arg(hung.Port());
        // On a thread of its own, so that an open that never returned fails this case alone.
        const std::optional<QString> result = WithDeadline<QString>(
            [connection] {
                PgSession session(connection);
                QString error;
                return session.Open(&error) ? QStringLiteral("opened") : error;
            },
            kHungOpenMs);
        QVERIFY2(result.has_value(), "the open did not return");
        QVERIFY2(*result != QLatin1String("opened"), "a server that never answers was taken as open");
        QVERIFY2(result->contains(QLatin1String("timeout")), qPrintable(*result));
    }
};

QTEST_GUILESS_MAIN(TestPgSupport)
#include "tst_pg_support.moc"
