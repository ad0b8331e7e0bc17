// upgrader-cli stopped in the middle of a transfer, by --timeout and by signals, as the Stop
// button stops a job: its exit code, and a second run that succeeds from where the devices were
// left. And a base that vanishes mid-transfer.
#include "cli_process.h"
#include "sim_process.h"
#include "wait_until.h"

#include <QtTest>

#include <csignal>

namespace {

constexpr int kStartMs = 15000;
constexpr int kJobMs = 120000;
constexpr int kEndMs = 30000;  // a stopped job ends after its current pass; the bound is generous

struct Run {
    int exit_code = -1;
    QStringList phases;
    QJsonObject result;
};

// The phases a stream went through, and its result.
Run Summary(CliProcess &cli)
{
    Run run;
    run.exit_code = cli.ExitCode();
    for (const QJsonObject &event : cli.Events()) {
        if (event.value("event") == "phase")
            run.phases << event.value("phase").toString();
        if (event.value("event") == "result")
            run.result = event;
    }
    return run;
}

}  // namespace

class TestCliStop : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY2(QFileInfo(qEnvironmentVariable("UPGRADER_CLI")).isExecutable(), "UPGRADER_CLI must name upgrader-cli");
        QVERIFY2(QFileInfo(qEnvironmentVariable("UPGRADER_SIM")).isExecutable(), "UPGRADER_SIM must name upgrader-sim");
    }

    void stoppedMidTransfer_data()
    {
        QTest::addColumn<QString>("target");
        QTest::addColumn<int>("device");
        QTest::addColumn<QString>("image");
        QTest::addColumn<double>("timeout_s");  // 0: a signal is sent once the transfer runs
        QTest::addColumn<int>("signal_number");
        QTest::addColumn<int>("exit_code");
        QTest::addColumn<QString>("result");
        QTest::addColumn<QString>("says");
        // The base's transfer (288 KiB) runs for seconds, its boot entry for well under one: four
        // seconds after the start the command is in the transfer even on a loaded machine.
        QTest::newRow("--timeout") << "Base" << 2 << "fw/base_a.bin" << 4.0 << 0 << 9 << "timeout"
                                   << "Stopped after 4 s (--timeout)";
        QTest::newRow("SIGTERM") << "Meter" << 4 << "fw/meter_2.bin" << 0.0 << int(SIGTERM) << 143 << "terminated"
                                 << "Stopped by SIGTERM";
        QTest::newRow("SIGINT") << "Motor" << 3 << "fw/motor_a.bin" << 0.0 << int(SIGINT) << 130 << "interrupted"
                                << "Stopped by SIGINT";
        // The terminal the command ran in was closed.
        QTest::newRow("SIGHUP") << "Pedals" << 5 << "fw/pedals_a.bin" << 0.0 << int(SIGHUP) << 129 << "hangup"
                                << "Stopped by SIGHUP (the terminal was closed)";
    }

    void stoppedMidTransfer()
    {
        QFETCH(QString, target);
        QFETCH(int, device);
        QFETCH(QString, image);
        QFETCH(double, timeout_s);
        QFETCH(int, signal_number);
        QFETCH(int, exit_code);
        QFETCH(QString, result);
        QFETCH(QString, says);
        SimProcess sim;
        QVERIFY(sim.StartAndWait({"--fast"}, 2, kStartMs));
        QStringList arguments{"upgrade", target, "--config", sim.Config(), "--json"};
        if (timeout_s > 0)
            arguments << "--timeout" << QString::number(timeout_s);

        CliProcess stopped(sim.Catalog(), arguments);
        if (signal_number) {
            QVERIFY2(WaitUntil([&] { return stopped.InTransfer(); }, kJobMs), qPrintable(stopped.out + stopped.err));
            QCOMPARE(::kill(pid_t(stopped.process.processId()), signal_number), 0);
        }
        QVERIFY(stopped.Finish(kJobMs));
        const Run first = Summary(stopped);
        QCOMPARE(first.exit_code, exit_code);
        QCOMPARE(first.phases, (QStringList{"entering boot", "transfer"}));  // stopped before the final verify
        QCOMPARE(first.result.value("result").toString(), result);
        QCOMPARE(first.result.value("exit_code").toInt(), exit_code);
        QCOMPARE(first.result.value("message").toString(), QString("Update failed!"));
        QCOMPARE(first.result.value("error").toString(), says);

        // The devices were left in their bootloaders, half-way through the image: a second run
        // takes them from there.
        CliProcess second(sim.Catalog(), {"upgrade", target, "--config", sim.Config(), "--json"});
        QVERIFY(second.Finish(kJobMs));
        const Run again = Summary(second);
        QVERIFY2(again.exit_code == 0, qPrintable(second.out + second.err));
        QCOMPARE(again.result.value("result").toString(), QString("success"));
        QCOMPARE(FlashMismatch(sim, "sim-1-4", device, QDir(sim.work_path).filePath(image)), QString());
    }

    // The base's port vanishes mid-transfer (its simulator dies): the job ends on its own, with the
    // engine's text, and the command says the port was lost.
    void portLostMidTransfer()
    {
        SimProcess sim;
        QVERIFY(sim.StartAndWait({"--fast"}, 2, kStartMs));
        CliProcess cli(sim.Catalog(), {"upgrade", "Meter", "--config", sim.Config(), "--json"});
        QVERIFY2(WaitUntil([&] { return cli.InTransfer(); }, kJobMs), qPrintable(cli.out + cli.err));
        sim.process.kill();
        QVERIFY(sim.process.waitForFinished(kEndMs));
        QVERIFY(cli.Finish(kEndMs));
        const Run run = Summary(cli);
        QCOMPARE(run.exit_code, 7);
        QCOMPARE(run.result.value("result").toString(), QString("port"));
        QVERIFY2(run.result.value("error").toString().contains("USB connection lost!"), qPrintable(cli.out));
    }
};

QTEST_GUILESS_MAIN(TestCliStop)
#include "tst_cli_stop.moc"
