#include "frame_codec.h"
#include "port_catalog.h"
#include "port_catalog_file.h"
#include "sim_process.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSerialPort>
#include <QtTest>

#include <QElapsedTimer>

#include <memory>
#include <optional>

// upgrader-sim as a process: what another program sees of it through its catalog file and its
// pseudo-terminals.
namespace {

constexpr int kStartMs = 15000;   // writing the images and opening the ports
constexpr int kReplyMs = 2000;    // one request's answer, on a loaded machine
constexpr int kRestartMs = 5000;  // a base's restart with --fast
constexpr int kExitMs = 10000;

// The hardware text of a device: the motor answers in one 24-byte field, the others in four
// numbered 16-byte chunks.
QString HardwareVersion(QSerialPort &port, int device)
{
    QByteArray text;
    if (device == 3) {
        const std::optional<Frame> reply = AskDevice(port, DeviceRequest(0x08, device, QByteArray(24, 0)));
        if (!reply)
            return QStringLiteral("(no answer)");
        text = QByteArray(reinterpret_cast<const char *>(reply->payload), reply->length);
    } else {
        for (char chunk = 1; chunk <= 4; ++chunk) {
            const std::optional<Frame> reply = AskDevice(port, DeviceRequest(0x08, device, QByteArray(1, chunk)));
            if (!reply || reply->length != 17 || reply->payload[0] != chunk)
                return QStringLiteral("(no answer to chunk %1)").arg(int(chunk));
            text += QByteArray(reinterpret_cast<const char *>(reply->payload + 1), 16);
        }
    }
    return QString::fromUtf8(text.left(text.indexOf('\0') < 0 ? text.size() : text.indexOf('\0')));
}

QString Location(const QList<PortInfo> &ports, const QString &location)
{
    for (const PortInfo &port : ports) {
        if (port.location == location)
            return port.name;
    }
    return {};
}

QStringList Names(const QList<PortInfo> &ports)
{
    QStringList names;
    for (const PortInfo &port : ports)
        names << port.name;
    return names;
}

int CountEntries(const QString &dir)
{
    return QDir(dir).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System).size();
}

// One move of a hand-driven job on the motor (device 3, raw sections with a 6-byte header).
struct Move {
    enum Kind { Ask, Tell, AwaitBoot } kind = Ask;  // Ask waits for the answer, Tell does not
    int device = 3;
    uint8_t command = 0;
    QByteArray payload;
};
using Script = QList<Move>;

QByteArray Big(quint32 value, int bytes)
{
    QByteArray out;
    for (int shift = 8 * (bytes - 1); shift >= 0; shift -= 8)
        out.append(char(value >> shift));
    return out;
}

// The motor's image: 48 KiB from 0x00010000 in 4 KiB sections.
constexpr quint32 kMotorStart = 0x00010000;
constexpr quint32 kMotorLastSection = kMotorStart + 48 * 1024 - 4096;
constexpr int kSection = 4096;
constexpr int kChunk = 62;

Move Ask(uint8_t command, const QByteArray &payload, int device = 3)
{
    return {Move::Ask, device, command, payload};
}

Move Tell(uint8_t command, const QByteArray &payload, int device = 3)
{
    return {Move::Tell, device, command, payload};
}

Script MotorToBoot()
{
    return {Tell(0x01, QByteArray(1, 4)), {Move::AwaitBoot, 3, 0, {}}};
}

Move Header(quint32 address, int length = kSection)
{
    return Ask(0x14, Big(address, 4) + Big(quint32(length), 2));
}

// Data frames of a section from byte `from` up to (not including) byte `to`, then the index
// question that tells they all arrived.
Script Data(int from, int to)
{
    Script moves;
    for (int offset = from; offset < to; offset += kChunk)
        moves << Tell(0x16, Big(quint32(offset), 2) + QByteArray(qMin(kChunk, to - offset), char(offset / kChunk)));
    moves << Ask(0x15, QByteArray(2, 0));
    return moves;
}

// A whole small section received and checked: the device holds it for programming.
Script SmallSection()
{
    return Script{Header(kMotorStart, kChunk)} + Data(0, kChunk) + Script{Ask(0x18, QByteArray(1, 1))};
}

// Runs the moves on the base's port; empty when each was answered as it should be.
QString Play(QSerialPort &port, const Script &moves)
{
    for (const Move &move : moves) {
        const QByteArray request = DeviceRequest(move.command, move.device, move.payload);
        if (move.kind == Move::Tell) {
            port.write(request);
            if (!port.waitForBytesWritten(kReplyMs))
                return QStringLiteral("cannot write 0x%1").arg(move.command, 2, 16, QLatin1Char('0'));
        } else if (move.kind == Move::Ask) {
            if (!AskDevice(port, request))
                return QStringLiteral("no answer to 0x%1").arg(move.command, 2, 16, QLatin1Char('0'));
        } else {
            QElapsedTimer clock;
            clock.start();
            for (;;) {
                const std::optional<Frame> mode = AskDevice(port, DeviceRequest(0x02, move.device, QByteArray(1, 0)), 200);
                if (mode && mode->payload[0] == 1)
                    break;
                if (clock.elapsed() > kRestartMs)
                    return QStringLiteral("device %1 did not start its bootloader").arg(move.device);
            }
        }
    }
    return {};
}

}  // namespace

Q_DECLARE_METATYPE(Script)

class TestSimProgram : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY2(QFileInfo(qEnvironmentVariable("UPGRADER_SIM")).isExecutable(),
                 "UPGRADER_SIM must name the upgrader-sim program");
    }

    void cleanup() { qunsetenv(PortCatalog::kSimCatalogVariable); }

    void usage_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exit_code");
        QTest::addColumn<QString>("says");  // in the standard output for help, else the error output
        QTest::newRow("help") << QStringList{"--help"} << 0 << "export UPGRADER_SIM_CATALOG=DIR/ports.json";
        QTest::newRow("help lists the variants") << QStringList{"--help"} << 0 << "reports METER-HW-2, or METER-HW-1";
        QTest::newRow("no units") << QStringList{"--bases", "0"} << 2 << "--bases takes a whole number from 1";
        QTest::newRow("share above one") << QStringList{"--loss", "1.5"} << 2 << "--loss takes a share";
        QTest::newRow("share not a number") << QStringList{"--drop-replies", "some"} << 2 << "--drop-replies takes";
        QTest::newRow("unknown target") << QStringList{"--hw", "Wheel=X"} << 2 << "unknown target 'Wheel'";
        QTest::newRow("hardware without a text") << QStringList{"--hw", "Meter"} << 2 << "[UNIT:]TARGET=TEXT";
        QTest::newRow("unit beyond the bases") << QStringList{"--bases", "2", "--other-variant", "3:Meter"} << 2
                                               << "there is no unit 3";
        QTest::newRow("motor text too long") << QStringList{"--hw", "Motor=" + QString(25, 'M')} << 2
                                             << "Motor reports at most 24 bytes";
        QTest::newRow("never-return beyond the bases") << QStringList{"--bases", "2", "--never-return", "3"} << 2
                                                       << "--never-return takes a unit's number from 1 to 2, not '3'";
        QTest::newRow("help lists the power-cut points") << QStringList{"--help"} << 0
                                                         << "  late-data     a data frame halfway through the image's last section\n";
        QTest::newRow("power cut without a unit") << QStringList{"--power-cut", "flash"} << 2
                                                  << "--power-cut takes UNIT:POINT, not 'flash'";
        QTest::newRow("power cut beyond the bases") << QStringList{"--power-cut", "2:flash"} << 2
                                                    << "--power-cut 2:flash: there is no unit 2 (units 1 to 1)";
        QTest::newRow("power cut at an unknown point") << QStringList{"--power-cut", "1:lunch"} << 2
                                                       << "--power-cut 1:lunch: unknown point 'lunch' (boot-entry, ";
        QTest::newRow("two power cuts for one unit") << QStringList{"--power-cut", "1:flash", "--power-cut", "1:flag"} << 2
                                                     << "--power-cut 1:flag: unit 1 already loses its power at flash";
        QTest::newRow("unknown option") << QStringList{"--colour"} << 2 << "Unknown option 'colour'";
        QTest::newRow("stray argument") << QStringList{"now"} << 2 << "unexpected argument 'now'";
    }

    void usage()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, exit_code);
        QFETCH(QString, says);
        SimProcess sim;
        sim.Start(arguments);
        QVERIFY(sim.process.waitForFinished(kExitMs));
        QCOMPARE(sim.process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(sim.process.exitCode(), exit_code);
        const QString text = QString::fromLocal8Bit(exit_code == 0 ? sim.process.readAllStandardOutput()
                                                                   : sim.process.readAllStandardError());
        QVERIFY2(text.contains(says), qPrintable(text));
        QCOMPARE(CountEntries(sim.work_path), 0);  // nothing written, nothing published
    }

    // The whole life of a run: the work directory before the ports, the ports answering on real
    // serial ports, a restart under a new path at the same location, a clean stop.
    void publishesAnswersRestartsAndWithdraws()
    {
        SimProcess sim;
        sim.Start({"--fast", "--bases", "2", "--hw", "1:Meter=METER-HW-9", "--other-variant", "2:Motor"});
        QTRY_VERIFY_WITH_TIMEOUT(sim.Ports().size() == 4, kStartMs);

        // Before its ports appeared it wrote the configuration and every image it names.
        QFile config(QDir(sim.work_path).filePath("config.json"));
        QVERIFY(config.open(QIODevice::ReadOnly));
        const QJsonObject firmware = QJsonDocument::fromJson(config.readAll()).object().value("firmware").toObject();
        QCOMPARE(firmware.keys(), (QStringList{"Base", "Meter", "Motor", "Pedals", "Steering"}));
        for (const QJsonValue &target : firmware) {
            for (const QJsonValue &series : target.toObject().value("series").toArray()) {
                const QString image = QDir(sim.work_path).filePath(series.toObject().value("path").toString());
                QVERIFY2(QFileInfo(image).size() > 0, qPrintable(image));
            }
        }

        const QList<PortInfo> ports = sim.Ports();
        QStringList seen;
        for (const PortInfo &port : ports) {
            seen << QStringLiteral("%1 %2:%3").arg(port.location).arg(port.vendor_id).arg(port.product_id);
            QVERIFY(QFileInfo::exists(port.name));
        }
        const QString vid = QString::number(FamilyVendorId());
        QCOMPARE(seen, (QStringList{"sim-1-4 " + vid + ":4", "sim-1-5 " + vid + ":5", "sim-2-4 " + vid + ":4",
                                    "sim-2-5 " + vid + ":5"}));
        QCOMPARE(Names(ports).removeDuplicates(), 0);

        // The line to paste into another terminal, and the catalog that line makes every program read.
        QTRY_VERIFY_WITH_TIMEOUT(sim.Output().contains("\nexport UPGRADER_SIM_CATALOG=" + sim.Catalog() + "\n"), kStartMs);
        qputenv(PortCatalog::kSimCatalogVariable, QFile::encodeName(sim.Catalog()));
        QCOMPARE(Names(PortCatalog::AvailablePorts()).mid(PortCatalog::AvailablePorts().size() - 4), Names(ports));

        // Real serial ports on the listed paths reach each unit's own devices.
        struct Expected {
            const char *location;
            int device;
            const char *hw;
        };
        const Expected table[] = {
            {"sim-1-4", 4, "METER-HW-9"}, {"sim-2-4", 4, "METER-HW-2"}, {"sim-1-4", 3, "MOTOR-HW-A"},
            {"sim-2-4", 3, "MOTOR-HW-B"}, {"sim-1-4", 2, "BASE-HW-A-REV-0003"}, {"sim-2-5", 5, "STEER-HW-B"},
        };
        for (const Expected &row : table) {
            QSerialPort port(Location(ports, row.location));
            QVERIFY2(port.open(QIODevice::ReadWrite), qPrintable(port.errorString()));
            QCOMPARE(HardwareVersion(port, row.device), QString(row.hw));
        }

        const QString proc = "/proc/" + sim.Pid();
        const int fds = CountEntries(proc + "/fd");
        const int threads = CountEntries(proc + "/task");

        // Restarts: the base of unit 1 leaves USB and comes back under a new path at its location;
        // the other bases stay where they are.
        QString path = Location(ports, "sim-1-4");
        for (const char *into : {"04", "03", "04"}) {
            {
                QSerialPort port(path);
                QVERIFY(port.open(QIODevice::ReadWrite));
                port.write(DeviceRequest(0x01, 2, QByteArray::fromHex(into)));
                QVERIFY(port.waitForBytesWritten(kReplyMs));
            }
            const QString old_path = path;
            QTRY_VERIFY_WITH_TIMEOUT(!(path = Location(sim.Ports(), "sim-1-4")).isEmpty() && path != old_path,
                                     kRestartMs);
            QCOMPARE(sim.Ports().size(), 4);
            QCOMPARE(Location(sim.Ports(), "sim-2-4"), Location(ports, "sim-2-4"));
            QTRY_VERIFY_WITH_TIMEOUT(sim.Output().contains("sim-1-4 back on USB as " + path + "\n"), kRestartMs);
        }
        QSerialPort port(path);
        QVERIFY(port.open(QIODevice::ReadWrite));
        const std::optional<Frame> mode = AskDevice(port, DeviceRequest(0x02, 2, QByteArray(1, 0)));
        QVERIFY(mode);
        QCOMPARE(int(mode->payload[0]), 1);  // in its bootloader, as last asked
        port.close();
        // Running all day: restarts cost no descriptors and no threads.
        QCOMPARE(CountEntries(proc + "/fd"), fds);
        QCOMPARE(CountEntries(proc + "/task"), threads);

        sim.process.terminate();  // SIGTERM
        QVERIFY(sim.process.waitForFinished(kExitMs));
        QCOMPARE(sim.process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(sim.process.exitCode(), 0);
        QVERIFY(!QFileInfo::exists(sim.Catalog()));
        const QStringList listed = Names(PortCatalog::AvailablePorts());
        const QStringList gone = Names(ports) << path;
        // Only the listing is checked: a freed pseudo-terminal number is soon another process's.
        for (const QString &name : gone)
            QVERIFY2(!listed.contains(name), qPrintable(name));
        QVERIFY(sim.Output().contains("stopped by SIGTERM"));
    }

    // A killed simulator leaves its file behind: nobody is offered its ports, and the next
    // simulator takes the directory over; while one runs, a second is refused.
    void oneLiveSimulatorPerWorkDirectory()
    {
        QTemporaryDir work;
        SimProcess first(work.path());
        first.Start({"--fast"});
        QTRY_VERIFY_WITH_TIMEOUT(first.Ports().size() == 2, kStartMs);
        const QByteArray published = [&] {
            QFile f(first.Catalog());
            return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
        }();

        SimProcess second(work.path());
        second.Start({"--fast"});
        QVERIFY(second.process.waitForFinished(kExitMs));
        QCOMPARE(second.process.exitCode(), 1);
        QVERIFY(QString::fromLocal8Bit(second.process.readAllStandardError()).contains("another upgrader-sim (process " + first.Pid()));
        QFile still(first.Catalog());
        QVERIFY(still.open(QIODevice::ReadOnly));
        QCOMPARE(still.readAll(), published);
        still.close();

        first.process.kill();  // SIGKILL: no chance to withdraw
        QVERIFY(first.process.waitForFinished(kExitMs));
        QVERIFY(QFileInfo::exists(first.Catalog()));
        QVERIFY(first.Ports().isEmpty());

        SimProcess third(work.path());
        third.Start({"--fast"});
        QTRY_VERIFY_WITH_TIMEOUT(third.Ports().size() == 2, kStartMs);
        QCOMPARE(PortCatalogFile::LiveOwner(third.Catalog()), third.process.processId());
        third.process.terminate();
        QVERIFY(third.process.waitForFinished(kExitMs));
        QCOMPARE(third.process.exitCode(), 0);
    }

    // Each named point strikes at its own moment of a job and not before: the moves of the job
    // up to it leave the unit powered, the striking move cuts both bases of the unit, and they
    // come back on USB under new paths.
    void powerCutStrikesAtItsPoint_data()
    {
        QTest::addColumn<QString>("point");
        QTest::addColumn<Script>("before");  // moves that must not cut
        QTest::addColumn<Script>("strike");  // the move that cuts
        const Move base_to_boot = Tell(0x01, QByteArray(1, 4), 2);
        QTest::newRow("boot-entry") << "boot-entry" << MotorToBoot() << Script{base_to_boot};
        QTest::newRow("first-header") << "first-header" << MotorToBoot() << Script{Header(kMotorStart)};
        QTest::newRow("early-data") << "early-data" << MotorToBoot() + Script{Header(kMotorStart)} + Data(0, 2 * kChunk)
                                    << Data(2 * kChunk, 3 * kChunk).mid(0, 1);
        // Data of another section, and of the last one up to its middle, do not count.
        QTest::newRow("late-data") << "late-data"
                                   << MotorToBoot() + Script{Header(kMotorStart)} + Data(0, kSection) +
                                          Script{Header(kMotorLastSection)} + Data(0, 34 * kChunk)
                                   << Data(34 * kChunk, 35 * kChunk).mid(0, 1);
        QTest::newRow("flash") << "flash" << MotorToBoot() + SmallSection() << Script{Tell(0x19, QByteArray(1, 0))};
        // The buffer's digest after the data does not count; the final pass reads without data.
        QTest::newRow("verify") << "verify"
                                << MotorToBoot() + SmallSection() +
                                       Script{Ask(0x17, QByteArray(16, 0)), Header(kMotorStart), Ask(0x18, QByteArray(1, 2)),
                                              Ask(0x17, QByteArray(16, 0)), Header(kMotorLastSection), Ask(0x18, QByteArray(1, 2))}
                                << Script{Ask(0x17, QByteArray(16, 0))};
        // A device already in its application asked for it again is no upgrade flag.
        QTest::newRow("flag") << "flag" << MotorToBoot() + Script{Tell(0x01, QByteArray(1, 3), 4)}
                              << Script{Tell(0x01, QByteArray(1, 3))};
        QTest::newRow("return") << "return" << MotorToBoot() + Script{Tell(0x01, QByteArray(1, 3)), base_to_boot}
                                << Script{Tell(0x01, QByteArray(1, 3), 2)};
    }

    void powerCutStrikesAtItsPoint()
    {
        QFETCH(QString, point);
        QFETCH(Script, before);
        QFETCH(Script, strike);
        SimProcess sim;
        QVERIFY(sim.StartAndWait({"--fast", "--power-cut", "1:" + point}, 2, kStartMs));
        QTRY_VERIFY_WITH_TIMEOUT(sim.Output().contains("Unit 1: loses its power once a job reaches " + point + "\n"), kStartMs);
        const QString steering = sim.PortAt("sim-1-5");
        const QString cut_line = "unit 1: power cut at " + point + " on sim-1-4\n";

        // Moves after a restart of the base continue on its new path.
        QString path = sim.PortAt("sim-1-4");
        auto port = std::make_unique<QSerialPort>(path);
        QVERIFY2(port->open(QIODevice::ReadWrite), qPrintable(port->errorString()));
        for (const Move &move : before) {
            const QString failure = Play(*port, {move});
            QVERIFY2(failure.isEmpty(), qPrintable(failure));
            if (move.device == 2 && move.command == 0x01) {
                port->close();
                const QString old_path = path;
                QTRY_VERIFY_WITH_TIMEOUT(!(path = sim.PortAt("sim-1-4")).isEmpty() && path != old_path, kRestartMs);
                port = std::make_unique<QSerialPort>(path);
                QVERIFY2(port->open(QIODevice::ReadWrite), qPrintable(port->errorString()));
            }
        }
        // The base still answers on the same port: the power held.
        const QString held = Play(*port, {Ask(0x04, QByteArray(4, 0), 2)});
        QVERIFY2(held.isEmpty(), qPrintable(held));
        QVERIFY2(!sim.Output().contains("power cut"), qPrintable(sim.Output()));
        QCOMPARE(sim.PortAt("sim-1-5"), steering);

        Play(*port, strike);  // an asked move goes unanswered when the power goes
        port.reset();
        QTRY_VERIFY_WITH_TIMEOUT(sim.Output().contains(cut_line), kRestartMs);
        // The whole unit lost its power: both its bases come back under new paths.
        QTRY_VERIFY_WITH_TIMEOUT(!sim.PortAt("sim-1-5").isEmpty() && sim.PortAt("sim-1-5") != steering, kRestartMs);
        QTRY_VERIFY_WITH_TIMEOUT(!sim.PortAt("sim-1-4").isEmpty() && sim.PortAt("sim-1-4") != path, kRestartMs);
        QCOMPARE(sim.Output().count("power cut at"), 1);
    }

    // The fault options reach the bases: with every reply lost, a well-formed request that the
    // same base answers without faults goes unanswered.
    void faultOptionsReachTheBases()
    {
        SimProcess sim;
        sim.Start({"--drop-replies", "1"});
        QTRY_VERIFY_WITH_TIMEOUT(sim.Ports().size() == 2, kStartMs);
        QSerialPort port(sim.Ports().first().name);
        QVERIFY(port.open(QIODevice::ReadWrite));
        QVERIFY(!AskDevice(port, DeviceRequest(0x00, 2, {}), 500));
    }
};

QTEST_GUILESS_MAIN(TestSimProgram)
#include "tst_sim_program.moc"
