#include "history_bench.h"

#include "device_family.h"
#include "history_server.h"
#include "history_store.h"
#include "history_sync.h"
#include "local_pg_server.h"

#include <QCryptographicHash>
#include <QEventLoop>
#include <QDir>
#include <QFile>
#include <QTimer>

#include <algorithm>

namespace {

// A pass still under way when its job ends is waited for at most this long before the next
// measurement; far more than a push of the bench's records takes.
constexpr int kPassEndMs = 120000;

// A failed job's texts as the engine words them: a few of the history's failures.
const char *const kFailures[] = {
    "Second verify failed\nTarget go app failed",
    "USB connection lost!",
    "Section 0x08004000 holds 10 bytes, the device needs 12",
};

QString Hex(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toHex());
}

}  // namespace

UpgradeRecord BenchRecord(int i, const QDateTime &start)
{
    const std::vector<TargetFacts> &targets = Targets();
    const TargetFacts &target = targets[size_t(i) % targets.size()];
    const QString name = QLatin1String(target.name);
    const int station = 1 + i % 6;
    const int release = 3 + i / 2000;  // a new image every 2000 jobs
    UpgradeRecord r;
    r.started_at = start.addSecs(qint64(i) * 73);  // a job every minute or so
    r.duration_ms = 6000 + (i * 7919) % 34000;
    r.front_end = QLatin1String(i % 3 ? UpgradeRecord::kCommand : UpgradeRecord::kWindow);
    r.target = name;
    r.dev_id = int(target.dev_id);
    r.port_name = QStringLiteral("/dev/ttyACM%1").arg(i % 4);
    r.usb_location = QStringLiteral("1-1.%1").arg(1 + i % 4);
    r.usb_pid = 0x5740 + int(target.dev_id);
    r.hw_version = QStringLiteral("%1-HW-%2").arg(name.toUpper()).arg(QChar('A' + i % 3));
    r.description = QString::fromUtf8("%1 硬件 %2, rev %3").arg(name).arg(QChar('A' + i % 3)).arg(1 + i % 5);
    r.image_path = QStringLiteral("/srv/firmware/%1-1.%2.0.bin").arg(name.toLower()).arg(release);
    r.image_version = QStringLiteral("1.%1.0").arg(release);
    r.image_sha256 = Hex(QCryptographicHash::hash(r.image_path.toUtf8(), QCryptographicHash::Sha256));
    r.unit_serial = QStringLiteral("%1").arg(0x1A3F29C7E00 + i, 12, 16, QLatin1Char('0')).toUpper();
    r.version_before = QStringLiteral("1.%1.0.0").arg(release - 1);
    if (i % 10 == 9) {
        // The unit held the image's version already.
        r.success = true;
        r.current = true;
        r.version_before = QStringLiteral("1.%1.0.0").arg(release);
        r.version_after = r.version_before;
    } else if (i % 20 == 7) {
        r.error_text = QLatin1String(kFailures[(i / 20) % 3]);
        r.version_after = r.version_before;
    } else if (i % 50 == 13) {
        r.stopped_by = QLatin1String(UpgradeRecord::kOperator);
        r.version_after = QLatin1String(UpgradeRecord::kInBootloader);
    } else {
        r.success = true;
        r.version_after = QStringLiteral("1.%1.0.0").arg(release);
    }
    r.user = QStringLiteral("operator%1").arg(1 + i % 9);
    r.host = QStringLiteral("station-%1").arg(station);
    return r;
}

QString AppendRecords(const QString &database, int first, int count, const std::function<bool()> &stop)
{
    const QDateTime start = QDateTime::fromString(QStringLiteral("2026-03-02T06:00:00Z"), Qt::ISODate);
    for (int i = first; i < first + count; ++i) {
        if (stop && stop())
            break;
        const QString warning = HistoryStore::Append(database, BenchRecord(i, start));
        if (!warning.isEmpty())
            return warning;
    }
    return QString();
}

bool CopyHistory(const QString &database, const QString &copy, QString *error)
{
    for (const QString &suffix : {QString(), QStringLiteral("-wal")}) {
        QFile::remove(copy + suffix);
        if (!QFile::exists(database + suffix))
            continue;
        if (!QFile::copy(database + suffix, copy + suffix)) {
            *error = QStringLiteral("cannot copy %1 to %2").arg(database + suffix, copy + suffix);
            return false;
        }
    }
    return true;
}

bool PushToNewDatabase(LocalPgServer &server, const QString &server_database, const QString &database, int batch,
                       PushRun *run, QString *error)
{
    if (!server.CreateDatabase(server_database, error))
        return false;
    {
        HistoryServer::Connection connection(server.Connection(server_database));
        QElapsedTimer timer;
        timer.start();
        const HistoryServer::SyncTally tally = HistoryServer::PushWaiting(database, connection, batch);
        run->seconds = timer.nsecsElapsed() / 1e9;
        run->sent = tally.sent;
        run->waiting = tally.waiting;
        run->warning = tally.warning;
    }
    QString counts;
    if (!server.Sql(server_database, QStringLiteral("SELECT count(*) || '|' || count(DISTINCT uid) FROM upgrades"),
                    &counts, error))
        return false;
    const QStringList parts = counts.trimmed().split(QLatin1Char('|'));
    bool rows_ok = false;
    bool uids_ok = false;
    run->server_rows = parts.value(0).toLongLong(&rows_ok);
    run->server_uids = parts.value(1).toLongLong(&uids_ok);
    if (!rows_ok || !uids_ok) {
        *error = QStringLiteral("the server's count of records reads '%1'").arg(counts.trimmed());
        return false;
    }
    return true;
}

PushDuringJob::PushDuringJob(LocalPgServer &server, const QString &folder, const QString &master, int records,
                             int passes, const QString &tag, QObject *parent)
    : QObject(parent), server(server), folder(folder), master(master), records(records), passes(passes), tag(tag)
{
}

PushDuringJob::~PushDuringJob() = default;

QString PushDuringJob::Schema(int pass) const
{
    return QStringLiteral("%1_pass%2").arg(tag).arg(pass + 1);
}

bool PushDuringJob::Prepare(QString *error)
{
    // A schema of its own per pass, as good as an empty server to the push (its tables are
    // found by the search path), all in one statement list: a new database per pass would take
    // the server some 0.4 s each here, longer than the job for a job's worth of them.
    QStringList create;
    for (int pass = 0; pass < passes; ++pass)
        create << QStringLiteral("CREATE SCHEMA %1;").arg(Schema(pass));
    QString output;
    if (!server.Sql(QStringLiteral("upgrades"), create.join(QLatin1Char('\n')), &output, error))
        return false;
    for (int pass = 0; pass < passes; ++pass) {
        const QString file = QDir(folder).filePath(Schema(pass) + QStringLiteral(".sqlite"));
        if (!CopyHistory(master, file, error))
            return false;
        files.append(file);
        const QString connection =
            server.Connection(QStringLiteral("upgrades")) + QStringLiteral(" options='-c search_path=%1'").arg(Schema(pass));
        syncs.push_back(std::make_unique<HistorySync>(file, connection));
        connect(syncs.back().get(), &HistorySync::Pushed, this,
                [this, pass](qint64 sent, qint64, const QString &warning, bool) { PassEnded(pass, sent, warning); });
    }
    return true;
}

void PushDuringJob::Start()
{
    since_start.start();
    current = 0;
    started_at_s.append(0);
    syncs.front()->Kick();
}

void PushDuringJob::PassEnded(int pass, qint64 sent, const QString &warning)
{
    if (ending || pass != current)
        return;  // the wait in End, or a pass already counted
    ended_at_s.append(since_start.nsecsElapsed() / 1e9);
    sent_by_pass.append(sent);
    if (!warning.isEmpty() && figures.warning.isEmpty())
        figures.warning = warning;
    current = pass + 1 < passes ? pass + 1 : -1;
    if (current >= 0) {
        started_at_s.append(since_start.nsecsElapsed() / 1e9);
        syncs[size_t(current)]->Kick();
    }
}

PushDuringJob::Figures PushDuringJob::End(double job_s)
{
    ending = true;
    // The pass under way: what its file no longer holds has reached the server. Read now, a few
    // milliseconds after the job's end at most.
    qint64 sent_by_current = 0;
    if (current >= 0) {
        QString warning;
        const qint64 waiting = HistoryStore::CountWaiting(files[current], &warning);
        if (waiting >= 0)
            sent_by_current = records - waiting;
    }
    figures.passes_started = 0;
    figures.passes_ended = 0;
    figures.records_sent = 0;
    figures.busy_s = 0;
    for (int pass = 0; pass < started_at_s.size(); ++pass) {
        const double from = started_at_s[pass];
        if (from > job_s)
            break;
        ++figures.passes_started;
        const bool ended = pass < ended_at_s.size();
        const double to = ended ? std::min(ended_at_s[pass], job_s) : job_s;
        figures.busy_s += to - from;
        if (ended && ended_at_s[pass] <= job_s) {
            ++figures.passes_ended;
            figures.records_sent += sent_by_pass[pass];
        } else {
            figures.outlasted = true;
            figures.records_sent += ended ? sent_by_pass[pass] : sent_by_current;
        }
    }
    if (current >= 0) {
        HistorySync &sync = *syncs[size_t(current)];
        QEventLoop loop;
        connect(&sync, &HistorySync::Finished, &loop, &QEventLoop::quit);
        QTimer::singleShot(kPassEndMs, &loop, &QEventLoop::quit);
        sync.KickLast();
        loop.exec();
    }
    return figures;
}

bool PushDuringJob::Check(QString *error)
{
    // Every pass kicked has ended by now (End waited for the last); each left its records in
    // its own schema.
    const int kicked = started_at_s.size();
    QStringList counts;
    for (int pass = 0; pass < kicked; ++pass)
        counts << QStringLiteral("SELECT count(DISTINCT uid) FROM %1.upgrades").arg(Schema(pass));
    QString output;
    if (!server.Sql(QStringLiteral("upgrades"), counts.join(QStringLiteral(" UNION ALL ")) + QLatin1Char(';'), &output,
                    error))
        return false;
    const QStringList lines = output.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (int pass = 0; pass < kicked; ++pass) {
        if (lines.value(pass).toLongLong() != records) {
            *error = QStringLiteral("the push of %1 records during the job left %2 on the server (pass %3)")
                         .arg(records)
                         .arg(lines.value(pass))
                         .arg(pass + 1);
            return false;
        }
    }
    return true;
}
