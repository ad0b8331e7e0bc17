// The simulated base's port in memory, as the engine's channel sees it: what the engine relies on
// from a serial port must hold here too, or the suites that run over it would test a kinder link
// than a station has.
#include "byte_channel.h"
#include "debug_capture.h"
#include "family_suite.h"
#include "fast_family.h"
#include "frame_codec.h"
#include "messages.h"
#include "port_catalog.h"
#include "sim_family.h"
#include "sim_memory_channel.h"
#include "sim_memory_port.h"
#include "sim_port_catalog.h"
#include "wait_until.h"
#include "wire.h"

#include <QtTest>

#include <poll.h>

#include <memory>

namespace {

constexpr quint16 kPid = 4;
constexpr int kReplyDeadlineMs = 3000;  // generous: only a broken link takes this long

// Whether poll() finds the channel's wait handle readable within ms: what wakes a job's wait.
bool Wakes(const ByteChannel &channel, int ms)
{
    pollfd fd{int(channel.WaitHandle()), POLLIN, 0};
    return fd.fd >= 0 && ::poll(&fd, 1, ms) == 1;
}

// The frames that arrive within the deadline, once `expected` of them have.
QList<Frame> Replies(ByteChannel &channel, int expected)
{
    QByteArray received;
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < kReplyDeadlineMs && DecodeFrames(received).size() < expected) {
        channel.WaitForInput(50);
        received += channel.TakeReceived();
    }
    return DecodeFrames(received);
}

QByteArray BaseModeQuery()
{
    return DeviceRequest(Cmd::QueryMode, 2, QByteArray(1, '\0'));
}

// A port with no family behind it, listed in the simulated catalog: the test plays the device.
struct BarePort {
    std::shared_ptr<SimMemoryPort> port = SimMemoryPort::Create();
    int handle = SimPortCatalog::Add(PortInfo{port->Name(), true, FamilyVendorId(), kPid, {}, {}});
    ~BarePort() { SimPortCatalog::Remove(handle); }
};

SimFamilyOptions InMemory()
{
    SimFamilyOptions options = FastFamily(kPid);
    options.transport = SimTransport::Memory;
    return options;
}

}  // namespace

class TestMemoryChannel : public SimulatedFamilySuite {
    Q_OBJECT

private slots:
    // The engine's way in: the catalog names the memory port, the opener gives its channel, and
    // the family answers through it; its records see the host's write as the terminal's would.
    void engineReachesTheFamilyThroughTheCatalog()
    {
        SimFamily family(InMemory());
        std::unique_ptr<ByteChannel> channel = OpenFamilyChannel(kPid, UnitKey::AtLocation(family.Location()));
        QVERIFY(dynamic_cast<SimMemoryChannel *>(channel.get()));
        QVERIFY(channel->IsConnected());
        QCOMPARE(channel->CatalogName(), family.PortPath());

        channel->Send(BaseModeQuery());
        const QList<Frame> replies = Replies(*channel, 1);
        QCOMPARE(replies.size(), 1);
        QCOMPARE(int(replies[0].command), int(Cmd::QueryMode));
        QCOMPARE(int(replies[0].payload[0]), 2);  // the base in its application
        const QList<SimChunk> chunks = family.HostChunks();
        QCOMPARE(chunks.size(), 1);
        QCOMPARE(chunks[0].bytes, BaseModeQuery().size());
    }

    // A port whose base leaves USB never comes back: the open channel wakes its waiter and reports
    // itself disconnected, what it sends is lost, and the base returns under a new name at its
    // location, where a new open finds it.
    void baseLeavingUsbDisconnectsTheOpenChannel_data()
    {
        QTest::addColumn<QString>("how");
        QTest::newRow("unplugged and plugged back") << "unplug";
        QTest::newRow("restarted into its bootloader") << "restart";
        QTest::newRow("power cut") << "power";
    }

    void baseLeavingUsbDisconnectsTheOpenChannel()
    {
        QFETCH(QString, how);
        SimFamily family(InMemory());
        const QString first_name = family.PortPath();
        std::unique_ptr<ByteChannel> channel = OpenFamilyChannel(kPid, UnitKey::AtLocation(family.Location()));
        QVERIFY(channel->IsConnected());
        QVERIFY(!Wakes(*channel, 0));

        if (how == "unplug")
            family.Unplug();
        else if (how == "restart")
            channel->Send(DeviceRequest(Cmd::SwitchMode, 2, QByteArray(1, char(SwitchTo::Boot))));
        else
            family.CutPower();
        QVERIFY2(Wakes(*channel, kReplyDeadlineMs), "the waiter woke when the port went");
        const int heard = family.Requests(2).size();
        channel->Send(BaseModeQuery());  // before the channel has noticed: lost with the port
        channel->TakeInput();
        QVERIFY(!channel->IsConnected());
        QVERIFY(!channel->WaitForInput(0));
        QVERIFY(Wakes(*channel, 0));  // as a hung-up terminal stays readable

        if (how == "unplug")
            family.Plug();
        QVERIFY(WaitUntil([&] { return family.IsPlugged(); }, kReplyDeadlineMs));
        QVERIFY(family.PortPath() != first_name);
        std::unique_ptr<ByteChannel> again = OpenFamilyChannel(kPid, UnitKey::AtLocation(family.Location()));
        QVERIFY(again->IsConnected());
        QCOMPARE(again->CatalogName(), family.PortPath());
        QVERIFY(WaitUntil([&] { return family.IsResponsive(2); }, kReplyDeadlineMs));
        again->Send(BaseModeQuery());
        QCOMPARE(Replies(*again, 1).size(), 1);
        QCOMPARE(family.Requests(2).size(), heard + 1);
        QVERIFY(!channel->IsConnected());
    }

    // One host at a time, as a serial port is locked by the program that opened it: the second
    // fails with the lines the serial driver writes, and the port is free again once let go.
    void secondHostFindsThePortHeld()
    {
        SimFamily family(InMemory());
        std::unique_ptr<ByteChannel> first = OpenFamilyChannel(kPid, UnitKey::AtLocation(family.Location()));
        QVERIFY(first->IsConnected());
        {
            DebugCapture debug;
            std::unique_ptr<ByteChannel> second = OpenFamilyChannel(kPid, UnitKey::AtLocation(family.Location()));
            QVERIFY(!second->IsConnected());
            QCOMPARE(second->WaitHandle(), qintptr(-1));
            QCOMPARE(debug.Lines(), (QStringList{QString::fromUtf8("---端口被占用"),
                                                 "---" + family.PortPath() + ": Permission error while locking the device"}));
        }
        first.reset();
        std::unique_ptr<ByteChannel> third = OpenFamilyChannel(kPid, UnitKey::AtLocation(family.Location()));
        QVERIFY(third->IsConnected());
    }

    // The port holds what a pseudo-terminal holds; the rest waits with the host, in order, and
    // leaves when the device has read, the host's wait woken for it.
    void fullPortHoldsTheHostsWritesBack()
    {
        BarePort bare;
        std::unique_ptr<ByteChannel> channel = OpenFamilyChannel(kPid);
        QVERIFY(channel->IsConnected());
        QByteArray sent;
        for (int i = 0; i < SimMemoryPort::kHostBufferBytes + 1000; ++i)
            sent.append(char(i % 251));
        channel->Send(sent.left(100));
        QVERIFY(!channel->WritePending());
        channel->Send(sent.mid(100));
        QVERIFY(channel->WritePending());
        channel->TakeInput();
        QVERIFY(channel->WritePending());  // nothing was read: still no room

        QByteArray read = bare.port->TakeFromHost(1 << 20);
        QCOMPARE(read.size(), SimMemoryPort::kHostBufferBytes);
        QVERIFY(Wakes(*channel, 0));
        channel->TakeInput();
        QVERIFY(!channel->WritePending());
        read += bare.port->TakeFromHost(1 << 20);
        QCOMPARE(read, sent);
    }

    // What the device sent while no host had the port open answers nothing of the next host's;
    // its wait handle stays quiet until the device has something for it, and after it is taken.
    void inputReachesOnlyTheHostThatHasThePort()
    {
        BarePort bare;
        bare.port->SendToHost("stale");
        std::unique_ptr<ByteChannel> channel = OpenFamilyChannel(kPid);
        QVERIFY(channel->IsConnected());
        QVERIFY(!Wakes(*channel, 0));
        QVERIFY(!channel->WaitForInput(0));

        bare.port->SendToHost("fresh");
        QVERIFY(Wakes(*channel, 0));
        QVERIFY(channel->WaitForInput(0));
        QCOMPARE(channel->TakeReceived(), QByteArray("fresh"));
        QVERIFY(!Wakes(*channel, 0));

        channel->Disconnect();
        bare.port->SendToHost("late");
        channel.reset();
        bare.port->SendToHost("nobody");
        std::unique_ptr<ByteChannel> next = OpenFamilyChannel(kPid);
        QVERIFY(!next->WaitForInput(20));
        QVERIFY(!next->HasReceived());
    }
};

QTEST_GUILESS_MAIN(TestMemoryChannel)
#include "tst_memory_channel.moc"
