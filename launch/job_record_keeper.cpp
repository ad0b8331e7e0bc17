#include "job_record_keeper.h"

#include "firmware_image.h"
#include "history_store.h"
#include "unit_key.h"
#include "upgrade_server.h"
#include "waits.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QFile>
#include <QSysInfo>
#include <QThread>
#include <QTimer>

#include <memory>

namespace {

// How long a target that succeeded may take to answer from its application once the job's thread
// has ended (scaled with the sequence's long waits), and how often it is asked meanwhile.
constexpr int kVersionAfterMs = 10000;
constexpr int kVersionRetryMs = 100;

// The engine's error text ends every line with a line feed; the record keeps the lines.
QString Trimmed(QString text)
{
    while (text.endsWith(QLatin1Char('\n')) || text.endsWith(QLatin1Char('\r')))
        text.chop(1);
    return text;
}

}  // namespace

JobRecordKeeper::JobRecordKeeper(UpgradeServer &engine, const QString &end, QObject *parent)
    : QObject(parent)
    , server(engine)
    , front_end(end)
{
    qRegisterMetaType<UpgradeRecord>();
    // The job thread's reports arrive queued, in the order it emitted them; JobEnded comes last.
    connect(&server, &UpgradeServer::PushErrorMsg, this, &JobRecordKeeper::OnErrorText);
    connect(&server, &UpgradeServer::JobEnded, this, &JobRecordKeeper::OnJobEnded);
}

JobRecordKeeper::~JobRecordKeeper()
{
    for (QThread *writer : qAsConst(writers)) {
        writer->wait();
        delete writer;  // its finished report can no longer reach this object
    }
}

void JobRecordKeeper::Begin(const QString &target, const LaunchJob &job, const QString &path)
{
    // The reports of the job before this one may still wait in the queue when the next launch
    // comes; they must close that job's record, not open this one's.
    QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
    FinishReading();

    record = UpgradeRecord();
    record.started_at = QDateTime::currentDateTimeUtc();
    clock.start();
    record.front_end = front_end;
    record.target = target;
    record.dev_id = job.dev_id;
    record.usb_pid = job.usb_pid;
    record.hw_version = job.hw_version;
    record.description = job.description;
    record.image_path = job.firmware_path;
    // The port the engine opens, in the view the launch has just taken.
    const PortInfo unit_port = FamilyPort(job.usb_pid, job.unit, PortCatalog::View::Recent);
    record.port_name = unit_port.name;
    record.usb_location = unit_port.location;
    record.unit_serial = unit_port.serial_number;
    record.version_before = VersionRecordText(job.version_before);
    unit = job.unit;
    record.user = HistoryStore::CurrentUser();
    record.host = QSysInfo::machineHostName();

    // The image the job sends: the launch's one reading of it, or (a job given only a path)
    // the file as it is now, read with the same bounds.
    image_problem.clear();
    ImageSnapshot read;
    const ImageSnapshot *image = job.image.get();
    if (!image) {
        FirmwareImage::Load(job.firmware_path, uint8_t(job.dev_id), read, image_problem);
        image = &read;
    }
    record.image_sha256 = image->Sha256Hex();
    record.image_version = image->VersionText();
    record.signer_key_id = image->signer_key_id;

    database = path;
    active = true;
}

void JobRecordKeeper::Abandon()
{
    active = false;
}

void JobRecordKeeper::RecordCurrent(const QString &target, const LaunchJob &job, const QString &path)
{
    Begin(target, job, path);
    active = false;
    record.current = true;
    record.success = true;  // the unit holds the image's version
    record.version_after = record.version_before;  // nothing was sent: it runs what it ran
    record.duration_ms = clock.elapsed();
    Write(record);
}

void JobRecordKeeper::OnErrorText(const QString &text)
{
    if (active)
        record.error_text += text;
}

void JobRecordKeeper::OnJobEnded(JobEndReason reason)
{
    if (!active)
        return;
    active = false;
    record.duration_ms = clock.elapsed();
    record.error_text = Trimmed(record.error_text);
    record.success = reason == JobEndReason::Success;
    // The engine ends these two without a word: say what the record can.
    if (record.error_text.isEmpty() && reason == JobEndReason::PortNotOpened)
        record.error_text = QStringLiteral("The job ended before the upgrade began: the port could not be opened");
    if (record.error_text.isEmpty() && reason == JobEndReason::ImageInvalid)
        record.error_text = image_problem.isEmpty() ? QStringLiteral("The image could not be loaded")
                                                    : QStringLiteral("The image could not be read: %1").arg(image_problem);
    // Only a job that ended because of the stop names who stopped it; one that failed or
    // succeeded first ended for its own reason.
    if (reason == JobEndReason::TimedOut)
        record.stopped_by = QLatin1String(UpgradeRecord::kTimeout);
    else if (reason == JobEndReason::Stopped)
        record.stopped_by = QLatin1String(server.LastJob().stop_kind == StopKind::Closing ? UpgradeRecord::kWindowClosed
                                                                                       : UpgradeRecord::kOperator);
    // A job that never reached the unit changed nothing there; a closing window does not wait
    // for the unit to answer once more.
    const bool closing = reason == JobEndReason::Stopped && server.LastJob().stop_kind == StopKind::Closing;
    if (reason == JobEndReason::PortNotOpened || reason == JobEndReason::ImageInvalid || closing) {
        Write(record);
        return;
    }
    // The job's thread ends right after this report; the port is free only then.
    reading_after = true;
    ++after_round;
    after_clock.invalidate();
    connect(&server, &QThread::finished, this, &JobRecordKeeper::OnJobThreadEnded, Qt::UniqueConnection);
    if (!server.isRunning())
        OnJobThreadEnded();
}

void JobRecordKeeper::OnJobThreadEnded()
{
    disconnect(&server, &QThread::finished, this, &JobRecordKeeper::OnJobThreadEnded);
    ReadVersionAfter();
}

void JobRecordKeeper::FinishReading()
{
    if (reading_after && !server.isRunning())
        ReadVersionAfter(true);
}

void JobRecordKeeper::ReadVersionAfter(bool last)
{
    if (!reading_after)
        return;
    if (!after_clock.isValid())
        after_clock.start();
    const AppVersionReading reading = server.Probe().ReadAppVersion(record.usb_pid, record.dev_id, unit, UpgradeLaunch::kVersionTries);
    if (!reading.version && record.success && !last && after_clock.elapsed() < Waits::Long(kVersionAfterMs)) {
        const int round = after_round;
        QTimer::singleShot(kVersionRetryMs, this, [this, round] {
            if (round == after_round)
                ReadVersionAfter();
        });
        return;
    }
    reading_after = false;
    record.version_after = VersionRecordText(reading);
    Write(record);
}

void JobRecordKeeper::Write(const UpgradeRecord &done)
{
    auto warning = std::make_shared<QString>();
    const QString path = database;
    QThread *writer = QThread::create([path, done, warning] { *warning = HistoryStore::Append(path, done); });
    writers << writer;
    connect(writer, &QThread::finished, this, [this, writer, done, warning] {
        writers.removeOne(writer);
        writer->deleteLater();
        emit Recorded(done, *warning);
    });
    writer->start();
}
