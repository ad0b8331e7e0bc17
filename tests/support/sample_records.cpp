#include "sample_records.h"

#include <QCryptographicHash>
#include <QFile>

UpgradeRecord SampleRecord(const QString &target, const QDateTime &started_at, const QString &error_text)
{
    UpgradeRecord r;
    r.started_at = started_at;
    r.duration_ms = 8123;
    r.front_end = QLatin1String(UpgradeRecord::kWindow);
    r.target = target;
    r.dev_id = 3;
    r.port_name = QStringLiteral("/dev/ttyACM0");
    r.usb_location = QStringLiteral("1-1.2");
    r.usb_pid = 4;
    r.hw_version = QStringLiteral("MOTOR-HW-A");
    r.description = QString::fromUtf8("电机 A, \"rev 3\"");
    r.image_path = QStringLiteral("/opt/fw/motor.bin");
    r.image_sha256 = QStringLiteral("9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08");
    r.image_version = QStringLiteral("1.2.3");
    r.success = error_text.isEmpty();
    r.error_text = error_text;
    r.unit_serial = QStringLiteral("0001A3F29C7E");
    r.version_before = QStringLiteral("1.2.2.0");
    r.version_after = r.success ? QStringLiteral("1.2.3.0") : r.version_before;
    r.user = QStringLiteral("operator7");
    r.host = QStringLiteral("station-3");
    return r;
}

QString FileSha256(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromLatin1(QCryptographicHash::hash(file.readAll(), QCryptographicHash::Sha256).toHex());
}
