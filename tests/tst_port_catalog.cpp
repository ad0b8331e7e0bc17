#include "port_catalog.h"
#include "usb_location.h"

#include <QtTest>

#include <unistd.h>

namespace {

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

}  // namespace

class TestPortCatalog : public QObject {
    Q_OBJECT

private slots:
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
};

QTEST_GUILESS_MAIN(TestPortCatalog)
#include "tst_port_catalog.moc"
