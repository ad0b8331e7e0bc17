// The soak of upgrader-bench: its judge of a reported success, its launch of one job with an
// interruption, its count of what the process holds, and a short soak of the program itself,
// which passes only when no success was false, no job hung and every unit came back.
#include "debug_capture.h"
#include "fast_family.h"
#include "process_usage.h"
#include "sample_firmware.h"
#include "scoped_fixtures.h"
#include "sim_family.h"
#include "soak_job.h"
#include "soak_judge.h"
#include "soak_workspace.h"
#include "upgrade_server.h"
#include "waits.h"

#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace {

constexpr int kBaseId = 2;
constexpr int kMotorId = 3;

// Short enough that a test does not wait long on a device that will never get there.
constexpr int kShortGraceMs = 100;

SimFamilyOptions Unit(const QString &location)
{
    SimFamilyOptions options = FastFamily();
    options.location = location;
    return options;
}

SoakBounds Bounds()
{
    SoakBounds bounds;
    bounds.deadline_ms = 120000;
    bounds.stop_grace_ms = 30000;
    bounds.replug_gap_ms = 300;
    return bounds;
}

int IndexOf(const QList<SoakTarget> &targets, const QString &name)
{
    for (int i = 0; i < targets.size(); ++i) {
        if (targets[i].name == name)
            return i;
    }
    return -1;
}

// The figures of the bench's output, by name.
QMap<QString, QString> Figures(const QByteArray &out)
{
    QMap<QString, QString> figures;
    const QRegularExpression line(QStringLiteral("^(\\w+): (\\S+)$"));
    for (const QByteArray &text : out.split('\n')) {
        const QRegularExpressionMatch match = line.match(QString::fromUtf8(text));
        if (match.hasMatch())
            figures.insert(match.captured(1), match.captured(2));
    }
    return figures;
}

}  // namespace

class TestBenchSoak : public QObject {
    Q_OBJECT

    std::optional<ScopedSimCatalog> catalog;
    std::optional<ScopedWaitScale> waits;
    std::optional<DebugCapture> engine_lines;  // keeps the engine's console out of the test log
    QTemporaryDir dir;
    SoakWorkspace workspace;

private slots:
    void initTestCase()
    {
        catalog.emplace();
        waits.emplace(kTestWaitScale);
        engine_lines.emplace();
        QVERIFY(dir.isValid());
        QString error;
        const SimFamilyOptions standard = Unit(QString());
        QVERIFY2(workspace.Write(dir.path(), standard.devices, standard.product_id, &error), qPrintable(error));
    }

    void cleanupTestCase()
    {
        engine_lines.reset();
        waits.reset();
        catalog.reset();
    }

    // Every target of the standard family, its two images different, device 5 under both its names.
    void workspaceCoversTheFamily()
    {
        QStringList names;
        for (const SoakTarget &target : workspace.Targets()) {
            names << target.name;
            QVERIFY(QFile::exists(target.images[0]) && QFile::exists(target.images[1]));
            QVERIFY(target.segments[0].first().bytes != target.segments[1].first().bytes);
        }
        names.sort();
        QCOMPARE(names, QStringList({"Base", "Meter", "Motor", "Pedals", "Steering"}));
        const int meter = IndexOf(workspace.Targets(), "Meter");
        const FirmwareEntries entries = workspace.Entries(meter, 1);
        QCOMPARE(entries.value("Meter").series.first().path, workspace.Targets()[meter].images[1]);
        QCOMPARE(entries.value("Base").series.first().path, workspace.Targets()[0].images[0]);
        QCOMPARE(entries.value("Steering").dev_id, 5);
        QCOMPARE(entries.value("Meter").series.first().hw_ver, QStringLiteral("METER-HW-A"));
    }

    // The judge must see each way a unit can be left wrong, each on its own.
    void judgeNamesWhatIsWrong_data()
    {
        QTest::addColumn<int>("boot_device");  // started in its bootloader; 0: none
        QTest::addColumn<bool>("unplugged");
        QTest::addColumn<QString>("problem");
        QTest::addRow("flash empty") << 0 << false << "flash: device 4 differs at 0xc0230000";
        QTest::addRow("base in its bootloader") << kBaseId << false << "the base is in its bootloader";
        QTest::addRow("motor in its bootloader") << kMotorId << false << "device 3 is in its bootloader";
        QTest::addRow("base off USB") << 0 << true << "the base is not on USB";
    }

    void judgeNamesWhatIsWrong()
    {
        QFETCH(int, boot_device);
        QFETCH(bool, unplugged);
        QFETCH(QString, problem);
        SimFamilyOptions options = Unit("judge");
        for (SimDeviceSpec &device : options.devices) {
            if (device.id == boot_device)
                device.mode = SimMode::Boot;
        }
        SimFamily family(options);
        if (unplugged)
            family.Unplug();
        const SoakTarget &meter = workspace.Targets()[IndexOf(workspace.Targets(), "Meter")];
        const QStringList problems = SuccessProblems(family, meter.dev_id, meter.segments[0], kShortGraceMs);
        QVERIFY2(problems.contains(problem), qPrintable(problems.join('\n')));
        // The flash is wrong in every row (nothing was written); nothing else is said wrongly.
        QCOMPARE(problems.size(), problem.startsWith("flash") ? 1 : 2);
    }

    // A plain upgrade through the launch, as the command runs it, holds in the judge; and only
    // the image the table named is in flash.
    void plainJobIsJudgedTrue_data()
    {
        QTest::addColumn<QString>("target");
        QTest::addRow("base") << "Base";
        QTest::addRow("meter") << "Meter";
    }

    void plainJobIsJudgedTrue()
    {
        QFETCH(QString, target);
        SimFamily unit(Unit("plain"));
        SimFamily beside(Unit("beside"));
        UpgradeServer server;
        const int t = IndexOf(workspace.Targets(), target);
        const SoakTarget &soak_target = workspace.Targets()[t];
        const SoakJobResult result = RunSoakJob(server, unit, workspace.Entries(t, 1), target, Interruption(), Bounds());
        QVERIFY(!result.refused);
        QVERIFY(!result.link_busy);
        QVERIFY(result.ended);
        QCOMPARE(JobEndName(result.reason), JobEndName(JobEndReason::Success));
        QVERIFY(!server.isRunning());  // the job's thread is gone when the job is over
        const QStringList problems = SuccessProblems(unit, soak_target.dev_id, soak_target.segments[1], 3000);
        QVERIFY2(problems.isEmpty(), qPrintable(problems.join('\n')));
        QVERIFY(!FlashHolds(unit, soak_target.dev_id, soak_target.segments[0]));
        // The job kept to its unit's location: the unit beside heard nothing.
        QCOMPARE(beside.HostChunks().size(), 0);
        QVERIFY(unit.HostChunks().size() > 0);
    }

    // An interrupted job ends and is no success; the soak puts a pulled cable back.
    void interruptedJobEnds_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addRow("stop") << int(Interruption::Kind::Stop);
        QTest::addRow("unplug and plug") << int(Interruption::Kind::UnplugAndPlug);
        QTest::addRow("unplug") << int(Interruption::Kind::Unplug);
    }

    void interruptedJobEnds()
    {
        QFETCH(int, kind);
        SimFamily unit(Unit("interrupted"));
        UpgradeServer server;
        const int t = IndexOf(workspace.Targets(), "Base");
        Interruption interruption;
        interruption.kind = Interruption::Kind(kind);
        // Early in the boot entry: the base restarts only after a second of the sequence's waits.
        interruption.after_ms = 10;
        interruption.plugged_for_ms = 50;
        const QString first_port = unit.PortPath();
        const SoakJobResult result = RunSoakJob(server, unit, workspace.Entries(t, 0), "Base", interruption, Bounds());
        QVERIFY(!result.refused);
        QVERIFY(result.ended);
        QVERIFY2(result.reason != JobEndReason::Success, JobEndName(result.reason));
        if (interruption.kind == Interruption::Kind::Stop)
            QCOMPARE(JobEndName(result.reason), JobEndName(JobEndReason::Stopped));
        else
            QVERIFY(unit.PortPath() != first_port);  // the cable was out: the port came back anew
        QVERIFY(unit.IsPlugged());
    }

    // What the process holds is counted as it changes.
    void processUsageCounts()
    {
#ifndef Q_OS_LINUX
        QSKIP("open files, threads and the heap are counted on Linux only");
#endif
        // AddressSanitizer's allocator keeps its blocks out of glibc's statistics.
#if defined(__SANITIZE_ADDRESS__)
        constexpr bool heap_counted = false;
#else
        constexpr bool heap_counted = true;
#endif
        const ProcessUsage before = ProcessUsage::Now();
        QVERIFY(before.open_files > 0 && before.threads > 0 && (before.heap_bytes > 0 || !heap_counted));
        std::vector<std::unique_ptr<QFile>> files;
        for (int i = 0; i < 3; ++i) {
            files.push_back(std::make_unique<QFile>(dir.filePath(QStringLiteral("held%1").arg(i))));
            QVERIFY(files.back()->open(QIODevice::WriteOnly));
        }
        std::vector<char> block(4 << 20, 'x');  // four MiB, handed out and written
        bool release = false;
        std::mutex lock;
        std::condition_variable changed;
        std::thread extra([&] {
            std::unique_lock<std::mutex> hold(lock);
            changed.wait(hold, [&] { return release; });
        });
        const ProcessUsage during = ProcessUsage::Now();
        {
            std::lock_guard<std::mutex> hold(lock);
            release = true;
        }
        changed.notify_all();
        extra.join();
        QCOMPARE(during.open_files - before.open_files, 3);
        QCOMPARE(during.threads - before.threads, 1);
        if (heap_counted)
            QVERIFY2(during.heap_bytes - before.heap_bytes >= qint64(block.size()),
                     qPrintable(QString::number(during.heap_bytes - before.heap_bytes)));
        files.clear();
        QCOMPARE(ProcessUsage::Now().open_files, before.open_files);
    }

    // The program's short soak: every figure printed, every job accounted for, and nothing
    // against the engine.
    void shortSoakIsClean()
    {
        const QString bench = qEnvironmentVariable("UPGRADER_BENCH");
        QVERIFY2(QFileInfo(bench).isExecutable(), "UPGRADER_BENCH must name the program");
        constexpr int kJobs = 10;
        QProcess process;
        process.start(bench, {"--soak", QString::number(kJobs), "--seed", "1"});
        QVERIFY(process.waitForFinished(840000));
        const QByteArray out = process.readAllStandardOutput();
        const QByteArray err = process.readAllStandardError();
        const QMap<QString, QString> figures = Figures(out);
        for (const char *name : {"soak_jobs", "soak_false_successes", "soak_hangs", "soak_unrecovered",
                                 "soak_wrong_unit", "soak_recoveries", "soak_refused", "soak_end_success",
                                 "soak_fd_growth", "soak_thread_growth", "soak_heap_growth_kib"})
            QVERIFY2(figures.contains(name), name);
        QCOMPARE(figures.value("soak_jobs").toInt(), kJobs);
        QCOMPARE(err.count("\nsoak ") + int(err.startsWith("soak ")), kJobs);  // a line per job
        // Every launch either was refused, hung, or ended with one reason.
        int ends = 0;
        for (auto it = figures.cbegin(); it != figures.cend(); ++it) {
            if (it.key().startsWith("soak_end_"))
                ends += it.value().toInt();
        }
        // A hung launch has an end only when the stop ended it.
        const int launches = kJobs + figures.value("soak_recoveries").toInt();
        const int accounted = ends + figures.value("soak_refused").toInt();
        QVERIFY2(accounted <= launches && accounted + figures.value("soak_hangs").toInt() >= launches,
                 qPrintable(QString::fromUtf8(out)));
        // On failure: the jobs that counted against the engine, each with its seed and moment.
        QByteArray report = "\n";
        for (const QByteArray &line : err.split('\n')) {
            if (line.startsWith("soak ") && (line.contains("FALSE") || line.contains("HANG") || line.contains("UNRECOVERED")))
                report += line + '\n';
        }
        QVERIFY2(figures.value("soak_false_successes") == "0", report.constData());
        QVERIFY2(figures.value("soak_hangs") == "0", report.constData());
        QVERIFY2(figures.value("soak_unrecovered") == "0", report.constData());
        QVERIFY2(figures.value("soak_wrong_unit") == "0", report.constData());
        QCOMPARE(process.exitCode(), 0);
    }
};

QTEST_GUILESS_MAIN(TestBenchSoak)
#include "tst_bench_soak.moc"
