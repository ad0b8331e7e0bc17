// upgrader-cli as a process against upgrader-sim: its usage, every refusal with its exit code in
// both languages, the listing of the devices, the manual switch of the base, and the image report
// it shares with fwimage.
#include "cli_process.h"
#include "firmware_image.h"
#include "image_signature.h"
#include "port_catalog_file.h"
#include "sim_process.h"
#include "wait_until.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSerialPort>
#include <QtTest>

#include <algorithm>
#include <memory>

namespace {

constexpr int kStartMs = 15000;    // a simulator writing its images and opening its ports
constexpr int kCommandMs = 30000;  // a command that upgrades nothing
constexpr int kUpgradeMs = 120000;  // one that upgrades the display
constexpr char kMeterPort[] = "sim-1-4";

QString Zh(const char *text)
{
    return QString::fromUtf8(text);
}

// The simulator's configuration, edited as a row asks, written into dir with the image paths made
// absolute (the file no longer lies next to the images).
QString WriteConfig(const SimProcess &sim, const QString &dir, const QString &edit, bool chinese_file = false)
{
    QFile original(sim.Config());
    if (!original.open(QIODevice::ReadOnly))
        qFatal("cannot read %s", qPrintable(sim.Config()));
    QJsonObject top = QJsonDocument::fromJson(original.readAll()).object();
    QJsonObject firmware = top.value("firmware").toObject();
    for (const QString &name : firmware.keys()) {
        QJsonObject entry = firmware.value(name).toObject();
        QJsonArray series;
        for (const QJsonValue &value : entry.value("series").toArray()) {
            QJsonObject variant = value.toObject();
            variant["path"] = QDir(sim.work_path).filePath(variant.value("path").toString());
            // The variant the simulated display reports.
            if (name == "Meter" && variant.value("hw_ver").toString() == "METER-HW-2") {
                if (edit == "hardware unknown")
                    variant["hw_ver"] = "METER-HW-7";
                else if (edit == "image path empty")
                    variant["path"] = "";
                else if (edit == "image missing")
                    variant["path"] = "fw/meter_2.bin";  // relative to this file's folder, where it is not
                else if (edit == "image invalid")
                    variant["path"] = QDir(dir).filePath("broken.bin");
                else if (edit == "image not named .bin")
                    variant["path"] = QDir(dir).filePath("meter_2.img");
                else if (edit == "trusted keys")  // a copy the test signs, or not
                    variant["path"] = QDir(dir).filePath("meter_2.bin");
            }
            series.append(variant);
        }
        entry["series"] = series;
        if (name == "Meter" && edit == "Meter on no attached product id")
            entry["USB_PID"] = QJsonArray{9};
        if (name == "Meter" && edit == "Meter on both bases")
            entry["USB_PID"] = QJsonArray{4, 5};
        firmware[name] = entry;
    }
    if (edit == "Meter not configured")
        firmware.remove("Meter");
    if (edit == "dev_id as text" || edit == "USB_PID as text" || edit == "negative section_len") {
        QJsonObject meter = firmware.value("Meter").toObject();
        if (edit == "dev_id as text")
            meter["dev_id"] = "four";
        if (edit == "USB_PID as text")
            meter["USB_PID"] = QJsonArray{"4"};
        if (edit == "negative section_len") {
            QJsonArray series = meter.value("series").toArray();
            QJsonObject first = series.at(0).toObject();
            first["section_len"] = -1;
            series[0] = first;
            meter["series"] = series;
        }
        firmware["Meter"] = meter;
    }
    if (edit == "Meter without dev_id") {
        QJsonObject meter = firmware.value("Meter").toObject();
        meter.remove("dev_id");
        firmware["Meter"] = meter;
    }
    if (edit.startsWith("Meter dev_id ")) {
        QJsonObject meter = firmware.value("Meter").toObject();
        meter["dev_id"] = edit.section(' ', 2).toInt();
        firmware["Meter"] = meter;
    }
    if (edit == "Meter without variants") {
        QJsonObject meter = firmware.value("Meter").toObject();
        meter["series"] = QJsonArray();
        firmware["Meter"] = meter;
    }
    top["firmware"] = firmware;
    if (edit == "trusted keys") {
        top["trusted_keys"] = QJsonArray{"line.pub"};
        QFile::copy(QDir(sim.work_path).filePath("fw/meter_2.bin"), QDir(dir).filePath("meter_2.bin"));
    }
    if (chinese_file)
        top["is_english"] = false;
    if (edit == "is_english as text")
        top["is_english"] = "yes";

    const QString path = QDir(dir).filePath("station.json");
    QFile file(path);
    file.open(QIODevice::WriteOnly | QIODevice::Truncate);
    file.write(edit == "not JSON" ? QByteArray("{\"firmware\": ") : QJsonDocument(top).toJson());
    QFile broken(QDir(dir).filePath("broken.bin"));
    broken.open(QIODevice::WriteOnly | QIODevice::Truncate);
    broken.write(QByteArray(300, 'x'));
    if (edit == "image not named .bin")  // the sound image, under a name the image reader refuses
        QFile::copy(QDir(sim.work_path).filePath("fw/meter_2.bin"), QDir(dir).filePath("meter_2.img"));
    return path;
}

// A station with one base attached: the catalog lists only the simulator's base at one USB
// location, kept current while that base leaves USB and comes back.
struct OneBaseCatalog {
    const SimProcess &sim;
    QString location;
    QTemporaryDir dir;

    QString Path() const { return dir.filePath("ports.json"); }
    void Update() const
    {
        QList<PortInfo> ports;
        for (const PortInfo &port : sim.Ports()) {
            if (port.location == location)
                ports << port;
        }
        QString error;
        PortCatalogFile::Write(Path(), ports, sim.process.processId(), &error);
    }
    // Runs a command to its end with this catalog kept current.
    bool Run(CliProcess &cli) const
    {
        WaitUntil([&] {
            Update();
            return cli.process.state() == QProcess::NotRunning;
        }, kCommandMs);
        return cli.Finish(0);
    }
};

QJsonObject ByTarget(const QList<QJsonObject> &devices, const QString &target)
{
    for (const QJsonObject &device : devices) {
        if (device.value("target").toString() == target)
            return device;
    }
    return {};
}

}  // namespace

class TestCli : public QObject {
    Q_OBJECT

    SimProcess sim;     // the bench of the demo, answering
    SimProcess silent;  // the same bench, every reply lost

private slots:
    void initTestCase()
    {
        QVERIFY2(QFileInfo(qEnvironmentVariable("UPGRADER_CLI")).isExecutable(), "UPGRADER_CLI must name upgrader-cli");
        QVERIFY2(QFileInfo(qEnvironmentVariable("UPGRADER_SIM")).isExecutable(), "UPGRADER_SIM must name upgrader-sim");
        sim.Start({"--fast"});
        silent.Start({"--fast", "--drop-replies", "1"});
        QVERIFY(WaitUntil([&] { return sim.Ports().size() == 2 && silent.Ports().size() == 2; }, kStartMs));
    }

    void usage_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("wait_scale");
        QTest::addColumn<int>("exit_code");
        QTest::addColumn<QString>("says");  // on standard output for help, else on standard error
        QTest::newRow("help lists the exit codes")
            << QStringList{"--help"} << "" << 0 << "    7  port could not be opened or was lost\n";
        QTest::newRow("help names the test-only wait scale") << QStringList{"-h"} << "" << 0 << "UPGRADER_WAIT_SCALE=F";
        QTest::newRow("no command") << QStringList{} << "" << 2
                                    << "no command given: list, upgrade TARGET, switch app|boot, image FILE or history";
        QTest::newRow("empty port") << QStringList{"list", "--port", ""} << "" << 2
                                    << "--port needs a USB location, a USB serial number or a port name (list shows them)";
        QTest::newRow("unknown command") << QStringList{"flash", "Meter"} << "" << 2 << "unknown command 'flash'";
        QTest::newRow("upgrade without target") << QStringList{"upgrade"} << "" << 2 << "upgrade needs its argument";
        QTest::newRow("target without a button") << QStringList{"upgrade", "Wheel"} << "" << 2 << "unknown target 'Wheel'";
        QTest::newRow("switch sideways") << QStringList{"switch", "up"} << "" << 2 << "switch takes app or boot";
        QTest::newRow("stray argument") << QStringList{"list", "now"} << "" << 2 << "unexpected argument 'now'";
        QTest::newRow("language") << QStringList{"list", "--lang", "fr"} << "" << 2 << "--lang takes zh or en";
        QTest::newRow("timeout zero") << QStringList{"upgrade", "Meter", "--timeout", "0"} << "" << 2
                                      << "--timeout takes a number of seconds";
        QTest::newRow("timeout for a listing") << QStringList{"list", "--timeout", "5"} << "" << 2
                                               << "--timeout applies to upgrade only";
        QTest::newRow("all bases and one port") << QStringList{"upgrade", "Meter", "--all", "--port", "1-1.2"} << "" << 2
                                                << "--all upgrades every base; --port chooses one";
        QTest::newRow("all bases for a listing") << QStringList{"list", "--all"} << "" << 2
                                                 << "--all applies to upgrade only";
        QTest::newRow("port for an image") << QStringList{"image", "a.bin", "--port", "1-1.2"} << "" << 2
                                           << "--port applies to upgrade, switch and list";
        QTest::newRow("wait scale above one") << QStringList{"list"} << "3" << 2 << "UPGRADER_WAIT_SCALE takes a factor";
        QTest::newRow("unknown option") << QStringList{"list", "--colour"} << "" << 2 << "Unknown option 'colour'. (see --help)";
        QTest::newRow("option without its value") << QStringList{"list", "--port"} << "" << 2
                                                  << "Missing value after '--port'. (see --help)";
        QTest::newRow("timeout as text") << QStringList{"upgrade", "Meter", "--timeout", "soon"} << "" << 2
                                         << "--timeout takes a number of seconds above 0, not 'soon'";
        QTest::newRow("negative timeout") << QStringList{"upgrade", "Meter", "--timeout", "-5"} << "" << 2
                                          << "--timeout takes a number of seconds above 0, not '-5'";
        QTest::newRow("image without its file") << QStringList{"image"} << "" << 2 << "image needs its argument (FILE)";
        QTest::newRow("bad since") << QStringList{"history", "--since", "yesterday"} << "" << 2
                                   << "--since takes a date (2024-05-01)";
    }

    // Under --json a usage error is also the stream's result line, so a script that reads only
    // standard output learns why the command did nothing.
    void usageUnderJsonEndsInAResult()
    {
        QProcess process;
        process.start(qEnvironmentVariable("UPGRADER_CLI"), {"upgrade", "Wheel", "--json"});
        QVERIFY(process.waitForFinished(kCommandMs));
        QCOMPARE(process.exitCode(), 2);
        QVERIFY(QString::fromUtf8(process.readAllStandardError()).contains("unknown target 'Wheel'"));
        const QJsonObject result = QJsonDocument::fromJson(process.readAllStandardOutput()).object();
        QCOMPARE(result.value("event").toString(), QString("result"));
        QCOMPARE(result.value("result").toString(), QString("usage"));
        QCOMPARE(result.value("exit_code").toInt(), 2);
        QVERIFY2(result.value("error").toString().startsWith("unknown target 'Wheel'"),
                 qPrintable(result.value("error").toString()));
    }

    // fwimage: a usage error exits 2 and says where help is; each command's --help names it.
    void fwimageUsage_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exit_code");
        QTest::addColumn<QString>("says");  // on standard output for help, else on standard error
        QTest::newRow("nothing") << QStringList{} << 2 << "usage: fwimage build";
        QTest::newRow("unknown command") << QStringList{"flash"} << 2
                                         << "fwimage: unknown command 'flash': build, info, keygen or sign (see fwimage --help)";
        QTest::newRow("build help") << QStringList{"build", "--help"} << 0 << "Usage: fwimage build [options]";
        QTest::newRow("info help") << QStringList{"info", "--help"} << 0 << "usage: fwimage info IMAGE.bin";
        QTest::newRow("build unknown option") << QStringList{"build", "--fast"} << 2
                                              << "Unknown option 'fast'. (see fwimage build --help)";
        QTest::newRow("build without output") << QStringList{"build", "0x0:a.raw"} << 2
                                              << "no output file given (-o IMAGE.bin) (see fwimage build --help)";
        QTest::newRow("build bad layout") << QStringList{"build", "--layout", "2", "-o", "x.bin", "0x0:a.raw"} << 2
                                          << "--layout must be 0 or 1, not '2'";
        QTest::newRow("info without image") << QStringList{"info"} << 2
                                            << "info needs the image file (see fwimage info --help)";
        QTest::newRow("info of two images") << QStringList{"info", "a.bin", "b.bin"} << 2
                                            << "info takes one image file, not 2";
        QTest::newRow("info with an option") << QStringList{"info", "--raw", "a.bin"} << 2
                                             << "info has no option '--raw'";
        QTest::newRow("info of a missing image") << QStringList{"info", "/nonexistent/a.bin"} << 1 << "fwimage: ";
    }

    void fwimageUsage()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, exit_code);
        QFETCH(QString, says);
        QProcess process;
        process.start(qEnvironmentVariable("FWIMAGE"), arguments);
        QVERIFY(process.waitForFinished(kCommandMs));
        QCOMPARE(process.exitCode(), exit_code);
        const QString text = QString::fromUtf8(exit_code == 0 ? process.readAllStandardOutput()
                                                              : process.readAllStandardError());
        QVERIFY2(text.contains(says), qPrintable(text));
    }

    void usage()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, wait_scale);
        QFETCH(int, exit_code);
        QFETCH(QString, says);
        QProcess process;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("UPGRADER_WAIT_SCALE", wait_scale);
        process.setProcessEnvironment(environment);
        process.start(qEnvironmentVariable("UPGRADER_CLI"), arguments);
        QVERIFY(process.waitForFinished(kCommandMs));
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), exit_code);
        const QString text = QString::fromUtf8(exit_code == 0 ? process.readAllStandardOutput()
                                                              : process.readAllStandardError());
        QVERIFY2(text.contains(says), qPrintable(text));
    }

    // Every refusal: its exit code, its English wording on standard error, and its Chinese wording
    // in the JSON stream, which ends in the result. Nothing is started.
    void refusals_data()
    {
        QTest::addColumn<QString>("edit");        // of the simulator's configuration; "" uses none at all
        QTest::addColumn<bool>("device_silent");  // against the simulator whose replies are all lost
        QTest::addColumn<bool>("port_held");      // the display's port held open by another program
        QTest::addColumn<int>("exit_code");
        QTest::addColumn<QString>("en");
        QTest::addColumn<QString>("zh");

        QTest::newRow("no configuration file here") << "" << false << false << 3 << "No valid configuration file!"
                                                    << Zh("当前目录未找到json配置文件!");
        QTest::newRow("configuration not JSON") << "not JSON" << false << false << 3
                                                << "The configuration file parsing error!" << Zh("配置文件解析错误!");
        QTest::newRow("target not configured") << "Meter not configured" << false << false << 3
                                               << "Invalid configuration file!" << Zh("配置文件无效！");
        QTest::newRow("no device") << "Meter on no attached product id" << false << false << 4 << "No target found!"
                                   << Zh("未找到可升级设备!");
        QTest::newRow("several devices") << "Meter on both bases" << false << false << 4
                                         << "Meter is on 2 units (sim-1-4, sim-1-5): "
                                         << Zh("\"Meter\" 连接在 2 个设备上 (sim-1-4, sim-1-5)：");
        QTest::newRow("no hardware version") << "none" << true << false << 5
                                             << "Cannot get hardware version, please retry!"
                                             << Zh("未查询到\"Meter\"的硬件版本!");
        QTest::newRow("hardware matches no variant") << "hardware unknown" << false << false << 5
                                                     << "Hardware doesn't match!"
                                                     << Zh("\"Meter\"配置的硬件版本，与获取到的不匹配: \"METER-HW-2\"!");
        QTest::newRow("image path empty") << "image path empty" << false << false << 6
                                          << "Firmware path of \"meter 2\" is invalid!" << Zh("\"meter 2\"固件路径为空!");
        QTest::newRow("image missing beside the configuration")
            << "image missing" << false << false << 6 << "Firmware of \"meter 2\" doesn't exist!"
            << Zh("\"meter 2\"固件路径找不到指定固件!");
        QTest::newRow("image invalid") << "image invalid" << false << false << 6
                                       << "Firmware of \"meter 2\" is invalid: " << Zh("\"meter 2\"固件无效: ");
        QTest::newRow("image not named .bin") << "image not named .bin" << false << false << 6
                                              << "Firmware of \"meter 2\" must be a .bin file (its path must contain "
                                                 "\".bin\", in lower case): "
                                              << Zh("\"meter 2\"固件必须是.bin文件（路径中须含小写的\".bin\"）: ");
        QTest::newRow("port held by another program") << "none" << false << true << 7 << "Port /dev/"
                                                      << Zh("无法打开端口 /dev/");
        QTest::newRow("device id as text") << "dev_id as text" << false << false << 3 << "Configuration file "
                                           << Zh("配置文件 ");
    }

    void refusals()
    {
        QFETCH(QString, edit);
        QFETCH(bool, device_silent);
        QFETCH(bool, port_held);
        QFETCH(int, exit_code);
        QFETCH(QString, en);
        QFETCH(QString, zh);
        const SimProcess &bench = device_silent ? silent : sim;
        QTemporaryDir dir;
        QStringList config;
        if (!edit.isEmpty())
            config << "--config" << WriteConfig(bench, dir.path(), edit);
        QSerialPort holder(bench.PortAt(kMeterPort));
        if (port_held)
            QVERIFY(holder.open(QIODevice::ReadWrite));
        // Run one after the other: two commands at once would find the port busy.
        CliProcess english(bench.Catalog(), QStringList{"upgrade", "Meter", "--lang", "en"} + config, dir.path());
        QVERIFY(english.Finish(kCommandMs));
        CliProcess chinese(bench.Catalog(), QStringList{"upgrade", "Meter", "--lang", "zh", "--json"} + config,
                           dir.path());
        QVERIFY(chinese.Finish(kCommandMs));

        QCOMPARE(english.ExitCode(), exit_code);
        QVERIFY2(english.err.startsWith(en), qPrintable(english.err));
        if (port_held) {
            // Which port, and that another program holds it: the operator closes that program.
            QVERIFY2(english.err.contains(bench.PortAt(kMeterPort) + " is held by another program"), qPrintable(english.err));
            QVERIFY2(english.err.contains("try again"), qPrintable(english.err));
        }
        QVERIFY2(english.out.isEmpty(), qPrintable(english.out));  // no job, no progress, no result line

        QCOMPARE(chinese.ExitCode(), exit_code);
        const QList<QJsonObject> events = chinese.Events();
        QCOMPARE(events.size(), 2);
        QCOMPARE(events[0].value("event").toString(), QString("refusal"));
        QVERIFY2(events[0].value("text").toString().startsWith(zh), qPrintable(chinese.out));
        QCOMPARE(events[1].value("event").toString(), QString("result"));
        QCOMPARE(events[1].value("exit_code").toInt(), exit_code);
        QCOMPARE(events[1].value("error").toString(), events[0].value("text").toString());
        QCOMPARE(events[1].value("target").toString(), QString("Meter"));
        QVERIFY(events[1].value("duration_s").isDouble());
        // No job began, so none is recorded.
        QVERIFY(!QFileInfo::exists(dir.filePath("upgrade-history.sqlite")));
    }

    // A relative image path starts at the configuration's folder, not at the command's working
    // directory: there the image at the same relative path is sound, beside the configuration it
    // is broken, and the command refuses the broken one before anything is sent.
    void relativeImagePathStartsAtTheConfiguration()
    {
        QTemporaryDir config_dir;
        QTemporaryDir working_dir;
        const QString config = WriteConfig(sim, config_dir.path(), "image missing");  // "fw/meter_2.bin"
        const QString beside = QDir(config_dir.path()).filePath("fw/meter_2.bin");
        const QString sound = QDir(working_dir.path()).filePath("fw/meter_2.bin");
        QVERIFY(QDir().mkpath(QFileInfo(beside).path()) && QDir().mkpath(QFileInfo(sound).path()));
        QVERIFY(QFile::copy(QDir(config_dir.path()).filePath("broken.bin"), beside));
        QVERIFY(QFile::copy(QDir(sim.work_path).filePath("fw/meter_2.bin"), sound));

        CliProcess cli(sim.Catalog(), {"upgrade", "Meter", "--config", config, "--lang", "en", "--json", "--verbose"},
                       working_dir.path());
        QVERIFY(cli.Finish(kCommandMs));
        QCOMPARE(cli.ExitCode(), 6);
        const QList<QJsonObject> refusals = cli.Events("refusal");
        QCOMPARE(refusals.size(), 1);
        QVERIFY2(refusals[0].value("text").toString().startsWith("Firmware of \"meter 2\" is invalid: "),
                 qPrintable(cli.out));
        QStringList debug;
        for (const QJsonObject &line : cli.Events("debug"))
            debug << line.value("text").toString();
        QVERIFY2(debug.contains("firm_path:" + beside), qPrintable(debug.join('\n')));
        QVERIFY(cli.Events("start").isEmpty());
    }

    // Without --lang the configuration's is_english decides, as in the window.
    void languageComesFromTheConfiguration()
    {
        QTemporaryDir dir;
        CliProcess cli(sim.Catalog(),
                       {"upgrade", "Meter", "--config", WriteConfig(sim, dir.path(), "hardware unknown", true)});
        QVERIFY(cli.Finish(kCommandMs));
        QCOMPARE(cli.ExitCode(), 5);
        QCOMPARE(cli.err.trimmed(), Zh("\"Meter\"配置的硬件版本，与获取到的不匹配: \"METER-HW-2\"!"));
    }

    // A configuration error names the file and the field; a value of the wrong type is one (the
    // window reads it as empty, the command refuses it before it looks for a device).
    void configurationErrorsNameTheFileAndTheField_data()
    {
        QTest::addColumn<QString>("edit");
        QTest::addColumn<QString>("field");
        QTest::newRow("device id as text") << "dev_id as text" << "firmware.Meter.dev_id must be a whole number, not \"four\"";
        QTest::newRow("product id as text") << "USB_PID as text" << "firmware.Meter.USB_PID[0] must be a product id";
        QTest::newRow("negative section length")
            << "negative section_len" << "firmware.Meter.series[0].section_len must be a whole number of 0 or more, not -1";
        QTest::newRow("missing field") << "Meter without dev_id" << "[Config] Field \"dev_id\" in \"Meter\" not found!";
        QTest::newRow("a folder given") << "folder" << "Cannot open the json file! (";
    }

    void configurationErrorsNameTheFileAndTheField()
    {
        QFETCH(QString, edit);
        QFETCH(QString, field);
        QTemporaryDir dir;
        QString config = WriteConfig(sim, dir.path(), edit);
        if (edit == "folder") {
            config = dir.path();
            field += config + " is a folder: name the configuration file in it)";
        }
        for (const QStringList &command : {QStringList{"upgrade", "meter"}, QStringList{"list"}}) {
            CliProcess cli(sim.Catalog(), command + QStringList{"--config", config, "--lang", "en"});
            QVERIFY(cli.Finish(kCommandMs));
            QCOMPARE(cli.ExitCode(), 3);
            QVERIFY2(cli.err.contains(config) && cli.err.contains(field), qPrintable(cli.err));
        }
        CliProcess json(sim.Catalog(), {"upgrade", "Meter", "--config", config, "--json", "--lang", "zh"});
        QVERIFY(json.Finish(kCommandMs));
        QCOMPARE(json.ExitCode(), 3);
        QVERIFY2(json.Events("result").value(0).value("error").toString().contains(config), qPrintable(json.out));
    }

    // "no device" names the target and the product ids it was looked for under, the family ports
    // that are attached, and a simulator catalog that gives no port, with why.
    void noDeviceSaysWhatWasLookedFor_data()
    {
        QTest::addColumn<QString>("catalog");  // "bench", or a state of a catalog file of our own
        QTest::addColumn<QStringList>("says");
        QTest::newRow("product id not attached")
            << "bench" << QStringList{"No target found! (no device of \"Meter\" (product id 9); attached: 4 @ sim-1-4, 5 @ sim-1-5)"};
        QTest::newRow("catalog missing") << "missing" << QStringList{"no port of the family is attached", "is unusable: it does not exist"};
        QTest::newRow("catalog not JSON") << "not JSON" << QStringList{"is unusable: it is not JSON"};
        QTest::newRow("catalog of a simulator that ended")
            << "stale" << QStringList{"is unusable: the simulator that wrote it (process "};
    }

    void noDeviceSaysWhatWasLookedFor()
    {
        QFETCH(QString, catalog);
        QFETCH(QStringList, says);
        QTemporaryDir dir;
        const QString config = WriteConfig(sim, dir.path(), catalog == "bench" ? "Meter on no attached product id" : "");
        QString path = sim.Catalog();
        if (catalog != "bench") {
            path = dir.filePath("ports.json");
            if (catalog == "not JSON") {
                QFile file(path);
                QVERIFY(file.open(QIODevice::WriteOnly));
                file.write("{\"pid\": ");
            } else if (catalog == "stale") {
                // The ports are the bench's, still there: only the publisher is gone.
                QProcess ended;
                ended.start("true", QStringList());
                QVERIFY(ended.waitForStarted(kCommandMs));
                const qint64 gone = ended.processId();
                QVERIFY(ended.waitForFinished(kCommandMs));
                QString error;
                QVERIFY(PortCatalogFile::Write(path, sim.Ports(), gone, &error));
            }
        }
        CliProcess cli(path, {"upgrade", "Meter", "--config", config, "--lang", "en"});
        QVERIFY(cli.Finish(kCommandMs));
        QCOMPARE(cli.ExitCode(), 4);
        // The refusal is the last line (the link warns once of a stale catalog before it).
        QVERIFY2(cli.err.trimmed().section('\n', -1).startsWith("No target found! (no device of \"Meter\" (product id "),
                 qPrintable(cli.err));
        for (const QString &part : says)
            QVERIFY2(cli.err.contains(part), qPrintable(cli.err));
        if (catalog != "bench")
            QVERIFY2(cli.err.contains("UPGRADER_SIM_CATALOG=" + path), qPrintable(cli.err));
        // A problem of the bench's set-up is told without --verbose too, unlike the job's own
        // warnings.
        if (catalog == "stale") {
            QVERIFY2(cli.err.startsWith("UPGRADER_SIM_CATALOG: ignoring " + path + ": the simulator that wrote it"),
                     qPrintable(cli.err));
        }
    }

    // What a technician reads says what is wrong and what to do, in the station's terms: a station
    // of several units is told about --port and --all, a configuration that no retry can mend is
    // an error naming its file and field, a language setting that is no boolean flips nothing,
    // units come in USB order, and a device in its bootloader shows no application version.
    void messagesSayWhatToDo_data()
    {
        QTest::addColumn<QString>("edit");        // of the simulator's configuration
        QTest::addColumn<QString>("bench");       // "bench", "scrambled catalog", "base in its bootloader"
        QTest::addColumn<QStringList>("command");
        QTest::addColumn<int>("exit_code");
        QTest::addColumn<QStringList>("says");    // on standard error (standard output for 0); <config> is its path
        QTest::addColumn<QStringList>("never");

        const QStringList upgrade{"upgrade", "Meter", "--lang", "en"};
        QTest::newRow("several units, no --port")
            << "Meter on both bases" << "bench" << upgrade << 4
            << QStringList{"Meter is on 2 units (sim-1-4, sim-1-5): choose one with --port LOCATION, or upgrade "
                           "every one with --all"}
            << QStringList{"leave one only"};
        for (int dev_id : {-1, 0, 256, 300}) {
            QTest::addRow("dev_id %d", dev_id)
                << QString("Meter dev_id %1").arg(dev_id) << "bench" << upgrade << 3
                << QStringList{QString("Configuration file <config>: firmware.Meter.dev_id must be a device id of "
                                       "the family (1 to 5), not %1").arg(dev_id)}
                << QStringList{"hardware version"};
        }
        QTest::newRow("dev_id of a device no launch upgrades")
            << "Meter dev_id 1" << "bench" << upgrade << 3
            << QStringList{"Configuration file <config>: firmware.Meter.dev_id is 1, but only devices 2 to 5 can be "
                           "upgraded"}
            << QStringList{"hardware version"};
        QTest::newRow("target missing")
            << "Meter not configured" << "bench" << upgrade << 3
            << QStringList{"Invalid configuration file! Configuration file <config> has no \"Meter\" in its firmware "
                           "(it has: Base, Motor, Pedals, Steering)"}
            << QStringList{};
        QTest::newRow("no variant")
            << "Meter without variants" << "bench" << upgrade << 3
            << QStringList{"Configuration file <config>: firmware.Meter.series is empty: no firmware variant is "
                           "configured for Meter"}
            << QStringList{"Hardware doesn't match"};
        QTest::newRow("is_english as text, no --lang")
            << "is_english as text" << "bench" << QStringList{"upgrade", "Meter"} << 3
            << QStringList{"Configuration file <config>: is_english must be true or false, not \"yes\"",
                           Zh("配置文件 <config>: is_english 应为true 或 false，实际为 \"yes\"")}
            << QStringList{};
        QTest::newRow("is_english as text, --lang en")
            << "is_english as text" << "bench" << QStringList{"list", "--lang", "en"} << 3
            << QStringList{"Configuration file <config>: is_english must be true or false, not \"yes\""}
            << QStringList{Zh("配置文件")};
        QTest::newRow("attached units in USB order")
            << "Meter on no attached product id" << "scrambled catalog" << upgrade << 4
            << QStringList{"attached: 4 @ sim-1-4, 5 @ sim-1-5, 7 @ sim-1-7, 7 @ sim-2-7, 7 @ sim-10-7"}
            << QStringList{};
        QTest::newRow("list, base in its bootloader")
            << "none" << "base in its bootloader" << QStringList{"list", "--port", "sim-1-4"} << 0
            << QStringList{"Base bootloader - - BASE-HW-A-REV-0003"}
            << QStringList{"Base bootloader 2."};
    }

    void messagesSayWhatToDo()
    {
        QFETCH(QString, edit);
        QFETCH(QString, bench);
        QFETCH(QStringList, command);
        QFETCH(int, exit_code);
        QFETCH(QStringList, says);
        QFETCH(QStringList, never);
        QTemporaryDir dir;
        const QString config = WriteConfig(sim, dir.path(), edit);
        QString catalog = sim.Catalog();
        std::unique_ptr<SimProcess> own;
        if (bench == "scrambled catalog") {
            // The bench's ports and three more (of a product id nothing is configured for), listed
            // against USB order.
            catalog = dir.filePath("ports.json");
            QList<PortInfo> ports = sim.Ports();
            std::reverse(ports.begin(), ports.end());
            PortInfo other = ports.first();
            other.name = "/dev/null";
            other.product_id = 7;
            other.serial_number.clear();
            for (const char *location : {"sim-2-7", "sim-10-7", "sim-1-7"}) {
                other.location = location;
                ports.insert(1, other);
            }
            QString error;
            QVERIFY2(PortCatalogFile::Write(catalog, ports, sim.process.processId(), &error), qPrintable(error));
        } else if (bench == "base in its bootloader") {
            own = std::make_unique<SimProcess>();
            QVERIFY(own->StartAndWait({"--fast"}, 2, kStartMs));
            catalog = own->Catalog();
            CliProcess boot(catalog, {"switch", "boot", "--port", "sim-1-4", "--config", own->Config()});
            QVERIFY(boot.Finish(kCommandMs));
            QVERIFY2(boot.ExitCode() == 0, qPrintable(boot.err));
        }
        CliProcess cli(catalog, command + QStringList{"--config", own ? own->Config() : config});
        QVERIFY(cli.Finish(kCommandMs));
        QVERIFY2(cli.ExitCode() == exit_code, qPrintable(cli.out + cli.err));
        QStringList lines;
        for (const QString &line : (exit_code == 0 ? cli.out : cli.err).split('\n'))
            lines << line.simplified();
        const QString text = lines.join('\n');
        for (QString part : says) {
            part.replace("<config>", config);
            QVERIFY2(text.contains(part.simplified()), qPrintable(text));
        }
        for (const QString &part : never)
            QVERIFY2(!text.contains(part), qPrintable(text));
    }

    // A target named in any letter case is the family's; the outputs carry the family's spelling.
    void targetsInAnyCase()
    {
        QTemporaryDir dir;
        CliProcess cli(sim.Catalog(), {"upgrade", "mEtEr", "--json", "--config", WriteConfig(sim, dir.path(), "hardware unknown")});
        QVERIFY(cli.Finish(kCommandMs));
        QCOMPARE(cli.ExitCode(), 5);
        QCOMPARE(cli.Events("result").value(0).value("target").toString(), QString("Meter"));
    }

    // The listing shows what the status poll reads; the switch moves the base of a station with one
    // base attached and is confirmed by the poll; with the bench's two bases it is refused.
    void listAndSwitch()
    {
        CliProcess list(sim.Catalog(), {"list", "--config", sim.Config()});
        QVERIFY(list.Finish(kCommandMs));
        QCOMPARE(list.ExitCode(), 0);
        const QStringList lines = list.out.split('\n');
        const QString pid4 = sim.PortAt("sim-1-4");
        const QString pid5 = sim.PortAt("sim-1-5");
        QMap<QString, QString> serial;
        for (const PortInfo &port : sim.Ports())
            serial[port.location] = port.serial_number.isEmpty() ? "-" : port.serial_number;
        const QStringList expected = {
            "unit sim-1-4: port " + pid4 + ", serial " + serial["sim-1-4"] + ", product id 4, base application",
            "target mode application boot hardware",
            "Base application 2.0.2.1 - BASE-HW-A-REV-0003",
            "Meter application 2.0.4.1 - METER-HW-2",
            "Motor application 2.0.3.1 - MOTOR-HW-A",
            "Pedals application 2.0.5.1 - PEDAL-HW-A",
            "",
            "unit sim-1-5: port " + pid5 + ", serial " + serial["sim-1-5"] + ", product id 5, base application",
            "target mode application boot hardware",
            "Steering application 2.0.5.1 - STEER-HW-B",
            "",
        };
        QStringList simplified;
        for (const QString &line : lines)
            simplified << line.simplified();
        QCOMPARE(simplified, expected);

        CliProcess refused(sim.Catalog(), {"switch", "boot", "--config", sim.Config()});
        QVERIFY(refused.Finish(kCommandMs));
        QCOMPARE(refused.ExitCode(), 4);
        QCOMPARE(refused.err.trimmed(), QString("Several devices of the family are attached; the switch needs exactly "
                                                "one (attached: sim-1-4, sim-1-5; --port LOCATION)"));

        OneBaseCatalog station{sim, "sim-1-4", {}};
        station.Update();
        CliProcess boot(station.Path(), {"switch", "boot", "--config", sim.Config(), "--lang", "zh"});
        QVERIFY(station.Run(boot));
        QCOMPARE(boot.ExitCode(), 0);
        QCOMPARE(boot.out.trimmed(), Zh("主机运行引导程序"));

        // Again: the base already runs its bootloader, and is not restarted (it keeps its port).
        QString in_boot_port;
        QVERIFY(WaitUntil([&] { return !(in_boot_port = sim.PortAt("sim-1-4")).isEmpty(); }, kCommandMs));
        station.Update();
        CliProcess again(station.Path(), {"switch", "boot", "--config", sim.Config()});
        QVERIFY(station.Run(again));
        QCOMPARE(again.ExitCode(), 0);
        QCOMPARE(again.out.trimmed(), QString("The base already runs its bootloader; nothing was restarted"));
        QCOMPARE(sim.PortAt("sim-1-4"), in_boot_port);

        CliProcess in_boot(sim.Catalog(), {"list", "--config", sim.Config(), "--json"});
        QVERIFY(in_boot.Finish(kCommandMs));
        QCOMPARE(in_boot.ExitCode(), 0);
        const QList<QJsonObject> units = in_boot.Events("unit");
        QCOMPARE(units.size(), 2);
        const QJsonObject display_base = units[0];
        QCOMPARE(display_base.value("location").toString(), QString("sim-1-4"));
        QCOMPARE(display_base.value("mode").toString(), QString("bootloader"));
        QCOMPARE(display_base.value("port").toString(), in_boot_port);
        QVERIFY(display_base.value("port").toString() != pid4);  // back under a new path
        QCOMPARE(display_base.value("busy").toBool(), false);
        QList<QJsonObject> devices;
        for (const QJsonValue &device : display_base.value("devices").toArray())
            devices << device.toObject();
        QCOMPARE(devices.size(), 4);
        QCOMPARE(ByTarget(devices, "Base").value("mode").toString(), QString("bootloader"));
        QCOMPARE(ByTarget(devices, "Motor").value("mode").toString(), QString("application"));
        QVERIFY(ByTarget(devices, "Motor").value("boot_version").isNull());
        const QJsonObject wheel_base = units[1];
        QCOMPARE(wheel_base.value("product_id").toInt(), 5);
        const QJsonObject steering = wheel_base.value("devices").toArray().at(0).toObject();
        QCOMPARE(steering.value("target").toString(), QString("Steering"));
        QCOMPARE(steering.value("hw_version").toString(), QString("STEER-HW-B"));
        QCOMPARE(steering.value("app_version").toString(), QString("2.0.5.1"));
        QCOMPARE(in_boot.Events().last().value("event").toString(), QString("result"));

        CliProcess app(station.Path(), {"switch", "app", "--config", sim.Config(), "--json"});
        QVERIFY(station.Run(app));
        QCOMPARE(app.ExitCode(), 0);
        QCOMPARE(app.Events("result").value(0).value("message").toString(), QString("The base runs its application"));

        // A bench with no device at all, because the catalog named is not there: the listing says so.
        const QString none = silent.work.filePath("none.json");
        CliProcess nothing(none, {"list", "--config", sim.Config(), "--json"});
        QVERIFY(nothing.Finish(kCommandMs));
        QCOMPARE(nothing.ExitCode(), 0);
        QVERIFY(nothing.Events("unit").isEmpty());
        const QString message = nothing.Events("result").value(0).value("message").toString();
        QVERIFY2(message.startsWith("No device of the family is attached (UPGRADER_SIM_CATALOG=" + none +
                                    " is unusable: it does not exist)"),
                 qPrintable(message));
        QCOMPARE(nothing.Events("result").value(0).value("not_attached").toArray().size(), 5);
    }

    // The base that carries only the steering wheel has a product id the configured "Base" does
    // not name: the switch is still confirmed by the mode that base reports, and the other base is
    // left alone.
    void switchTheSteeringWheelsBase()
    {
        const QString other_base = sim.PortAt("sim-1-4");
        struct Row {
            const char *to;
            const char *says;
            uint8_t mode;
        };
        for (const Row &row : {Row{"boot", "The base runs its bootloader", 1}, Row{"app", "The base runs its application", 2}}) {
            const QString before = sim.PortAt("sim-1-5");
            CliProcess cli(sim.Catalog(), {"switch", row.to, "--port", "sim-1-5", "--config", sim.Config()});
            QVERIFY(cli.Finish(kCommandMs));
            QVERIFY2(cli.ExitCode() == 0, qPrintable(cli.err));
            QCOMPARE(cli.out.trimmed(), QString(row.says));

            // The simulated base itself, asked on its new path, runs the mode asked for.
            QString now;
            QVERIFY(WaitUntil([&] { return !(now = sim.PortAt("sim-1-5")).isEmpty(); }, kCommandMs));
            QVERIFY(now != before);
            QSerialPort port(now);
            QVERIFY2(port.open(QIODevice::ReadWrite), qPrintable(port.errorString()));
            const std::optional<Frame> mode = AskDevice(port, DeviceRequest(0x02, 2, QByteArray(1, 0)));
            QVERIFY(mode);
            QCOMPARE(mode->payload[0], row.mode);
            QCOMPARE(sim.PortAt("sim-1-4"), other_base);
        }
    }

    // One report for two programs: the command prints exactly what fwimage info prints.
    void imageReportIsFwimages_data()
    {
        QTest::addColumn<QString>("damage");
        QTest::addColumn<int>("fwimage_code");
        QTest::addColumn<int>("cli_code");
        QTest::newRow("sound image") << "none" << 0 << 0;
        QTest::newRow("section data altered") << "data" << 1 << 6;
        QTest::newRow("not an image") << "all" << 1 << 6;
        QTest::newRow("no such file") << "missing" << 1 << 6;
        QTest::newRow("empty file") << "empty" << 1 << 6;
        // Judged as an upgrade judges it: a sound image whose path the image reader refuses.
        QTest::newRow("path without .bin") << "name" << 1 << 6;
    }

    void imageReportIsFwimages()
    {
        QFETCH(QString, damage);
        QFETCH(int, fwimage_code);
        QFETCH(int, cli_code);
        QTemporaryDir dir;
        const QString path = dir.filePath(damage == "name" ? "meter_2.img" : "meter.bin");
        QFile original(QDir(sim.work_path).filePath("fw/meter_2.bin"));
        QVERIFY(original.open(QIODevice::ReadOnly));
        QByteArray bytes = original.readAll();
        if (damage == "data") {
            // A byte inside the stored data of the last section.
            ImageHeader header;
            std::vector<FirmwareSection> sections;
            QString reason;
            QVERIFY(FirmwareImage::ReadHeader(bytes, header, reason) == FirmwareImage::Verdict::Ok);
            QVERIFY(FirmwareImage::ReadSections(bytes, header, 4, sections, reason) == FirmwareImage::Verdict::Ok);
            const int at = bytes.lastIndexOf(sections.back().data) + sections.back().data.size() / 2;
            QVERIFY(at > 0);
            bytes[at] = char(bytes[at] ^ 0x20);
        }
        if (damage == "all")
            bytes = QByteArray(bytes.size(), 'x');
        if (damage == "empty")
            bytes.clear();
        if (damage != "missing") {
            QFile copy(path);
            QVERIFY(copy.open(QIODevice::WriteOnly));
            copy.write(bytes);
        }

        QProcess fwimage;
        fwimage.start(qEnvironmentVariable("FWIMAGE"), {"info", path});
        QVERIFY(fwimage.waitForFinished(kCommandMs));
        CliProcess cli(sim.Catalog(), {"image", path});
        QVERIFY(cli.Finish(kCommandMs));
        QCOMPARE(fwimage.exitCode(), fwimage_code);
        QCOMPARE(cli.ExitCode(), cli_code);
        QCOMPARE(cli.out, QString::fromUtf8(fwimage.readAllStandardOutput()));
        const QString problem = QString::fromUtf8(fwimage.readAllStandardError()).remove("fwimage: ");
        QCOMPARE(cli.err.remove("upgrader-cli: "), problem);
        if (cli_code == 0)
            QVERIFY(cli.out.contains("Sections:      16\n"));
        // A file that is no image is told what it is, not only that its magic number is wrong.
        if (damage == "all")
            QVERIFY2(cli.err.endsWith("(the file is no firmware image: fwimage build makes one)\n"), qPrintable(cli.err));
        if (damage == "empty")
            QVERIFY2(cli.err.endsWith("(the file is empty)\n"), qPrintable(cli.err));
        if (damage == "name")
            QCOMPARE(cli.err, path + " is not a valid image: The path does not contain \".bin\" (in lower case): only .bin "
                                     "files are taken as images!\n");

        // With --json the facts are fields of the result, besides the same report.
        CliProcess json(sim.Catalog(), {"image", path, "--json"});
        QVERIFY(json.Finish(kCommandMs));
        QCOMPARE(json.ExitCode(), cli_code);
        const QJsonObject result = json.Events("result").value(0);
        QCOMPARE(result.value("report").toString(), cli.out);
        if (damage == "missing") {
            QVERIFY(result.value("sha256").isUndefined());
            return;
        }
        QCOMPARE(result.value("sha256").toString(),
                 QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex()));
        if (damage == "all" || damage == "empty") {
            QVERIFY(result.value("version").isUndefined());
            return;
        }
        ImageHeader header;
        QString reason;
        QVERIFY(FirmwareImage::ReadHeader(bytes, header, reason) == FirmwareImage::Verdict::Ok);
        QCOMPARE(result.value("version").toString(),
                 QString("%1.%2.%3").arg(header.app_ver_major).arg(header.app_ver_minor).arg(header.app_ver_patch));
        QCOMPARE(result.value("product_code").toString(), header.product_code);
        QCOMPARE(result.value("seal").toString(), QString(damage == "data" ? "broken" : "matches"));
        const QJsonArray sections = result.value("sections").toArray();
        QCOMPARE(sections.size(), 16);
        QVERIFY(sections[0].toObject().value("address").toString().startsWith("0x"));
        QVERIFY(sections[0].toObject().value("length").toInt() > 0);
    }
    // With trusted keys, the command takes only an image a trusted key signed: the others exit 6
    // with the reason and the signer's key id before anything is sent and nothing is recorded;
    // the signed one is upgraded, and its start and its record name the key. Last of the suite:
    // the display it upgrades reports another version afterwards.
    void onlyImagesATrustedKeySigned()
    {
        QTemporaryDir dir;
        const QString config = WriteConfig(sim, dir.path(), "trusted keys");
        const ImageSignature::KeyPair line = ImageSignature::MakeKeyPair();
        const ImageSignature::KeyPair other = ImageSignature::MakeKeyPair();
        const QString line_id = ImageSignature::KeyId(line.public_key), other_id = ImageSignature::KeyId(other.public_key);
        auto write = [&](const QString &name, const QByteArray &bytes) {
            QFile file(dir.filePath(name));
            return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
        };
        QVERIFY(write("line.pub", ImageSignature::PublicKeyText(line.public_key, "line")));
        QFile image(dir.filePath("meter_2.bin"));
        QVERIFY(image.open(QIODevice::ReadOnly));
        const QByteArray bytes = image.readAll();
        const QString history = dir.filePath("upgrade-history.sqlite");

        CliProcess unsigned_run(sim.Catalog(), {"upgrade", "Meter", "--lang", "en", "--config", config}, dir.path());
        QVERIFY(unsigned_run.Finish(kCommandMs));
        QCOMPARE(unsigned_run.ExitCode(), 6);
        QVERIFY2(unsigned_run.err.startsWith("Firmware of \"meter 2\" is not signed, and this line takes only images "
                                             "signed by a trusted key"),
                 qPrintable(unsigned_run.err));

        QVERIFY(write("meter_2.bin.sig", ImageSignature::Sign(bytes, other)));
        CliProcess other_run(sim.Catalog(), {"upgrade", "Meter", "--lang", "zh", "--json", "--config", config}, dir.path());
        QVERIFY(other_run.Finish(kCommandMs));
        QCOMPARE(other_run.ExitCode(), 6);
        const QList<QJsonObject> refused = other_run.Events();
        QCOMPARE(refused.size(), 2);
        QCOMPARE(refused[0].value("event").toString(), QString("refusal"));
        QCOMPARE(refused[0].value("text").toString(), Zh("\"meter 2\"固件由密钥%1签名，本产线不信任该密钥").arg(other_id));
        QCOMPARE(refused[1].value("result").toString(), QString("image"));
        QVERIFY(!QFileInfo::exists(history));

        QVERIFY(write("meter_2.bin.sig", ImageSignature::Sign(bytes, line)));
        CliProcess signed_run(sim.Catalog(), {"upgrade", "Meter", "--json", "--config", config}, dir.path());
        QVERIFY(signed_run.Finish(kUpgradeMs));
        QVERIFY2(signed_run.ExitCode() == 0, qPrintable(signed_run.err));
        QString signer;
        for (const QJsonObject &event : signed_run.Events()) {
            if (event.value("event").toString() == "start")
                signer = event.value("signer_key_id").toString();
        }
        QCOMPARE(signer, line_id);
        CliProcess records(sim.Catalog(), {"history", "--config", config, "--json"}, dir.path());
        QVERIFY(records.Finish(kCommandMs));
        const QList<QJsonObject> written = records.Events();
        QCOMPARE(written.size(), 1);
        QCOMPARE(written[0].value("signer_key_id").toString(), line_id);
        QCOMPARE(written[0].value("result").toString(), QString("success"));
    }
};

QTEST_GUILESS_MAIN(TestCli)
#include "tst_cli.moc"
