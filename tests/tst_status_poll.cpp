// The status poll's typed report of every configured target, and the hardware query's report of
// its one device, against the simulated family.
#include "fast_family.h"
#include "scoped_fixtures.h"
#include "sim_family.h"
#include "sim_port_catalog.h"
#include "sim_protocol.h"
#include "upgrade_server.h"

#include <QtTest>

#include <memory>
#include <optional>

Q_DECLARE_METATYPE(std::optional<AppVersion>)
Q_DECLARE_METATYPE(std::optional<QString>)

namespace {

// Base on either product id; Pedals on one no simulated family uses.
FirmwareEntries Entries()
{
    auto entry = [](int dev_id, QSet<int> pids) {
        FirmwareEntry e;
        e.dev_id = dev_id;
        e.usb_pids = pids;
        return e;
    };
    return {{"Base", entry(2, {4, 5})},
            {"Meter", entry(4, {4})},
            {"Motor", entry(3, {4})},
            {"Pedals", entry(1, {9})},
            {"Steering", entry(5, {4})}};
}

SimDeviceSpec &DeviceOf(SimFamilyOptions &options, int id)
{
    for (SimDeviceSpec &device : options.devices) {
        if (device.id == id)
            return device;
    }
    qFatal("no device %d", id);
}

// One engine with the test's entries whose reports are collected.
struct Poller {
    FirmwareEntries entries = Entries();
    UpgradeServer engine;
    QList<TargetStatusList> reports;

    Poller()
    {
        QObject::connect(&engine, &UpgradeServer::PushTargetStatus,
                         [this](const TargetStatusList &statuses) { reports.append(statuses); });
        engine.SetFirmwareEntries(&entries);
    }
    ~Poller() { engine.SetFirmwareEntries(nullptr); }

    // One poll's report, by target name.
    QMap<QString, TargetStatus> Poll()
    {
        const int before = reports.size();
        engine.GetControlerState();
        QMap<QString, TargetStatus> by_name;
        if (reports.size() != before + 1)
            return by_name;
        for (const TargetStatus &status : reports.last())
            by_name[status.name] = status;
        return by_name;
    }
};

}  // namespace

class TestStatusPoll : public QObject {
    Q_OBJECT

    std::optional<ScopedSimCatalog> catalog;

private slots:
    void initTestCase() { catalog.emplace(); }
    void init() { SimPortCatalog::Clear(); }

    // Every configured target in name order, each as the poll found it: attached or not, its mode
    // when it answered, and when it was heard. No details unless asked.
    void everyTargetReported_data()
    {
        QTest::addColumn<bool>("attached");
        QTest::addColumn<int>("base_mode");  // the base device's mode, SimMode
        QTest::addColumn<int>("silent");     // a device that does not answer; 0: none
        // Per target in name order (Base, Meter, Motor, Pedals, Steering): mode byte, or -1 when
        // attached but silent, or -2 when not attached.
        QTest::addColumn<QList<int>>("modes");

        QTest::newRow("nothing attached") << false << int(SimMode::App) << 0 << QList<int>{-2, -2, -2, -2, -2};
        QTest::newRow("all in their applications")
            << true << int(SimMode::App) << 0 << QList<int>{Mode::App, Mode::App, Mode::App, -2, Mode::App};
        QTest::newRow("base in its bootloader")
            << true << int(SimMode::Boot) << 0 << QList<int>{Mode::Boot, Mode::App, Mode::App, -2, Mode::App};
        QTest::newRow("display silent") << true << int(SimMode::App) << 4
                                        << QList<int>{Mode::App, -1, Mode::App, -2, Mode::App};
    }

    void everyTargetReported()
    {
        QFETCH(bool, attached);
        QFETCH(int, base_mode);
        QFETCH(int, silent);
        QFETCH(QList<int>, modes);
        SimFamilyOptions options = FastFamily();
        DeviceOf(options, 2).mode = SimMode(base_mode);
        if (silent)
            options.faults.silent.insert(silent);
        std::unique_ptr<SimFamily> family;
        if (attached)
            family = std::make_unique<SimFamily>(options);

        Poller poller;
        const QDateTime before = QDateTime::currentDateTimeUtc();
        const QMap<QString, TargetStatus> report = poller.Poll();
        const QDateTime after = QDateTime::currentDateTimeUtc();
        QCOMPARE(poller.reports.size(), 1);
        QStringList order;
        for (const TargetStatus &status : poller.reports[0])
            order << status.name;
        QCOMPARE(order, (QStringList{"Base", "Meter", "Motor", "Pedals", "Steering"}));
        for (int i = 0; i < order.size(); ++i) {
            const TargetStatus &status = report[order[i]];
            const int expected = modes[i];
            const QByteArray what = order[i].toUtf8();
            QCOMPARE(status.dev_id, poller.entries[order[i]].dev_id);
            QVERIFY2(status.mode_asked, what);
            QCOMPARE(status.Present(), expected != -2);
            QCOMPARE(status.ports, expected == -2 ? 0 : 1);
            QCOMPARE(status.product_id, expected == -2 ? 0 : 4);
            QCOMPARE(status.location, expected == -2 ? QString() : family->Location());
            QCOMPARE(status.port.isEmpty(), expected == -2);
            QCOMPARE(status.Answering(), expected >= 0);
            QCOMPARE(int(status.mode), std::max(expected, int(Mode::Absent)));
            if (status.Answering())
                QVERIFY2(status.last_heard >= before && status.last_heard <= after, what);
            else
                QVERIFY2(!status.last_heard.isValid(), what);
            QVERIFY2(!status.details_asked && !status.app_version && !status.hw_text, what);
            QVERIFY2(!status.boot_version, what);
        }
    }

    // A requested target's details: the version in the order shown (answer bytes 0, 1, 3, 2) and
    // the hardware text when the poll's reading holds all of it; served once.
    void detailsWhenAsked_data()
    {
        QTest::addColumn<QString>("target");
        QTest::addColumn<QByteArray>("hw");         // the device's text; empty: the family's own
        QTest::addColumn<bool>("version_answered");
        QTest::addColumn<std::optional<AppVersion>>("version");
        QTest::addColumn<std::optional<QString>>("text");

        QTest::newRow("base, chunked text") << "Base" << QByteArray() << true
                                            << std::optional<AppVersion>(AppVersion{{2, 1, 7, 0}})
                                            << std::optional<QString>("BASE-HW-A-REV-0003");
        QTest::newRow("motor, one 24-byte answer") << "Motor" << QByteArray() << true
                                                   << std::optional<AppVersion>(AppVersion{{3, 0, 0, 1}})
                                                   << std::optional<QString>("MOTOR-HW-A");
        QTest::newRow("32 characters: no text") << "Steering" << QByteArray("STEER-HW-0123456789-ABCDEFGHIJKL") << true
                                                << std::optional<AppVersion>(AppVersion{{5, 2, 1, 0}})
                                                << std::optional<QString>();
        QTest::newRow("version not answered") << "Meter" << QByteArray() << false << std::optional<AppVersion>()
                                              << std::optional<QString>("METER-HW-A");
    }

    void detailsWhenAsked()
    {
        QFETCH(QString, target);
        QFETCH(QByteArray, hw);
        QFETCH(bool, version_answered);
        QFETCH(std::optional<AppVersion>, version);
        QFETCH(std::optional<QString>, text);
        SimFamilyOptions options = FastFamily();
        const int id = Entries()[target].dev_id;
        if (!hw.isEmpty())
            DeviceOf(options, id).hw_version = hw;
        if (!version_answered)
            options.faults.drop_reply_if = [](int, const Frame &reply) {
                return (reply.command & 0x7F) == SimProtocol::QueryAppVersion;
            };
        SimFamily family(options);
        Poller poller;
        poller.engine.Probe().RequestDetails(target);
        poller.engine.Probe().RequestDetails(target);

        QMap<QString, TargetStatus> report = poller.Poll();
        for (const TargetStatus &status : qAsConst(report))
            QCOMPARE(status.details_asked, status.name == target);
        const TargetStatus &asked = report[target];
        QCOMPARE(asked.mode, Mode::App);
        QCOMPARE(asked.app_version, version);
        QCOMPARE(asked.hw_text, text);
        QVERIFY(!asked.boot_version);

        report = poller.Poll();
        QVERIFY(!report[target].details_asked);
        QVERIFY(!report[target].app_version && !report[target].hw_text);
        QCOMPARE(CountRequests(family, id, SimProtocol::QueryAppVersion), 1);
    }

    // A device that falls silent is reported absent with its port still attached, and keeps the
    // time it was last heard.
    void lastHeardOutlivesSilence()
    {
        SimFamily family(FastFamily());
        Poller poller;
        const QDateTime heard = poller.Poll()["Motor"].last_heard;
        QVERIFY(heard.isValid());

        SimFaults quiet;
        quiet.silent = {3};
        family.SetFaults(quiet);
        const TargetStatus silent = poller.Poll()["Motor"];
        QVERIFY(silent.Present());
        QVERIFY(!silent.Answering());
        QCOMPARE(silent.last_heard, heard);

        family.SetFaults(SimFaults());
        const TargetStatus back = poller.Poll()["Motor"];
        QVERIFY(back.Answering());
        QVERIFY(back.last_heard >= heard);
    }

    // The launch's hardware query reports what it read of its one device, under the target that
    // device and product id are configured for; it says nothing of the mode.
    void hardwareQueryReports_data()
    {
        QTest::addColumn<int>("pid");
        QTest::addColumn<int>("dev_id");
        QTest::addColumn<bool>("silent");
        QTest::addColumn<QString>("unconfigured");  // a target left out of the configuration
        QTest::addColumn<QString>("name");
        QTest::addColumn<std::optional<QString>>("text");

        QTest::newRow("motor") << 4 << 3 << false << "" << "Motor" << std::optional<QString>("MOTOR-HW-A");
        QTest::newRow("display, chunked") << 4 << 4 << false << "" << "Meter" << std::optional<QString>("METER-HW-A");
        QTest::newRow("base: either product id") << 4 << 2 << false << "" << "Base"
                                                 << std::optional<QString>("BASE-HW-A-REV-0003");
        QTest::newRow("device 5 of no target") << 4 << 5 << false << "Steering" << ""
                                               << std::optional<QString>("DEV5-HW-A");
        QTest::newRow("silent motor") << 4 << 3 << true << "" << "Motor" << std::optional<QString>();
    }

    void hardwareQueryReports()
    {
        QFETCH(int, pid);
        QFETCH(int, dev_id);
        QFETCH(bool, silent);
        QFETCH(QString, unconfigured);
        QFETCH(QString, name);
        QFETCH(std::optional<QString>, text);
        SimFamilyOptions options = FastFamily();
        if (silent)
            options.faults.silent.insert(dev_id);
        SimFamily family(options);
        Poller poller;
        poller.entries.remove(unconfigured);
        QString appended = "before:";
        poller.engine.Probe().QueryHwVersion(pid, dev_id, appended);
        QCOMPARE(appended, "before:" + text.value_or(QString()));
        QCOMPARE(poller.reports.size(), 1);
        QCOMPARE(poller.reports[0].size(), 1);
        const TargetStatus &status = poller.reports[0][0];
        QCOMPARE(status.name, name);
        QCOMPARE(status.dev_id, dev_id);
        QCOMPARE(status.product_id, pid);
        QVERIFY(status.Present());
        QVERIFY(!status.mode_asked && !status.details_asked && !status.app_version);
        QCOMPARE(status.hw_text, text);
        QCOMPARE(status.last_heard.isValid(), text.has_value() && !name.isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestStatusPoll)
#include "tst_status_poll.moc"
