#include "frame_codec.h"
#include "port_catalog.h"
#include "sim_family.h"
#include "sim_flash.h"
#include "sim_port_catalog.h"
#include "wait_until.h"
#include "wire.h"

#include <QSerialPort>
#include <QtTest>

namespace {

// Requests here are written by their address byte, so that malformed ones can be too.
QByteArray Request(uint8_t command, uint8_t address, const QByteArray &payload)
{
    return EncodeFrame(command, address, payload);
}

constexpr int kReplyDeadlineMs = 3000;  // generous: only a broken family takes this long

// Writes bytes on a fresh port (a request that restarts a device needs no answer).
void Send(const QString &path, const QByteArray &bytes)
{
    QSerialPort port(path);
    if (!port.open(QIODevice::ReadWrite))
        return;
    port.write(bytes);
    port.waitForBytesWritten(kReplyDeadlineMs);
}

// Sends one request on a fresh port and returns the replies to it. With an answer expected, it
// waits for that many replies; with none expected, the base's version is asked behind the
// request and its answer, which the family gives in order, closes the exchange.
QList<Frame> Exchange(const QString &path, const QByteArray &request, int expected = 1)
{
    const QByteArray probe = Request(0x04, 0x12, QByteArray(4, 0));
    auto is_probe_answer = [](const Frame &f) { return f.command == 0x04 && f.length == 4; };
    QSerialPort port(path);
    if (!port.open(QIODevice::ReadWrite))
        return {};
    port.write(expected == 0 ? request + probe : request);
    port.waitForBytesWritten(kReplyDeadlineMs);
    QByteArray received;
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < kReplyDeadlineMs) {
        const QList<Frame> frames = DecodeFrames(received);
        if (expected > 0 && frames.size() >= expected)
            return frames;
        if (expected == 0 && !frames.isEmpty() && is_probe_answer(frames.last()))
            return frames.mid(0, frames.size() - 1);
        if (port.waitForReadyRead(50))
            received += port.readAll();
    }
    return DecodeFrames(received);
}

QByteArray Payload(const Frame &f)
{
    return QByteArray(reinterpret_cast<const char *>(f.payload), f.length);
}

SimFamilyOptions Fast()
{
    SimFamilyOptions options = SimFamilyOptions::Standard();
    options.timings = {30, 10, 60, 20, 40};
    return options;
}

QByteArray Big(quint32 value, int bytes)
{
    QByteArray out;
    for (int shift = 8 * (bytes - 1); shift >= 0; shift -= 8)
        out.append(char(value >> shift));
    return out;
}

// Bytes that do not compress: the device stores them raw.
QByteArray Noise(int size, quint32 seed)
{
    QRandomGenerator rng(seed);
    QByteArray bytes(size, '\0');
    for (char &b : bytes)
        b = char(rng.bounded(256));
    return bytes;
}

constexpr int kChunk = 62;

QByteArray DataFrame(const QByteArray &bytes, int offset)
{
    return Request(0x16, 0x11, Big(quint32(offset), 2) + bytes.mid(offset, kChunk));
}

// Announces a raw section to device 1 and sends its data frames, all but the last `held_back`.
// True when the device echoed the announcement.
bool SendSection(const QString &path, quint32 address, const QByteArray &bytes, int held_back = 0)
{
    const QByteArray header = Big(address, 4) + Big(quint32(bytes.size()), 2) + Big(quint32(bytes.size()), 2);
    if (Exchange(path, Request(0x14, 0x11, header)).size() != 1)
        return false;
    const int frames = (bytes.size() + kChunk - 1) / kChunk;
    for (int i = 0; i < frames - held_back; ++i)
        Exchange(path, DataFrame(bytes, i * kChunk), 0);
    return true;
}

// The device's first reply byte to a request, or -1 without a reply.
int FirstByte(const QString &path, const QByteArray &request)
{
    const QList<Frame> replies = Exchange(path, request);
    return replies.isEmpty() || replies[0].length == 0 ? -1 : replies[0].payload[0];
}

int Index(const QString &path)
{
    const QList<Frame> replies = Exchange(path, Request(0x15, 0x11, QByteArray(2, 0)));
    return replies.size() == 1 && replies[0].length == 2 ? replies[0].payload[0] << 8 | replies[0].payload[1] : -1;
}

SimPowerCutTrigger CutAt(int device, uint8_t command, int nth = 1, int first_byte = -1)
{
    SimPowerCutTrigger trigger;
    trigger.device = device;
    trigger.command = command;
    trigger.nth = nth;
    if (first_byte >= 0)
        trigger.when = [first_byte](const SimDevice &, const Frame &f) { return f.length > 0 && f.payload[0] == first_byte; };
    return trigger;
}

constexpr uint8_t kVerifyBuffer = 1;
constexpr uint8_t kVerified = 2;
constexpr uint8_t kFlashDone = 2;

}  // namespace

class TestSimFamily : public QObject {
    Q_OBJECT

private slots:
    void init() { SimPortCatalog::Clear(); }

    void wellFormedRequestsGetTheirReplies_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<int>("command");
        QTest::addColumn<QByteArray>("payload");
        QTest::newRow("handshake") << Request(0x00, 0x11, {}) << 0x00 << QByteArray();
        QTest::newRow("mode of the base") << Request(0x02, 0x12, QByteArray(1, 0)) << 0x02 << QByteArray::fromHex("02");
        QTest::newRow("application version") << Request(0x04, 0x15, QByteArray(4, 0)) << 0x04
                                             << QByteArray::fromHex("05020001");
        QTest::newRow("hardware chunk 2") << Request(0x08, 0x12, QByteArray::fromHex("02")) << 0x08
                                          << QByteArray("\x02" "03").leftJustified(17, '\0');  // "BASE-HW-A-REV-0003"
        QTest::newRow("motor hardware, one request") << Request(0x08, 0x13, QByteArray(24, 0)) << 0x08
                                                     << QByteArray("MOTOR-HW-A").leftJustified(24, '\0');
        QTest::newRow("display power-on through the base") << Request(0x0A, 0x12, QByteArray::fromHex("01")) << 0x0A
                                                           << QByteArray::fromHex("01");
    }

    void wellFormedRequestsGetTheirReplies()
    {
        QFETCH(QByteArray, request);
        QFETCH(int, command);
        QFETCH(QByteArray, payload);
        SimFamily family(Fast());
        const QList<Frame> replies = Exchange(family.PortPath(), request);
        QCOMPARE(replies.size(), 1);
        QCOMPARE(int(replies[0].command), command);
        QCOMPARE(Payload(replies[0]).toHex(' '), payload.toHex(' '));
        QVERIFY(family.Rejections().isEmpty());
    }

    // A wrong host must fail against the family: malformed requests get no answer.
    void malformedRequestsAreRefused_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<QString>("reason");
        QTest::newRow("mode query payload 1") << Request(0x02, 0x11, QByteArray::fromHex("01"))
                                              << "device 1: mode query with payload 1";
        QTest::newRow("handshake with a payload") << Request(0x00, 0x11, QByteArray::fromHex("00"))
                                                  << "device 1: command 0x00 with 1 payload bytes, expected 0";
        QTest::newRow("hardware chunk 0") << Request(0x08, 0x14, QByteArray::fromHex("00"))
                                          << "device 4: hardware version chunk 0";
        QTest::newRow("motor asked in chunks") << Request(0x08, 0x13, QByteArray::fromHex("01"))
                                               << "device 3: command 0x08 with 1 payload bytes, expected 24";
        QTest::newRow("display power-on to the display") << Request(0x0A, 0x14, QByteArray::fromHex("01"))
                                                         << "device 4: display power-on sent to device 4, not to the base";
        QTest::newRow("switch to mode 7") << Request(0x01, 0x12, QByteArray::fromHex("07")) << "device 2: switch mode to 7";
        QTest::newRow("address without 0x10") << Request(0x00, 0x21, {}) << "address 0x21, command 0x00: not a request";
        QTest::newRow("command with bit 7") << Request(0x80, 0x11, {}) << "address 0x11, command 0x80: not a request";
        QTest::newRow("transfer command in the application")
            << Request(0x15, 0x11, QByteArray(2, 0)) << "device 1: unknown command 0x15 in app mode";
    }

    void malformedRequestsAreRefused()
    {
        QFETCH(QByteArray, request);
        QFETCH(QString, reason);
        SimFamily family(Fast());
        QCOMPARE(Exchange(family.PortPath(), request, 0).size(), 0);
        QCOMPARE(family.Rejections(), QStringList{reason});
    }

    // A real base keeps its place on the hub when it comes back under a new tty name.
    void baseKeepsItsLocationAcrossReenumeration_data()
    {
        QTest::addColumn<QString>("location");
        QTest::newRow("chosen") << "1-4.2";
        QTest::newRow("default") << "";
    }

    void baseKeepsItsLocationAcrossReenumeration()
    {
        QFETCH(QString, location);
        SimFamilyOptions options = Fast();
        options.location = location;
        SimFamily family(options);
        const QString kept = family.Location();
        QVERIFY(!kept.isEmpty());
        if (!location.isEmpty())
            QCOMPARE(kept, location);
        const QList<PortInfo> before = SimPortCatalog::Ports();
        QCOMPARE(before.size(), 1);
        QCOMPARE(before[0].name, family.PortPath());
        QCOMPARE(before[0].location, kept);

        for (int restart = 1; restart <= 2; ++restart) {
            const QString old_path = family.PortPath();
            Send(old_path, Request(0x01, 0x12, QByteArray::fromHex(restart == 1 ? "04" : "03")));
            QVERIFY(WaitUntil([&] { return family.Reenumerations() == restart && family.IsPlugged(); }, 2000));
            const QList<PortInfo> after = SimPortCatalog::Ports();
            QCOMPARE(after.size(), 1);
            QVERIFY(after[0].name != old_path);
            QCOMPARE(after[0].name, family.PortPath());
            QCOMPARE(after[0].location, kept);
        }
    }

    void familiesSideBySideHaveTheirOwnLocations()
    {
        SimFamily first(Fast());
        SimFamily second(Fast());
        const QList<PortInfo> ports = SimPortCatalog::Ports();
        QCOMPARE(ports.size(), 2);
        QCOMPARE(ports[0].location, first.Location());
        QCOMPARE(ports[1].location, second.Location());
        QVERIFY(first.Location() != second.Location());
        // Each base reports its own USB serial number, as real units do.
        QCOMPARE(ports[0].serial_number, first.SerialNumber());
        QCOMPARE(ports[1].serial_number, second.SerialNumber());
        QVERIFY(!first.SerialNumber().isEmpty() && first.SerialNumber() != second.SerialNumber());
    }

    // The version record of the programmed firmware: found in address order, also across a page
    // boundary and between separate areas; none in an erased or unstamped memory.
    void flashedFirmwareStatesItsVersion()
    {
        const QByteArray marker(kSimVersionMarker);
        SimFlash flash;
        QCOMPARE(flash.After(marker, 4), QByteArray());
        flash.Write(0x1000, QByteArray(300, 'a'));
        QCOMPARE(flash.After(marker, 4), QByteArray());
        // Split over two pages: the marker ends 3 bytes into the second one, the numbers follow.
        const QByteArray record = marker + QByteArray("\x02\x00\x03\x09", 4);
        flash.Write(0x2000 - quint32(marker.size()) + 3, record);
        QCOMPARE(flash.After(marker, 4), QByteArray("\x02\x00\x03\x09", 4));
        // A later area's record does not win over the first one in address order.
        flash.Write(0x9000, marker + QByteArray("\x07\x07\x07\x07", 4));
        QCOMPARE(flash.After(marker, 4), QByteArray("\x02\x00\x03\x09", 4));
        // A record cut short by the end of the programmed memory is no record.
        SimFlash cut;
        cut.Write(0x3000 - quint32(marker.size()) - 2, marker + QByteArray(2, '\x01'));
        QCOMPARE(cut.After(marker, 4), QByteArray());
    }

    void baseRestartsUnderANewPathAndCutsTheDisplay()
    {
        SimFamily family(Fast());
        const QString old_path = family.PortPath();
        Send(old_path, Request(0x01, 0x12, QByteArray::fromHex("04")));
        QVERIFY(WaitUntil([&] { return !family.IsPlugged(); }, 2000));
        QVERIFY(ListFamilyPids().isEmpty());
        QVERIFY(WaitUntil([&] { return family.IsPlugged(); }, 2000));
        QCOMPARE(ListFamilyPids(), QList<int>{4});
        QVERIFY(family.PortPath() != old_path);
        QCOMPARE(family.Mode(2), SimMode::Boot);
        QCOMPARE(family.ModeHistory(2), (QList<SimMode>{SimMode::App, SimMode::Boot}));
        QCOMPARE(family.Reenumerations(), 1);

        // The base's bootloader leaves the display without power until it is asked.
        QVERIFY(!family.IsResponsive(4));
        QCOMPARE(Exchange(family.PortPath(), Request(0x00, 0x14, {}), 0).size(), 0);
        QCOMPARE(Exchange(family.PortPath(), Request(0x0A, 0x12, QByteArray::fromHex("01"))).size(), 1);
        QVERIFY(WaitUntil([&] { return family.IsResponsive(4); }, 2000));
        QCOMPARE(Exchange(family.PortPath(), Request(0x00, 0x14, {})).size(), 1);

        // Back to the application: the display is powered by the base again.
        Send(family.PortPath(), Request(0x01, 0x12, QByteArray::fromHex("03")));
        QVERIFY(WaitUntil([&] { return family.Reenumerations() == 2 && family.IsResponsive(4); }, 2000));
        QCOMPARE(family.Mode(2), SimMode::App);
    }

    void devicesRestartIntoTheRequestedMode()
    {
        SimFamilyOptions options = Fast();
        options.faults.stay_in_app = {5};
        SimFamily family(options);
        Send(family.PortPath(), Request(0x01, 0x11, QByteArray::fromHex("04")));
        Send(family.PortPath(), Request(0x01, 0x15, QByteArray::fromHex("04")));
        QVERIFY(WaitUntil([&] { return family.IsResponsive(1) && family.IsResponsive(5); }, 2000));
        QCOMPARE(family.Mode(1), SimMode::Boot);
        QCOMPARE(family.Mode(5), SimMode::App);  // the fault keeps it in its application
        const QList<Frame> mode = Exchange(family.PortPath(), Request(0x02, 0x11, QByteArray(1, 0)));
        QCOMPARE(mode.size(), 1);
        QCOMPARE(int(mode[0].payload[0]), 1);
    }

    // A unit whose power is cut: every device stops at once and starts again in the mode it was
    // last asked for; the base comes back under a new path at its place on the hub, and the
    // display gets power only from the base's application.
    void powerCutKeepsModesAndReturnsUnderANewPath_data()
    {
        QTest::addColumn<bool>("base_in_boot");
        QTest::newRow("base in its bootloader") << true;
        QTest::newRow("base in its application") << false;
    }

    void powerCutKeepsModesAndReturnsUnderANewPath()
    {
        QFETCH(bool, base_in_boot);
        SimFamily family(Fast());
        Send(family.PortPath(), Request(0x01, 0x11, QByteArray::fromHex("04")));
        QVERIFY(WaitUntil([&] { return family.IsResponsive(1) && family.Mode(1) == SimMode::Boot; }, kReplyDeadlineMs));
        if (base_in_boot) {
            Send(family.PortPath(), Request(0x01, 0x12, QByteArray::fromHex("04")));
            QVERIFY(WaitUntil([&] { return family.Reenumerations() == 1 && family.IsResponsive(2); }, kReplyDeadlineMs));
            QCOMPARE(Exchange(family.PortPath(), Request(0x0A, 0x12, QByteArray::fromHex("01"))).size(), 1);
            QVERIFY(WaitUntil([&] { return family.IsResponsive(4); }, kReplyDeadlineMs));
        }
        const QString before = family.PortPath();
        const int reenumerations = family.Reenumerations();
        const QList<SimMode> history = family.ModeHistory(1);

        family.CutPower();
        QVERIFY(!family.IsPlugged());
        QVERIFY(ListFamilyPids().isEmpty());
        for (int id : family.DeviceIds())
            QVERIFY2(!family.IsResponsive(id), qPrintable(QString::number(id)));

        QVERIFY(WaitUntil([&] { return family.IsPlugged() && family.IsResponsive(1) && family.IsResponsive(3) &&
                                       family.IsResponsive(5); }, kReplyDeadlineMs));
        QCOMPARE(family.PowerCuts(), 1);
        QCOMPARE(family.Reenumerations(), reenumerations + 1);
        QVERIFY(family.PortPath() != before);
        const QList<PortInfo> ports = SimPortCatalog::Ports();
        QCOMPARE(ports.size(), 1);
        QCOMPARE(ports[0].name, family.PortPath());
        QCOMPARE(ports[0].location, family.Location());

        QCOMPARE(family.Mode(2), base_in_boot ? SimMode::Boot : SimMode::App);
        QCOMPARE(family.ModeHistory(1), history + QList<SimMode>{SimMode::Boot});
        QCOMPARE(family.Mode(3), SimMode::App);
        QCOMPARE(FirstByte(family.PortPath(), Request(0x02, 0x11, QByteArray(1, 0))), 1);
        QCOMPARE(FirstByte(family.PortPath(), Request(0x02, 0x12, QByteArray(1, 0))), base_in_boot ? 1 : 2);

        if (base_in_boot) {
            // Powered before the cut by request, the display waits for the next request.
            QVERIFY(!family.IsResponsive(4));
            QCOMPARE(Exchange(family.PortPath(), Request(0x00, 0x14, {}), 0).size(), 0);
            QCOMPARE(Exchange(family.PortPath(), Request(0x0A, 0x12, QByteArray::fromHex("01"))).size(), 1);
        }
        QVERIFY(WaitUntil([&] { return family.IsResponsive(4); }, kReplyDeadlineMs));
        QCOMPARE(Exchange(family.PortPath(), Request(0x00, 0x14, {})).size(), 1);
    }

    // Cut while programming: the area was being erased and written, so it holds neither the old
    // section nor the new one, and the section's buffer is gone with the power.
    void programmingUnderWayIsLost()
    {
        SimFamilyOptions options = Fast();
        options.devices[1].mode = SimMode::Boot;  // device 1 runs its bootloader
        SimFamily family(options);
        const QString path = family.PortPath();
        const quint32 address = 0x08010000;
        const QByteArray old_image = Noise(300, 1), new_image = Noise(300, 2);
        QVERIFY(SendSection(path, address, old_image));
        QCOMPARE(FirstByte(path, Request(0x18, 0x11, QByteArray(1, char(kVerifyBuffer)))), int(kVerified));
        QCOMPARE(FirstByte(path, Request(0x19, 0x11, QByteArray(1, 0))), int(kFlashDone));
        QCOMPARE(family.Flash(1, address, old_image.size()), old_image);

        family.CutPowerAt(CutAt(1, 0x19, 1, 0));
        QVERIFY(SendSection(path, address, new_image));
        QCOMPARE(FirstByte(path, Request(0x18, 0x11, QByteArray(1, char(kVerifyBuffer)))), int(kVerified));
        QCOMPARE(family.PowerCuts(), 0);
        Send(path, Request(0x19, 0x11, QByteArray(1, 0)));
        QVERIFY(WaitUntil([&] { return family.PowerCuts() == 1; }, kReplyDeadlineMs));
        // Back after the power returned, later than the programming would have ended.
        QVERIFY(WaitUntil([&] { return family.IsPlugged() && family.IsResponsive(1); }, kReplyDeadlineMs));
        QCOMPARE(family.FlashOperations(1), 2);
        QCOMPARE(family.Flash(1, address, new_image.size()), QByteArray(new_image.size(), char(0xFF)));
        QCOMPARE(family.Mode(1), SimMode::Boot);
        const QString now = family.PortPath();
        QVERIFY(now != path);
        QCOMPARE(FirstByte(now, Request(0x18, 0x11, QByteArray(1, char(kVerifyBuffer)))), 0);  // no section known
        QCOMPARE(Index(now), 0);
    }

    // A trigger counts the requests it picks and strikes once, at the nth: the data frames
    // received before it are lost with the power.
    void sectionTransferUnderWayIsLostAtTheThirdDataFrame()
    {
        SimFamilyOptions options = Fast();
        options.devices[1].mode = SimMode::Boot;
        SimFamily family(options);
        family.CutPowerAt(CutAt(0, 0x16, 3));
        const QByteArray image = Noise(5 * kChunk, 3);
        QVERIFY(SendSection(family.PortPath(), 0x08000000, image, 3));
        QCOMPARE(Index(family.PortPath()), 2 * kChunk);
        QCOMPARE(family.PowerCuts(), 0);
        Send(family.PortPath(), DataFrame(image, 2 * kChunk));
        QVERIFY(WaitUntil([&] { return family.PowerCuts() == 1; }, kReplyDeadlineMs));
        QVERIFY(WaitUntil([&] { return family.IsPlugged() && family.IsResponsive(1); }, kReplyDeadlineMs));
        QCOMPARE(Index(family.PortPath()), 0);
        QCOMPARE(FirstByte(family.PortPath(), Request(0x18, 0x11, QByteArray(1, char(kVerifyBuffer)))), 0);

        // Used up: the same frames again go through.
        QVERIFY(SendSection(family.PortPath(), 0x08000000, image));
        QCOMPARE(Index(family.PortPath()), image.size());
        QCOMPARE(family.PowerCuts(), 1);
    }

    // Cut just as the base was asked for its bootloader: the restart it had begun is void, and the
    // base comes back once, in its bootloader, after the devices behind it.
    void cutDuringTheBasesSwitchBringsItBackOnce()
    {
        SimFamilyOptions options = Fast();
        options.timings.power_off_ms = 300;  // power returns well after the plain restart would have ended
        SimFamily family(options);
        family.CutPowerAt(CutAt(2, 0x01, 1, 4));
        const QString before = family.PortPath();
        Send(before, Request(0x01, 0x12, QByteArray::fromHex("04")));
        QVERIFY(WaitUntil([&] { return family.PowerCuts() == 1; }, kReplyDeadlineMs));
        QVERIFY(WaitUntil([&] { return family.IsPlugged(); }, kReplyDeadlineMs));
        QVERIFY(family.IsResponsive(1));  // started before the base enumerated: this is the power's return
        QVERIFY(family.IsResponsive(2));
        QCOMPARE(family.Reenumerations(), 1);
        QCOMPARE(SimPortCatalog::Ports().size(), 1);
        QVERIFY(family.PortPath() != before);
        QCOMPARE(family.Mode(2), SimMode::Boot);
        QCOMPARE(family.ModeHistory(2), (QList<SimMode>{SimMode::App, SimMode::Boot}));
        QVERIFY(!family.IsResponsive(4));
    }

    // Plugged back in while its base was off USB restarting: the base enumerates once, not
    // twice (two ports at one location would read as two units).
    void plugDuringTheBasesRestartEnumeratesOnce()
    {
        SimFamilyOptions options = Fast();
        options.timings.base_reenumerate_ms = 300;
        SimFamily family(options);
        Send(family.PortPath(), Request(0x01, 0x12, QByteArray::fromHex("04")));
        QVERIFY(WaitUntil([&] { return !family.IsPlugged(); }, kReplyDeadlineMs));
        family.Plug();
        QVERIFY(WaitUntil([&] { return family.Reenumerations() == 1; }, kReplyDeadlineMs));
        QCOMPARE(SimPortCatalog::Ports().size(), 1);
        QCOMPARE(SimPortCatalog::Ports().first().name, family.PortPath());
    }

    void faultsLoseAndSilence()
    {
        SimFamilyOptions options = Fast();
        options.faults.silent = {1};
        options.faults.drop_reply = 1.0;
        SimFamily family(options);
        // Every reply is lost, so nothing can close an exchange: the requests are only seen heard.
        Send(family.PortPath(), Request(0x00, 0x11, {}));
        QVERIFY(WaitUntil([&] { return family.Requests(1).size() == 1; }, kReplyDeadlineMs));
        Send(family.PortPath(), Request(0x00, 0x12, {}));
        QVERIFY(WaitUntil([&] { return family.Requests(2).size() == 1; }, kReplyDeadlineMs));
        SimFaults clean;
        family.SetFaults(clean);
        QCOMPARE(Exchange(family.PortPath(), Request(0x00, 0x11, {})).size(), 1);
        family.Unplug();
        QVERIFY(ListFamilyPids().isEmpty());
        family.Plug();
        QCOMPARE(Exchange(family.PortPath(), Request(0x00, 0x11, {})).size(), 1);
    }
};

QTEST_GUILESS_MAIN(TestSimFamily)
#include "tst_sim_family.moc"
