// upgrader-demo: the operator window driven by a simulated device family, for anyone without the
// devices. It writes a working directory (a configuration and images for all five targets),
// attaches the simulated base with every device behind it, and opens the window. With
// --headless it presses the target buttons itself and reports on the terminal.
#include "demo_setup.h"
#include "device_family.h"
#include "headless_run.h"
#include "main_window.h"
#include "program_version.h"
#include "sim_port_catalog.h"
#include "waits.h"
#include "window_log.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

namespace {

struct Options {
    bool headless = false;
    bool verbose = false;
    bool english = true;
    QStringList targets;
    QString work;
    double wait_scale = 1.0;
    SimFaults faults;
};

bool Parse(const QStringList &arguments, Options &options, QString *error)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        "The operator window against a simulated device family: a base unit on a pseudo-terminal with "
        "the motor, steering wheel, display and pedals behind it.");
    parser.addHelpOption();
    parser.addOption({"headless", "Press the target buttons without a display and report on the terminal."});
    parser.addOption({"targets", "Targets to upgrade in --headless mode, in order (default: all five).",
                      "LIST", "Base,Motor,Meter,Steering,Pedals"});
    parser.addOption({"chinese", "Start the window in Chinese."});
    parser.addOption({"work", "Folder to write the configuration and images into, where the window finds them (default: a fresh temporary one).", "DIR"});
    parser.addOption({"verbose", "Also print the engine's debug lines."});
    parser.addOption({"fast", "Shorten the sequence's waits of a second or more twentyfold (a demo of the "
                              "flow, not of its timing)."});
    parser.addOption({"loss", "Lose this share of the data frames on their way to the device (e.g. 0.01).", "SHARE"});
    parser.addOption({"corrupt", "Flip a bit in this share of the bytes in both directions (e.g. 0.0005).", "SHARE"});
    parser.addOption({"drop-replies", "Lose this share of the devices' replies (e.g. 0.01).", "SHARE"});
    parser.addOption({"flash-errors", "Let the first N flash programmings come out wrong.", "N"});
    parser.addOption({"busy-flash", "Keep every device's flash busy this long per section (ms).", "MS"});
    parser.addOption({"seed", "Seed of the random faults.", "N", "1"});
    if (!parser.parse(arguments)) {
        *error = parser.errorText();
        return false;
    }
    if (parser.isSet("help") || parser.isSet("help-all")) {
        fputs(qPrintable(parser.helpText()), stdout);
        exit(0);
    }
    options.headless = parser.isSet("headless");
    options.verbose = parser.isSet("verbose");
    options.english = !parser.isSet("chinese");
    options.targets = parser.value("targets").split(',', Qt::SkipEmptyParts);
    options.work = parser.value("work");
    options.wait_scale = parser.isSet("fast") ? 0.05 : 1.0;
    SimFaults &f = options.faults;
    f.drop_data_frame = parser.value("loss").toDouble();
    f.corrupt_host_byte = f.corrupt_device_byte = parser.value("corrupt").toDouble();
    f.drop_reply = parser.value("drop-replies").toDouble();
    f.flash_write_errors = parser.value("flash-errors").toInt();
    f.seed = parser.value("seed").toUInt();
    if (parser.isSet("busy-flash")) {
        for (int id = 1; id <= 5; ++id)
            f.flash_busy_ms[id] = parser.value("busy-flash").toInt();
    }
    return true;
}

}  // namespace

int main(int argc, char **argv)
{
    if (PrintVersionIfAsked(argc, argv, "upgrader-demo"))
        return 0;
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    // The parser's help text needs an application object, and the window's application needs its
    // platform chosen before it exists: the help is given by a console application alone.
    if (arguments.contains("--help") || arguments.contains("-h") || arguments.contains("-?") ||
        arguments.contains("--help-all")) {
        QCoreApplication console(argc, argv);
        Options ignored;
        QString error;
        Parse(console.arguments(), ignored, &error);  // prints the help and exits
    }
    Options options;
    QString error;
    if (!Parse(arguments, options, &error)) {
        fprintf(stderr, "upgrader-demo: %s\n", qPrintable(error));
        return 2;
    }
    QTemporaryDir runtime;  // the offscreen platform still wants a private runtime directory
    if (options.headless) {
        qputenv("QT_QPA_PLATFORM", "offscreen");  // no display needed
        if (qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR") && runtime.isValid()) {
            QFile::setPermissions(runtime.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
            qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime.path()));
        }
    }
    QApplication app(argc, argv);
    ShowBareConsoleLines();
    Waits::SetLongWaitScale(options.wait_scale);

    QTemporaryDir temporary;
    const QString work = options.work.isEmpty() ? temporary.path() : QDir(options.work).absolutePath();
    const QList<DemoTarget> all = WriteDemoWorkspace(work, options.english, &error);
    if (all.isEmpty()) {
        fprintf(stderr, "upgrader-demo: cannot write the working directory %s: %s\n", qPrintable(work),
                qPrintable(error));
        return 2;
    }
    QList<DemoTarget> chosen;
    for (const QString &name : options.targets) {
        auto it = std::find_if(all.begin(), all.end(), [&](const DemoTarget &t) { return t.name == name; });
        if (it == all.end()) {
            fprintf(stderr, "upgrader-demo: unknown target '%s' (Base, Motor, Meter, Steering, Pedals)\n",
                    qPrintable(name));
            return 2;
        }
        chosen << *it;
    }
    // The window finds its configuration there, and the firmware paths in it start there.
    printf("Working directory: %s\n", qPrintable(work));

    SimPortCatalog::Install();
    std::vector<std::unique_ptr<SimFamily>> sets;
    for (SimFamilyOptions set : DemoSets(all, options.wait_scale)) {
        set.faults = options.faults;
        sets.push_back(std::make_unique<SimFamily>(set));
        QStringList behind;
        for (const DemoTarget &target : all) {
            if (target.usb_pid == set.product_id && !IsBase(target.dev_id))
                behind << QStringLiteral("%1 (device %2)").arg(target.name).arg(target.dev_id);
        }
        printf("Simulated set, USB product id %d: base on %s, %s behind it\n", set.product_id,
               qPrintable(sets.back()->PortPath()), qPrintable(behind.join(", ")));
    }
    fflush(stdout);

    if (options.headless)
        qInstallMessageHandler(&HeadlessRun::CaptureDebug);
    MainWindow window{QDir(work)};
    window.show();
    if (!options.headless)
        return app.exec();

    HeadlessRun run(window, chosen, options.verbose);
    QObject::connect(&run, &HeadlessRun::Finished, &app, &QCoreApplication::exit);
    run.Start();
    return app.exec();
}
