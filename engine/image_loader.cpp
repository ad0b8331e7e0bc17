// The job's firmware image: read at the start of every run, before the port is touched.
#include "upgrade_sequence.h"

#include "engine_log.h"
#include "firmware_image.h"

#include <QFileInfo>

void UpgradeSequence::LoadImage()
{
    job.image_loaded = false;
    // The launch hands over the image it judged, by the image reader's one verdict, before the
    // job. A job given only a path is judged here by that same verdict, with the engine's own
    // console lines for the faults it always named.
    ImageSnapshot read;
    const ImageSnapshot *image = job.image.get();
    if (!image) {
        QString reason;
        FirmwareImage::Verdict verdict = FirmwareImage::Verdict::Ok;
        const bool loaded = FirmwareImage::Load(job.firmware_path, uint8_t(job.dev_id), read, reason, &verdict);
        if (!loaded && verdict == FirmwareImage::Verdict::NotImageName) {
            // Refused by its name alone: the sections of the last image stay as they were.
            qCWarning(lcEngine).noquote() << QString::fromUtf8("---固件必须是.bin文件");
            return;
        }
        job.sections.clear();
        if (!loaded) {
            if (!QFileInfo::exists(job.firmware_path))
                qCWarning(lcEngine).noquote() << QString::fromUtf8("---固件文件不存在，请检查固件文件下是否包含该固件.");
            else
                qCWarning(lcEngine).noquote() << reason;
            return;
        }
        image = &read;
    }
    job.sections.clear();

    const ImageHeader &header = image->header;
    qCInfo(lcEngine).noquote() << "\n\n";
    qCInfo(lcEngine).noquote() << "Using firmware:  " + job.firmware_path;
    qCInfo(lcEngine).noquote() << "----------------------";
    qCInfo(lcEngine).noquote() << QString::fromUtf8("---App_ver：%1.%2.%3")
                                      .arg(header.app_ver_major)
                                      .arg(header.app_ver_minor)
                                      .arg(header.app_ver_patch);
    qCInfo(lcEngine).noquote() << QString::fromUtf8("---Product_code：") + header.product_code;
    qCInfo(lcEngine).noquote() << QString::fromUtf8("---Section_num：%1").arg(header.section_num);
    qCInfo(lcEngine).noquote() << QString::fromUtf8("---Section_len_max：%1").arg(header.section_len_max);
    qCInfo(lcEngine).noquote() << "----------------------";

    job.sections = image->sections;
    for (FirmwareSection &section : job.sections)
        section.dev_id = uint8_t(job.dev_id);
    job.image_loaded = true;
}
