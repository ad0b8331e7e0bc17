// upgrader-sim: the simulated device family as a program of its own, for trying the other
// programs without hardware. It writes a work directory (a configuration and the images matching
// its devices), runs one or more units of simulated bases on pseudo-terminals, and publishes
// their ports in a catalog file that any of our programs reads when UPGRADER_SIM_CATALOG names
// it. Runs until SIGINT, SIGTERM or SIGHUP; then it withdraws its ports and exits with 0.
#include "catalog_publisher.h"
#include "demo_setup.h"
#include "port_catalog_file.h"
#include "sim_port_catalog.h"
#include "sim_program_options.h"
#include "console.h"
#include "program_version.h"
#include "stop_signals.h"

#include <QCoreApplication>
#include <QDir>
#include <QRegularExpression>
#include <QTime>

#include <csignal>
#include <cstdio>
#include <memory>
#include <vector>

namespace {

constexpr int kExitCannotStart = 1;
constexpr int kExitUsage = 2;

void Print(const QString &text)
{
    fputs(qPrintable(text + QLatin1Char('\n')), stdout);
    fflush(stdout);
}

int Fail(const QString &text)
{
    fprintf(stderr, "upgrader-sim: %s\n", qPrintable(text));
    return kExitCannotStart;
}

// The path as a shell word, so the printed line can be pasted as it stands.
QString ShellWord(const QString &text)
{
    static const QRegularExpression plain(QStringLiteral("^[A-Za-z0-9_./+:@%-]+$"));
    if (plain.match(text).hasMatch())
        return text;
    QString quoted = text;
    quoted.replace(QLatin1String("'"), QLatin1String("'\\''"));
    return QLatin1Char('\'') + quoted + QLatin1Char('\'');
}

const DemoTarget *TargetAt(const QList<DemoTarget> &targets, int product_id, int dev_id)
{
    for (const DemoTarget &target : targets) {
        if (target.usb_pid == product_id && target.dev_id == dev_id)
            return &target;
    }
    return nullptr;
}

void ApplyHardware(SimFamilyOptions &set, int unit, const QList<DemoTarget> &targets,
                   const QList<HardwareOverride> &overrides)
{
    for (const HardwareOverride &entry : overrides) {
        if (entry.unit != 0 && entry.unit != unit)
            continue;
        for (SimDeviceSpec &device : set.devices) {
            const DemoTarget *target = TargetAt(targets, set.product_id, device.id);
            if (target && target->name == entry.target)
                device.hw_version = entry.hw_version.toUtf8();
        }
    }
}

QString DescribeSet(const SimFamily &family, const SimFamilyOptions &set, int unit, const QList<DemoTarget> &targets)
{
    QStringList devices;
    for (const SimDeviceSpec &device : set.devices) {
        const DemoTarget *target = TargetAt(targets, set.product_id, device.id);
        const QString name = target ? target->name : QStringLiteral("base");
        devices << QStringLiteral("%1 (device %2) %3").arg(name).arg(device.id).arg(QString::fromUtf8(device.hw_version));
    }
    return QStringLiteral("  unit %1  %2  serial %3  product id %4  %5: %6")
        .arg(unit)
        .arg(family.Location(), family.SerialNumber())
        .arg(set.product_id)
        .arg(family.PortPath(), devices.join(QStringLiteral(", ")));
}

QString DescribeFaults(const SimFaults &f)
{
    QStringList parts;
    if (f.drop_data_frame > 0)
        parts << QStringLiteral("%1 of the data frames lost").arg(f.drop_data_frame);
    if (f.corrupt_host_byte > 0)
        parts << QStringLiteral("a bit flipped in %1 of the bytes both ways").arg(f.corrupt_host_byte);
    if (f.drop_reply > 0)
        parts << QStringLiteral("%1 of the replies lost").arg(f.drop_reply);
    if (f.flash_write_errors > 0)
        parts << QStringLiteral("the first %1 flash programmings of each base's devices wrong").arg(f.flash_write_errors);
    if (!f.flash_busy_ms.isEmpty())
        parts << QStringLiteral("flash busy %1 ms per section").arg(f.flash_busy_ms.first());
    if (parts.isEmpty())
        return QStringLiteral("none");
    return parts.join(QStringLiteral("; ")) + QStringLiteral(" (seed %1)").arg(f.seed);
}

QString SignalName(int number)
{
    switch (number) {
    case SIGINT: return QStringLiteral("SIGINT");
    case SIGTERM: return QStringLiteral("SIGTERM");
    case SIGHUP: return QStringLiteral("SIGHUP");
    default: return QStringLiteral("signal %1").arg(number);
    }
}

}  // namespace

int main(int argc, char **argv)
{
    if (PrintVersionIfAsked(argc, argv, "upgrader-sim"))
        return 0;
    QCoreApplication app(argc, argv);
    // A reader of our output that goes away must not end the simulator behind its ports' backs.
    IgnoreBrokenPipe();

    SimProgramOptions options;
    QString message;
    const int parsed = ParseSimProgramOptions(app.arguments(), &options, &message);
    if (parsed < 0) {
        fputs(qPrintable(message), stdout);
        return 0;
    }
    if (parsed > 0) {
        fprintf(stderr, "upgrader-sim: %s (see --help)\n", qPrintable(message));
        return kExitUsage;
    }

    if (!QDir().mkpath(options.work))
        return Fail(QStringLiteral("cannot create the work directory %1").arg(options.work));
    const QString catalog = QDir(options.work).filePath(QStringLiteral("ports.json"));
    // Two simulators publishing in one file would overwrite each other's ports; a file left by
    // one that was killed is simply replaced.
    const qint64 other = PortCatalogFile::LiveOwner(catalog);
    if (other != 0 && other != QCoreApplication::applicationPid())
        return Fail(QStringLiteral("another upgrader-sim (process %1) publishes its ports in %2; stop it or give "
                                   "another --work")
                        .arg(other)
                        .arg(catalog));

    // The configuration and images exist before any port is published.
    QString error;
    const QList<DemoTarget> targets = WriteDemoWorkspace(options.work, options.english, &error);
    if (targets.isEmpty())
        return Fail(QStringLiteral("cannot write the work directory %1: %2").arg(options.work, error));

    StopSignals stop;
    if (!stop.IsValid())
        return Fail(QStringLiteral("cannot watch for stop signals"));
    int stopped_by = 0;
    QObject::connect(&stop, &StopSignals::Stop, &app, [&](int number) {
        stopped_by = number;
        app.quit();
    });

    CatalogPublisher publisher(catalog);
    SimPortCatalog::SetListener([&publisher] { publisher.Changed(); });
    std::vector<std::unique_ptr<SimFamily>> bases;  // destroyed before the publisher: no late calls
    std::vector<int> product_ids;                   // of each base
    auto shut_down = [&] {
        SimPortCatalog::SetListener({});
        publisher.Withdraw();
        bases.clear();  // each base leaves USB and its thread ends
    };

    QStringList lines;
    int index = 0;
    for (int unit = 1; unit <= options.units; ++unit) {
        const size_t first_of_unit = bases.size();
        for (SimFamilyOptions set : DemoSets(targets, options.time_scale)) {
            set.location = QStringLiteral("sim-%1-%2").arg(unit).arg(set.product_id);
            set.faults = options.faults;
            set.faults.seed = options.faults.seed + quint32(index++);  // bases do not fail in step
            set.faults.never_reenumerate = options.never_return.contains(unit);
            ApplyHardware(set, unit, targets, options.hardware);
            bases.push_back(std::make_unique<SimFamily>(set));
            product_ids.push_back(set.product_id);
            const QString path = bases.back()->PortPath();
            if (path.isEmpty()) {
                shut_down();
                return Fail(QStringLiteral("cannot open a pseudo-terminal for %1").arg(set.location));
            }
            lines << DescribeSet(*bases.back(), set, unit, targets);
        }
        for (const PowerCutPlan &plan : qAsConst(options.power_cuts)) {
            if (plan.unit != unit)
                continue;
            const size_t end_of_unit = bases.size();
            for (size_t i = first_of_unit; i < end_of_unit; ++i) {
                SimPowerCutTrigger trigger = PowerCutTrigger(plan.point, product_ids[i], targets);
                // Called in base i's own thread, under its lock, once it has cut its own power: the
                // unit's other bases share the supply and are cut from the main thread, where no
                // base's lock is held.
                const QString location = bases[i]->Location();
                trigger.then = [&app, &bases, first_of_unit, end_of_unit, i, plan, location] {
                    Print(QStringLiteral("%1 unit %2: power cut at %3 on %4")
                              .arg(QTime::currentTime().toString(QStringLiteral("HH:mm:ss.zzz")))
                              .arg(plan.unit)
                              .arg(plan.point, location));
                    QMetaObject::invokeMethod(
                        &app,
                        [&bases, first_of_unit, end_of_unit, i] {
                            for (size_t k = first_of_unit; k < end_of_unit; ++k) {
                                if (k == i)
                                    continue;
                                bases[k]->CutPowerAt({});
                                bases[k]->CutPower();
                            }
                        },
                        Qt::QueuedConnection);
                };
                bases[i]->CutPowerAt(trigger);
            }
        }
    }
    if (!publisher.Refresh()) {
        shut_down();
        return kExitCannotStart;
    }

    Print(QStringLiteral("upgrader-sim: %1 unit%2, %3 simulated bases on pseudo-terminals:")
              .arg(options.units)
              .arg(options.units == 1 ? "" : "s")
              .arg(bases.size()));
    for (const QString &line : lines)
        Print(line);
    Print(QStringLiteral("Restarts: %1").arg(options.time_scale < 1 ? QStringLiteral("twentyfold faster than real devices (--fast)")
                                                                     : QStringLiteral("at the pace of real devices")));
    Print(QStringLiteral("Faults: %1").arg(DescribeFaults(options.faults)));
    for (int unit : qAsConst(options.never_return))
        Print(QStringLiteral("Unit %1: its bases never come back on USB once they restart").arg(unit));
    for (const PowerCutPlan &plan : qAsConst(options.power_cuts))
        Print(QStringLiteral("Unit %1: loses its power once a job reaches %2").arg(plan.unit).arg(plan.point));
    Print(QStringLiteral("Work directory: %1 (config.json and the images it names)").arg(options.work));
    Print(QStringLiteral("In a second terminal, before starting another program:"));
    Print(QStringLiteral("export %1=%2").arg(QLatin1String(PortCatalog::kSimCatalogVariable), ShellWord(catalog)));
    Print(QStringLiteral("Stop with Ctrl+C."));

    app.exec();
    shut_down();
    Print(QStringLiteral("upgrader-sim: stopped by %1; ports withdrawn").arg(SignalName(stopped_by)));
    return 0;
}
