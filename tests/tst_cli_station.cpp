// upgrader-cli on a station with several bases attached (upgrader-sim --bases N): every base
// upgraded at once with --all, each job held to its own base; a job kept to one base by --port
// while another base of the same product id is attached; a base that never comes back failing
// alone; every job stopped by --timeout; and a --port that names no device.
#include "cli_process.h"
#include "port_catalog_file.h"
#include "sim_process.h"
#include "wait_until.h"

#include <QJsonArray>
#include <QRegularExpression>
#include <QSerialPort>
#include <QtTest>

#include <algorithm>

namespace {

constexpr int kStartMs = 15000;
constexpr int kCommandMs = 30000;
// Four display upgrades side by side on a loaded machine.
constexpr int kJobMs = 180000;
// The reconnect test rewrites the command's catalog from the simulator's between two looks; a
// longer wait for a returning base leaves that copy time on a loaded machine.
constexpr double kReconnectWaitScale = 0.2;

QString Location(int unit)
{
    return QStringLiteral("sim-%1-4").arg(unit);  // the base with the display behind it
}

// The simulator's ports as a hub may enumerate them: the other unit's base of the same product
// id always after ours, even once ours has come back from a restart. A job that took "the last
// port with the product id" would then open the other unit's base.
struct OtherBaseLastCatalog {
    const SimProcess &sim;
    QString last;  // the location enumerated last
    QTemporaryDir dir;
    mutable QMap<QString, QSet<QString>> names;  // every port name seen at each location

    QString Path() const { return dir.filePath("ports.json"); }
    void Update() const
    {
        QList<PortInfo> ports = sim.Ports();
        for (const PortInfo &port : ports)
            names[port.location].insert(port.name);
        std::stable_partition(ports.begin(), ports.end(), [&](const PortInfo &port) { return port.location != last; });
        QString error;
        PortCatalogFile::Write(Path(), ports, sim.process.processId(), &error);
    }
    // Runs a command to its end with this catalog kept current.
    bool Run(CliProcess &cli, int timeout_ms) const
    {
        WaitUntil([&] {
            Update();
            return cli.process.state() == QProcess::NotRunning;
        }, timeout_ms);
        return cli.Finish(0);
    }
};

// What a failed run said, short enough for a test's message: its output without the progress
// events, then its standard error, each ending where the run ended.
QString Said(const CliProcess &cli)
{
    QStringList lines;
    for (const QString &line : cli.out.split('\n')) {
        if (!line.contains(QLatin1String("\"event\":\"progress\"")))
            lines << line;
    }
    return lines.join('\n').right(1200) + QStringLiteral("\n--- stderr:\n") + cli.err.right(600);
}

QJsonObject Last(CliProcess &cli, const QString &kind)
{
    const QList<QJsonObject> events = cli.Events(kind);
    return events.isEmpty() ? QJsonObject() : events.last();
}

}  // namespace

class TestCliStation : public QObject {
    Q_OBJECT

    SimProcess idle;  // a station of two units for the refusals, which change nothing

private slots:
    void initTestCase()
    {
        QVERIFY2(QFileInfo(qEnvironmentVariable("UPGRADER_CLI")).isExecutable(), "UPGRADER_CLI must name upgrader-cli");
        QVERIFY2(QFileInfo(qEnvironmentVariable("UPGRADER_SIM")).isExecutable(), "UPGRADER_SIM must name upgrader-sim");
        QVERIFY(idle.StartAndWait({"--fast", "--bases", "2"}, 4, kStartMs));
    }

    // Every unit's display upgraded at once, one unit's reporting the configuration's other
    // variant: each event names its base, each base ends in success, and each display holds the
    // image of its own variant, not its neighbour's.
    void allUpgradesEveryBase_data()
    {
        QTest::addColumn<int>("units");
        QTest::addColumn<int>("other_variant_unit");
        QTest::newRow("two units") << 2 << 2;
        QTest::newRow("four units") << 4 << 3;
    }

    void allUpgradesEveryBase()
    {
        QFETCH(int, units);
        QFETCH(int, other_variant_unit);
        SimProcess sim;
        QVERIFY(sim.StartAndWait({"--fast", "--bases", QString::number(units), "--other-variant",
                                  QStringLiteral("%1:Meter").arg(other_variant_unit)},
                                 2 * units, kStartMs));
        CliProcess cli(sim.Catalog(), {"upgrade", "Meter", "--all", "--config", sim.Config(), "--json"});
        QVERIFY(cli.Finish(kJobMs));
        const QString context = cli.out.right(4000) + cli.err;
        QVERIFY2(cli.ExitCode() == 0, qPrintable(context));

        auto image_of = [&](int unit) {
            return QDir(sim.work_path).filePath(unit == other_variant_unit ? "fw/meter_1.bin" : "fw/meter_2.bin");
        };
        QMap<QString, QStringList> phases;
        QMap<QString, QString> results;
        QMap<QString, QString> images;
        const QList<QJsonObject> events = cli.Events();
        for (const QJsonObject &event : events) {
            QVERIFY2(!event.contains("unparsed"), qPrintable(context));
            QCOMPARE(event.value("target").toString(), QString("Meter"));
            const QString kind = event.value("event").toString();
            const QString location = event.value("location").toString();
            if (kind == "summary")
                continue;
            QVERIFY2(location.startsWith("sim-") && location.endsWith("-4"), qPrintable(context));
            QVERIFY2(event.value("port").toString().startsWith("/dev/"), qPrintable(context));
            if (kind == "phase")
                phases[location] << event.value("phase").toString();
            if (kind == "result")
                results[location] = event.value("result").toString();
            if (kind == "start")
                images[location] = event.value("image").toString();
        }
        const QJsonObject summary = events.last();
        QCOMPARE(summary.value("event").toString(), QString("summary"));
        QCOMPARE(summary.value("exit_code").toInt(), 0);
        QCOMPARE(summary.value("succeeded").toInt(), units);
        const QJsonArray rows = summary.value("units").toArray();
        QCOMPARE(rows.size(), units);
        for (int unit = 1; unit <= units; ++unit) {
            const QString location = Location(unit);
            QCOMPARE(rows[unit - 1].toObject().value("location").toString(), location);
            QCOMPARE(rows[unit - 1].toObject().value("result").toString(), QString("success"));
            QCOMPARE(phases.value(location),
                     (QStringList{"entering boot", "transfer", "final verify", "returning to application"}));
            QCOMPARE(results.value(location), QString("success"));
            QCOMPARE(images.value(location), image_of(unit));
        }
        for (int unit = 1; unit <= units; ++unit) {
            const QString mismatch = FlashMismatch(sim, Location(unit), 4, image_of(unit));
            QVERIFY2(mismatch.isEmpty(), qPrintable(Location(unit) + ": " + mismatch));
        }
        const int neighbour = other_variant_unit == 1 ? 2 : 1;
        QVERIFY(!FlashMismatch(sim, Location(other_variant_unit), 4, image_of(neighbour)).isEmpty());
    }

    // A job kept to unit 1's base, named by its location or by its port name at the start, while
    // unit 2's base of the same product id is attached and enumerated after it: the base leaves
    // USB twice (into its bootloader and back) and comes back under new names each time, and the
    // job follows it by its location.
    void portFollowsTheBaseThroughItsRestarts_data()
    {
        QTest::addColumn<bool>("by_name");
        QTest::newRow("by location") << false;
        QTest::newRow("by port name") << true;
    }

    void portFollowsTheBaseThroughItsRestarts()
    {
        QFETCH(bool, by_name);
        SimProcess sim;
        QVERIFY(sim.StartAndWait({"--fast", "--bases", "2"}, 4, kStartMs));
        const QString ours = Location(1);
        const QString before = sim.PortAt(ours);
        OtherBaseLastCatalog station{sim, Location(2), {}, {}};
        station.Update();

        CliProcess cli(station.Path(),
                       {"upgrade", "Meter", "--port", by_name ? before : ours, "--config", sim.Config(), "--json"}, {},
                       kReconnectWaitScale);
        QVERIFY(station.Run(cli, kJobMs));
        QVERIFY2(cli.ExitCode() == 0, qPrintable(Said(cli)));
        for (const QJsonObject &event : cli.Events())
            QCOMPARE(event.value("location").toString(), ours);
        QCOMPARE(Last(cli, "result").value("result").toString(), QString("success"));

        QVERIFY(station.names.value(ours).size() > 1);  // it did come back under other names
        const QString image = QDir(sim.work_path).filePath("fw/meter_2.bin");
        QCOMPARE(FlashMismatch(sim, ours, 4, image), QString());
        QVERIFY(!FlashMismatch(sim, Location(2), 4, image).isEmpty());  // the other unit was left alone
    }

    // The manual switch and the listing kept to one base by --port, on the same station: the
    // switch is confirmed by a poll of that base only, not of the base enumerated last.
    void switchAndListKeepToThePort()
    {
        SimProcess sim;
        QVERIFY(sim.StartAndWait({"--fast", "--bases", "2"}, 4, kStartMs));
        OtherBaseLastCatalog station{sim, Location(2), {}, {}};
        station.Update();
        auto base_mode = [&](const QString &location) {
            CliProcess list(station.Path(), {"list", "--port", location, "--config", sim.Config(), "--json"});
            if (!station.Run(list, kCommandMs) || list.ExitCode() != 0)
                return QStringLiteral("list failed: ") + list.err;
            const QList<QJsonObject> units = list.Events("unit");
            if (units.size() != 1 || units[0].value("location").toString() != location)
                return QStringLiteral("not one unit at ") + location + QStringLiteral(": ") + list.out;
            for (const QJsonValue &device : units[0].value("devices").toArray()) {
                if (device.toObject().value("target").toString() == "Base")
                    return device.toObject().value("mode").toString();
            }
            return QStringLiteral("no Base at ") + location;
        };

        CliProcess boot(station.Path(), {"switch", "boot", "--port", Location(1), "--config", sim.Config()});
        QVERIFY(station.Run(boot, kCommandMs));
        QVERIFY2(boot.ExitCode() == 0, qPrintable(boot.err));
        QCOMPARE(boot.out.trimmed(), QString("The base runs its bootloader"));
        QCOMPARE(base_mode(Location(1)), QString("bootloader"));
        QCOMPARE(base_mode(Location(2)), QString("application"));

        CliProcess app(station.Path(), {"switch", "app", "--port", Location(1), "--config", sim.Config()});
        QVERIFY(station.Run(app, kCommandMs));
        QVERIFY2(app.ExitCode() == 0, qPrintable(app.err));
        QCOMPARE(base_mode(Location(1)), QString("application"));
    }

    // With --verbose every base's debug lines are written, each saying whose it is: the launch's
    // (in the command's thread) and the job's (in that base's job thread), as JSON events
    // naming the base or as lines starting with its location. Both bases speak.
    void verboseLinesNameTheirBase_data()
    {
        QTest::addColumn<bool>("json");
        QTest::newRow("json") << true;
        QTest::newRow("text") << false;
    }

    void verboseLinesNameTheirBase()
    {
        QFETCH(bool, json);
        SimProcess sim;
        QVERIFY(sim.StartAndWait({"--fast", "--bases", "2"}, 4, kStartMs));
        QStringList arguments{"upgrade", "Meter", "--all", "--verbose", "--config", sim.Config()};
        if (json)
            arguments << "--json";
        CliProcess cli(sim.Catalog(), arguments);
        QVERIFY(cli.Finish(kJobMs));
        QVERIFY2(cli.ExitCode() == 0, qPrintable(cli.err.right(4000)));

        // Per base: the launch's hardware line, the job's first handshake, its first section.
        const QStringList wanted{"\nHardware Version: METER-HW-2", "---Handshake OK! ", "---Section addr: 0x"};
        QMap<QString, QSet<QString>> heard;  // per location
        if (json) {
            for (const QJsonObject &event : cli.Events("debug")) {
                const QString text = event.value("text").toString();
                for (const QString &start : wanted) {
                    if (!text.startsWith(start))
                        continue;
                    QCOMPARE(event.value("target").toString(), QString("Meter"));
                    QVERIFY2(event.value("port").toString().startsWith("/dev/"), qPrintable(text));
                    heard[event.value("location").toString()].insert(start);
                }
            }
        } else {
            // Each line of the engine's sequence says which base it is about.
            const QRegularExpression sequence_line("^(?:(\\S+): )?(---.*)$");
            for (const QString &line : cli.err.split('\n', Qt::SkipEmptyParts)) {
                const QRegularExpressionMatch match = sequence_line.match(line);
                if (!match.hasMatch())
                    continue;
                QVERIFY2(!match.captured(1).isEmpty(), qPrintable(line));
                for (const QString &start : wanted) {
                    if (match.captured(2).startsWith(start))
                        heard[match.captured(1)].insert(start);
                }
            }
            // The launch's line begins with a line break: its location stands alone before it.
            for (int unit = 1; unit <= 2; ++unit) {
                if (cli.err.contains(Location(unit) + ": \nHardware Version: METER-HW-2\n"))
                    heard[Location(unit)].insert(wanted.first());
            }
        }
        const QSet<QString> all(wanted.begin(), wanted.end());
        QCOMPARE(QStringList(heard.keys()), (QStringList{Location(1), Location(2)}));
        QCOMPARE(heard.value(Location(1)), all);
        QCOMPARE(heard.value(Location(2)), all);
    }

    // Unit 2's base never comes back from its restart into the bootloader: its job fails with the
    // lost port, the others succeed, and the summary says so a line per base.
    void baseThatNeverReturnsFailsAlone()
    {
        SimProcess sim;
        QVERIFY(sim.StartAndWait({"--fast", "--bases", "3", "--never-return", "2"}, 6, kStartMs));
        CliProcess cli(sim.Catalog(), {"upgrade", "Meter", "--all", "--config", sim.Config()});
        QVERIFY(cli.Finish(kJobMs));
        QCOMPARE(cli.ExitCode(), 7);
        QVERIFY2(cli.err.contains("sim-2-4: USB connection lost!"), qPrintable(cli.err));
        // Without --verbose no debug line of any base is written.
        QVERIFY2(!cli.err.contains("---"), qPrintable(cli.err));

        const QStringList lines = cli.out.split('\n', Qt::SkipEmptyParts);
        const int head = lines.indexOf(QRegularExpression("^Meter on 3 bases: 2 succeeded, 1 failed \\(.* s\\)$"));
        QVERIFY2(head >= 0, qPrintable(cli.out));
        const QStringList expected = {
            "^location hardware result time error$",
            "^sim-1-4 METER-HW-2 success \\d+\\.\\d s$",
            "^sim-2-4 METER-HW-2 port \\d+\\.\\d s USB connection lost!$",
            "^sim-3-4 METER-HW-2 success \\d+\\.\\d s$",
        };
        QCOMPARE(lines.size(), head + 1 + expected.size());
        for (int i = 0; i < expected.size(); ++i) {
            const QString line = lines[head + 1 + i].simplified();
            QVERIFY2(QRegularExpression(expected[i]).match(line).hasMatch(), qPrintable(line));
        }
        const QString image = QDir(sim.work_path).filePath("fw/meter_2.bin");
        QCOMPARE(FlashMismatch(sim, Location(1), 4, image), QString());
        QCOMPARE(FlashMismatch(sim, Location(3), 4, image), QString());
    }

    // --timeout stops every base's job as the Stop button does, mid-transfer; each base says so
    // and the command exits with the time-out's code. A second run takes every base from where
    // it was left and succeeds.
    void timeoutStopsEveryBase()
    {
        SimProcess sim;
        QVERIFY(sim.StartAndWait({"--fast", "--bases", "2"}, 4, kStartMs));
        // The base's transfer (288 KiB) runs for seconds, its boot entry for well under one.
        CliProcess stopped(sim.Catalog(),
                           {"upgrade", "Base", "--all", "--timeout", "3", "--config", sim.Config(), "--json"});
        QVERIFY(stopped.Finish(kJobMs));
        QCOMPARE(stopped.ExitCode(), 9);
        const QJsonObject summary = Last(stopped, "summary");
        QCOMPARE(summary.value("result").toString(), QString("timeout"));
        const QJsonArray rows = summary.value("units").toArray();
        QCOMPARE(rows.size(), 2);
        for (const QJsonValue &row : rows) {
            QCOMPARE(row.toObject().value("result").toString(), QString("timeout"));
            QCOMPARE(row.toObject().value("error").toString(), QString("Stopped after 3 s (--timeout)"));
        }

        CliProcess again(sim.Catalog(), {"upgrade", "Base", "--all", "--config", sim.Config(), "--json"});
        QVERIFY(again.Finish(kJobMs));
        QVERIFY2(again.ExitCode() == 0, qPrintable(Said(again)));
        const QString image = QDir(sim.work_path).filePath("fw/base_a.bin");
        QCOMPARE(FlashMismatch(sim, Location(1), 2, image), QString());
        QCOMPARE(FlashMismatch(sim, Location(2), 2, image), QString());

        // Every base's job left its own record: the stopped ones as stopped by the time-out.
        CliProcess history(sim.Catalog(), {"history", "--config", sim.Config(), "--json"});
        QVERIFY(history.Finish(kCommandMs));
        QCOMPARE(history.ExitCode(), 0);
        QMap<QString, QStringList> outcomes;  // per location, in order
        for (const QJsonObject &record : history.Events()) {
            QCOMPARE(record.value("front_end").toString(), QString("command"));
            outcomes[record.value("usb_location").toString()]
                << record.value("result").toString() + "/" + record.value("stopped_by").toString();
        }
        for (int unit = 1; unit <= 2; ++unit)
            QCOMPARE(outcomes.value(Location(unit)), (QStringList{"failed/timeout", "success/"}));
    }

    // The listing of a station of three units: a block per base in USB order, with its serial
    // number where the port gives one, the devices behind it, and a unit whose port another
    // program holds (as a job's would be) shown busy, not as a base with every device absent.
    // --port narrows it to one unit, named by its serial number as well as by its location.
    void listShowsEveryUnit()
    {
        // The simulator's bases each report a serial number of their own.
        QSet<QString> serials;
        for (const PortInfo &port : idle.Ports())
            serials.insert(port.serial_number);
        QCOMPARE(serials.size(), 4);
        QVERIFY(!serials.contains(QString()));

        // Three of the station's four bases; one of them a port that gives no serial number.
        QTemporaryDir dir;
        const QString catalog = dir.filePath("ports.json");
        QList<PortInfo> ports;
        for (PortInfo port : idle.Ports()) {
            if (port.location == "sim-2-5")
                continue;
            if (port.location == "sim-1-4")
                port.serial_number = "ZV-0001";
            if (port.location == "sim-1-5")
                port.serial_number.clear();
            if (port.location == "sim-2-4")
                port.serial_number = "ZV-0002";
            ports << port;
        }
        QCOMPARE(ports.size(), 3);
        QString error;
        QVERIFY2(PortCatalogFile::Write(catalog, ports, idle.process.processId(), &error), qPrintable(error));
        QCOMPARE(PortCatalogFile::Read(catalog).value(0).serial_number.isEmpty(), false);  // the key is read back

        // A job's engine holds its port exclusively; so does this test.
        QSerialPort holder(idle.PortAt("sim-2-4"));
        QVERIFY2(holder.open(QIODevice::ReadWrite), qPrintable(holder.errorString()));

        CliProcess text(catalog, {"list", "--config", idle.Config()});
        QVERIFY(text.Finish(kCommandMs));
        QCOMPARE(text.ExitCode(), 0);
        QStringList heads;
        for (const QString &line : text.out.split('\n')) {
            if (line.startsWith("unit "))
                heads << line;
        }
        QCOMPARE(heads.size(), 3);
        QCOMPARE(heads[0], "unit sim-1-4: port " + idle.PortAt("sim-1-4") + ", serial ZV-0001, product id 4, base application");
        QCOMPARE(heads[1], "unit sim-1-5: port " + idle.PortAt("sim-1-5") + ", serial -, product id 5, base application");
        QVERIFY2(heads[2].startsWith("unit sim-2-4: port " + idle.PortAt("sim-2-4") +
                                     ", serial ZV-0002, product id 4, busy: another program holds the port"),
                 qPrintable(heads[2]));
        QVERIFY2(text.out.trimmed().endsWith(heads[2]), qPrintable(text.out));  // no devices under a busy unit

        CliProcess json(catalog, {"list", "--config", idle.Config(), "--json"});
        QVERIFY(json.Finish(kCommandMs));
        QCOMPARE(json.ExitCode(), 0);
        const QList<QJsonObject> units = json.Events("unit");
        QCOMPARE(units.size(), 3);
        QStringList seen;
        for (const QJsonObject &unit : units) {
            QStringList targets;
            for (const QJsonValue &device : unit.value("devices").toArray()) {
                const QJsonObject fields = device.toObject();
                targets << fields.value("target").toString();
                QCOMPARE(fields.value("mode").toString(), QString("application"));
                QVERIFY(!fields.value("app_version").toString().isEmpty());
                QVERIFY(!fields.value("hw_version").toString().isEmpty());
            }
            seen << QStringList{unit.value("location").toString(), unit.value("serial_number").toString(),
                                unit.value("mode").toString(), targets.join('+')}
                        .join(' ');
        }
        QCOMPARE(seen, (QStringList{"sim-1-4 ZV-0001 application Base+Meter+Motor+Pedals",
                                    "sim-1-5  application Steering", "sim-2-4 ZV-0002 busy "}));
        QCOMPARE(units[2].value("busy").toBool(), true);
        QCOMPARE(json.Events("result").value(0).value("not_attached").toArray().size(), 0);

        holder.close();
        CliProcess one(catalog, {"list", "--port", "ZV-0002", "--config", idle.Config(), "--json"});
        QVERIFY(one.Finish(kCommandMs));
        QCOMPARE(one.ExitCode(), 0);
        const QList<QJsonObject> only = one.Events("unit");
        QCOMPARE(only.size(), 1);
        QCOMPARE(only[0].value("location").toString(), QString("sim-2-4"));
        QCOMPARE(only[0].value("mode").toString(), QString("application"));
        QCOMPARE(only[0].value("devices").toArray().size(), 4);
    }

    // A --port at which the target has no device is refused before anything is sent, with the
    // no-device exit code; so is --all with no base of the target attached.
    void portWithNoDevice_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<bool>("attached");  // the station's bases are in the command's catalog
        QTest::addColumn<QString>("says");
        const QString attached = "attached: 4 @ sim-1-4, 5 @ sim-1-5, 4 @ sim-2-4, 5 @ sim-2-5)";
        QTest::newRow("upgrade at an empty location")
            << QStringList{"upgrade", "Meter", "--port", "sim-9-4"} << true
            << "No target found! (no device of \"Meter\" (product id 4) @ sim-9-4; " + attached;
        QTest::newRow("upgrade at another product's base")
            << QStringList{"upgrade", "Meter", "--port", "sim-1-5"} << true
            << "No target found! (no device of \"Meter\" (product id 4) @ sim-1-5; " + attached;
        QTest::newRow("upgrade at a port name that is gone")
            << QStringList{"upgrade", "Meter", "--port", "/dev/pts/gone"} << true
            << "No target found! (no device of \"Meter\" (product id 4) @ /dev/pts/gone; " + attached;
        QTest::newRow("switch at an empty location")
            << QStringList{"switch", "boot", "--port", "sim-9-4"} << true
            << "No device of the family is attached at sim-9-4 (attached: sim-1-4, sim-1-5, sim-2-4, sim-2-5)";
        QTest::newRow("list at an empty location")
            << QStringList{"list", "--port", "sim-9-4"} << true
            << "No device of the family is attached at sim-9-4 (attached: sim-1-4, sim-1-5, sim-2-4, sim-2-5)";
        QTest::newRow("all with no base attached")
            << QStringList{"upgrade", "Meter", "--all"} << false
            << "No target found! (no device of \"Meter\" (product id 4); no port of the family is attached; check the "
               "USB cable; UPGRADER_SIM_CATALOG=" + idle.work.filePath("none.json") + " is unusable: it does not exist)";
    }

    void portWithNoDevice()
    {
        QFETCH(QStringList, arguments);
        QFETCH(bool, attached);
        QFETCH(QString, says);
        const QList<PortInfo> before = idle.Ports();
        const QString catalog = attached ? idle.Catalog() : idle.work.filePath("none.json");
        CliProcess cli(catalog, arguments + QStringList{"--config", idle.Config(), "--lang", "en"});
        QVERIFY(cli.Finish(kCommandMs));
        QCOMPARE(cli.ExitCode(), 4);
        QCOMPARE(cli.err.trimmed(), says);
        QCOMPARE(cli.out, QString());
        // No base was sent anywhere: a base that restarted would be back under another name.
        QCOMPARE(idle.Ports().size(), before.size());
        for (const PortInfo &port : before)
            QCOMPARE(idle.PortAt(port.location), port.name);
    }
};

QTEST_GUILESS_MAIN(TestCliStation)
#include "tst_cli_station.moc"
