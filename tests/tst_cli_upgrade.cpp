// upgrader-cli upgrading every target the window can launch, each against an upgrader-sim process
// of its own: the exit code, the JSON stream from start to result, and the device's flash.
#include "cli_process.h"
#include "sim_process.h"
#include "wait_until.h"

#include <QCryptographicHash>
#include <QJsonDocument>
#include <QtTest>

#include <memory>
#include <vector>

namespace {

constexpr int kStartMs = 15000;
// The slowest job (the steering wheel's 64 KiB over the slow bus) takes some 25 s alone; several
// run side by side on a loaded machine.
constexpr int kJobMs = 180000;

struct Target {
    const char *name;
    const char *location;  // of its base in the simulator
    int device;
    const char *image;     // the variant the simulated device reports
    const char *other;     // the configuration's other variant
};

// Base and Steering sit behind different bases of one simulator, so they run side by side there;
// every other target has a simulator of its own.
const Target kTargets[] = {
    {"Base", "sim-1-4", 2, "fw/base_a.bin", "fw/base_b.bin"},
    {"Steering", "sim-1-5", 5, "fw/steer_b.bin", "fw/steer_a.bin"},
    {"Motor", "sim-1-4", 3, "fw/motor_a.bin", "fw/motor_b.bin"},
    {"Meter", "sim-1-4", 4, "fw/meter_2.bin", "fw/meter_1.bin"},
    {"Pedals", "sim-1-4", 5, "fw/pedals_a.bin", "fw/pedals_b.bin"},
};

QString Sha256(const QString &path)
{
    QFile file(path);
    file.open(QIODevice::ReadOnly);
    return QString::fromLatin1(QCryptographicHash::hash(file.readAll(), QCryptographicHash::Sha256).toHex());
}

// What every successful run must show: a stream of JSON objects, each with its time, target and
// port, that starts with the job's image and ends in a success, through the four phases in order
// with the transfer reaching its end.
void CheckSuccessfulStream(CliProcess &cli, const QString &target, const QString &image)
{
    const QString context = target + ":\n" + cli.out + cli.err;
    QVERIFY2(cli.ExitCode() == 0, qPrintable(context));
    const QList<QJsonObject> events = cli.Events();
    QVERIFY2(events.size() > 4, qPrintable(context));
    QStringList phases;
    double transfer_percent = -1;
    for (const QJsonObject &event : events) {
        QVERIFY2(!event.contains("unparsed"), qPrintable(context));
        QCOMPARE(event.value("target").toString(), target);
        QVERIFY2(event.value("port").toString().startsWith("/dev/"), qPrintable(context));
        QVERIFY(QDateTime::fromString(event.value("time").toString(), Qt::ISODateWithMs).isValid());
        if (event.value("event") == "phase")
            phases << event.value("phase").toString();
        if (event.value("event") == "progress" && event.value("phase") == "transfer")
            transfer_percent = event.value("percent").toDouble();
    }
    QCOMPARE(phases, (QStringList{"entering boot", "transfer", "final verify", "returning to application"}));
    QCOMPARE(transfer_percent, 100.0);
    // The job's image comes before any phase (with --verbose, the launch's debug lines before it).
    QJsonObject start;
    for (const QJsonObject &event : events) {
        if (event.value("event") == "start" || event.value("event") == "phase") {
            start = event;
            break;
        }
    }
    QCOMPARE(start.value("event").toString(), QString("start"));
    QCOMPARE(start.value("image").toString(), image);
    const QJsonObject result = events.last();
    QCOMPARE(result.value("event").toString(), QString("result"));
    QCOMPARE(result.value("result").toString(), QString("success"));
    QCOMPARE(result.value("exit_code").toInt(), 0);
    QCOMPARE(result.value("error").toString(), QString());
    QCOMPARE(result.value("message").toString(), QString("Update success"));
    QCOMPARE(result.value("image_sha256").toString(), Sha256(image));
    QVERIFY(result.value("duration_s").toDouble() > 0);
}

}  // namespace

class TestCliUpgrade : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY2(QFileInfo(qEnvironmentVariable("UPGRADER_CLI")).isExecutable(), "UPGRADER_CLI must name upgrader-cli");
        QVERIFY2(QFileInfo(qEnvironmentVariable("UPGRADER_SIM")).isExecutable(), "UPGRADER_SIM must name upgrader-sim");
    }

    // Every target, with the configuration the simulator wrote (its image paths relative to its
    // folder, while the command runs elsewhere).
    void upgradesEveryTarget()
    {
        std::vector<std::unique_ptr<SimProcess>> sims;
        for (int i = 0; i < 4; ++i) {
            sims.push_back(std::make_unique<SimProcess>());
            sims.back()->Start({"--fast"});
        }
        QVERIFY(WaitUntil([&] {
            for (const auto &sim : sims) {
                if (sim->Ports().size() != 2)
                    return false;
            }
            return true;
        }, kStartMs));
        auto sim_of = [&](int i) -> SimProcess & { return *sims[std::max(0, i - 1)]; };

        std::vector<std::unique_ptr<CliProcess>> runs;
        for (int i = 0; i < int(std::size(kTargets)); ++i)
            runs.push_back(std::make_unique<CliProcess>(
                sim_of(i).Catalog(), QStringList{"upgrade", kTargets[i].name, "--config", sim_of(i).Config(), "--json"}));
        for (int i = 0; i < int(std::size(kTargets)); ++i) {
            QVERIFY2(runs[i]->Finish(kJobMs), kTargets[i].name);
            const QString image = QDir(sim_of(i).work_path).filePath(kTargets[i].image);
            CheckSuccessfulStream(*runs[i], kTargets[i].name, image);
            if (QTest::currentTestFailed())
                return;
        }
        // Each device holds its variant's image, and not the other variant's: the check tells
        // images apart.
        for (int i = 0; i < int(std::size(kTargets)); ++i) {
            const Target &t = kTargets[i];
            const QString mismatch =
                FlashMismatch(sim_of(i), t.location, t.device, QDir(sim_of(i).work_path).filePath(t.image));
            QVERIFY2(mismatch.isEmpty(), qPrintable(QStringLiteral("%1: %2").arg(t.name, mismatch)));
        }
        const Target &meter = kTargets[3];
        QVERIFY(!FlashMismatch(sim_of(3), meter.location, meter.device, QDir(sim_of(3).work_path).filePath(meter.other))
                     .isEmpty());
    }

    // With 2 % of the data frames lost the transfer recovers, and the flash holds the image.
    void succeedsUnderFrameLoss()
    {
        SimProcess sim;
        QVERIFY(sim.StartAndWait({"--fast", "--loss", "0.02", "--seed", "7"}, 2, kStartMs));
        CliProcess cli(sim.Catalog(), {"upgrade", "Meter", "--config", sim.Config(), "--json", "--verbose"});
        QVERIFY(cli.Finish(kJobMs));
        const QString image = QDir(sim.work_path).filePath("fw/meter_2.bin");
        CheckSuccessfulStream(cli, "Meter", image);
        // The losses happened and were recovered from: the engine's debug lines (--verbose) tell.
        int recoveries = 0;
        for (const QJsonObject &line : cli.Events("debug"))
            recoveries += line.value("text").toString().contains("loss", Qt::CaseInsensitive);
        QVERIFY2(recoveries > 0, qPrintable(cli.out.right(3000)));
        QCOMPARE(FlashMismatch(sim, "sim-1-4", 4, image), QString());
    }
};

QTEST_GUILESS_MAIN(TestCliUpgrade)
#include "tst_cli_upgrade.moc"
