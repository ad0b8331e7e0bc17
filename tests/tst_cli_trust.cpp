// What a production line takes the command's word for, through the real programs: identical
// units are never taken at random, a device that keeps the job busy does not keep it for ever,
// and a unit left behind by a stopped or cut-off job is upgraded by the next plain command.
#include "cli_process.h"
#include "sim_process.h"
#include "wait_until.h"

#include <QFile>
#include <QJsonObject>
#include <QSerialPort>
#include <QtTest>

namespace {

constexpr int kStartMs = 15000;
constexpr int kJobMs = 120000;

// The mode the simulated base at a location reports, asked on its current path; 0 when it does
// not answer (or is off USB).
int BaseMode(SimProcess &sim, const QString &location)
{
    QString path;
    if (!WaitUntil([&] { return !(path = sim.PortAt(location)).isEmpty(); }, kStartMs))
        return 0;
    QSerialPort port(path);
    if (!port.open(QIODevice::ReadWrite))
        return 0;
    const std::optional<Frame> mode = AskDevice(port, DeviceRequest(0x02, 2, QByteArray(1, 0)));
    return mode ? mode->payload[0] : 0;
}

constexpr int kModeApp = 2;

QString Said(const CliProcess &cli)
{
    return cli.out + cli.err;
}

}  // namespace

class TestCliTrust : public QObject {
    Q_OBJECT

private slots:
    // Three units of one model: without --port the command cannot know which one is meant.
    void identicalUnitsNeedAPort()
    {
        SimProcess sim;
        QVERIFY2(sim.StartAndWait({"--fast", "--bases", "3"}, 6, kStartMs), qPrintable(sim.Output()));
        {
            CliProcess cli(sim.Catalog(), {"upgrade", "Meter", "--config", sim.Config()});
            QVERIFY(cli.Finish(kJobMs));
            QVERIFY2(cli.ExitCode() == 4, qPrintable(Said(cli)));
            QVERIFY2(cli.err.contains("Meter is on 3 units (sim-1-4, sim-2-4, sim-3-4): choose one with --port "
                                      "LOCATION, or upgrade every one with --all"),
                     qPrintable(Said(cli)));
        }
        CliProcess cli(sim.Catalog(), {"upgrade", "Meter", "--port", "sim-2-4", "--config", sim.Config()});
        QVERIFY(cli.Finish(kJobMs));
        QVERIFY2(cli.ExitCode() == 0, qPrintable(Said(cli)));
        QVERIFY2(FlashMismatch(sim, "sim-2-4", 4, sim.work_path + "/fw/meter_2.bin").isEmpty(), "unit 2 holds the image");
        QVERIFY(!FlashMismatch(sim, "sim-1-4", 4, sim.work_path + "/fw/meter_2.bin").isEmpty());
    }

    // The image is judged before any device leaves its application: an image without sections
    // and a sealed image with one byte changed are refused (exit 6) and the base never restarts;
    // an image made elsewhere (no seal) with a changed byte is sent, fails the device's check, and
    // the job ends by itself with the base back in its application.
    void imageJudgedBeforeTheDevices_data()
    {
        QTest::addColumn<QString>("damage");
        QTest::addColumn<int>("exit_code");
        QTest::addColumn<QString>("error");
        QTest::newRow("no section") << "no sections" << 6 << "no section";
        QTest::newRow("sealed, one byte changed") << "flip" << 6 << "seal";
        QTest::newRow("unsealed, one byte changed") << "flip unsealed" << 8 << "buffer check";
    }

    void imageJudgedBeforeTheDevices()
    {
        QFETCH(QString, damage);
        QFETCH(int, exit_code);
        QFETCH(QString, error);
        SimProcess sim;
        QVERIFY2(sim.StartAndWait({"--fast"}, 2, kStartMs), qPrintable(sim.Output()));
        QFile image(sim.work_path + "/fw/meter_2.bin");
        QVERIFY(image.open(QIODevice::ReadOnly));
        QByteArray bytes = image.readAll();
        image.close();
        QVERIFY(bytes.size() > 600);
        if (damage == "no sections") {
            // The header alone, as an image made elsewhere (ours carry a seal over their sections).
            bytes = bytes.left(128);
            bytes.replace(124, 4, QByteArray(4, '\0'));
            bytes.replace(12, 44, QByteArray(44, '\0'));
        } else {
            bytes[500] = char(bytes[500] ^ 0x55);
            if (damage == "flip unsealed")
                bytes.replace(12, 44, QByteArray(44, '\0'));  // as an image made elsewhere
        }
        QVERIFY(image.open(QIODevice::WriteOnly | QIODevice::Truncate));
        image.write(bytes);
        image.close();
        const QString base_before = sim.PortAt("sim-1-4");

        CliProcess cli(sim.Catalog(), {"upgrade", "Meter", "--json", "--config", sim.Config()});
        QVERIFY2(cli.Finish(kJobMs), "the job ends by itself");
        const QJsonObject result = cli.Events("result").value(0);
        QVERIFY2(cli.ExitCode() == exit_code, qPrintable(Said(cli)));
        const QString said = result.value("error").toString() + result.value("message").toString() +
                             cli.Events("refusal").value(0).value("text").toString();
        QVERIFY2(said.contains(error, Qt::CaseInsensitive), qPrintable(Said(cli)));
        if (exit_code == 6)
            QCOMPARE(sim.PortAt("sim-1-4"), base_before);  // never restarted: never left its application
        QCOMPARE(BaseMode(sim, "sim-1-4"), kModeApp);
    }

    // A flash that answers "busy" for ten minutes: the job gives up by itself, says why, and
    // leaves the base in its application.
    void busyWithoutEndEndsTheJob()
    {
        SimProcess sim;
        QVERIFY2(sim.StartAndWait({"--fast", "--busy-flash", "600000"}, 2, kStartMs), qPrintable(sim.Output()));
        CliProcess cli(sim.Catalog(), {"upgrade", "Meter", "--json", "--config", sim.Config()});
        QVERIFY2(cli.Finish(kJobMs), "the job ends by itself");
        const QJsonObject result = cli.Events("result").value(0);
        QCOMPARE(cli.ExitCode(), 8);
        QCOMPARE(result.value("result").toString(), QString("failed"));
        QVERIFY2(result.value("error").toString().contains("was not flashed within"), qPrintable(Said(cli)));
        QCOMPARE(BaseMode(sim, "sim-1-4"), kModeApp);
    }

    // Stopped by --timeout in the middle of the transfer: the base is back in its application
    // at once, and the next plain upgrades, of that target and of another, succeed.
    void stoppedUnitTakesThePlainUpgrade()
    {
        SimProcess sim;
        QVERIFY2(sim.StartAndWait({"--fast"}, 2, kStartMs), qPrintable(sim.Output()));
        {
            CliProcess cli(sim.Catalog(), {"upgrade", "Pedals", "--timeout", "3", "--config", sim.Config()});
            QVERIFY(cli.Finish(kJobMs));
            QVERIFY2(cli.ExitCode() == 9, qPrintable(Said(cli)));
        }
        QCOMPARE(BaseMode(sim, "sim-1-4"), kModeApp);
        for (const char *target : {"Pedals", "Meter"}) {
            CliProcess cli(sim.Catalog(), {"upgrade", target, "--config", sim.Config()});
            QVERIFY(cli.Finish(kJobMs));
            QVERIFY2(cli.ExitCode() == 0, qPrintable(QString(target) + ": " + Said(cli)));
            QCOMPARE(BaseMode(sim, "sim-1-4"), kModeApp);
        }
    }

    // The unit's power cut at a point of the display's job: whatever that job said, the next
    // plain upgrade succeeds with the base back in its application.
    void cutOffUnitTakesThePlainUpgrade_data()
    {
        QTest::addColumn<QString>("point");
        for (const char *point : {"boot-entry", "early-data", "late-data", "verify"})
            QTest::newRow(point) << point;
    }

    void cutOffUnitTakesThePlainUpgrade()
    {
        QFETCH(QString, point);
        SimProcess sim;
        QVERIFY2(sim.StartAndWait({"--fast", "--power-cut", "1:" + point}, 2, kStartMs), qPrintable(sim.Output()));
        {
            CliProcess cli(sim.Catalog(), {"upgrade", "Meter", "--config", sim.Config()});
            QVERIFY2(cli.Finish(kJobMs), "the cut-off job ends by itself");
            QVERIFY2(WaitUntil([&] { return sim.Output().contains("power cut at " + point); }, kStartMs),
                     qPrintable(sim.Output()));
            if (cli.ExitCode() == 0)  // only when the unit holds the image and is back in use
                QVERIFY(FlashMismatch(sim, "sim-1-4", 4, sim.work_path + "/fw/meter_2.bin").isEmpty());
        }
        QVERIFY(WaitUntil([&] { return !sim.PortAt("sim-1-4").isEmpty(); }, kStartMs));
        CliProcess cli(sim.Catalog(), {"upgrade", "Meter", "--config", sim.Config()});
        QVERIFY(cli.Finish(kJobMs));
        QVERIFY2(cli.ExitCode() == 0, qPrintable(Said(cli)));
        QCOMPARE(BaseMode(sim, "sim-1-4"), kModeApp);
        QVERIFY(FlashMismatch(sim, "sim-1-4", 4, sim.work_path + "/fw/meter_2.bin").isEmpty());
    }
};

QTEST_MAIN(TestCliTrust)
#include "tst_cli_trust.moc"
