#include "folder_watch.h"
#include "port_catalog.h"
#include "port_catalog_file.h"
#include "unit_key.h"
#include "usb_location.h"

#include <QtTest>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

namespace {

// "name|vendor|product|location", or "name|-|location" for a port without USB ids.
QString Describe(const PortInfo &port)
{
    if (!port.has_usb_ids)
        return QStringLiteral("%1|-|%2").arg(port.name, port.location);
    return QStringLiteral("%1|%2|%3|%4").arg(port.name).arg(port.vendor_id).arg(port.product_id).arg(port.location);
}

QStringList Describe(const QList<PortInfo> &ports)
{
    QStringList lines;
    for (const PortInfo &port : ports)
        lines << Describe(port);
    return lines;
}

// The id of a process that has ended and been reaped: this test program, asked only to list its
// functions.
qint64 EndedProcess()
{
    QProcess child;
    child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("-functions")});
    if (!child.waitForStarted(30000))
        return -1;
    const qint64 pid = child.processId();
    if (!child.waitForFinished(30000))
        return -1;
    return pid;
}

void WriteFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(bytes), qint64(bytes.size()));
}

#ifdef Q_OS_UNIX
// A tty in a fake sysfs tree: its class device at devices/<class_dir>, linked from class/tty, and
// its "device" link (relative to the class device) when one is given.
void AddTty(const QString &root, const QString &tty, const QString &class_dir, const QString &device_link)
{
    const QString dir = root + "/devices/" + class_dir;
    QVERIFY(QDir().mkpath(dir));
    if (!device_link.isEmpty()) {
        QVERIFY(QDir().mkpath(QDir::cleanPath(dir + "/" + device_link)));
        QCOMPARE(::symlink(QFile::encodeName(device_link).constData(), QFile::encodeName(dir + "/device").constData()), 0);
    }
    QVERIFY(QDir().mkpath(root + "/class/tty"));
    const QString target = "../../devices/" + class_dir;
    QCOMPARE(::symlink(QFile::encodeName(target).constData(), QFile::encodeName(root + "/class/tty/" + tty).constData()), 0);
}
#endif

// Collects the warnings written while it exists.
class Warnings {
public:
    Warnings()
    {
        active = this;
        previous = qInstallMessageHandler(&Warnings::Handle);
    }
    ~Warnings()
    {
        qInstallMessageHandler(previous);
        active = nullptr;
    }
    QStringList lines;

private:
    static void Handle(QtMsgType type, const QMessageLogContext &, const QString &message)
    {
        if (active && type == QtWarningMsg)
            active->lines << message;
    }
    static inline Warnings *active = nullptr;
    QtMessageHandler previous = nullptr;
};

}  // namespace

class TestPortCatalog : public QObject {
    Q_OBJECT

private slots:
    void cleanup()
    {
        qunsetenv(PortCatalog::kSimCatalogVariable);
        PortCatalog::SetProvider({});
    }

#ifdef Q_OS_UNIX
    // Linux's sysfs tree (Windows has the device manager's location paths instead).
    void usbLocationFromSysfs_data()
    {
        QTest::addColumn<QString>("class_dir");
        QTest::addColumn<QString>("device_link");
        QTest::addColumn<QString>("tty");
        QTest::addColumn<QString>("location");
        const QString hub = "pci0000:00/0000:00:14.0/usb1/1-1/1-1.2/";
        QTest::newRow("CDC ACM behind a hub") << hub + "1-1.2:1.0/tty/ttyACM0" << "../../../1-1.2:1.0" << "ttyACM0"
                                              << "1-1.2";
        QTest::newRow("the same socket under another tty name")
            << hub + "1-1.2:1.0/tty/ttyACM3" << "../../../1-1.2:1.0" << "ttyACM3" << "1-1.2";
        QTest::newRow("second interface on a root port")
            << "pci0000:00/0000:00:14.0/usb2/2-4/2-4:1.2/tty/ttyACM1" << "../../../2-4:1.2" << "ttyACM1" << "2-4";
        QTest::newRow("USB-serial adapter, one level deeper")
            << "pci0000:00/0000:00:14.0/usb3/3-2.1.4/3-2.1.4:1.0/ttyUSB0/tty/ttyUSB0" << "../../../ttyUSB0"
            << "ttyUSB0" << "3-2.1.4";
        QTest::newRow("platform UART") << "platform/serial8250/tty/ttyS0" << "../../../serial8250" << "ttyS0" << "";
        QTest::newRow("PNP UART") << "pnp0/00:01/tty/ttyS1" << "../../../00:01" << "ttyS1" << "";
        QTest::newRow("virtual tty without a device") << "virtual/tty/ttyprintk" << "" << "ttyprintk" << "";
        QTest::newRow("unknown tty") << hub + "1-1.2:1.0/tty/ttyACM0" << "../../../1-1.2:1.0" << "ttyACM7" << "";
        QTest::newRow("a name that climbs out") << hub + "1-1.2:1.0/tty/ttyACM0" << "../../../1-1.2:1.0"
                                                << "../tty/ttyACM0" << "";
    }

    void usbLocationFromSysfs()
    {
        QFETCH(QString, class_dir);
        QFETCH(QString, device_link);
        QFETCH(QString, tty);
        QFETCH(QString, location);
        QTemporaryDir sysfs;
        const QString created_tty = class_dir.section('/', -1);
        AddTty(sysfs.path(), created_tty, class_dir, device_link);
        QCOMPARE(UsbLocation::FromSysfs(sysfs.path(), tty), location);
    }
#endif

    void catalogFileEntries_data()
    {
        QTest::addColumn<QByteArray>("content");  // null: no file at all
        QTest::addColumn<QStringList>("expected");
        const QByteArray a = R"({"name": "%A%", "vendor_id": 4617, "product_id": 4, "location": "sim-1-4"})";
        const QByteArray b = R"({"name": "%B%", "vendor_id": 4617, "product_id": 5, "location": "sim-1-5"})";
        const QString a_line = "%A%|4617|4|sim-1-4";
        const QString b_line = "%B%|4617|5|sim-1-5";
        auto file = [](const QByteArray &entries, const QByteArray &pid = "%PID%") {
            return "{\"pid\": " + pid + ", \"ports\": [" + entries + "]}";
        };
        QTest::newRow("two ports in file order") << file(b + "," + a) << QStringList{b_line, a_line};
        QTest::newRow("without a publisher") << ("{\"ports\": [" + a + "]}") << QStringList{};
        QTest::newRow("no location") << file(R"({"name": "%A%", "vendor_id": 1, "product_id": 65535})")
                                     << QStringList{"%A%|1|65535|"};
        QTest::newRow("not a USB port") << file(R"({"name": "%A%"})") << QStringList{"%A%|-|"};
        QTest::newRow("a bare name cannot be checked and is kept")
            << file(R"({"name": "ttyACM9", "vendor_id": 4617, "product_id": 4})") << QStringList{"ttyACM9|4617|4|"};
        QTest::newRow("a COM port is a bare name")
            << file(R"({"name": "COM11", "vendor_id": 4617, "product_id": 4, "location": "sim-1-4"})")
            << QStringList{"COM11|4617|4|sim-1-4"};
        QTest::newRow("missing file") << QByteArray() << QStringList{};
        QTest::newRow("empty file") << QByteArray("") << QStringList{};
        QTest::newRow("half-written") << file(a + "," + b).left(60) << QStringList{};
        QTest::newRow("a list, not an object") << ("[" + a + "]") << QStringList{};
        QTest::newRow("ports not a list") << ("{\"pid\": %PID%, \"ports\": " + a + "}") << QStringList{};
        QTest::newRow("publisher no longer runs") << file(a, "%DEAD%") << QStringList{};
        QTest::newRow("publisher not a number") << file(a, "\"me\"") << QStringList{};
        QTest::newRow("port that has left") << file(a + R"(, {"name": "%GONE%", "vendor_id": 4617, "product_id": 4})")
                                            << QStringList{a_line};
        QTest::newRow("entry without a name") << file(R"({"vendor_id": 4617, "product_id": 4}, )" + b)
                                              << QStringList{b_line};
        QTest::newRow("vendor id out of range") << file(R"({"name": "%A%", "vendor_id": 65536, "product_id": 4}, )" + b)
                                                << QStringList{b_line};
        QTest::newRow("product id as text") << file(R"({"name": "%A%", "vendor_id": 4617, "product_id": "4"}, )" + b)
                                            << QStringList{b_line};
        QTest::newRow("fractional id") << file(R"({"name": "%A%", "vendor_id": 4617, "product_id": 4.5}, )" + b)
                                       << QStringList{b_line};
        QTest::newRow("only one of the ids") << file(R"({"name": "%A%", "vendor_id": 4617}, )" + b)
                                             << QStringList{b_line};
        QTest::newRow("location not a text") << file(R"({"name": "%A%", "location": 3}, )" + b)
                                             << QStringList{b_line};
        QTest::newRow("entry not an object") << file("\"%A%\", " + b) << QStringList{b_line};
        QTest::newRow("too large to be a catalog") << QByteArray(300 * 1024, ' ') + file(a) << QStringList{};
    }

    void catalogFileEntries()
    {
        QFETCH(QByteArray, content);
        QFETCH(QStringList, expected);
        QTemporaryDir dir;
        const QString catalog = dir.filePath("ports.json");
        // Stand-ins for device paths: files that exist, and one that does not.
        const QString a = dir.filePath("pts-a"), b = dir.filePath("pts-b");
        WriteFile(a, {});
        WriteFile(b, {});
        auto fill = [&](QString text) {
            return text.replace("%A%", a)
                .replace("%B%", b)
                .replace("%GONE%", dir.filePath("pts-gone"))
                .replace("%PID%", QString::number(QCoreApplication::applicationPid()))
                .replace("%DEAD%", QString::number(EndedProcess()));
        };
        if (!content.isNull())
            WriteFile(catalog, fill(QString::fromUtf8(content)).toUtf8());
        for (QString &line : expected)
            line = fill(line);
        QCOMPARE(Describe(PortCatalogFile::Read(catalog)), expected);
    }

    void aDirectoryIsNoCatalog()
    {
        QTemporaryDir dir;
        QVERIFY(PortCatalogFile::Read(dir.path()).isEmpty());
        QCOMPARE(PortCatalogFile::LiveOwner(dir.path()), qint64(0));
    }

    void writtenCatalogReadsBackWithItsOwner()
    {
        QTemporaryDir dir;
        const QString catalog = dir.filePath("ports.json");
        const QString pts = dir.filePath("pts-a");
        WriteFile(pts, {});
        PortInfo usb{pts, true, 0x1209, 4, "sim-2-4", {}};
        PortInfo plain{pts, false, 0, 0, {}, {}};
        QString error;
        QVERIFY2(PortCatalogFile::Write(catalog, {usb, plain}, QCoreApplication::applicationPid(), &error),
                 qPrintable(error));
        QCOMPARE(Describe(PortCatalogFile::Read(catalog)), (QStringList{Describe(usb), Describe(plain)}));
        QCOMPARE(PortCatalogFile::LiveOwner(catalog), QCoreApplication::applicationPid());
        // Nothing of the replacement is left beside the file.
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files), (QStringList{"ports.json", "pts-a"}));

        QVERIFY(PortCatalogFile::Write(catalog, {usb}, EndedProcess(), &error));
        QCOMPARE(PortCatalogFile::LiveOwner(catalog), qint64(0));
        QVERIFY(PortCatalogFile::Read(catalog).isEmpty());
    }

    // A catalog is trusted only when this user or root wrote it and its publisher still runs;
    // otherwise the enumeration goes on without it and says why once, not at every poll.
    void untrustedCatalogIsIgnoredWithOneWarning_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("reason");
        QTest::newRow("owned by another user")
            << "foreign" << "it belongs to another user (uid 65534), not to this one (uid 0) or root";
        QTest::newRow("publisher gone") << "gone" << "the simulator that wrote it (process %DEAD%) no longer runs";
        QTest::newRow("no publisher named") << "no pid" << "it names no publishing process (no \"pid\")";
    }

    void untrustedCatalogIsIgnoredWithOneWarning()
    {
        QFETCH(QString, kind);
        QFETCH(QString, reason);
#ifdef Q_OS_UNIX
        if (kind == "foreign" && geteuid() != 0)
            QSKIP("only root can hand a file to another user here");
#else
        if (kind == "foreign")
            QSKIP("handing a file to another user's SID takes the restore privilege");
#endif
        QTemporaryDir dir;
        const QString catalog = dir.filePath("ports.json");
        const QString pts = dir.filePath("pts-a");
        WriteFile(pts, {});
        const PortInfo port{pts, true, FamilyVendorId(), 5, "sim-1-5", {}};
        const qint64 dead = EndedProcess();
        auto write = [&](qint64 pid) {
            QString error;
            QVERIFY2(PortCatalogFile::Write(catalog, {port}, pid, &error), qPrintable(error));
        };
        write(kind == "gone" ? dead : QCoreApplication::applicationPid());
#ifdef Q_OS_UNIX
        if (kind == "foreign")
            QCOMPARE(::chown(QFile::encodeName(catalog).constData(), 65534, 65534), 0);
#endif
        if (kind == "no pid")
            WriteFile(catalog, QString(R"({"ports": [{"name": "%1", "vendor_id": %2, "product_id": 5}]})")
                                   .arg(pts)
                                   .arg(FamilyVendorId())
                                   .toUtf8());
        const QStringList system = Describe(PortCatalog::AvailablePorts());
        qputenv(PortCatalog::kSimCatalogVariable, QFile::encodeName(catalog));
        reason.replace("%DEAD%", QString::number(dead));
        const QString warning = QString("UPGRADER_SIM_CATALOG: ignoring %1: %2").arg(catalog, reason);
        {
            Warnings warnings;
            for (int poll = 0; poll < 3; ++poll)
                QCOMPARE(Describe(PortCatalog::AvailablePorts()), system);
            QCOMPARE(warnings.lines, QStringList{warning});
        }

        // Trusted again, it is used; spoiled again later, it is told again.
        write(QCoreApplication::applicationPid());
#ifdef Q_OS_UNIX
        if (kind == "foreign")
            QCOMPARE(::chown(QFile::encodeName(catalog).constData(), geteuid(), getegid()), 0);
#endif
        QCOMPARE(Describe(PortCatalog::AvailablePorts()), system + QStringList{Describe(port)});
        write(dead);
        {
            Warnings warnings;
            QCOMPARE(Describe(PortCatalog::AvailablePorts()), system);
            QCOMPARE(Describe(PortCatalog::AvailablePorts()), system);
            QCOMPARE(warnings.lines,
                     QStringList{QString("UPGRADER_SIM_CATALOG: ignoring %1: the simulator that wrote it (process %2) no "
                                         "longer runs")
                                     .arg(catalog)
                                     .arg(dead)});
        }
    }

    void availablePortsFollowTheVariable()
    {
        QTemporaryDir dir;
        const QString catalog = dir.filePath("ports.json");
        const QString pts = dir.filePath("pts-a");
        WriteFile(pts, {});
        const PortInfo first{pts, true, FamilyVendorId(), 4, "sim-1-4", {}};
        const PortInfo second{pts, true, FamilyVendorId(), 5, "sim-1-5", {}};
        QString error;
        QVERIFY(PortCatalogFile::Write(catalog, {first, second}, QCoreApplication::applicationPid(), &error));

        const QStringList system = Describe(PortCatalog::AvailablePorts());
        const QList<int> system_pids = ListFamilyPids();

        qputenv(PortCatalog::kSimCatalogVariable, QFile::encodeName(catalog));
        QCOMPARE(Describe(PortCatalog::AvailablePorts()), (system + QStringList{Describe(first), Describe(second)}));
        QCOMPARE(ListFamilyPids(), (system_pids + QList<int>{4, 5}));

        // Read on every call: the simulator's update shows at once.
        QVERIFY(PortCatalogFile::Write(catalog, {second}, QCoreApplication::applicationPid(), &error));
        QCOMPARE(Describe(PortCatalog::AvailablePorts()), (system + QStringList{Describe(second)}));

        // An installed provider is the whole machine: the file does not add to it.
        const PortInfo own{pts, true, FamilyVendorId(), 9, "own", {}};
        PortCatalog::SetProvider([own] { return QList<PortInfo>{own}; });
        QCOMPARE(Describe(PortCatalog::AvailablePorts()), QStringList{Describe(own)});
        PortCatalog::SetProvider({});

        qputenv(PortCatalog::kSimCatalogVariable, "");
        QCOMPARE(Describe(PortCatalog::AvailablePorts()), system);
        qputenv(PortCatalog::kSimCatalogVariable, QFile::encodeName(dir.filePath("missing.json")));
        QCOMPARE(Describe(PortCatalog::AvailablePorts()), system);
    }

    // The status poll's recent view does not enumerate the system's ports again while no port
    // node came or went; every other caller's view, the default, does. The simulator's catalog
    // file is read in either view, so its ports come and go at once.
    void recentViewKeepsTheSystemsPorts()
    {
        if (!FolderWatch({QLatin1String(PortCatalog::kDeviceFolder)}).Works())
            QSKIP("no file system notices for the device folder here");
        QTemporaryDir dir;
        const QString catalog = dir.filePath("ports.json");
        const QString pts = dir.filePath("pts-a");
        WriteFile(pts, {});
        const PortInfo first{pts, true, FamilyVendorId(), 4, "sim-1-4", {}};
        const PortInfo second{pts, true, FamilyVendorId(), 5, "sim-1-5", {}};
        QString error;
        QVERIFY(PortCatalogFile::Write(catalog, {first}, QCoreApplication::applicationPid(), &error));
        qputenv(PortCatalog::kSimCatalogVariable, QFile::encodeName(catalog));

        const int before = PortCatalog::SystemEnumerations();
        const QStringList ports = Describe(PortCatalog::AvailablePorts());
        QCOMPARE(PortCatalog::SystemEnumerations(), before + 1);
        QCOMPARE(ports.last(), Describe(first));
        QCOMPARE(Describe(PortCatalog::AvailablePorts(PortCatalog::View::Recent)), ports);
        QCOMPARE(PortCatalog::SystemEnumerations(), before + 1);

        QVERIFY(PortCatalogFile::Write(catalog, {first, second}, QCoreApplication::applicationPid(), &error));
        QCOMPARE(Describe(PortCatalog::AvailablePorts(PortCatalog::View::Recent)), ports + QStringList{Describe(second)});
        QCOMPARE(FamilyPort(5, UnitKey(), PortCatalog::View::Recent).location, QString("sim-1-5"));
        QVERIFY(PortCatalogFile::Write(catalog, {second}, QCoreApplication::applicationPid(), &error));
        QCOMPARE(FamilyPort(4, UnitKey(), PortCatalog::View::Recent).location, QString());
        QCOMPARE(PortCatalog::SystemEnumerations(), before + 1);

        QCOMPARE(FamilyPort(5).location, QString("sim-1-5"));
        QCOMPARE(ListFamilyPorts().last().location, QString("sim-1-5"));
        QCOMPARE(PortCatalog::SystemEnumerations(), before + 3);
    }
};

QTEST_GUILESS_MAIN(TestPortCatalog)
#include "tst_port_catalog.moc"
