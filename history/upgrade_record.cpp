#include "upgrade_record.h"

namespace {

// A bound null QString is stored as SQL NULL; the columns hold empty text instead.
QVariant Text(const QString &text)
{
    return text.isNull() ? QVariant(QStringLiteral("")) : QVariant(text);
}

}  // namespace

const char *ResultText(const UpgradeRecord &record)
{
    if (record.current)
        return UpgradeRecord::kCurrent;
    return record.success ? UpgradeRecord::kSuccess : UpgradeRecord::kFailed;
}

QString StoredTime(const QDateTime &time)
{
    return time.toUTC().toString(Qt::ISODateWithMs);
}

const std::vector<RecordColumn> &RecordColumns()
{
    using R = UpgradeRecord;
    using V = QVariant;
    static const std::vector<RecordColumn> columns{
        {"id", [](const R &r) { return V(r.id); }, [](R &r, const V &v) { r.id = v.toLongLong(); }, true},
        {"started_at", [](const R &r) { return V(StoredTime(r.started_at)); },
         [](R &r, const V &v) { r.started_at = QDateTime::fromString(v.toString(), Qt::ISODateWithMs).toUTC(); }, false},
        {"duration_ms", [](const R &r) { return V(r.duration_ms); },
         [](R &r, const V &v) { r.duration_ms = v.toLongLong(); }, true},
        {"front_end", [](const R &r) { return Text(r.front_end); }, [](R &r, const V &v) { r.front_end = v.toString(); },
         false},
        {"target", [](const R &r) { return Text(r.target); }, [](R &r, const V &v) { r.target = v.toString(); }, false},
        {"dev_id", [](const R &r) { return V(r.dev_id); }, [](R &r, const V &v) { r.dev_id = v.toInt(); }, true},
        {"port_name", [](const R &r) { return Text(r.port_name); }, [](R &r, const V &v) { r.port_name = v.toString(); },
         false},
        {"usb_location", [](const R &r) { return Text(r.usb_location); },
         [](R &r, const V &v) { r.usb_location = v.toString(); }, false},
        {"usb_pid", [](const R &r) { return V(r.usb_pid); }, [](R &r, const V &v) { r.usb_pid = v.toInt(); }, true},
        {"hw_version", [](const R &r) { return Text(r.hw_version); },
         [](R &r, const V &v) { r.hw_version = v.toString(); }, false},
        {"description", [](const R &r) { return Text(r.description); },
         [](R &r, const V &v) { r.description = v.toString(); }, false},
        {"image_path", [](const R &r) { return Text(r.image_path); },
         [](R &r, const V &v) { r.image_path = v.toString(); }, false},
        {"image_sha256", [](const R &r) { return Text(r.image_sha256); },
         [](R &r, const V &v) { r.image_sha256 = v.toString(); }, false},
        {"image_version", [](const R &r) { return Text(r.image_version); },
         [](R &r, const V &v) { r.image_version = v.toString(); }, false},
        {"result", [](const R &r) { return V(QLatin1String(ResultText(r))); },
         [](R &r, const V &v) {
             r.current = v.toString() == QLatin1String(R::kCurrent);
             r.success = r.current || v.toString() == QLatin1String(R::kSuccess);
         },
         false},
        {"error_text", [](const R &r) { return Text(r.error_text); },
         [](R &r, const V &v) { r.error_text = v.toString(); }, false},
        {"stopped_by", [](const R &r) { return Text(r.stopped_by); },
         [](R &r, const V &v) { r.stopped_by = v.toString(); }, false},
        {"user", [](const R &r) { return Text(r.user); }, [](R &r, const V &v) { r.user = v.toString(); }, false},
        {"host", [](const R &r) { return Text(r.host); }, [](R &r, const V &v) { r.host = v.toString(); }, false},
        // Added in schema 2; after the first ones so that readers of the CSV by position keep theirs.
        {"unit_serial", [](const R &r) { return Text(r.unit_serial); },
         [](R &r, const V &v) { r.unit_serial = v.toString(); }, false},
        {"version_before", [](const R &r) { return Text(r.version_before); },
         [](R &r, const V &v) { r.version_before = v.toString(); }, false},
        {"version_after", [](const R &r) { return Text(r.version_after); },
         [](R &r, const V &v) { r.version_after = v.toString(); }, false},
        // Added in schema 3.
        {"uid", [](const R &r) { return Text(r.uid); }, [](R &r, const V &v) { r.uid = v.toString(); }, false},
        // Added in schema 4.
        {"signer_key_id", [](const R &r) { return Text(r.signer_key_id); },
         [](R &r, const V &v) { r.signer_key_id = v.toString(); }, false},
    };
    return columns;
}
