#include "debug_capture.h"
#include "family_suite.h"
#include "fast_family.h"
#include "frame_codec.h"
#include "image_writer.h"
#include "job_recorder.h"
#include "messages.h"
#include "sim_family.h"
#include "sim_port_catalog.h"
#include "sim_pty.h"
#include "frame_link.h"
#include "sequence_thread.h"
#include "upgrade_server.h"
#include "byte_channel.h"
#include "wait_until.h"
#include "wire.h"

#include <QSerialPort>
#include <QtTest>

#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>

namespace {

constexpr quint16 kPid = 4;

QByteArray ReadAvailable(const SimPty &pty, int timeout_ms)
{
    QByteArray bytes;
    pollfd fd{pty.MasterFd(), POLLIN, 0};
    while (::poll(&fd, 1, timeout_ms) > 0) {
        char buffer[1024];
        const ssize_t n = ::read(pty.MasterFd(), buffer, sizeof buffer);
        if (n <= 0)
            break;
        bytes.append(buffer, int(n));
        timeout_ms = 5;
    }
    return bytes;
}

// The standard family with its base's port in memory, as the engine's suites have it.
SimFamilyOptions InMemory()
{
    SimFamilyOptions options = SimFamilyOptions::Standard();
    options.transport = SimTransport::Memory;
    return options;
}

}  // namespace

class TestEngineLoop : public SimulatedFamilySuite {
    Q_OBJECT

    QTemporaryDir dir;
    QString image_path;

    // A device on a bare pseudo-terminal, for the exchange operations run from the test's thread,
    // at the pace of device dev_id.
    struct BareLink {
        SimPty pty;
        FrameLink frames;
        explicit BareLink(int dev_id)
        {
            PortInfo info{pty.Path(), true, FamilyVendorId(), kPid, {}, {}};
            SimPortCatalog::Add(info);
            frames.max_bytes_per_pass = RoleOf(dev_id).pacing.max_bytes_per_pass;
            frames.Open(kPid, UnitKey());
        }
    };

    UpgradeJob Job(int dev_id, const QString &image = QString()) const
    {
        UpgradeJob job;
        job.dev_id = dev_id;
        job.usb_pid = kPid;
        job.firmware_path = image.isEmpty() ? image_path : image;
        return job;
    }

private slots:
    void initTestCase()
    {
        ImageRecipe recipe;
        recipe.raw = true;  // one image for every device, the motor (raw data only) included
        QString error;
        const QByteArray image = BuildImage(recipe, {{0x08000000, QByteArray(6000, 'x')}}, &error);
        image_path = dir.filePath("job.bin");
        QFile file(image_path);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(image) == image.size());
    }

    void imageThatFailsToLoadEndsTheJobSilently()
    {
        SimFamily family(InMemory());
        UpgradeServer server;
        JobRecorder jobs(server);
        QVERIFY(server.Start(Job(1, dir.filePath("missing.bin"))));
        QVERIFY(jobs.WaitFinished());
        QCOMPARE(jobs.events, (QStringList{"upgrade false 100", "finished"}));
        QVERIFY(!server.Upgrading());
        QVERIFY(family.HostChunks().isEmpty());
    }

    void portThatCannotOpenReportsNoResult()
    {
        SimFamily family(SimFamilyOptions::Standard());
        QSerialPort holder(family.PortPath());
        QVERIFY(holder.open(QIODevice::ReadWrite));
        DebugCapture debug;
        UpgradeServer server;
        JobRecorder jobs(server);
        QVERIFY(server.Start(Job(1)));
        QVERIFY(jobs.WaitFinished());
        QCOMPARE(jobs.events, (QStringList{"upgrade false 100", "finished"}));
        QVERIFY(debug.Contains(QString::fromUtf8("---USB未打开!")));
        QVERIFY(!server.Upgrading());
    }

    // The image is read from a pipe that the test writes only after the stop request, so the
    // stop is certainly in place before the loop would start.
    // An image path naming a pipe once kept the job thread in open() until someone wrote to it,
    // beyond the reach of Stop: it ends the job at once now, as an invalid image, before the port.
    void pipeAsImageEndsTheJobAtOnce()
    {
        const QString fifo = dir.filePath("slow.bin");
        QVERIFY(::mkfifo(QFile::encodeName(fifo).constData(), 0600) == 0);
        SimFamily family(InMemory());
        UpgradeServer server;
        JobRecorder jobs(server);
        QVERIFY(server.Start(Job(1, fifo)));
        QVERIFY(jobs.WaitFinished());
        QCOMPARE(jobs.events, (QStringList{"upgrade false 100", "finished"}));
        QCOMPARE(jobs.reasons, QList<JobEndReason>{JobEndReason::ImageInvalid});
        QVERIFY(family.HostChunks().isEmpty());
    }

    void jobShakesHandsAndLearnsTheMode_data()
    {
        QTest::addColumn<int>("dev_id");
        QTest::addColumn<int>("mode");
        QTest::newRow("device 1 in its application") << 1 << int(SimMode::App);
        QTest::newRow("device 3 in its bootloader") << 3 << int(SimMode::Boot);
        QTest::newRow("device 5 in its application") << 5 << int(SimMode::App);
        QTest::newRow("base in its bootloader") << 2 << int(SimMode::Boot);
    }

    void jobShakesHandsAndLearnsTheMode()
    {
        QFETCH(int, dev_id);
        QFETCH(int, mode);
        SimFamilyOptions options = InMemory();
        for (SimDeviceSpec &device : options.devices) {
            if (device.id == dev_id)
                device.mode = SimMode(mode);
        }
        SimFamily family(options);
        DebugCapture debug;
        SequenceThread run(Job(dev_id));
        JobRecorder jobs(run.sequence, *run.thread);
        const quint32 sent_before = UpgradeSequence::handshakes_sent;
        const quint32 answered_before = UpgradeSequence::handshakes_answered;
        // Stopped from the job's own thread as soon as it says what it learned, so the stop is in
        // place before the boot entry's pass (which would act on the mode) can begin.
        std::optional<bool> learned_in_app;
        debug.Observe([&](const QString &line) {
            if (line.startsWith(QLatin1String("---Target is "))) {
                learned_in_app = run.sequence.Job().target_in_app;
                run.Stop();
            }
        });
        run.Start();
        QVERIFY(jobs.WaitFinished());
        debug.Observe({});
        QCOMPARE(run.sequence.CurrentState(), int(UpgradeSequence::EnterBoot));

        // The program-wide counters go on from earlier jobs.
        QCOMPARE(debug.Count(QStringLiteral("---Handshake OK! %1 / %2").arg(answered_before + 1).arg(sent_before + 1)), 1);
        QVERIFY(debug.IndexOf("---Send bootmode") > debug.IndexOf(QStringLiteral("---Handshake OK! %1 / %2")
                                                                       .arg(answered_before + 1)
                                                                       .arg(sent_before + 1)));
        QVERIFY(debug.Contains(mode == int(SimMode::App) ? "---Target is app" : "---Target is boot"));
        QCOMPARE(learned_in_app, std::optional<bool>(mode == int(SimMode::App)));
        const QList<SimRequest> heard = family.Requests(dev_id);
        QVERIFY(heard.size() >= 2);
        QCOMPARE(int(heard[0].frame.command), int(Cmd::Handshake));
        QCOMPARE(int(heard[1].frame.command), int(Cmd::QueryMode));
        QVERIFY(family.Rejections().isEmpty());
        QCOMPARE(jobs.events, (QStringList{"upgrade true 0", "upgrade false 100", "result false", "finished"}));
    }

    // A silent target: the handshake is repeated every 50 idle passes, each pass waiting its
    // ticks. The tick count is read when the engine logs each time-out, right before it sends.
    void silentTargetRepeatsTheHandshakeAtItsPace_data()
    {
        QTest::addColumn<int>("dev_id");
        QTest::addColumn<int>("ticks_per_pass");
        QTest::newRow("device 1") << 1 << 2;
        QTest::newRow("device 3") << 3 << 8;
        QTest::newRow("device 5") << 5 << 10;
    }

    void silentTargetRepeatsTheHandshakeAtItsPace()
    {
        QFETCH(int, dev_id);
        QFETCH(int, ticks_per_pass);
        SimFamilyOptions options = InMemory();
        options.faults.silent = {dev_id};
        SimFamily family(options);
        SequenceThread run(Job(dev_id));
        DebugCapture debug;
        QList<int> ticks_at_timeout;  // written in the job thread under the capture's lock
        debug.Observe([&](const QString &line) {
            if (line == QLatin1String("---Wait handshkae timeout"))
                ticks_at_timeout << run.control.tick_count.load();
        });
        JobRecorder jobs(run.sequence, *run.thread);
        run.Start();
        QVERIFY(WaitUntil([&] { return debug.Count("---Wait handshkae timeout") >= 3; }));
        run.Stop();
        QVERIFY(jobs.WaitFinished());
        debug.Observe({});

        // 50 idle passes lie between two time-outs, and each waited at least its ticks: a
        // loaded machine can only make the gaps longer.
        for (int i = 1; i < ticks_at_timeout.size(); ++i) {
            const int gap = ticks_at_timeout[i] - ticks_at_timeout[i - 1];
            QVERIFY2(gap >= 50 * ticks_per_pass, qPrintable(QString::number(gap)));
        }
        // The first handshake, then per time-out two: the time-out's own and SendHandshake's
        // (which a stop may cut off after the last one).
        const int timeouts = ticks_at_timeout.size();
        QVERIFY(WaitUntil([&] { return CountRequests(family, dev_id, Cmd::Handshake) >= 2 * timeouts; }, 5000));
        QVERIFY(CountRequests(family, dev_id, Cmd::Handshake) <= 2 * timeouts + 1);
        QVERIFY(family.Rejections().isEmpty());
        QCOMPARE(jobs.Of("result"), QStringList{"false"});
    }

    // FlushTx sends at most 30 bytes per call to device 5 and 128 to the others, in order, and
    // holds back while streaming with unread input.
    void flushSendsAtMostOnePassWorth_data()
    {
        QTest::addColumn<int>("dev_id");
        QTest::addColumn<int>("limit");
        QTest::newRow("device 5") << 5 << 30;
        QTest::newRow("device 1") << 1 << 128;
        QTest::newRow("device 3") << 3 << 128;
    }

    void flushSendsAtMostOnePassWorth()
    {
        QFETCH(int, dev_id);
        QFETCH(int, limit);
        BareLink link(dev_id);
        QVERIFY(link.frames.Up());
        for (int i = 0; i < 6; ++i) {
            uint8_t payload[64];
            for (int k = 0; k < 64; ++k)
                payload[k] = uint8_t(i * 64 + k);
            link.frames.QueueFrame(Cmd::SectionData, payload, 64, uint8_t(dev_id));
        }
        const QByteArray expected = link.frames.tx_queue;
        QByteArray received;
        while (!link.frames.tx_queue.isEmpty()) {
            const int queued = link.frames.tx_queue.size();
            link.frames.FlushTx();
            QCOMPARE(link.frames.tx_queue.size(), queued - qMin(queued, limit));
            const QByteArray chunk = ReadAvailable(link.pty, 200);
            QCOMPARE(chunk.size(), qMin(queued, limit));
            received += chunk;
        }
        QCOMPARE(received, expected);

        link.frames.QueueFrame(Cmd::QueryIndex, reinterpret_cast<const uint8_t *>("\0\0"), 2, uint8_t(dev_id));
        link.frames.streaming = true;
        // A report the device has begun to send is read before anything more goes out.
        QCOMPARE(::write(link.pty.MasterFd(), "\x7E", 1), ssize_t(1));
        QTRY_VERIFY(link.frames.Channel().WaitForInput(5) || link.frames.Channel().HasReceived());
        link.frames.FlushTx();
        QCOMPARE(ReadAvailable(link.pty, 20), QByteArray());
        link.frames.Channel().DropReceived();
        link.frames.FlushTx();
        QCOMPARE(ReadAvailable(link.pty, 200), EncodeFrame(Cmd::QueryIndex, 0x10 | dev_id, QByteArray(2, '\0')));
    }

    void frameBuildersAddressAndMask()
    {
        BareLink link(5);
        const uint8_t data[3] = {0x7E, 1, 2};
        link.frames.QueueFrame(0x82, data, 1, 0x23);  // only the low 7 bits and the low nibble count
        link.frames.QueueDataFrame(data, 0x1234, 3, 5);
        QCOMPARE(link.frames.tx_queue.toHex(' '),
                 (EncodeFrame(0x02, 0x13, QByteArray(1, '\x7E')) + EncodeFrame(0x16, 0x15, QByteArray::fromHex("12347E0102"))).toHex(' '));
    }

    void transactTakesOnlyTheAwaitedReply_data()
    {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<bool>("matched");
        QTest::addColumn<QByteArray>("payload");
        const QByteArray reply = EncodeFrame(0x82, 0x12, QByteArray::fromHex("01"));
        QTest::newRow("reply with bit 7 set, then more") << reply + EncodeFrame(0x00, 0x12, {}) << true << QByteArray::fromHex("01");
        QTest::newRow("right command, other length")
            << EncodeFrame(0x02, 0x12, QByteArray::fromHex("0102")) + EncodeFrame(0x04, 0x12, QByteArray(4, '\1')) << false
            << QByteArray();
        QTest::newRow("other commands and a bad frame first")
            << EncodeFrame(0x00, 0x12, {}) + QByteArray::fromHex("7E0102120165") + reply << true << QByteArray::fromHex("01");
        QTest::newRow("nothing") << QByteArray() << false << QByteArray();
    }

    void transactTakesOnlyTheAwaitedReply()
    {
        QFETCH(QByteArray, input);
        QFETCH(bool, matched);
        QFETCH(QByteArray, payload);
        BareLink link(2);
        if (!input.isEmpty())
            QCOMPARE(::write(link.pty.MasterFd(), input.constData(), size_t(input.size())), ssize_t(input.size()));
        uint8_t out[1] = {0xEE};
        QCOMPARE(link.frames.Transact(Cmd::QueryMode, 40, out, 1), matched);
        if (matched)
            QCOMPARE(QByteArray(reinterpret_cast<char *>(out), 1), payload);
        // Whatever followed is gone, from the engine's queue and from the channel.
        QVERIFY(link.frames.rx_queue.isEmpty());
        QVERIFY(!link.frames.Channel().HasReceived());
    }

    void takeFrameStopsAtABadFrame()
    {
        FrameLink frames;
        const QByteArray good = EncodeFrame(0x15, 0x11, QByteArray::fromHex("0102"));
        const QByteArray bad = QByteArray::fromHex("7E0102120166");
        frames.rx_queue = bad + good + EncodeFrame(0x18, 0x11, QByteArray::fromHex("02"));
        Frame frame;
        QVERIFY(!frames.TakeFrame(frame));
        QCOMPARE(frames.rx_queue, good + EncodeFrame(0x18, 0x11, QByteArray::fromHex("02")));
        QVERIFY(frames.TakeFrame(frame));
        QCOMPARE(int(frame.command), 0x15);
        QCOMPARE(int(frame.payload[1]), 2);
        QVERIFY(frames.rx_queue.isEmpty());  // the rest of the input went with it
        QVERIFY(!frames.TakeFrame(frame));
    }

    void modeRepliesInTheWaitingState_data()
    {
        QTest::addColumn<int>("command");
        QTest::addColumn<int>("mode");
        QTest::addColumn<int>("next_state");
        QTest::addColumn<bool>("in_app");
        QTest::newRow("bootloader") << 0x02 << 1 << int(UpgradeSequence::EnterBoot) << false;
        QTest::newRow("bit 7 set") << 0x82 << 1 << int(UpgradeSequence::EnterBoot) << false;
        QTest::newRow("mode 0 counts as application") << 0x02 << 0 << int(UpgradeSequence::EnterBoot) << true;
        QTest::newRow("application") << 0x02 << 2 << int(UpgradeSequence::EnterBoot) << true;
        QTest::newRow("other command ignored") << 0x04 << 1 << int(UpgradeSequence::WaitQueryMode) << false;
    }

    void modeRepliesInTheWaitingState()
    {
        QFETCH(int, command);
        QFETCH(int, mode);
        QFETCH(int, next_state);
        QFETCH(bool, in_app);
        JobControl control;
        UpgradeSequence sequence(UpgradeJob(), control);
        sequence.SetState(UpgradeSequence::SendQueryMode);
        sequence.Step(false, Frame());
        QCOMPARE(sequence.CurrentState(), int(UpgradeSequence::WaitQueryMode));
        Frame reply;
        reply.command = uint8_t(command);
        reply.length = 1;
        reply.payload[0] = uint8_t(mode);
        sequence.Step(true, reply);
        QCOMPARE(sequence.CurrentState(), next_state);
        QCOMPARE(sequence.Job().target_in_app, in_app);
    }

    // The test is the tick: with the timer stopped, it delivers ticks one at a time. A pass
    // goes only once its ticks have come (never before), and each tick that completes an
    // interval lets exactly one pass go, so a tick whose wake was lost leaves the job waiting.
    void passesGoAsTheirTicksCome_data()
    {
        QTest::addColumn<int>("dev_id");
        QTest::newRow("device 1") << 1;
        QTest::newRow("device 3") << 3;
        QTest::newRow("device 5") << 5;
    }

    void passesGoAsTheirTicksCome()
    {
        QFETCH(int, dev_id);
        SimFamilyOptions options = InMemory();
        options.faults.silent = {dev_id};  // the job keeps waiting for its handshake: no blocking waits
        SimFamily family(options);
        SequenceThread run(Job(dev_id), SequenceThread::Ticks::ByHand);
        JobRecorder jobs(run.sequence, *run.thread);
        run.Start();
        // The first pass has run its step: the job counts ticks from here.
        QVERIFY(WaitUntil([&] { return run.sequence.CurrentState() != UpgradeSequence::Init; }, 5000));

        const int ticks_per_pass = RoleOf(dev_id).pacing.pass_ticks;
        const int passes = 12;
        int delivered = 0;
        for (int pass = 1; pass <= passes; ++pass) {
            for (int tick = 0; tick < ticks_per_pass; ++tick) {
                QVERIFY2(run.control.passes == pass - 1, qPrintable(QStringLiteral("%1 passes after %2 ticks")
                                                                        .arg(run.control.passes.load())
                                                                        .arg(delivered)));
                run.control.Tick();
                ++delivered;
            }
            QVERIFY2(WaitUntil([&] { return run.control.passes >= pass; }, 5000),
                     qPrintable(QStringLiteral("pass %1 never went after %2 ticks").arg(pass).arg(delivered)));
            QCOMPARE(run.control.passes.load(), pass);
            if (pass == 1)  // the handshake is queued by the second pass, sent when it goes
                QCOMPARE(CountRequests(family, dev_id, Cmd::Handshake), 0);
        }
        QVERIFY(WaitUntil([&] { return CountRequests(family, dev_id, Cmd::Handshake) == 1; }, 5000));

        run.Stop();
        QVERIFY(jobs.WaitFinished());
        QCOMPARE(jobs.reasons, QList<JobEndReason>{JobEndReason::Stopped});
        QVERIFY(family.Rejections().isEmpty());
    }

    // No tick comes at all (the timer is stopped): whatever else ends the wait must wake it.
    void waitingPassEndsWithoutATick_data()
    {
        QTest::addColumn<bool>("unplug");
        QTest::addColumn<bool>("over_pty");
        QTest::addColumn<JobEndReason>("reason");
        QTest::newRow("stop") << false << false << JobEndReason::Stopped;
        QTest::newRow("port gone") << true << false << JobEndReason::LinkLost;
        // The terminal's hang-up, as the serial driver reports it, is what wakes the wait there.
        QTest::newRow("port gone, over a pseudo-terminal") << true << true << JobEndReason::LinkLost;
    }

    void waitingPassEndsWithoutATick()
    {
        QFETCH(bool, unplug);
        QFETCH(bool, over_pty);
        QFETCH(JobEndReason, reason);
        SimFamily family(over_pty ? SimFamilyOptions::Standard() : InMemory());
        SequenceThread run(Job(1), SequenceThread::Ticks::ByHand);
        JobRecorder jobs(run.sequence, *run.thread);
        run.Start();
        QVERIFY(WaitUntil([&] { return run.sequence.CurrentState() != UpgradeSequence::Init; }, 5000));
        QCOMPARE(run.control.passes.load(), 0);

        if (unplug)
            family.Unplug();
        else
            run.Stop();
        QVERIFY(jobs.WaitFinished(1, 10000));
        QCOMPARE(jobs.reasons, QList<JobEndReason>{reason});
        QCOMPARE(run.control.tick_count.load(), 0);
        QCOMPARE(run.control.passes.load(), 1);  // the pass that was waiting, let go without its ticks
        QVERIFY(family.Requests(1).isEmpty());
    }

    void destroyingTheEngineStopsItsJob()
    {
        SimFamilyOptions options = SimFamilyOptions::Standard();
        options.faults.silent = {1};  // the job keeps repeating its handshake
        SimFamily family(options);
        auto server = std::make_unique<UpgradeServer>();
        QVERIFY(server->Start(Job(1)));
        QVERIFY(WaitUntil([&] { return !family.Requests(1).isEmpty(); }));
        server.reset();  // must stop the job and wait for it
        const int heard = family.Requests(1).size();

        // The port is free again (a job still holding it would lock us out), and a round trip
        // through it shows that nothing of the job reached the device after the engine was gone.
        QSerialPort port(family.PortPath());
        QVERIFY(port.open(QIODevice::ReadWrite));
        const QByteArray query = EncodeFrame(Cmd::QueryMode, 0x12, QByteArray(1, '\0'));
        QCOMPARE(port.write(query), qint64(query.size()));
        QVERIFY(port.waitForBytesWritten(1000));
        QVERIFY(WaitUntil([&] { return !family.Requests(2).isEmpty(); }));
        QCOMPARE(family.Requests(1).size(), heard);
        QVERIFY(family.Rejections().isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestEngineLoop)
#include "tst_engine_loop.moc"
