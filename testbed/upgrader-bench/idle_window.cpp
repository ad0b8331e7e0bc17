#include "idle_window.h"

#include "event_wait.h"
#include "port_catalog.h"
#include "port_catalog_file.h"
#include "upgrade_server.h"
#include "waits.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTime>
#include <QTimer>

#include <algorithm>
#include <cstdio>

#ifdef Q_OS_LINUX
#include <unistd.h>
#endif

namespace {

constexpr int kSimStartMs = 20000;       // the simulator's ports published
constexpr int kWindowStartMs = 20000;    // the window started and its first polls made
constexpr int kWarmUpMs = 5000;          // the window's start-up (form, configuration) left out of the span
constexpr int kReturnMs = 15000;         // a base's restart seen by the poll, on a loaded machine
constexpr int kSimPorts = 2;             // the simulator's one unit has two bases
constexpr char kBaseLocation[] = "sim-1-4";  // the base that carries the "Base" target
constexpr int kBaseProductId = 4;

void Complain(const QString &text)
{
    fprintf(stderr, "idle window: %s\n", qPrintable(text));
}

// A program of ours: beside this one (installed), in its own folder of the build tree (testbed/
// beside this one, or tools/ for a station's program), or on the PATH.
QString FindProgram(const QString &name)
{
    const QDir here(QCoreApplication::applicationDirPath());
    for (const QString &candidate : {here.filePath(name), here.filePath(QStringLiteral("../%1/%1").arg(name)),
                                     here.filePath(QStringLiteral("../../tools/%1/%1").arg(name))}) {
        if (QFileInfo(candidate).isExecutable())
            return QFileInfo(candidate).canonicalFilePath();
    }
    return QStandardPaths::findExecutable(name);
}

#ifdef Q_OS_LINUX
// A field of /proc/PID/FILE's "name: value" lines, or of /proc/PID/stat (fields counted from 1).
qint64 ProcField(qint64 pid, const char *file, const QByteArray &name)
{
    QFile proc(QStringLiteral("/proc/%1/%2").arg(pid).arg(QLatin1String(file)));
    if (!proc.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : proc.readAll().split('\n')) {
        if (line.startsWith(name + ':'))
            return line.mid(name.size() + 1).trimmed().toLongLong();
    }
    return -1;
}

// User plus system CPU time of a process, in seconds; -1 when it cannot be read.
double ProcessCpuSeconds(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray line = stat.readAll();
    // The command name may hold blanks and parentheses: fields are counted after its last ')'.
    const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
    // utime and stime are fields 14 and 15 of the whole line, 12 and 13 after the name.
    if (fields.size() < 13)
        return -1;
    const double ticks = fields[11].toDouble() + fields[12].toDouble();
    return ticks / double(sysconf(_SC_CLK_TCK));
}
#endif

struct Sim {
    QProcess process;
    QString out;
    QString work;

    QString Catalog() const { return QDir(work).filePath(QStringLiteral("ports.json")); }
    QString Read()
    {
        out += QString::fromLocal8Bit(process.readAllStandardOutput());
        return out;
    }
    ~Sim()
    {
        if (process.state() != QProcess::NotRunning) {
            process.terminate();  // it withdraws its catalog on SIGTERM
            if (!process.waitForFinished(5000))
                process.kill();
            process.waitForFinished(5000);
        }
    }
};

// The window's own CPU over the span; false when it could not be measured.
bool MeasureWindow(const QString &window_program, const Sim &sim, int seconds, IdleWindowFigures &figures)
{
#ifdef Q_OS_LINUX
    // The window reads its configuration beside its program: a copy of the program goes where the
    // simulator wrote config.json.
    const QString copy = QDir(sim.work).filePath(QStringLiteral("upgrader"));
    if (!QFile::copy(window_program, copy)) {
        Complain(QStringLiteral("cannot copy %1 into %2").arg(window_program, sim.work));
        return false;
    }
    QProcess window;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    environment.insert(QLatin1String(PortCatalog::kSimCatalogVariable), sim.Catalog());
    window.setProcessEnvironment(environment);
    window.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    window.setStandardOutputFile(QProcess::nullDevice());
    window.start(copy, QStringList());
    if (!window.waitForStarted(kWindowStartMs)) {
        Complain(QStringLiteral("the window did not start: %1").arg(window.errorString()));
        return false;
    }
    const qint64 pid = window.processId();
    // Its start-up is not idling: the span begins once the form is up and the poll has run.
    RunEventsUntil([] { return false; }, kWarmUpMs);
    const double cpu_before = ProcessCpuSeconds(pid);
    const qint64 written_before = ProcField(pid, "io", "wchar");
    QElapsedTimer span;
    span.start();
    RunEventsUntil([&] { return window.state() == QProcess::NotRunning; }, seconds * 1000);
    const double cpu_after = ProcessCpuSeconds(pid);
    const qint64 written_after = ProcField(pid, "io", "wchar");
    figures.seconds = span.nsecsElapsed() / 1e9;
    window.terminate();
    if (!window.waitForFinished(5000))
        window.kill();
    window.waitForFinished(5000);
    if (cpu_before < 0 || cpu_after < 0) {
        Complain(QStringLiteral("the window ended before the span did"));
        return false;
    }
    figures.cpu_share = (cpu_after - cpu_before) / figures.seconds;
    figures.bytes_to_devices = double(written_after - written_before);
    return true;
#else
    Q_UNUSED(window_program)
    Q_UNUSED(sim)
    Q_UNUSED(seconds)
    Q_UNUSED(figures)
    Complain(QStringLiteral("measured on Linux only"));
    return false;
#endif
}

// The base restarted `returns` times (alternately into its bootloader and back) while this
// process polls as the window does, through the same catalog file. Each switch comes at a random
// moment of the poll's period, so that the figures do not depend on one phase.
bool MeasureReturns(Sim &sim, int returns, IdleWindowFigures &figures)
{
    qputenv(PortCatalog::kSimCatalogVariable, sim.Catalog().toLocal8Bit());
    FirmwareEntry base;
    base.dev_id = DeviceId::Base;
    base.usb_pids = {kBaseProductId};
    const FirmwareEntries entries{{QStringLiteral("Base"), base}};
    UpgradeServer server;
    int mode = Mode::Absent;
    QObject::connect(&server, &UpgradeServer::PushTargetStatus, [&](const TargetStatusList &statuses) {
        for (const TargetStatus &status : statuses) {
            if (status.mode_asked && status.name == QLatin1String("Base"))
                mode = status.mode;
        }
    });
    server.SetFirmwareEntries(&entries);
    // The window's poll, driven here so that each poll's start is known.
    struct Poll {
        QTime start;
        QTime report;
        int mode;
    };
    QList<Poll> polls;
    QTimer poll_timer;
    QObject::connect(&poll_timer, &QTimer::timeout, [&] {
        const QTime start = QTime::currentTime();
        server.GetControlerState();
        polls.append({start, QTime::currentTime(), mode});
    });
    poll_timer.start(Waits::kPollIntervalMs);
    bool ok = RunEventsUntil([&] { return mode == Mode::App; }, kReturnMs);
    static const QRegularExpression back(QStringLiteral("^(\\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d) %1 back on USB as ")
                                             .arg(QLatin1String(kBaseLocation)),
                                         QRegularExpression::MultilineOption);
    QRandomGenerator random(20261207);
    double total_ms = 0;
    for (int i = 0; ok && i < returns; ++i) {
        RunEventsUntil([] { return false; }, int(random.bounded(Waits::kPollIntervalMs)));
        const bool to_boot = i % 2 == 0;
        const int wanted = to_boot ? Mode::Boot : Mode::App;
        const int seen_before = sim.Read().count(back);
        polls.clear();
        const UnitKey unit = UnitKey::AtLocation(QLatin1String(kBaseLocation));
        const bool sent = to_boot ? server.Probe().BaseGoBoot(unit) : server.Probe().BaseGoApp(unit);
        QTime returned;
        ok = sent && RunEventsUntil([&] {
                 QRegularExpressionMatchIterator it = back.globalMatch(sim.Read());
                 for (int n = 0; it.hasNext(); ++n) {
                     const QRegularExpressionMatch match = it.next();
                     if (n == seen_before)
                         returned = QTime::fromString(match.captured(1), QStringLiteral("HH:mm:ss.zzz"));
                 }
                 return returned.isValid() && !polls.isEmpty() && polls.last().mode == wanted;
             }, kReturnMs);
        if (!ok)
            break;
        // Polls that began once the base was back and still did not report it.
        int missed = 0;
        for (const Poll &poll : qAsConst(polls))
            missed += poll.start.msecsTo(returned) <= 0 && poll.mode != wanted ? 1 : 0;
        const int seen_ms = returned.msecsTo(polls.last().report);
        total_ms += seen_ms;
        figures.return_seen_max_ms = std::max(figures.return_seen_max_ms, double(seen_ms));
        figures.return_missed_polls += missed;
        ++figures.base_returns;
    }
    poll_timer.stop();
    server.SetFirmwareEntries(nullptr);
    if (figures.base_returns)
        figures.return_seen_mean_ms = total_ms / figures.base_returns;
    if (!ok)
        Complain(QStringLiteral("the base's restart %1 was not seen by the poll").arg(figures.base_returns + 1));
    return ok;
}

}  // namespace

IdleWindowFigures MeasureIdleWindow(int window_seconds, int returns)
{
    IdleWindowFigures figures;
    const QString window_program = FindProgram(QStringLiteral("upgrader"));
    const QString sim_program = FindProgram(QStringLiteral("upgrader-sim"));
    if (window_program.isEmpty() || sim_program.isEmpty()) {
        Complain(QStringLiteral("upgrader and upgrader-sim must be beside this program or on the PATH"));
        return figures;
    }
    QTemporaryDir dir;
    Sim sim;
    sim.work = dir.filePath(QStringLiteral("work"));
    sim.process.setProcessChannelMode(QProcess::SeparateChannels);
    sim.process.start(sim_program, {QStringLiteral("--work"), sim.work});
    if (!RunEventsUntil([&] { return PortCatalogFile::Read(sim.Catalog()).size() == kSimPorts; }, kSimStartMs)) {
        Complain(QStringLiteral("the simulator published no ports: %1").arg(sim.Read()));
        return figures;
    }
    if (!MeasureWindow(window_program, sim, window_seconds, figures))
        return figures;
    figures.measured = MeasureReturns(sim, returns, figures);
    return figures;
}
