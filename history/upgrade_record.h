#pragma once

#include <QDateTime>
#include <QString>
#include <QMetaType>
#include <QVariant>

#include <vector>

// One upgrade as the history keeps it: what was upgraded, where, with which image, by whom, and
// how it ended. Texts are empty where a fact was not known.
struct UpgradeRecord {
    qint64 id = 0;              // row number in the database; 0 before it is written
    QDateTime started_at;       // UTC
    qint64 duration_ms = 0;
    QString front_end;          // kWindow or kCommand
    QString target;             // "Base", "Motor", ...
    int dev_id = 0;
    QString port_name;          // as the port catalog named it when the job started
    QString usb_location;       // where the device sits on USB (survives re-enumeration)
    int usb_pid = 0;
    QString hw_version;         // the target's hardware version text read by the launch
    QString description;        // the firmware variant chosen for that hardware
    QString image_path;         // absolute
    QString image_sha256;       // lower-case hex of the file's bytes when the job started
    QString image_version;      // application version in the image header, "major.minor.patch"
    bool success = false;
    QString error_text;         // the engine's error lines, or why the job never began
    QString stopped_by;         // empty, kOperator, kTimeout or kWindowClosed
    // The target already ran the image's version and nothing was sent (the result "current");
    // success is then true too: the unit holds the image's version.
    bool current = false;
    QString unit_serial;        // the base's USB serial number; empty when its port gives none
    // The application version the target reported before the job and after it (once back in its
    // application): "a.b.c.d" as read, kInBootloader when the target ran its bootloader, kNoAnswer
    // when it was asked and did not tell, empty when it was never asked.
    QString version_before;
    QString version_after;
    QString user;
    QString host;               // the station: the computer the job ran on
    // The record's name on every station and on the line's server: a UUID given when the record
    // is first written and never changed, so a record pushed twice is still one record.
    QString uid;
    // The id of the trusted key that signed the image (fwimage keygen prints it); empty when the
    // station trusted no keys, and for the records of releases before signatures.
    QString signer_key_id;

    static constexpr char kWindow[] = "window";
    static constexpr char kCommand[] = "command";
    static constexpr char kOperator[] = "operator";
    static constexpr char kTimeout[] = "timeout";
    static constexpr char kWindowClosed[] = "window closed";  // the window closed during the job
    static constexpr char kSuccess[] = "success";
    static constexpr char kFailed[] = "failed";
    static constexpr char kCurrent[] = "current";
    static constexpr char kNoAnswer[] = "no answer";
    static constexpr char kInBootloader[] = "in bootloader";
};

// The fields of a record in their one order and under their one name: the database's columns,
// the keys of the JSON lines and the header of the CSV. Values are as stored: the start time as
// ISO 8601 UTC text with milliseconds, the result as "success", "failed" or "current" (which
// reads back as success and current). Columns added by a later schema come after the older ones.
struct RecordColumn {
    const char *name;
    QVariant (*get)(const UpgradeRecord &record);
    void (*set)(UpgradeRecord &record, const QVariant &value);
    bool is_number;
};

const std::vector<RecordColumn> &RecordColumns();

// The result as stored: kCurrent, kSuccess or kFailed.
const char *ResultText(const UpgradeRecord &record);

// The stored form of a start time: "2024-05-01T12:34:56.789Z". Fixed width, so that text order is
// time order in the database.
QString StoredTime(const QDateTime &time);

Q_DECLARE_METATYPE(UpgradeRecord)
