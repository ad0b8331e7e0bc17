// The job's firmware image: read at the start of every run, before the port is touched.
#include "upgrade_server.h"

#include "firmware_image.h"

#include <QDebug>
#include <QFile>

void UpgradeServer::LoadImage()
{
    job.image_loaded = false;
    if (!job.firmware_path.contains(QLatin1String(".bin"))) {
        qDebug().noquote() << QString::fromUtf8("---固件必须是.bin文件");
        return;
    }
    job.sections.clear();
    QFile file(job.firmware_path);
    if (!file.open(QIODevice::ReadOnly)) {
        qDebug().noquote() << QString::fromUtf8("---固件文件不存在，请检查固件文件下是否包含该固件.");
        return;
    }
    const QByteArray buffer = file.readAll();
    file.close();

    ImageHeader header;
    QString reason;
    if (FirmwareImage::ReadHeader(buffer, header, reason) != FirmwareImage::Verdict::Ok) {
        qDebug().noquote() << reason;
        return;
    }
    qDebug().noquote() << "\n\n";
    qDebug().noquote() << "Using firmware:  " + job.firmware_path;
    qDebug().noquote() << "----------------------";
    qDebug().noquote() << QString::fromUtf8("---App_ver：%1.%2.%3")
                              .arg(header.app_ver_major)
                              .arg(header.app_ver_minor)
                              .arg(header.app_ver_patch);
    qDebug().noquote() << QString::fromUtf8("---Product_code：") + header.product_code;
    qDebug().noquote() << QString::fromUtf8("---Section_num：%1").arg(header.section_num);
    qDebug().noquote() << QString::fromUtf8("---Section_len_max：%1").arg(header.section_len_max);
    qDebug().noquote() << "----------------------";

    if (FirmwareImage::ReadSections(buffer, header, uint8_t(job.dev_id), job.sections, reason) != FirmwareImage::Verdict::Ok) {
        qDebug().noquote() << reason;
        return;
    }
    job.image_loaded = true;
}
