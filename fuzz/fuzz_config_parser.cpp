// Arbitrary bytes as the configuration file.

#include "config_reader.h"
#include "fuzz_check.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QStringList>

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <iterator>

namespace {

const char kParseErrorText[] = "The configuration file parsing error!";
const char *const kEntryKeys[] = {"dev_id", "USB_PID", "series"};
const char *const kSeriesKeys[] = {"boot_ver", "hw_ver", "section_len", "path", "description"};

bool HasAll(const QJsonObject &object, const char *const *keys, size_t count)
{
    return std::all_of(keys, keys + count, [&](const char *key) { return object.contains(QLatin1String(key)); });
}

// An entry in the result is complete: the file's object for it holds every required key, and
// every one of its series elements holds every series key.
void CheckEntryComplete(const FirmwareEntry &entry, const QJsonObject &object)
{
    FUZZ_CHECK(HasAll(object, kEntryKeys, std::size(kEntryKeys)));
    const QJsonArray pids = object.value(QLatin1String("USB_PID")).toArray();
    FUZZ_CHECK(entry.usb_pids.size() <= pids.size());
    const QJsonArray series = object.value(QLatin1String("series")).toArray();
    FUZZ_CHECK(entry.series.size() == series.size());
    for (int i = 0; i < series.size(); ++i) {
        const QJsonObject element = series.at(i).toObject();
        FUZZ_CHECK(HasAll(element, kSeriesKeys, std::size(kSeriesKeys)));
        const FirmwareSeries &variant = entry.series.at(i);
        FUZZ_CHECK(variant.path == element.value(QLatin1String("path")).toString());
        FUZZ_CHECK(variant.hw_ver == element.value(QLatin1String("hw_ver")).toString());
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // A copy, as reading the file gives one (with Qt's terminating zero).
    const QByteArray bytes(reinterpret_cast<const char *>(data), int(std::min<size_t>(size, INT_MAX)));
    const ConfigRead read = ParseConfig(bytes);

    if (!read.Ok()) {
        FUZZ_CHECK(!read.failure->debug_line.isEmpty());
        FUZZ_CHECK(!read.failure->zh.isEmpty());
        FUZZ_CHECK(!read.failure->en.isEmpty());
    }

    // Text refused as unreadable is not handed to the JSON reader here either: Qt's reader
    // leaks on some of it (a key repeated in one object), which is why the product refuses it.
    if (!read.Ok() && read.failure->en == QLatin1String(kParseErrorText)) {
        FUZZ_CHECK(!read.firmware_read && read.entries.isEmpty());
        return 0;
    }

    // What the file says, seen by the same JSON reader.
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    FUZZ_CHECK(error.error == QJsonParseError::NoError);
    const QJsonObject top = document.object();
    FUZZ_CHECK(read.firmware_read == top.contains(QLatin1String("firmware")));
    FUZZ_CHECK(read.settings.eol_path.has_value() == top.contains(QLatin1String("eol_path")));
    FUZZ_CHECK(read.settings.is_english.has_value() == top.contains(QLatin1String("is_english")));
    if (!read.firmware_read) {
        FUZZ_CHECK(read.entries.isEmpty());
        return 0;
    }

    // The entries are the targets in ascending name order up to, not including, the one that
    // failed; all of them when nothing failed.
    const QJsonObject firmware = top.value(QLatin1String("firmware")).toObject();
    QStringList names = firmware.keys();
    std::sort(names.begin(), names.end());
    FUZZ_CHECK(read.entries.size() <= names.size());
    if (read.Ok())
        FUZZ_CHECK(read.entries.size() == names.size());
    else
        FUZZ_CHECK(read.entries.size() < names.size());
    int i = 0;
    for (auto it = read.entries.cbegin(); it != read.entries.cend(); ++it, ++i) {
        FUZZ_CHECK(it.key() == names.at(i));
        CheckEntryComplete(it.value(), firmware.value(it.key()).toObject());
    }
    return 0;
}
