// Writes the seed corpus of the three fuzz targets into DIR/frame_decoder, DIR/image_reader and
// DIR/config_parser, and checks that every seed reads the way it is meant to. The seeds are
// committed; rerun this after a change to the frame or image format:
//     fuzz-seeds fuzz/corpus

#include "config_reader.h"
#include "firmware_image.h"
#include "frame_codec.h"
#include "image_format.h"
#include "image_writer.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QList>
#include <QtEndian>

#include <cstdio>
#include <cstring>
#include <vector>

namespace {

int failures = 0;

void Fail(const QString &what)
{
    std::fprintf(stderr, "seed check failed: %s\n", qPrintable(what));
    ++failures;
}

void Write(const QString &dir, const QString &name, const QByteArray &bytes)
{
    QDir().mkpath(dir);
    QFile file(dir + QLatin1Char('/') + name);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size())
        Fail(QStringLiteral("cannot write %1").arg(file.fileName()));
}

// ---- frames ----

QByteArray Wire(uint8_t length, uint8_t command, uint8_t address, const QByteArray &payload)
{
    Frame frame;
    frame.length = length;
    frame.command = command;
    frame.address = address;
    std::memcpy(frame.payload, payload.constData(), size_t(std::min(payload.size(), int(Frame::kMaxPayload))));
    FrameCodec::WireBuffer out;
    const int n = FrameCodec::Encode(frame, out);
    return QByteArray(reinterpret_cast<const char *>(out), n);
}

void PutLittle32(QByteArray &bytes, int offset, quint32 value)
{
    char field[4];
    qToLittleEndian<quint32>(value, field);
    bytes.replace(offset, 4, field, 4);
}

QByteArray Hex(const char *hex)
{
    return QByteArray::fromHex(hex);
}

// Writes a wire stream and checks how many good and bad frames it decodes to.
void FrameSeed(const QString &dir, const QString &name, const QByteArray &bytes, int good, int bad)
{
    FrameParser parser;
    FrameCodec::ResetDecoder(parser);
    int got_good = 0;
    int got_bad = 0;
    for (char c : bytes) {
        const uint8_t r = FrameCodec::Decode(parser, uint8_t(c));
        got_good += r == FrameCodec::FrameOk;
        got_bad += r == FrameCodec::FrameBadChecksum;
    }
    if (got_good != good || got_bad != bad)
        Fail(QStringLiteral("%1: %2 good and %3 bad frames, expected %4 and %5")
                 .arg(name).arg(got_good).arg(got_bad).arg(good).arg(bad));
    Write(dir, name, bytes);
}

void FrameSeeds(const QString &dir)
{
    const QByteArray status = Wire(2, 0x16, 0x13, Hex("0007"));
    FrameSeed(dir, "one_byte_payload", Wire(1, 0x0A, 0x12, Hex("01")), 1, 0);
    FrameSeed(dir, "empty_payload", Wire(0, 0x05, 0x11, {}), 1, 0);
    FrameSeed(dir, "escaped_payload_byte", Wire(1, 0x01, 0x11, Hex("7e")), 1, 0);
    FrameSeed(dir, "escaped_checksum", Wire(1, 0x01, 0x11, Hex("e0")), 1, 0);
    FrameSeed(dir, "two_byte_payload", status, 1, 0);
    FrameSeed(dir, "full_payload_of_7e", Wire(64, 0x01, 0x11, QByteArray(64, '\x7e')), 1, 0);
    FrameSeed(dir, "escaped_command_and_address", Wire(3, 0x7E, 0x7E, Hex("7e007e")), 1, 0);
    FrameSeed(dir, "escaped_length_position", Hex("7e7e") + status, 1, 0);

    QByteArray payload64;
    for (int i = 0; i < 64; ++i)
        payload64 += char(i * 37 + 11);
    FrameSeed(dir, "full_payload_mixed", Wire(64, 0x03, 0x13, payload64), 1, 0);

    FrameSeed(dir, "noise_then_frame", Hex("00ff1355aa7d7f") + status, 1, 0);
    QByteArray cut = Wire(10, 0x03, 0x12, Hex("0102030405060708090a"));
    cut.truncate(9);
    FrameSeed(dir, "cut_off_then_frame", cut + status, 1, 0);
    QByteArray flipped = Wire(4, 0x03, 0x12, Hex("10203040"));
    flipped[6] = char(flipped[6] ^ 0x01);
    FrameSeed(dir, "bad_checksum_then_frame", flipped + status, 1, 1);
    FrameSeed(dir, "oversized_length_then_frame", Hex("7e41011101020304") + status, 1, 0);
    FrameSeed(dir, "repeated_start_bytes", Hex("7e7e7e") + status, 1, 0);

    QByteArray stream;
    stream += Wire(0, 0x05, 0x12, {});
    stream += Wire(5, 0x06, 0x12, Hex("0102037e04"));
    stream += Wire(16, 0x07, 0x13, QByteArray(16, '\x5a'));
    stream += Wire(1, 0x7E, 0x14, Hex("00"));
    FrameSeed(dir, "stream_of_replies", stream, 4, 0);

    // Read by the encoder half of the target: length, command, address, payload.
    FrameSeed(dir, "encoder_fields", Hex("057e12017e02037e"), 0, 0);
    FrameSeed(dir, "encoder_length_too_large", Hex("411011") + QByteArray(64, '\x7e'), 0, 0);
}

// ---- images ----

QByteArray Pattern(int size, int seed, bool compressible)
{
    QByteArray bytes(size, '\0');
    uint32_t x = uint32_t(seed) * 2654435761u + 1;
    for (int i = 0; i < size; ++i) {
        x = x * 1103515245u + 12345u;
        bytes[i] = compressible ? char("BOOT"[i % 4] + (i / 64)) : char(x >> 24);
    }
    return bytes;
}

QByteArray Image(const ImageRecipe &recipe, const QList<ImageSegment> &segments)
{
    QString error;
    const QByteArray image = BuildImage(recipe, segments, &error);
    if (image.isEmpty())
        Fail(QStringLiteral("image writer: %1").arg(error));
    return image;
}

// Cuts a layout 0 image right after the last section's stored bytes: the filler of the last
// data area is never read, and the seed stays small.
QByteArray CutAfterLastData(const QByteArray &image)
{
    const quint32 count = qFromLittleEndian<quint32>(image.constData() + ImageFormat::kSectionNumOffset);
    const int entry_size = ImageFormat::kLayout0DataOffset + ImageFormat::kLayout0DataArea;
    const int last = ImageFormat::kHeaderSize + int(count - 1) * entry_size;
    const quint32 stored = qFromLittleEndian<quint32>(image.constData() + last + ImageFormat::kEntryCompressedLengthOffset);
    return image.left(last + ImageFormat::kLayout0DataOffset + int(stored));
}

void ImageSeed(const QString &dir, const QString &name, const QByteArray &image, quint32 sections)
{
    ImageHeader header;
    QString reason;
    std::vector<FirmwareSection> read;
    if (FirmwareImage::ReadHeader(image, header, reason) != FirmwareImage::Verdict::Ok
        || FirmwareImage::ReadSections(image, header, 2, read, reason) != FirmwareImage::Verdict::Ok)
        Fail(QStringLiteral("%1: %2").arg(name, reason));
    else if (read.size() != sections)
        Fail(QStringLiteral("%1: %2 sections, expected %3").arg(name).arg(read.size()).arg(sections));
    Write(dir, name, image);
}

void ImageSeeds(const QString &dir)
{
    ImageRecipe mixed;
    mixed.layout = 1;
    mixed.section_size = 64;
    mixed.product_code = "FUZZ-BASE";
    mixed.version_major = 2;
    mixed.version_minor = 3;
    mixed.version_patch = 517;
    ImageSeed(dir, "layout1_compressed_and_raw.bin",
              Image(mixed, {{0x08004000, Pattern(200, 1, true)}, {0x08010000, Pattern(70, 2, false)}}), 6);

    ImageRecipe raw;
    raw.layout = 1;
    raw.section_size = 32;
    raw.raw = true;
    raw.product_code = "FUZZ-STEERING";
    ImageSeed(dir, "layout1_raw_last_section_short.bin", Image(raw, {{0x0, Pattern(100, 3, true)}}), 4);

    ImageRecipe code64 = raw;
    code64.product_code = QByteArray(64, 'P');
    ImageSeed(dir, "layout1_product_code_fills_field.bin", Image(code64, {{0x100, Pattern(16, 4, false)}}), 1);

    ImageSeed(dir, "no_sections.bin", Image(mixed, {}), 0);

    ImageRecipe layout0;
    layout0.layout = 0;
    layout0.section_size = 256;
    layout0.product_code = "FUZZ-METER";
    const QByteArray one = Image(layout0, {{0x08000000, Pattern(200, 5, true)}});
    ImageSeed(dir, "layout0_one_section.bin", one, 1);
    const QByteArray two = Image(layout0, {{0x08000000, Pattern(300, 6, false)}});
    ImageSeed(dir, "layout0_last_filler_cut.bin", CutAfterLastData(two), 2);

    // Version 1.0 and 2.0 both select layout 0.
    QByteArray v20 = CutAfterLastData(one);
    v20[ImageFormat::kLayoutMajorOffset] = 2;
    v20[ImageFormat::kLayoutMinorOffset] = 0;
    ImageSeed(dir, "layout0_version_2_0.bin", v20, 1);

    // Layout 1 with data areas of zero bytes: entries of the common part and reserved bytes only.
    QByteArray empty_areas = Image(mixed, {});
    PutLittle32(empty_areas, ImageFormat::kSectionLenMaxOffset, 0);
    PutLittle32(empty_areas, ImageFormat::kSectionNumOffset, 3);
    for (int i = 0; i < 3; ++i) {
        QByteArray entry(ImageFormat::kLayout1DataOffset, '\0');
        PutLittle32(entry, ImageFormat::kEntryAddressOffset, 0x1000u * quint32(i));
        empty_areas += entry;
    }
    ImageSeed(dir, "layout1_zero_data_areas.bin", empty_areas, 3);
}

// ---- configuration files ----

// failure: nullptr when the file must read without a failure, else a part of the English
// warning it must give.
void ConfigSeed(const QString &dir, const QString &name, const QByteArray &text, const char *failure)
{
    const ConfigRead read = ParseConfig(text);
    const QString got = read.Ok() ? QStringLiteral("no failure") : read.failure->en;
    if (failure ? read.Ok() || !got.contains(QString::fromUtf8(failure)) : !read.Ok())
        Fail(QStringLiteral("%1: read with %2, expected %3").arg(name, got, failure ? failure : "no failure"));
    Write(dir, name, text);
}

const char kComplete[] = R"({
  "eol_path": "D:/eol/eol_test.exe",
  "is_english": true,
  "check_boot_ver": false,
  "firmware": {
    "Base": {
      "dev_id": 2,
      "USB_PID": [4, 5],
      "series": [
        {"boot_ver": "1.0.0", "hw_ver": "BASE-HW-A", "section_len": 4096, "path": "fw/base_a.bin", "description": "base A"},
        {"boot_ver": "1.0.0", "hw_ver": "BASE-HW-B", "section_len": 4096, "path": "fw/base_b.bin", "description": "base B"}
      ]
    },
    "Meter": {
      "dev_id": 4,
      "USB_PID": [4, 5],
      "series": [
        {"boot_ver": "1.0.0", "hw_ver": "METER-HW-1", "section_len": 2048, "path": "fw/meter.bin", "description": "meter"}
      ]
    }
  }
}
)";

const char kFiveTargets[] = R"({"is_english": false, "firmware": {
 "Base": {"dev_id": 2, "USB_PID": [4097], "series": [{"boot_ver": "1", "hw_ver": "B", "section_len": 4096, "path": "b.bin", "description": "b"}]},
 "Motor": {"dev_id": 3, "USB_PID": [4097, 4098], "series": [{"boot_ver": "1", "hw_ver": "M", "section_len": 4096, "path": "m.bin", "description": "m"}]},
 "Steering": {"dev_id": 1, "USB_PID": [4097], "series": []},
 "Meter": {"dev_id": 4, "USB_PID": [], "series": [{"boot_ver": "1", "hw_ver": "T", "section_len": 2048, "path": "t.bin", "description": "t"}]},
 "Pedals": {"dev_id": 5, "USB_PID": [4099, 4099], "series": [{"boot_ver": "1", "hw_ver": "P", "section_len": 1024, "path": "p.bin", "description": "p"}]}
}}
)";

const char kWrongTypes[] = R"({"eol_path": 7, "is_english": "yes", "check_boot_ver": 1, "firmware": {
 "Base": {"dev_id": "2", "USB_PID": 4, "series": {"boot_ver": "1"}},
 "Meter": {"dev_id": 4.5, "USB_PID": ["4", true, null, 1e308, -0, 2147483648, -2147483649, 3.0], "series": [
   {"boot_ver": 1, "hw_ver": null, "section_len": "4096", "path": [], "description": {}}]},
 "Motor": [],
 "Pedals": {"dev_id": -2147483648, "USB_PID": [2147483647], "series": [7, "x"]}
}}
)";

void ConfigSeeds(const QString &dir)
{
    const char *parse_error = "parsing error";
    const char *no_firmware = "\"firmware\" in not found";
    ConfigSeed(dir, "complete.json", kComplete, nullptr);
    ConfigSeed(dir, "five_targets.json", kFiveTargets, nullptr);
    ConfigSeed(dir, "wrong_value_types.json", kWrongTypes, "Field \"dev_id\" in \"Motor\" not found");
    ConfigSeed(dir, "firmware_is_array.json", R"({"is_english": true, "firmware": []})", nullptr);
    ConfigSeed(dir, "firmware_empty.json", R"({"firmware": {}})", nullptr);
    ConfigSeed(dir, "no_firmware.json", R"({"eol_path": "eol", "is_english": false})", no_firmware);
    ConfigSeed(dir, "missing_usb_pid.json", R"({"firmware": {
 "Base": {"dev_id": 2, "USB_PID": [4], "series": []},
 "Meter": {"dev_id": 4, "series": []},
 "Motor": {"dev_id": 3, "USB_PID": [4], "series": []}}})", "Field \"USB_PID\" in \"Meter\" not found");
    ConfigSeed(dir, "missing_dev_id.json", R"({"firmware": {"Base": {"USB_PID": [4], "series": []}}})",
               "Field \"dev_id\" in \"Base\" not found");
    ConfigSeed(dir, "missing_series.json", R"({"firmware": {"Base": {"dev_id": 2, "USB_PID": [4]}}})",
               "Field \"series\" in \"Base\" not found");
    ConfigSeed(dir, "series_element_incomplete.json", R"({"is_english": true, "firmware": {"Pedals": {"dev_id": 5, "USB_PID": [4], "series": [
 {"boot_ver": "1", "hw_ver": "P1", "section_len": 1, "path": "p1.bin", "description": "p1"},
 {"boot_ver": "1", "hw_ver": "P2", "section_len": 1, "path": "p2.bin"}]}}})", "\"Pedals\"(\"1\") is incomplete");
    // Names sort as "", "%1%2", then the Chinese one, which lacks its series.
    ConfigSeed(dir, "unusual_target_names.json", R"({"firmware": {
 "%1%2": {"dev_id": 2, "USB_PID": [4], "series": []},
 "\u57fa\u5ea7 \ud83d\ude80": {"dev_id": 3, "USB_PID": [4]},
 "": {"dev_id": 3, "USB_PID": [4], "series": []}}})", "Field \"series\" in \"\u57fa\u5ea7 \U0001F680\" not found");
    // A key given twice in one object makes the file unreadable, also when an escape spells it.
    ConfigSeed(dir, "repeated_key.json",
               R"({"firmware": {"Base": {"dev_id": 2, "USB_PID": [4], "series": []}}, "firmware": {"Base": {"dev_id": 2}}})",
               parse_error);
    ConfigSeed(dir, "repeated_key_escaped.json",
               R"({"firmware": {"Base": {"dev_id": 2, "USB_PID": [4], "series": [], "\u0073eries": [{}]}}})", parse_error);
    ConfigSeed(dir, "same_key_in_different_objects.json", R"({"firmware": {
 "Base": {"dev_id": 2, "USB_PID": [4], "series": [{"boot_ver": "1", "hw_ver": "B", "section_len": 1, "path": "b.bin", "description": "b"}]},
 "Motor": {"dev_id": 3, "USB_PID": [4], "series": [{"boot_ver": "1", "hw_ver": "B", "section_len": 1, "path": "b.bin", "description": "b"}]}},
 "path": "firmware", "x": {"firmware": {"firmware": 1}}, "y": ["firmware", {"path": 1}]})", nullptr);
    ConfigSeed(dir, "top_level_array.json", R"([{"firmware": {}}])", no_firmware);
    ConfigSeed(dir, "top_level_number.json", "42", parse_error);
    ConfigSeed(dir, "empty_file.json", "", parse_error);
    ConfigSeed(dir, "truncated.json", QByteArray(kComplete).left(300), parse_error);
    ConfigSeed(dir, "byte_order_mark.json", QByteArray("\xef\xbb\xbf") + R"({"firmware": {}})", nullptr);
    ConfigSeed(dir, "number_out_of_range.json", R"({"firmware": {"Base": {"dev_id": 1e400}}})", parse_error);
    ConfigSeed(dir, "invalid_utf8_in_string.json",
               QByteArray(R"({"eol_path": ")") + "\xff\xfe\xc3" + R"(", "firmware": {}})", parse_error);
    ConfigSeed(dir, "zero_byte_after_document.json",
               QByteArray(R"({"firmware": {}})") + QByteArray(1, '\0') + "garbage", parse_error);
    ConfigSeed(dir, "deep_nesting.json",
               QByteArray(R"({"firmware": {"Base": {"dev_id": 2, "USB_PID": [4], "series": [)") + QByteArray(200, '[')
                   + QByteArray(200, ']') + "]}}}",
               "\"Base\"(\"0\") is incomplete");
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s CORPUS_DIR\n", argv[0]);
        return 2;
    }
    const QString root = QString::fromLocal8Bit(argv[1]);
    FrameSeeds(root + "/frame_decoder");
    ImageSeeds(root + "/image_reader");
    ConfigSeeds(root + "/config_parser");
    return failures == 0 ? 0 : 1;
}
