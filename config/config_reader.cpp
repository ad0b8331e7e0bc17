#include "config_reader.h"

#include "bounded_file.h"

#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QJsonValue>
#include <QSet>
#include <QStringList>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

namespace {

// A configuration names a handful of targets and images: a few KiB. A file a thousand times that
// is a mistaken path, never read into memory.
constexpr qint64 kMaxConfigBytes = 1024 * 1024;

// The reasons a file is refused: console line, Chinese warning, English warning.
// %1 is the target name, %2 the 0-based index of the series element.
struct FailureText {
    const char *debug_line;
    const char *zh;
    const char *en;
};

const FailureText kFileMissing = {
    "json配置文件不存在!", "json配置文件不存在!", "The configuration file doesn't exist!"};
const FailureText kCannotOpen = {
    "配置文件无法打开!", "配置文件无法打开!", "Cannot open the json file!"};
const FailureText kNotAFile = {
    "配置文件不是普通文件!", "配置文件不是普通文件(管道、设备或套接字)!",
    "The configuration file is not a regular file (a pipe, a device or a socket)!"};
const FailureText kTooLarge = {
    "配置文件过大!", "配置文件过大(超过1 MiB)!", "The configuration file is too large (over 1 MiB)!"};
const FailureText kParseError = {
    "配置文件解析错误!", "配置文件解析错误!", "The configuration file parsing error!"};
const FailureText kNoFirmware = {
    "配置文件没有firmware!", "配置文件没有\"firmware\"!", "Field \"firmware\" in not found!!"};
const FailureText kNoDevId = {
    "[配置文件]: %1 没有dev_id!", "[配置文件]: \"%1\" 没有\"dev_id\"!",
    "[Config] Field \"dev_id\" in \"%1\" not found!"};
const FailureText kNoUsbPid = {
    "[配置文件]: %1 没有USB_PID!", "[配置文件]: \"%1\"没有\"USB_PID\"!",
    "[Config] Field \"USB_PID\" in \"%1\" not found!"};
const FailureText kNoSeries = {
    "[配置文件]: %1 没有series!", "[配置文件]: \"%1\"没有\"series\"!",
    "[Config] Field \"series\" in \"%1\" not found!"};
const FailureText kIncomplete = {
    "[配置文件]: %1(%2)不完整!", "[配置文件]: \"%1\"(\"%2\")不完整!",
    "[Config] \"%1\"(\"%2\") is incomplete!"};

// The placeholders are filled in one pass, so a target name that itself holds "%2" stays as
// written.
ConfigFailure Failure(const FailureText &text, const QStringList &args = {})
{
    auto fill = [&](const char *pattern) {
        QString s = QString::fromUtf8(pattern);
        if (args.size() == 1)
            s = s.arg(args[0]);
        else if (args.size() == 2)
            s = s.arg(args[0], args[1]);
        return s;
    };
    return ConfigFailure{fill(text.debug_line), fill(text.zh), fill(text.en)};
}

// Value conversions: a value of the wrong JSON type reads as the empty value of the wanted type
// and is not a failure; the launch reports its consequence.
QString Text(const QJsonValue &v)
{
    return v.isString() ? v.toString() : QString();
}

bool Boolean(const QJsonValue &v)
{
    return v.isBool() && v.toBool();
}

int Integer(const QJsonValue &v)
{
    if (!v.isDouble())
        return 0;
    const double d = v.toDouble();
    // A fraction, or a number no int can hold, is not an id: read it as 0 rather than wrap.
    if (!std::isfinite(d) || d != std::trunc(d) || d < std::numeric_limits<int>::min()
        || d > std::numeric_limits<int>::max())
        return 0;
    return static_cast<int>(d);
}

// What each kind of value must be, for the type problems.
struct Expected {
    const char *en;
    const char *zh;
};
const Expected kText = {"text (a JSON string)", "文本(JSON字符串)"};
const Expected kBoolean = {"true or false", "true 或 false"};
const Expected kWholeNumber = {"a whole number", "整数"};
const Expected kCount = {"a whole number of 0 or more", "不小于0的整数"};
const Expected kProductId = {"a product id (a whole number from 0 to 65535)", "产品ID(0到65535的整数)"};
const Expected kArray = {"an array", "数组"};
const Expected kObject = {"an object", "对象"};
const Expected kTextList = {"an array of texts", "文本数组"};
const Expected kPositive = {"a number above 0", "大于0的数"};
const Expected kRate = {"a number from 0 to 1", "0到1之间的数"};

QString JsonText(const QJsonValue &v)
{
    switch (v.type()) {
    case QJsonValue::Null: return QStringLiteral("null");
    case QJsonValue::Bool: return v.toBool() ? QStringLiteral("true") : QStringLiteral("false");
    case QJsonValue::Double: return QString::number(v.toDouble(), 'g', 17);
    case QJsonValue::String:
        return QString::fromUtf8(QJsonDocument(QJsonArray{v}).toJson(QJsonDocument::Compact)).mid(1).chopped(1);
    case QJsonValue::Array: return QStringLiteral("an array");
    case QJsonValue::Object: return QStringLiteral("an object");
    case QJsonValue::Undefined: break;
    }
    return QString();
}

// Notes the value at field when it does not satisfy ok.
void Note(QList<ConfigTypeProblem> &problems, const QString &field, const QJsonValue &v, bool ok,
          const Expected &expected)
{
    if (!ok)
        problems.append({field, QString::fromUtf8(expected.en), QString::fromUtf8(expected.zh), JsonText(v)});
}

bool IsInteger(const QJsonValue &v)
{
    return v.isDouble() && Integer(v) == v.toDouble();
}

// The series keys in the order they are checked; the first one missing names the failure.
const char *const kSeriesKeys[] = {"boot_ver", "hw_ver", "section_len", "path", "description"};

// Reads the JSON string whose opening quote is at text[i] into key, decoding the escapes as the
// JSON reader does; leaves i on the closing quote (or the end of a string cut short).
void ScanString(const QByteArray &text, int &i, QString &key)
{
    key.clear();
    QByteArray run;  // raw UTF-8 bytes since the last escape
    for (++i; i < text.size() && text[i] != '"'; ++i) {
        if (text[i] != '\\') {
            run += text[i];
            continue;
        }
        key += QString::fromUtf8(run);
        run.clear();
        if (++i >= text.size())
            return;
        switch (text[i]) {
        case 'b': key += QChar(0x08); break;
        case 'f': key += QChar(0x0C); break;
        case 'n': key += QChar(0x0A); break;
        case 'r': key += QChar(0x0D); break;
        case 't': key += QChar(0x09); break;
        case 'u': {
            bool ok = false;
            const ushort unit = text.mid(i + 1, 4).toUShort(&ok, 16);
            if (ok) {
                key += QChar(unit);
                i += 4;
            }
            break;
        }
        default: key += QLatin1Char(text[i]); break;  // \" \\ \/ and bytes the reader refuses anyway
        }
    }
    key += QString::fromUtf8(run);
}

// True when one object of the text names the same key twice. Qt 5.15's JSON reader loses track
// of the first value of a repeated key and never frees it when that value is an array or an
// object, and which value counts would be a guess anyway. The scan trusts nothing: on text that
// is no JSON its answer does not matter, as the reader refuses that text.
bool HasRepeatedKey(const QByteArray &text)
{
    struct Level {
        bool object = false;
        bool expect_key = false;
        QSet<QString> keys;
    };
    std::vector<Level> levels;
    QString key;
    for (int i = 0; i < text.size(); ++i) {
        switch (text[i]) {
        case '{': levels.push_back({true, true, {}}); break;
        case '[': levels.push_back({false, false, {}}); break;
        case '}':
        case ']':
            if (!levels.empty())
                levels.pop_back();
            break;
        case ',':
            if (!levels.empty() && levels.back().object)
                levels.back().expect_key = true;
            break;
        case '"':
            ScanString(text, i, key);
            if (!levels.empty() && levels.back().expect_key) {
                Level &level = levels.back();
                level.expect_key = false;
                if (level.keys.contains(key))
                    return true;
                level.keys.insert(key);
            }
            break;
        default: break;
        }
    }
    return false;
}

}  // namespace

ConfigRead ReadConfig(const QString &path)
{
    ConfigRead read;
    if (path.isEmpty() || !QFileInfo::exists(path)) {
        read.failure = Failure(kFileMissing);
        return read;
    }
    const BoundedFile::Result file = BoundedFile::Read(path, kMaxConfigBytes);
    switch (file.refusal) {
    case BoundedFile::Refusal::None: return ParseConfig(file.bytes);
    case BoundedFile::Refusal::Missing: read.failure = Failure(kFileMissing); break;
    // A directory is a path that cannot be opened for reading, as it always was.
    case BoundedFile::Refusal::Directory:
    case BoundedFile::Refusal::CannotOpen:
    case BoundedFile::Refusal::ReadFailed: read.failure = Failure(kCannotOpen); break;
    case BoundedFile::Refusal::NotRegularFile: read.failure = Failure(kNotAFile); break;
    case BoundedFile::Refusal::TooLarge: read.failure = Failure(kTooLarge); break;
    }
    return read;
}

ConfigRead ParseConfig(const QByteArray &bytes)
{
    ConfigRead read;
    if (HasRepeatedKey(bytes)) {
        read.failure = Failure(kParseError);
        return read;
    }
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError) {
        read.failure = Failure(kParseError);
        return read;
    }
    // A top level that is not an object (an array, say) reads as an empty object.
    const QJsonObject top = document.object();

    // These come before "firmware", so the later failures speak the language this file selects.
    QList<ConfigTypeProblem> &problems = read.type_problems;
    Note(problems, QStringLiteral("(top level)"), document.isArray() ? QJsonValue(document.array()) : QJsonValue(top),
         document.isObject(), kObject);
    if (top.contains(QLatin1String("eol_path"))) {
        const QJsonValue v = top.value(QLatin1String("eol_path"));
        Note(problems, QStringLiteral("eol_path"), v, v.isString(), kText);
        read.settings.eol_path = Text(v);
    }
    if (top.contains(QLatin1String("is_english"))) {
        const QJsonValue v = top.value(QLatin1String("is_english"));
        Note(problems, QStringLiteral("is_english"), v, v.isBool(), kBoolean);
        read.settings.is_english = Boolean(v);
    }
    if (top.contains(QLatin1String("check_boot_ver"))) {
        const QJsonValue v = top.value(QLatin1String("check_boot_ver"));
        Note(problems, QStringLiteral("check_boot_ver"), v, v.isBool(), kBoolean);
        read.settings.check_boot_ver = Boolean(v);
    }
    if (top.contains(QLatin1String("history_server"))) {
        const QJsonValue v = top.value(QLatin1String("history_server"));
        Note(problems, QStringLiteral("history_server"), v, v.isString(), kText);
        read.settings.history_server = Text(v);
    }
    if (top.contains(QLatin1String("trusted_keys"))) {
        const QJsonValue v = top.value(QLatin1String("trusted_keys"));
        TrustedKeyList keys;
        keys.sound = v.isArray();
        Note(problems, QStringLiteral("trusted_keys"), v, keys.sound, kTextList);
        const QJsonArray list = v.toArray();
        for (int i = 0; i < list.size(); ++i) {
            const bool text = list.at(i).isString();
            Note(problems, QStringLiteral("trusted_keys[%1]").arg(i), list.at(i), text, kText);
            keys.sound = keys.sound && text;
            keys.entries << Text(list.at(i));
        }
        read.settings.trusted_keys = keys;
    }
    if (top.contains(QLatin1String("line_guard"))) {
        const QJsonValue v = top.value(QLatin1String("line_guard"));
        LineGuardSettings guard;
        guard.sound = v.isObject();
        Note(problems, QStringLiteral("line_guard"), v, guard.sound, kObject);
        const QJsonObject object = v.toObject();
        // Each member may be left out for its default; one that is there must make sense.
        auto member = [&](const char *key, bool (*fits)(const QJsonValue &), const Expected &expected) {
            if (!object.contains(QLatin1String(key)))
                return false;
            const QJsonValue m = object.value(QLatin1String(key));
            const bool ok = fits(m);
            Note(problems, QStringLiteral("line_guard.") + QLatin1String(key), m, ok, expected);
            guard.sound = guard.sound && ok;
            return ok;
        };
        if (member("window_hours", [](const QJsonValue &m) { return m.isDouble() && std::isfinite(m.toDouble()) && m.toDouble() > 0; }, kPositive))
            guard.window_hours = object.value(QLatin1String("window_hours")).toDouble();
        if (member("min_jobs", [](const QJsonValue &m) { return IsInteger(m) && Integer(m) >= 0; }, kCount))
            guard.min_jobs = Integer(object.value(QLatin1String("min_jobs")));
        if (member("max_failure_rate", [](const QJsonValue &m) { return m.isDouble() && m.toDouble() >= 0 && m.toDouble() <= 1; }, kRate))
            guard.max_failure_rate = object.value(QLatin1String("max_failure_rate")).toDouble();
        read.settings.line_guard = guard;
    }

    if (!top.contains(QLatin1String("firmware"))) {
        read.failure = Failure(kNoFirmware);
        return read;
    }
    read.firmware_read = true;
    Note(problems, QStringLiteral("firmware"), top.value(QLatin1String("firmware")),
         top.value(QLatin1String("firmware")).isObject(), kObject);
    const QJsonObject firmware = top.value(QLatin1String("firmware")).toObject();

    // Ascending name order, the order of the table itself, so a failure leaves exactly the
    // names before it.
    QStringList names = firmware.keys();
    std::sort(names.begin(), names.end());
    for (const QString &name : qAsConst(names)) {
        const QString where = QStringLiteral("firmware.") + name;
        Note(problems, where, firmware.value(name), firmware.value(name).isObject(), kObject);
        const QJsonObject object = firmware.value(name).toObject();
        FirmwareEntry entry;

        if (!object.contains(QLatin1String("dev_id"))) {
            read.failure = Failure(kNoDevId, {name});
            return read;
        }
        const QJsonValue dev_id = object.value(QLatin1String("dev_id"));
        Note(problems, where + QStringLiteral(".dev_id"), dev_id, IsInteger(dev_id), kWholeNumber);
        entry.dev_id = Integer(dev_id);

        if (!object.contains(QLatin1String("USB_PID"))) {
            read.failure = Failure(kNoUsbPid, {name});
            return read;
        }
        const QJsonValue pid_list = object.value(QLatin1String("USB_PID"));
        Note(problems, where + QStringLiteral(".USB_PID"), pid_list, pid_list.isArray(), kArray);
        const QJsonArray pids = pid_list.toArray();
        for (int i = 0; i < pids.size(); ++i) {
            const QJsonValue pid = pids.at(i);
            Note(problems, QStringLiteral("%1.USB_PID[%2]").arg(where).arg(i), pid,
                 IsInteger(pid) && Integer(pid) >= 0 && Integer(pid) <= 0xFFFF, kProductId);
            entry.usb_pids.insert(Integer(pid));
        }

        if (!object.contains(QLatin1String("series"))) {
            read.failure = Failure(kNoSeries, {name});
            return read;
        }
        const QJsonValue series_value = object.value(QLatin1String("series"));
        Note(problems, where + QStringLiteral(".series"), series_value, series_value.isArray(), kArray);
        const QJsonArray series = series_value.toArray();
        for (int i = 0; i < series.size(); ++i) {
            const QString at = QStringLiteral("%1.series[%2]").arg(where).arg(i);
            Note(problems, at, series.at(i), series.at(i).isObject(), kObject);
            const QJsonObject element = series.at(i).toObject();
            for (const char *key : kSeriesKeys) {
                if (!element.contains(QLatin1String(key))) {
                    read.failure = Failure(kIncomplete, {name, QString::number(i)});
                    return read;
                }
            }
            for (const char *key : {"boot_ver", "hw_ver", "path", "description"}) {
                const QJsonValue v = element.value(QLatin1String(key));
                Note(problems, at + QLatin1Char('.') + QLatin1String(key), v, v.isString(), kText);
            }
            const QJsonValue section_len = element.value(QLatin1String("section_len"));
            Note(problems, at + QStringLiteral(".section_len"), section_len,
                 IsInteger(section_len) && Integer(section_len) >= 0, kCount);
            FirmwareSeries variant;
            variant.boot_ver = Text(element.value(QLatin1String("boot_ver")));
            variant.hw_ver = Text(element.value(QLatin1String("hw_ver")));
            variant.section_len = Integer(element.value(QLatin1String("section_len")));
            variant.path = Text(element.value(QLatin1String("path")));
            variant.description = Text(element.value(QLatin1String("description")));
            entry.series.append(variant);
        }
        read.entries.insert(name, entry);
    }
    return read;
}
