// upgrader-demo: the engine against the simulated device family, for anyone without the devices.
// For every device it runs a job up to the point where the sequence has shaken hands and learnt
// the device's mode, then asks the status poll and the launch's hardware query what the device
// is, all through the real serial port driver on a pseudo-terminal.
#include "port_catalog.h"
#include "sim_family.h"
#include "upgrade_server.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTextStream>
#include <QTimer>

#include <cstdio>

namespace {

QTextStream out(stdout);

bool WaitUntil(const std::function<bool()> &pred, int timeout_ms)
{
    QEventLoop loop;
    QTimer check, deadline;
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        if (pred())
            loop.quit();
    });
    QObject::connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
    check.start(2);
    deadline.start(timeout_ms);
    if (!pred())
        loop.exec();
    return pred();
}

void EngineLine(QtMsgType, const QMessageLogContext &, const QString &message)
{
    for (const QString &line : message.split(QLatin1Char('\n'))) {
        if (!line.isEmpty())
            fprintf(stderr, "    | %s\n", qPrintable(line));
    }
}

struct Target {
    QString name;
    int dev_id;
};

}  // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (app.arguments().size() != 2) {
        fprintf(stderr, "usage: upgrader-demo IMAGE.bin\n");
        return 2;
    }
    const QString image = app.arguments()[1];
    qInstallMessageHandler(EngineLine);

    SimFamilyOptions options = SimFamilyOptions::Standard();
    for (SimDeviceSpec &device : options.devices) {
        if (device.id == 3)
            device.mode = SimMode::Boot;  // one device waiting in its bootloader, as after an aborted upgrade
    }
    SimFamily family(options);
    out << "Simulated family: base on " << family.PortPath() << " (USB " << Qt::hex << Qt::showbase
        << FamilyVendorId() << ":" << options.product_id << Qt::dec << Qt::noshowbase << "), devices 1, 3, 4, 5 behind it\n\n";
    out.flush();

    const QList<Target> targets = {{"Base", 2}, {"Motor", 3}, {"Meter", 4}, {"Pedals", 5}, {"Steering", 1}};
    FirmwareEntries entries;
    for (const Target &target : targets)
        entries[target.name] = FirmwareEntry{target.dev_id, {options.product_id}, {}};

    UpgradeServer server;
    server.SetFirmwareEntries(&entries);
    bool failed = false;
    QMap<QString, QString> job_mode;
    for (const Target &target : targets) {
        out << "Job for " << target.name << " (device " << target.dev_id << "): handshake and mode\n";
        out.flush();
        server.dev_id = target.dev_id;
        server.usb_pid = options.product_id;
        server.SetFirmwarePath(image);
        server.StartOrStop();
        const bool learnt = WaitUntil([&] { return server.state == UpgradeServer::EnterBoot; }, 5000);
        server.StartOrStop();
        WaitUntil([&] { return !server.isRunning(); }, 5000);
        failed |= !learnt;
        job_mode[target.name] = !learnt ? "no answer" : server.target_in_app ? "application" : "bootloader";
    }

    QMap<QString, int> states;
    QMap<QString, QString> details;
    QObject::connect(&server, &UpgradeServer::PushSlaveState, [&](QMap<QString, int> &map) { states = map; });
    QObject::connect(&server, &UpgradeServer::PushMoreInfo,
                     [&](const QString &name, const QString &info) { details[name] = info; });
    for (const Target &target : targets)
        server.info_requests.insert(target.name);
    out << "\nStatus poll with details\n";
    out.flush();
    server.GetControlerState();

    out << "\n" << QString::asprintf("%-9s %-6s %-12s %-5s %-14s %-20s %s\n", "target", "device", "job: mode", "poll",
                                     "app version", "hardware (poll)", "hardware (launch query)");
    for (const Target &target : targets) {
        const QStringList info = details.value(target.name).split(QLatin1Char('\n'));
        QString launch_hw;
        server.QueryHwVersion(options.product_id, target.dev_id, launch_hw);
        out << QString::asprintf("%-9s %-6d %-12s %-5d %-14s %-20s %s\n", qPrintable(target.name), target.dev_id,
                                 qPrintable(job_mode[target.name]), states.value(target.name),
                                 qPrintable(info.value(0)), qPrintable(info.value(1)),
                                 qPrintable(launch_hw.isEmpty() ? QStringLiteral("(ids 2 to 5 only)") : launch_hw));
        failed |= states.value(target.name) == 0;
    }
    out << "\npoll: 1 = bootloader, 2 = application, 0 = no answer\n";
    if (!family.Rejections().isEmpty()) {
        out << "the simulated devices refused requests:\n  " << family.Rejections().join("\n  ") << "\n";
        failed = true;
    }
    out.flush();
    return failed ? 1 : 0;
}
