#include "station_run.h"

#include "cli_config.h"
#include "cli_log.h"
#include "cli_output.h"
#include "cli_texts.h"
#include "exit_codes.h"
#include "history_store.h"
#include "port_catalog.h"
#include "run_report.h"
#include "station_unit.h"
#include "stop_signals.h"
#include "upgrade_launch.h"
#include "upgrade_server.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr int kStatusRedrawMs = 250;

// "1-1.10" after "1-1.9", "sim-10-4" after "sim-2-4": numbers in a location compare as numbers.
bool LocationBefore(const QString &a, const QString &b)
{
    int i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (a[i].isDigit() && b[j].isDigit()) {
            int i_end = i, j_end = j;
            while (i_end < a.size() && a[i_end].isDigit())
                ++i_end;
            while (j_end < b.size() && b[j_end].isDigit())
                ++j_end;
            const qulonglong x = a.mid(i, i_end - i).toULongLong();
            const qulonglong y = b.mid(j, j_end - j).toULongLong();
            if (x != y)
                return x < y;
            i = i_end;
            j = j_end;
        } else {
            if (a[i] != b[j])
                return a[i] < b[j];
            ++i;
            ++j;
        }
    }
    return a.size() - i < b.size() - j;
}

// The command's time so far, to the millisecond, for the JSON stream.
QJsonValue Seconds(const QElapsedTimer &clock)
{
    return Rounded(clock.elapsed() / 1000.0, 1000);
}

QString Where(const PortInfo &port)
{
    return port.location.isEmpty() ? port.name : port.location;
}

}  // namespace

StationRun::StationRun(const CliOptions &opts, CliOutput &out, const QElapsedTimer &started)
    : options(opts), output(out), clock(started)
{
    connect(&status_timer, &QTimer::timeout, this, &StationRun::RenderStatus);
    stop_grace_timer.setSingleShot(true);
    connect(&stop_grace_timer, &QTimer::timeout, this, &StationRun::OnStopGraceOver);
}

StationRun::~StationRun() = default;

int StationRun::Launch()
{
    const QString target = options.argument;
    output.SetContext(target, QString());

    const CliConfig config = ReadCliConfig(options.config, options.chinese);
    chinese = config.chinese;
    if (config.failure)
        return RefuseAll(ExitCode::kConfig, config.failure->Warning(chinese));
    // Firmware paths are relative to the configuration's folder, as the window's are to its own.
    QDir::setCurrent(QFileInfo(config.path).absolutePath());

    // What refuses the whole station: a target not configured, or not one base of it attached.
    {
        UpgradeServer idle;
        UpgradeLaunch check(idle);
        const auto refusal = check.FindDevice(config.entries, target);
        using Kind = LaunchRefusal::Kind;
        if (refusal && (refusal->kind == Kind::TargetAbsent || refusal->kind == Kind::NoDevice))
            return RefuseLaunch(*refusal);
    }
    QList<PortInfo> bases;
    for (const PortInfo &port : ListFamilyPorts()) {
        if (config.entries.value(target).usb_pids.contains(port.product_id))
            bases.append(port);
    }
    std::stable_sort(bases.begin(), bases.end(),
                     [](const PortInfo &a, const PortInfo &b) { return LocationBefore(Where(a), Where(b)); });

    for (const PortInfo &base : qAsConst(bases)) {
        units.push_back(std::make_unique<StationUnit>(target, base, output, chinese, HistoryStore::Location(config.path)));
        StationUnit *unit = units.back().get();
        connect(unit, &StationUnit::Ended, this, [this, unit] { OnUnitEnded(*unit); });
        connect(unit, &StationUnit::Progressed, this, [this](bool phase_changed) {
            if (phase_changed)
                RenderStatus();
        });
    }
    for (const auto &unit : units) {
        QCoreApplication::processEvents();  // a stop signal is seen between two launches
        if (stop_cause != StopCause::None)
            break;
        unit->Prepare(config.entries);
    }
    // Every launch is done before any job starts (see the class comment).
    for (const auto &unit : units) {
        if (stop_cause != StopCause::None)
            unit->Stop(stop_cause, StopReason(stop_cause, chinese, options.timeout_s));
        else if (!unit->HasEnded())
            unit->Start();
    }
    launched = true;
    if (std::all_of(units.begin(), units.end(), [](const auto &unit) { return unit->HasEnded(); }))
        return Conclude();
    if (output.GetMode() == CliOutput::Mode::Terminal) {
        RenderStatus();
        status_timer.start(kStatusRedrawMs);
    }
    return -1;
}

int StationRun::RefuseLaunch(const LaunchRefusal &refusal)
{
    return RefuseAll(RefusalExitCode(refusal.kind), refusal.Warning(chinese), refusal.debug_lines,
                     refusal.debug_after_warning);
}

int StationRun::RefuseAll(int code, const QString &warning, const QStringList &debug_lines, bool debug_after)
{
    auto debug = [&] {
        for (const QString &line : debug_lines)
            qCDebug(lcCommand).noquote() << line;
    };
    if (!debug_after)
        debug();
    if (output.Json()) {
        output.Event(QStringLiteral("refusal"),
                     {{QStringLiteral("text"), warning}, {QStringLiteral("exit_code"), code}});
        output.Event(QStringLiteral("summary"), {{QStringLiteral("result"), ExitCode::ResultName(code)},
                                                 {QStringLiteral("exit_code"), code},
                                                 {QStringLiteral("error"), warning},
                                                 {QStringLiteral("duration_s"), Seconds(clock)},
                                                 {QStringLiteral("units"), QJsonArray()}});
    } else {
        output.Err(warning);
    }
    if (debug_after)
        debug();
    return code;
}

void StationRun::RequestStop(StopCause cause)
{
    if (stop_cause != StopCause::None)
        return;
    stop_cause = cause;
    if (!launched)
        return;  // the launches look at the cause between two bases
    bool waiting = false;
    for (const auto &unit : units) {
        waiting |= unit->Running();
        unit->Stop(cause, StopReason(cause, chinese, options.timeout_s));
    }
    if (waiting)
        stop_grace_timer.start(kStopGraceMs);
}

void StationRun::OnUnitEnded(const StationUnit &unit)
{
    if (first_failure == 0)
        first_failure = unit.ExitCode();
    RenderStatus();
    if (!launched)
        return;
    if (!std::all_of(units.begin(), units.end(), [](const auto &unit) { return unit->HasEnded(); }))
        return;
    emit Finished(Conclude());
}

void StationRun::RenderStatus()
{
    if (output.GetMode() != CliOutput::Mode::Terminal || !launched)
        return;
    QStringList lines;
    for (const auto &unit : units)
        lines << unit->StatusLine();
    output.StatusLines(lines);
}

void StationRun::OnStopGraceOver()
{
    const QString text = CliTexts::kJobDidNotEnd.In(chinese).arg(kStopGraceMs / 1000);
    for (const auto &unit : units)
        unit->Abandon(StopExitCode(stop_cause), text);
    const int code = Conclude();
    // Destroying the engines would wait for their threads without end; the system releases the ports.
    fflush(stdout);
    fflush(stderr);
    std::_Exit(code);
}

int StationRun::Conclude()
{
    status_timer.stop();
    stop_grace_timer.stop();
    RenderStatus();
    output.EndStatus();
    const int code = stop_cause != StopCause::None ? StopExitCode(stop_cause) : first_failure;
    const int succeeded =
        int(std::count_if(units.begin(), units.end(), [](const auto &unit) { return unit->ExitCode() == 0; }));

    if (output.Json()) {
        QJsonArray rows;
        for (const auto &unit : units)
            rows.append(unit->SummaryFields());
        output.Event(QStringLiteral("summary"), {{QStringLiteral("result"), ExitCode::ResultName(code)},
                                                 {QStringLiteral("exit_code"), code},
                                                 {QStringLiteral("succeeded"), succeeded},
                                                 {QStringLiteral("failed"), int(units.size()) - succeeded},
                                                 {QStringLiteral("duration_s"), Seconds(clock)},
                                                 {QStringLiteral("units"), rows}});
        return code;
    }
    // One line per base, in columns: location, hardware version, result, time, error text.
    QList<QStringList> table{{QStringLiteral("location"), QStringLiteral("hardware"), QStringLiteral("result"),
                              QStringLiteral("time"), QStringLiteral("error")}};
    for (const auto &unit : units)
        table.append(unit->SummaryCells());
    QVector<int> widths(table.first().size(), 0);
    for (const QStringList &row : table) {
        for (int i = 0; i < row.size(); ++i)
            widths[i] = std::max(widths[i], int(row[i].size()));
    }
    output.Out(QStringLiteral("%1 on %2 bases: %3 succeeded, %4 failed (%5 s)")
                   .arg(options.argument)
                   .arg(units.size())
                   .arg(succeeded)
                   .arg(int(units.size()) - succeeded)
                   .arg(clock.elapsed() / 1000.0, 0, 'f', 1));
    for (const QStringList &row : table) {
        QStringList cells;
        for (int i = 0; i < row.size(); ++i)
            cells << (i + 1 < row.size() ? row[i].leftJustified(widths[i]) : row[i]);
        output.Out(QStringLiteral("  ") + cells.join(QStringLiteral("  ")).trimmed());
    }
    return code;
}
