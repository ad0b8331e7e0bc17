#include "folder_watch.h"
#include "port_cache.h"
#include "port_catalog.h"

#include <QtTest>

#include <atomic>
#include <thread>

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

namespace {

constexpr int kNever = 3600 * 1000;  // a refresh period no test reaches (ms)

// A pseudo-terminal that lives as long as the object: the kind of node a port is.
class Pty {
public:
    Pty()
    {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        if (master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0)
            path = QString::fromLocal8Bit(ptsname(master));
    }
    ~Pty()
    {
        if (master >= 0)
            ::close(master);
    }
    QString path;

private:
    int master = -1;
};

// A stand-in for /dev: every symlink in the folder is a family port of product id 4, named by its
// path. The enumeration is counted, and sees only the folder.
struct FakeDev {
    QTemporaryDir dir;
    std::atomic<int> looked{0};

    PortCache::Enumerate Enumerate()
    {
        return [this] {
            ++looked;
            QList<PortInfo> ports;
            const QFileInfoList links = QDir(dir.path()).entryInfoList(QDir::System | QDir::Files, QDir::Name);
            for (const QFileInfo &link : links) {
                if (link.isSymLink())
                    ports.append(PortInfo{link.absoluteFilePath(), true, FamilyVendorId(), 4, {}, {}});
            }
            return ports;
        };
    }
    QString Add(const QString &name, const QString &target)
    {
        const QString link = dir.filePath(name);
        return ::symlink(QFile::encodeName(target).constData(), QFile::encodeName(link).constData()) == 0 ? link
                                                                                                             : QString();
    }
};

QStringList Names(const QList<PortInfo> &ports)
{
    QStringList names;
    for (const PortInfo &port : ports)
        names << QFileInfo(port.name).fileName();
    return names;
}

}  // namespace

class TestPortCache : public QObject {
    Q_OBJECT

private slots:
    // A port node that appears, is renamed or leaves is seen by the next recent view, with no
    // event but the file system's; while nothing changes, the ports are not enumerated again.
    void recentViewFollowsTheFolder()
    {
        Pty pty;
        QVERIFY(!pty.path.isEmpty());
        FakeDev dev;
        PortCache cache(dev.Enumerate(), {dev.dir.path()}, 0, kNever);

        QCOMPARE(Names(cache.Recent()), QStringList());
        QCOMPARE(Names(cache.Recent()), QStringList());
        QCOMPARE(dev.looked.load(), 1);

        QVERIFY(!dev.Add("ttyACM0", pty.path).isEmpty());
        QCOMPARE(Names(cache.Recent()), QStringList{"ttyACM0"});
        QCOMPARE(Names(cache.Recent()), QStringList{"ttyACM0"});
        QCOMPARE(dev.looked.load(), 2);

        QVERIFY(QFile::rename(dev.dir.filePath("ttyACM0"), dev.dir.filePath("ttyACM1")));
        QCOMPARE(Names(cache.Recent()), QStringList{"ttyACM1"});
        QCOMPARE(dev.looked.load(), 3);

        QVERIFY(QFile::remove(dev.dir.filePath("ttyACM1")));
        QCOMPARE(Names(cache.Recent()), QStringList());
        QCOMPARE(Names(cache.Recent()), QStringList());
        QCOMPARE(dev.looked.load(), 4);
        QCOMPARE(cache.Enumerations(), 4);
    }

    // Writing to a port node, or touching it, does not change which ports exist: no enumeration.
    void useOfANodeIsNoChange()
    {
        Pty pty;
        QVERIFY(!pty.path.isEmpty());
        FakeDev dev;
        const QString plain = dev.dir.filePath("null");
        QFile file(plain);
        QVERIFY(file.open(QIODevice::WriteOnly));
        PortCache cache(dev.Enumerate(), {dev.dir.path()}, 0, kNever);
        cache.Recent();
        QCOMPARE(file.write("bytes", 5), qint64(5));
        QVERIFY(file.flush());
        QVERIFY(QFile::setPermissions(plain, QFileDevice::ReadOwner | QFileDevice::WriteOwner));
        cache.Recent();
        QCOMPARE(dev.looked.load(), 1);
    }

    // A fresh view always asks: a change the folder does not show (here, none at all) is in it,
    // while a recent view still gives the kept ports; the fresh answer is kept for the next.
    void freshViewIsNeverStale()
    {
        QStringList present{"ttyACM0"};
        int looked = 0;
        auto enumerate = [&] {
            ++looked;
            QList<PortInfo> ports;
            for (const QString &name : qAsConst(present))
                ports.append(PortInfo{name, true, FamilyVendorId(), 4, {}, {}});
            return ports;
        };
        QTemporaryDir quiet;
        PortCache cache(enumerate, {quiet.path()}, 0, kNever);
        QCOMPARE(Names(cache.Recent()), QStringList{"ttyACM0"});

        present = QStringList{"ttyACM3"};
        QCOMPARE(Names(cache.Recent()), QStringList{"ttyACM0"});
        QCOMPARE(Names(cache.Fresh()), QStringList{"ttyACM3"});
        QCOMPARE(Names(cache.Fresh()), QStringList{"ttyACM3"});
        QCOMPARE(looked, 3);
        QCOMPARE(Names(cache.Recent()), QStringList{"ttyACM3"});
        QCOMPARE(looked, 3);
    }

    // Safety nets: for the settling time after a change every recent view asks again (udev adds a
    // port's USB ids after its node exists), a kept answer older than the refresh period is not
    // used, and without notices every view asks.
    void recentViewAsksAgain_data()
    {
        QTest::addColumn<int>("settle_ms");
        QTest::addColumn<int>("refresh_ms");
        QTest::addColumn<QString>("folder");  // "dev": the fake /dev, else a path to watch
        QTest::addColumn<bool>("change");     // a port appears before the looks
        QTest::addColumn<int>("looks");       // enumerations by three recent views after the first

        QTest::newRow("settled, no change") << 0 << kNever << "dev" << false << 0;
        QTest::newRow("settled after a change") << 0 << kNever << "dev" << true << 1;
        QTest::newRow("still settling after a change") << kNever << kNever << "dev" << true << 3;
        QTest::newRow("nothing changed since the start") << kNever << kNever << "dev" << false << 0;
        QTest::newRow("refresh period over") << 0 << 0 << "dev" << false << 3;
        QTest::newRow("folder missing: no notices") << 0 << kNever << "/nonexistent/dev" << false << 3;
    }

    void recentViewAsksAgain()
    {
        QFETCH(int, settle_ms);
        QFETCH(int, refresh_ms);
        QFETCH(QString, folder);
        QFETCH(bool, change);
        QFETCH(int, looks);
        Pty pty;
        FakeDev dev;
        PortCache cache(dev.Enumerate(), {folder == "dev" ? dev.dir.path() : folder}, settle_ms, refresh_ms);
        cache.Recent();
        if (change)
            QVERIFY(!dev.Add("ttyACM0", pty.path).isEmpty());
        for (int i = 0; i < 3; ++i)
            QCOMPARE(Names(cache.Recent()), change ? QStringList{"ttyACM0"} : QStringList());
        QCOMPARE(dev.looked.load() - 1, looks);
    }

    // A watched folder that goes away takes the notices with it: from then on every view asks.
    void lostFolderEndsTheWatch()
    {
        QTemporaryDir parent;
        const QString folder = parent.filePath("dev");
        QVERIFY(QDir().mkpath(folder));
        FolderWatch watch({folder});
        QVERIFY(watch.Works());
        QVERIFY(!watch.Changed());
        QVERIFY(QDir(folder).removeRecursively());
        QVERIFY(watch.Changed());
        QVERIFY(!watch.Works());
        QVERIFY(watch.Changed());  // and stays so
    }

    // The job's thread takes fresh views while the window's takes recent ones and ports come and
    // go; each view is a whole enumeration, and once the changes stop the recent view is the
    // folder as it is.
    void viewsFromTwoThreads()
    {
        Pty pty;
        QVERIFY(!pty.path.isEmpty());
        FakeDev dev;
        PortCache cache(dev.Enumerate(), {dev.dir.path()}, 0, kNever);
        std::atomic<bool> done{false};
        std::atomic<int> bad{0};
        std::thread job([&] {
            while (!done) {
                const QStringList names = Names(cache.Fresh());
                bad += names.size() > 2 ? 1 : 0;
            }
        });
        for (int i = 0; i < 200; ++i) {
            const QString name = QStringLiteral("ttyACM%1").arg(i % 2);
            dev.Add(name, pty.path);
            bad += Names(cache.Recent()).size() > 2 ? 1 : 0;
            QFile::remove(dev.dir.filePath(name));
        }
        QVERIFY(!dev.Add("ttyACM9", pty.path).isEmpty());
        done = true;
        job.join();
        QCOMPARE(bad.load(), 0);
        QCOMPARE(Names(cache.Recent()), QStringList{"ttyACM9"});
    }
};

QTEST_GUILESS_MAIN(TestPortCache)
#include "tst_port_cache.moc"
