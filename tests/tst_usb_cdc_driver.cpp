#include "debug_capture.h"
#include "family_suite.h"
#include "port_catalog.h"
#include "sim_port_catalog.h"
#include "sim_pty.h"
#include "usb_cdc_driver.h"

#include <QtTest>

#include <poll.h>
#include <unistd.h>

#include <memory>

namespace {

constexpr quint16 kPid = 0x0004;

// Everything the device side of a pseudo-terminal receives within timeout_ms.
QByteArray ReadDevice(const SimPty &pty, int timeout_ms)
{
    QByteArray bytes;
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        const int left = int(timeout_ms - clock.elapsed());
        if (left <= 0)
            return bytes;
        pollfd fd{pty.MasterFd(), POLLIN, 0};
        if (::poll(&fd, 1, left) <= 0)
            return bytes;
        char buffer[512];
        const ssize_t n = ::read(pty.MasterFd(), buffer, sizeof buffer);
        if (n > 0)
            bytes.append(buffer, int(n));
    }
}

void WriteDevice(const SimPty &pty, const QByteArray &bytes)
{
    QCOMPARE(::write(pty.MasterFd(), bytes.constData(), size_t(bytes.size())), ssize_t(bytes.size()));
}

PortInfo Port(const SimPty &pty, quint16 vid, quint16 pid)
{
    PortInfo info;
    info.name = pty.Path();
    info.has_usb_ids = true;
    info.vendor_id = vid;
    info.product_id = pid;
    return info;
}

}  // namespace

class TestUsbCdcDriver : public SimulatedFamilySuite {
    Q_OBJECT

private slots:
    void lastEnumeratedPortWins()
    {
        SimPty first, second;
        SimPortCatalog::Add(Port(first, FamilyVendorId(), kPid));
        SimPortCatalog::Add(Port(second, FamilyVendorId(), kPid));
        UsbCdcDriver driver(kPid);
        QVERIFY(driver.IsConnected());
        QVERIFY(driver.PortOpen());
        driver.Send(QByteArray("ping"));
        QCOMPARE(ReadDevice(second, 200), QByteArray("ping"));
        QCOMPARE(ReadDevice(first, 20), QByteArray());
    }

    void otherVendorsAndProductsAreNeverOpened()
    {
        DebugCapture debug;
        SimPty foreign, other_product;
        SimPortCatalog::Add(Port(foreign, quint16(FamilyVendorId() + 1), kPid));
        SimPortCatalog::Add(Port(other_product, FamilyVendorId(), kPid + 1));
        UsbCdcDriver driver(kPid);
        QVERIFY(!driver.IsConnected());
        QVERIFY(!driver.PortOpen());
        driver.Send(QByteArray("lost"));
        QCOMPARE(ReadDevice(foreign, 20), QByteArray());
        QVERIFY(debug.Lines().isEmpty());
    }

    void familyPidsInEnumerationOrder()
    {
        SimPty a, b, c, d;
        SimPortCatalog::Add(Port(a, FamilyVendorId(), 5));
        SimPortCatalog::Add(Port(b, quint16(FamilyVendorId() + 1), 4));
        SimPortCatalog::Add(Port(c, FamilyVendorId(), 4));
        SimPortCatalog::Add(Port(d, FamilyVendorId(), 5));
        QCOMPARE(ListFamilyPids(), (QList<int>{5, 4, 5}));
        SimPortCatalog::Clear();
        QCOMPARE(ListFamilyPids(), QList<int>());
    }

    void portHeldElsewhereIsBusy()
    {
        SimPty pty;
        SimPortCatalog::Add(Port(pty, FamilyVendorId(), kPid));
        QSerialPort holder(pty.Path());
        QVERIFY2(holder.open(QIODevice::ReadWrite), qPrintable(holder.errorString()));

        DebugCapture debug;
        UsbCdcDriver driver(kPid);
        QVERIFY(!driver.IsConnected());
        QVERIFY(!driver.PortOpen());
        const QStringList lines = debug.Lines();
        QCOMPARE(lines.count(QString::fromUtf8("---端口被占用")), 1);
        // The second line names the port and the system's reason.
        QCOMPARE(lines.size(), 2);
        QVERIFY2(lines[1].startsWith("---" + pty.Path() + ": ") && lines[1].size() > pty.Path().size() + 6,
                 qPrintable(lines[1]));
    }

    void disconnectStopsAllTraffic()
    {
        SimPty pty;
        SimPortCatalog::Add(Port(pty, FamilyVendorId(), kPid));
        UsbCdcDriver driver(kPid);
        QVERIFY(driver.IsConnected());
        WriteDevice(pty, "early");
        QTRY_VERIFY(driver.WaitForInput(10) || driver.HasReceived());

        driver.Disconnect();
        QVERIFY(!driver.IsConnected());
        QVERIFY(driver.PortOpen());
        QVERIFY(!driver.HasReceived());
        driver.Send(QByteArray("must not leave"));
        QCOMPARE(ReadDevice(pty, 50), QByteArray());
    }

    // A late answer to the program that used the port before sits in it: not ours to read.
    void bytesFromBeforeTheOpenAreDropped()
    {
        SimPty pty;
        SimPortCatalog::Add(Port(pty, FamilyVendorId(), kPid));
        WriteDevice(pty, "stale");
        UsbCdcDriver driver(kPid);
        QVERIFY(driver.IsConnected());
        WriteDevice(pty, "fresh");
        QTRY_COMPARE_WITH_TIMEOUT((driver.WaitForInput(5), driver.ReceivedTotal()), 5, 2000);
        QCOMPARE(driver.TakeReceived(), QByteArray("fresh"));
        QVERIFY(!driver.HasReceived());
    }

    void burstsArriveInOrder()
    {
        SimPty pty;
        SimPortCatalog::Add(Port(pty, FamilyVendorId(), kPid));
        UsbCdcDriver driver(kPid);
        QVERIFY(driver.IsConnected());
        const QList<QByteArray> bursts = {"first-", QByteArray(300, 'x'), "-third", QByteArray::fromHex("007e7e00")};
        QByteArray all;
        for (const QByteArray &burst : bursts) {
            WriteDevice(pty, burst);
            all += burst;
            const int before = driver.ReceivedTotal();
            QTRY_COMPARE_WITH_TIMEOUT((driver.WaitForInput(5), driver.ReceivedTotal()), before + burst.size(), 2000);
        }
        QCOMPARE(driver.TakeReceived(), all);
    }
};

QTEST_GUILESS_MAIN(TestUsbCdcDriver)
#include "tst_usb_cdc_driver.moc"
