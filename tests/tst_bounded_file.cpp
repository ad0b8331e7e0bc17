// The whole-file reader behind the configuration and the images: what is not a regular file is
// refused at once, a file above the bound is refused unread, and a file within it comes back
// byte for byte.
#include "bounded_file.h"
#include "unprivileged.h"
#include "with_deadline.h"

#include <QtTest>

#ifdef Q_OS_UNIX
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#endif

#include <cstring>

Q_DECLARE_METATYPE(BoundedFile::Refusal)

namespace {

using Refusal = BoundedFile::Refusal;

// Bytes this process has read through read() and its kin so far (Linux's own count).
qint64 BytesReadSoFar()
{
    QFile io(QStringLiteral("/proc/self/io"));
    if (!io.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : io.readAll().split('\n'))
        if (line.startsWith("rchar:"))
            return line.mid(6).trimmed().toLongLong();
    return -1;
}

std::optional<BoundedFile::Result> ReadWithDeadline(const QString &path, qint64 max_bytes)
{
    return WithDeadline<BoundedFile::Result>([path, max_bytes] { return BoundedFile::Read(path, max_bytes); });
}

}  // namespace

class TestBoundedFile : public QObject {
    Q_OBJECT

    QTemporaryDir dir;
    int socket_fd = -1;

    QString Write(const QString &name, const QByteArray &bytes)
    {
        const QString path = dir.filePath(name);
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size())
            qFatal("cannot write %s", qPrintable(path));
        return path;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        QVERIFY(QDir(dir.path()).mkdir("folder"));
#ifdef Q_OS_UNIX
        QCOMPARE(::mkfifo(QFile::encodeName(dir.filePath("pipe")).constData(), 0600), 0);
        QVERIFY(QFile::link(dir.filePath("pipe"), dir.filePath("link-to-pipe")));
        // A listening local socket, as a service would leave in a folder.
        socket_fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        QVERIFY(socket_fd >= 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const QByteArray name = QFile::encodeName(dir.filePath("socket"));
        QVERIFY(size_t(name.size()) < sizeof(address.sun_path));
        std::memcpy(address.sun_path, name.constData(), size_t(name.size()));
        QCOMPARE(::bind(socket_fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)), 0);
        QCOMPARE(::listen(socket_fd, 1), 0);
#endif
    }

    void cleanupTestCase()
    {
#ifdef Q_OS_UNIX
        if (socket_fd >= 0)
            ::close(socket_fd);
#endif
    }

    // Each of these would block on open or read without end (pipe, /dev/zero) or is no content
    // at all; each is refused at once and says what it is.
    void refusesWhatIsNotAFile_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<Refusal>("refusal");
        QTest::addColumn<QString>("said");
#ifdef Q_OS_UNIX  // Windows has no FIFO, socket or device in its folders
        QTest::newRow("named pipe") << "pipe" << Refusal::NotRegularFile << "is a named pipe (FIFO), not a regular file";
        QTest::newRow("link to a named pipe") << "link-to-pipe" << Refusal::NotRegularFile << "is a named pipe (FIFO)";
        QTest::newRow("endless device") << "/dev/zero" << Refusal::NotRegularFile << "is a character device";
        QTest::newRow("terminal device") << "/dev/tty" << Refusal::NotRegularFile << "is a character device";
        QTest::newRow("socket") << "socket" << Refusal::NotRegularFile << "is a socket";
#endif
        QTest::newRow("directory") << "folder" << Refusal::Directory << "is a directory, not a file";
        QTest::newRow("nothing there") << "absent.bin" << Refusal::Missing << "does not exist";
        QTest::newRow("below a file") << "plain/absent.bin" << Refusal::Missing << "does not exist";
        QTest::newRow("empty path") << "" << Refusal::Missing << "empty path";
    }

    void refusesWhatIsNotAFile()
    {
        QFETCH(QString, path);
        QFETCH(Refusal, refusal);
        QFETCH(QString, said);
        Write("plain", "x");
        if (!path.isEmpty() && !path.startsWith('/'))
            path = dir.filePath(path);
        if (path == "/dev/tty" && !QFileInfo::exists(path))
            QSKIP("no /dev/tty here");
        const auto result = ReadWithDeadline(path, 1024);
        QVERIFY2(result.has_value(), "the read never returned");
        QCOMPARE(result->refusal, refusal);
        QVERIFY(!result->Ok());
        QVERIFY(result->bytes.isEmpty());
        QVERIFY2(result->reason.contains(said), qPrintable(result->reason));
        QVERIFY2(result->reason.contains(path), qPrintable(result->reason));
    }

    // The bound is the largest size read: a file of exactly that size is read whole, one byte
    // more is refused.
    void boundIsTheLargestSizeRead_data()
    {
        QTest::addColumn<int>("size");
        QTest::addColumn<int>("bound");
        QTest::addColumn<bool>("read");
        QTest::newRow("empty file") << 0 << 100 << true;
        QTest::newRow("below the bound") << 99 << 100 << true;
        QTest::newRow("at the bound") << 100 << 100 << true;
        QTest::newRow("one byte above") << 101 << 100 << false;
        QTest::newRow("several reads' worth") << 300000 << 300000 << true;
        QTest::newRow("several reads' worth, one above") << 300001 << 300000 << false;
    }

    void boundIsTheLargestSizeRead()
    {
        QFETCH(int, size);
        QFETCH(int, bound);
        QFETCH(bool, read);
        QByteArray bytes(size, '\0');
        for (int i = 0; i < size; ++i)
            bytes[i] = char(i * 7 + i / 251);
        const auto result = ReadWithDeadline(Write("sized", bytes), bound);
        QVERIFY(result.has_value());
        QCOMPARE(result->Ok(), read);
        if (read) {
            QCOMPARE(result->bytes, bytes);
            QCOMPARE(result->size, qint64(size));
            QVERIFY(result->reason.isEmpty());
        } else {
            QCOMPARE(result->refusal, Refusal::TooLarge);
            QVERIFY(result->bytes.isEmpty());
            QVERIFY2(result->reason.contains(QString("is %1 bytes, more than the").arg(size)), qPrintable(result->reason));
        }
    }

    // A 600 MiB file (sparse: it takes no disk) against a 16 MiB bound: refused on its size, with
    // far fewer bytes read by this process than the bound.
    void oversizedFileIsNotRead()
    {
        QFile big(dir.filePath("huge.bin"));
        QVERIFY(big.open(QIODevice::WriteOnly));
        QVERIFY(big.resize(600LL * 1024 * 1024));
        big.close();
        const qint64 before = BytesReadSoFar();
        QVERIFY(before >= 0);
        const auto result = ReadWithDeadline(big.fileName(), 16 * 1024 * 1024);
        const qint64 read = BytesReadSoFar() - before;
        QVERIFY(result.has_value());
        QCOMPARE(result->refusal, Refusal::TooLarge);
        QVERIFY2(result->reason.contains("is 629145600 bytes, more than the 16 MiB"), qPrintable(result->reason));
        QVERIFY2(read < 1024 * 1024, qPrintable(QString("%1 bytes read").arg(read)));
    }

    // A file the system will not open is told apart from one that is not there.
    void unreadableFileCannotBeOpened_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::newRow("no read permission") << QByteArray("secret");
    }

    void unreadableFileCannotBeOpened()
    {
        RUN_AS_NOBODY_WHEN_ROOT();
        QFETCH(QByteArray, content);
        const QString path = Write("locked", content);
        QVERIFY(QFile::setPermissions(path, QFileDevice::Permissions()));
        const BoundedFile::Result result = BoundedFile::Read(path, 100);
        QCOMPARE(result.refusal, Refusal::CannotOpen);
        QVERIFY2(result.reason.startsWith("cannot open " + path), qPrintable(result.reason));
    }
};

QTEST_GUILESS_MAIN(TestBoundedFile)
#include "tst_bounded_file.moc"
