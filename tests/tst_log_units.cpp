// Console lines by layer and by unit: each line of the link, the engine and the launch is written
// in its layer's category, and while it is about one base it carries that base's unit key, as a
// message handler reads it in the thread that writes the line. Real engines, launches and
// simulated families; two units at once, as on a station.
#include "family_suite.h"
#include "fast_family.h"
#include "link_log.h"
#include "log_unit.h"
#include "messages.h"
#include "sample_firmware.h"
#include "scoped_fixtures.h"
#include "sim_family.h"
#include "sim_port_catalog.h"
#include "upgrade_launch.h"
#include "upgrade_server.h"
#include "wait_until.h"

#include <QMutex>
#include <QSerialPort>
#include <QtTest>

#include <thread>

namespace {

constexpr int kJobMs = 60000;

// One line as a message handler sees it.
struct Line {
    QtMsgType type;
    QString category;
    QString unit;  // LogUnit::Current() of the writing thread
    const QThread *thread;
    QString text;
};

// Records every message of every thread while it exists, with its category and the writing
// thread's unit; the messages still reach the handler that was installed before.
class LineRecorder {
public:
    LineRecorder()
    {
        active = this;
        previous = qInstallMessageHandler(&LineRecorder::Handle);
    }
    ~LineRecorder()
    {
        qInstallMessageHandler(previous);
        active = nullptr;
    }
    LineRecorder(const LineRecorder &) = delete;
    LineRecorder &operator=(const LineRecorder &) = delete;

    QList<Line> Lines() const
    {
        QMutexLocker locker(&lock);
        return lines;
    }
    QList<Line> From(const QThread *thread) const
    {
        QList<Line> found;
        for (const Line &line : Lines()) {
            if (line.thread == thread)
                found << line;
        }
        return found;
    }

private:
    static void Handle(QtMsgType type, const QMessageLogContext &context, const QString &text)
    {
        if (!active)
            return;
        {
            QMutexLocker locker(&active->lock);
            active->lines.append(
                {type, QString::fromLatin1(context.category), LogUnit::Current(), QThread::currentThread(), text});
        }
        if (type != QtDebugMsg && !IsUpgradeAccount(type, context.category) && active->previous)
            active->previous(type, context, text);
    }

    static LineRecorder *active;
    QtMessageHandler previous = nullptr;
    mutable QMutex lock;
    QList<Line> lines;
};

LineRecorder *LineRecorder::active = nullptr;

QString Describe(const Line &line)
{
    return QStringLiteral("[%1] [%2] %3").arg(line.category, line.unit, line.text);
}

bool StartsAnyWith(const QList<Line> &lines, const QString &start)
{
    return std::any_of(lines.begin(), lines.end(), [&](const Line &line) { return line.text.startsWith(start); });
}

}  // namespace

class TestLogUnits : public SimulatedFamilySuite {
    Q_OBJECT

public:
    TestLogUnits() : SimulatedFamilySuite(kTestWaitScale) {}

private:
    QTemporaryDir dir;
    FirmwareEntries entries;

    void AddTarget(const QString &name, int dev_id, const QString &hw, quint32 address)
    {
        ImageRecipe recipe;
        recipe.section_size = 2048;
        const QString path = dir.filePath(name + ".bin");
        const QString error = WriteSampleImage(path, {{address, SampleFirmware(2 * 2048, 7)}}, recipe);
        if (!error.isEmpty())
            qFatal("%s", qPrintable(error));
        entries[name] = FirmwareEntry{dev_id, {4}, {FirmwareSeries{2048, "1.0.0", hw, path, name + " A"}}};
    }

    // The launch of target on the unit at location, as a front end makes it; the job prepared.
    static bool Prepare(UpgradeServer &server, const FirmwareEntries &entries, const QString &target,
                        const QString &location, LaunchJob &job)
    {
        UpgradeLaunch launch(server, QString());  // the images are named by absolute paths
        if (launch.FindDevice(entries, target, UnitKey::AtLocation(location)))
            return false;
        const bool prepared = !launch.Prepare(job);
        server.StopPolling();  // no window here to show what it finds
        return prepared;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        AddTarget("Base", DeviceId::Base, "BASE-HW-A-REV-0003", 0x08004000);
        AddTarget("Meter", DeviceId::Display, "METER-HW-A", 0xC0231800);
    }

    // A thread's unit is its own: another thread neither sees it nor changes it, and a scope puts
    // back the unit it found.
    void aUnitBelongsToItsThread()
    {
        QCOMPARE(LogUnit::Current(), QString());
        {
            const LogUnit::Scope outer(QStringLiteral("1-1.2"));
            QString seen_elsewhere = QStringLiteral("not run");
            QString set_elsewhere;
            std::thread other([&] {
                seen_elsewhere = LogUnit::Current();
                const LogUnit::Scope own(QStringLiteral("1-1.3"));
                set_elsewhere = LogUnit::Current();
            });
            other.join();
            QCOMPARE(seen_elsewhere, QString());
            QCOMPARE(set_elsewhere, QString("1-1.3"));
            QCOMPARE(LogUnit::Current(), QString("1-1.2"));
            {
                const LogUnit::Scope inner(QStringLiteral("1-1.4"));
                QCOMPARE(LogUnit::Current(), QString("1-1.4"));
            }
            QCOMPARE(LogUnit::Current(), QString("1-1.2"));
        }
        QCOMPARE(LogUnit::Current(), QString());
    }

    // Two units upgraded at once, the base of one (its job reconnects through the base's
    // restarts) and the display of the other: every line a job thread writes is the engine's or
    // the link's and carries its own unit, never the neighbour's; the launch's lines carry the
    // unit they were about; the test's thread is about no unit once the launches are done.
    void twoUnitsAtOnceEachLineItsOwn()
    {
        SimFamilyOptions first_options = FastFamily();
        first_options.location = QStringLiteral("1-1.1");
        SimFamilyOptions second_options = FastFamily();
        second_options.location = QStringLiteral("1-1.2");
        SimFamily first(first_options);
        SimFamily second(second_options);

        LineRecorder recorder;
        UpgradeServer base_server;
        UpgradeServer meter_server;
        LaunchJob base_job;
        LaunchJob meter_job;
        QVERIFY(Prepare(base_server, entries, "Base", first.Location(), base_job));
        QVERIFY(Prepare(meter_server, entries, "Meter", second.Location(), meter_job));
        QCOMPARE(base_job.unit.Text(), first.Location());
        QCOMPARE(meter_job.unit.Text(), second.Location());
        QCOMPARE(LogUnit::Current(), QString());

        // The launch's own lines, written in this thread, each about the unit it asked.
        const QList<Line> launch_lines = recorder.From(QThread::currentThread());
        QList<QPair<QString, QString>> hardware;  // unit, text
        for (const Line &line : launch_lines) {
            if (line.text.startsWith(QLatin1String("\nHardware Version: "))) {
                QCOMPARE(line.category, QString("upgrader.launch"));
                hardware << qMakePair(line.unit, line.text);
            }
        }
        QCOMPARE(hardware, (QList<QPair<QString, QString>>{
                               {first.Location(), "\nHardware Version: BASE-HW-A-REV-0003"},
                               {second.Location(), "\nHardware Version: METER-HW-A"}}));

        QList<JobEndReason> reasons;
        connect(&base_server, &UpgradeServer::JobEnded, this, [&](JobEndReason reason) { reasons << reason; });
        connect(&meter_server, &UpgradeServer::JobEnded, this, [&](JobEndReason reason) { reasons << reason; });
        QVERIFY(base_server.Start(base_job));
        QVERIFY(meter_server.Start(meter_job));
        QVERIFY(WaitUntil([&] { return !base_server.LinkBusy() && !meter_server.LinkBusy(); }, kJobMs));
        QCOMPARE(reasons, (QList<JobEndReason>{JobEndReason::Success, JobEndReason::Success}));

        const struct {
            const UpgradeServer *server;
            QString unit;
        } jobs[] = {{&base_server, first.Location()}, {&meter_server, second.Location()}};
        for (const auto &job : jobs) {
            const QList<Line> lines = recorder.From(job.server);
            QVERIFY2(StartsAnyWith(lines, "---Handshake OK!"), qPrintable(job.unit));
            QVERIFY2(StartsAnyWith(lines, "---Section addr: 0x"), qPrintable(job.unit));
            QVERIFY2(StartsAnyWith(lines, "Using firmware:  "), qPrintable(job.unit));  // before the port opens
            for (const Line &line : lines) {
                QVERIFY2(line.category == "upgrader.engine" || line.category == "upgrader.link", qPrintable(Describe(line)));
                QVERIFY2(line.unit == job.unit, qPrintable(job.unit + " wrote " + Describe(line)));
                // Warnings are failures: a job that went well has none to show among its lines.
                QVERIFY2(line.type != QtWarningMsg, qPrintable(job.unit + " warned " + Describe(line)));
            }
        }
        // The base's restarts were followed: its job closed and opened the link again.
        QVERIFY(StartsAnyWith(recorder.From(&base_server), "---Wait main MCU reconnect USB..."));
        // Nothing of these layers writes without a category.
        for (const Line &line : recorder.Lines()) {
            QVERIFY2((line.type != QtDebugMsg && line.type != QtInfoMsg) || line.category != "default",
                     qPrintable(Describe(line)));
        }
    }

    // The short exchanges of the window's thread speak about the unit they address while they
    // hold it, and only then: the port held by another program, and the manual switch refused
    // while a job holds the link.
    void windowThreadExchangesNameTheirUnit()
    {
        SimFamilyOptions options = OnPty(FastFamily());  // held by a QSerialPort, as another program would
        options.location = QStringLiteral("2-1");
        SimFamily family(options);
        UpgradeServer server;
        LineRecorder recorder;

        {
            QSerialPort holder(family.PortPath());
            QVERIFY(holder.open(QIODevice::ReadWrite));
            QString hw;
            server.Probe().QueryHwVersion(4, DeviceId::Display, hw, UnitKey::AtLocation(family.Location()));
            QVERIFY(hw.isEmpty());
        }
        QCOMPARE(LogUnit::Current(), QString());
        const QList<Line> busy = recorder.From(QThread::currentThread());
        QVERIFY(!busy.isEmpty());
        QCOMPARE(busy.first().text, QString::fromUtf8("---端口被占用"));
        for (const Line &line : busy) {
            QCOMPARE(line.category, QString("upgrader.link"));
            QCOMPARE(line.unit, family.Location());
            QCOMPARE(line.type, QtWarningMsg);  // a port that would not open is a failure, not a trace
        }

        LaunchJob job;
        QVERIFY(Prepare(server, entries, "Meter", family.Location(), job));
        QVERIFY(server.Start(job));
        const int before = recorder.From(QThread::currentThread()).size();
        QVERIFY(!server.Probe().BaseGoBoot(UnitKey::AtLocation(family.Location())));
        const QList<Line> refused = recorder.From(QThread::currentThread()).mid(before);
        QCOMPARE(refused.size(), 1);
        QCOMPARE(refused.first().text, QString("Main go boot: refused, an upgrade holds the port"));
        QCOMPARE(refused.first().category, QString("upgrader.engine"));
        QCOMPARE(refused.first().unit, family.Location());
        QCOMPARE(LogUnit::Current(), QString());
        QVERIFY(server.Stop());
        QVERIFY(WaitUntil([&] { return !server.LinkBusy(); }, kJobMs));
    }
};

QTEST_MAIN(TestLogUnits)
#include "tst_log_units.moc"
