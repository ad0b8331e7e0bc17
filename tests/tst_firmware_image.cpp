#include "debug_capture.h"
#include "firmware_image.h"
#include "image_format.h"
#include "image_writer.h"
#include "section_codec.h"
#include "upgrade_sequence.h"
#include "with_deadline.h"

#include <QCryptographicHash>
#include <QtEndian>
#include <QtTest>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#endif

#include <random>

namespace {

// Compressible and incompressible content.
QByteArray Pattern(int size, unsigned seed, bool compressible)
{
    std::mt19937 rng(seed);
    QByteArray bytes(size, '\0');
    for (int i = 0; i < size; ++i)
        bytes[i] = char(compressible ? (i / 7) % 13 + (rng() % 16 == 0 ? 0x7E : 0) : rng());
    return bytes;
}

QByteArray SampleImage(int layout = 1, bool raw = false)
{
    ImageRecipe recipe;
    recipe.layout = layout;
    recipe.section_size = layout == 0 ? 8192 : 4096;
    recipe.product_code = "TEST-PRODUCT";
    recipe.version_major = 1;
    recipe.version_minor = 2;
    recipe.version_patch = 300;
    recipe.raw = raw;
    QString error;
    const QByteArray image = BuildImage(
        recipe, {{0x08004000, Pattern(10000, 1, true)}, {0xC0232800, Pattern(5000, 2, false)}}, &error);
    Q_ASSERT(error.isEmpty());
    return image;
}

void PutU32(QByteArray &bytes, int offset, quint32 value)
{
    qToLittleEndian<quint32>(value, bytes.data() + offset);
}

void PutU16(QByteArray &bytes, int offset, quint16 value)
{
    qToLittleEndian<quint16>(value, bytes.data() + offset);
}

quint32 U32(const QByteArray &bytes, int offset)
{
    return qFromLittleEndian<quint32>(bytes.constData() + offset);
}

// The image as a tool that knows no seal would have written it: reserved header bytes zero.
QByteArray Unsealed(QByteArray image)
{
    image.replace(12, 44, QByteArray(44, '\0'));
    return image;
}

// Offset of section i's entry (0-based) in a layout 1 image with 4096-byte data areas.
int Entry1(int i)
{
    return ImageFormat::kHeaderSize + i * (ImageFormat::kLayout1DataOffset + 4096);
}

// A layout 1 image of one entry written field by field, for what the writer never writes.
QByteArray HandMadeImage(quint32 address, quint16 length, const QByteArray &stored, quint32 data_area)
{
    QByteArray image(ImageFormat::kHeaderSize, '\0');
    PutU32(image, ImageFormat::kMagicOffset, ImageFormat::kMagic);
    image[ImageFormat::kLayoutMajorOffset] = 1;
    image[ImageFormat::kLayoutMinorOffset] = 1;
    PutU32(image, ImageFormat::kSectionLenMaxOffset, data_area);
    PutU32(image, ImageFormat::kSectionNumOffset, 1);
    QByteArray entry(ImageFormat::kLayout1DataOffset, '\0');
    PutU32(entry, ImageFormat::kEntryAddressOffset, address);
    PutU16(entry, ImageFormat::kEntryLengthOffset, length);
    PutU32(entry, ImageFormat::kEntryCompressedLengthOffset, quint32(stored.size()));
    entry.replace(ImageFormat::kEntryDigestOffset, ImageFormat::kDigestSize, SectionCodec::Digest(stored));
    return image + entry + stored + QByteArray(int(data_area) - stored.size(), '\0');
}

void Flip(QByteArray &bytes, int offset, int mask)
{
    bytes[offset] = char(bytes[offset] ^ mask);
}

QByteArray FileBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// FirmwareImage::Load run where a read that never ends cannot hang the suite.
struct LoadOutcome {
    bool loaded = false;
    QString reason;
};

std::optional<LoadOutcome> LoadWithDeadline(const QString &path, uint8_t dev_id)
{
    return WithDeadline<LoadOutcome>([path, dev_id] {
        LoadOutcome outcome;
        ImageSnapshot snapshot;
        outcome.loaded = FirmwareImage::Load(path, dev_id, snapshot, outcome.reason);
        return outcome;
    });
}

}  // namespace

class TestFirmwareImage : public QObject {
    Q_OBJECT

    QTemporaryDir dir;

    QString Write(const QString &name, const QByteArray &bytes)
    {
        const QString path = dir.filePath(name);
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size())
            qFatal("cannot write %s", qPrintable(path));
        return path;
    }

    JobControl control;

    // Loads path into a fresh job of device 4 and returns it with the debug lines of the load.
    std::unique_ptr<UpgradeSequence> Load(const QString &path, QStringList *lines = nullptr)
    {
        UpgradeJob request;
        request.dev_id = 4;
        request.firmware_path = path;
        auto job = std::make_unique<UpgradeSequence>(request, control);
        DebugCapture debug;
        job->LoadImage();
        if (lines)
            *lines = debug.Lines();
        return job;
    }

private slots:
    void pathRules_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("accepted");
        QTest::newRow(".bin") << "a.bin" << true;
        QTest::newRow(".bin.old") << "a.bin.old" << true;
        QTest::newRow(".BIN") << "a.BIN" << false;
        QTest::newRow(".img") << "a.img" << false;
        QTest::newRow("no extension") << "firmware" << false;
    }

    // One rule, judged by the image reader wherever an image is judged: a job given only a path
    // and the launch's reading (FirmwareImage::Load) take and refuse the same names.
    void pathRules()
    {
        QFETCH(QString, name);
        QFETCH(bool, accepted);
        const QString path = Write(name, SampleImage());
        ImageSnapshot snapshot;
        QString reason;
        FirmwareImage::Verdict verdict = FirmwareImage::Verdict::Ok;
        QCOMPARE(FirmwareImage::Load(path, 4, snapshot, reason, &verdict), accepted);
        QCOMPARE(verdict, accepted ? FirmwareImage::Verdict::Ok : FirmwareImage::Verdict::NotImageName);
        if (!accepted) {
            QVERIFY2(reason.contains("\".bin\""), qPrintable(reason));
            QVERIFY(snapshot.sections.empty());
            // Refused by its name, the file was still read: a record or a report can name it.
            QCOMPARE(snapshot.sha256, QCryptographicHash::hash(SampleImage(), QCryptographicHash::Sha256));
        }

        // A refused path leaves the sections of the previous load untouched.
        auto server = Load(Write("previous.bin", SampleImage()));
        QCOMPARE(int(server->Job().sections.size()), 5);
        server->Job().firmware_path = path;
        DebugCapture debug;
        server->LoadImage();
        QCOMPARE(server->Job().image_loaded, accepted);
        QCOMPARE(int(server->Job().sections.size()), 5);
        if (!accepted)
            QCOMPARE(debug.Lines(), QStringList{QString::fromUtf8("---固件必须是.bin文件")});
    }

    void missingFileAndWrongMagic()
    {
        QStringList lines;
        auto missing = Load(dir.filePath("absent.bin"), &lines);
        QVERIFY(!missing->Job().image_loaded);
        QCOMPARE(lines, QStringList{QString::fromUtf8("---固件文件不存在，请检查固件文件下是否包含该固件.")});

        QByteArray image = SampleImage();
        image[0] = 0x01;
        auto wrong = Load(Write("magic.bin", image), &lines);
        QVERIFY(!wrong->Job().image_loaded);
        QVERIFY(wrong->Job().sections.empty());
        QCOMPARE(lines, QStringList{"Magic number error!"});
    }

    void headerLinesAndSections()
    {
        const QString path = Write("good.bin", SampleImage());
        QStringList lines;
        auto server = Load(path, &lines);
        QVERIFY(server->Job().image_loaded);
        QCOMPARE(lines, (QStringList{"\n\n", "Using firmware:  " + path, "----------------------",
                                     QString::fromUtf8("---App_ver：1.2.300"),
                                     QString::fromUtf8("---Product_code：TEST-PRODUCT"),
                                     QString::fromUtf8("---Section_num：5"),
                                     QString::fromUtf8("---Section_len_max：4096"), "----------------------"}));
        const std::vector<FirmwareSection> &s = server->Job().sections;
        QCOMPARE(int(s.size()), 5);
        QCOMPARE(s[0].address, 0x08004000u);
        QCOMPARE(s[1].address, 0x08005000u);
        QCOMPARE(s[2].address, 0x08006000u);
        QCOMPARE(s[3].address, 0xC0232800u);
        QCOMPARE(s[4].address, 0xC0233800u);
        QCOMPARE(int(s[2].length), 10000 - 8192);
        for (const FirmwareSection &section : s) {
            QCOMPARE(int(section.dev_id), 4);
            QVERIFY(!section.received && !section.flashed && section.sent_offset == 0);
            QCOMPARE(section.data.size(), int(section.compressed_length));
        }
    }

    // What the writer stores comes back from the reader: addresses, lengths, data that expand to
    // the original bytes, and digests that are the MD5 of those bytes.
    void writerAndReaderAgree_data()
    {
        QTest::addColumn<int>("layout");
        QTest::addColumn<bool>("raw");
        QTest::newRow("layout 0, compressed") << 0 << false;
        QTest::newRow("layout 1, compressed") << 1 << false;
        QTest::newRow("layout 1, raw") << 1 << true;
    }

    void writerAndReaderAgree()
    {
        QFETCH(int, layout);
        QFETCH(bool, raw);
        const QByteArray compressible = Pattern(20000, 3, true);
        const QByteArray noise = Pattern(3000, 4, false);
        ImageRecipe recipe;
        recipe.layout = layout;
        recipe.section_size = layout == 0 ? 8192 : 2048;
        recipe.raw = raw;
        QString error;
        const QByteArray image = BuildImage(recipe, {{0x1000, compressible}, {0x90000, noise}}, &error);
        QVERIFY2(error.isEmpty(), qPrintable(error));
        auto server = Load(Write("round.bin", image));
        QVERIFY(server->Job().image_loaded);

        QByteArray rebuilt_a, rebuilt_b;
        bool some_compressed = false;
        for (const FirmwareSection &section : server->Job().sections) {
            QByteArray plain;
            QVERIFY(SectionCodec::Expand(section.data, section.length, plain));
            QCOMPARE(section.digest, SectionCodec::Digest(plain));
            if (raw)
                QCOMPARE(section.data, plain);
            some_compressed |= section.data.size() < section.length;
            (section.address < 0x90000 ? rebuilt_a : rebuilt_b) += plain;
            const quint32 base = section.address < 0x90000 ? 0x1000 : 0x90000;
            QCOMPARE((section.address - base) % quint32(recipe.section_size), 0u);
        }
        QCOMPARE(rebuilt_a, compressible);
        QCOMPARE(rebuilt_b, noise);
        QCOMPARE(some_compressed, !raw);
    }

    void layoutSelection_data()
    {
        QTest::addColumn<int>("major");
        QTest::addColumn<int>("minor");
        QTest::newRow("1.0 is layout 0") << 1 << 0;
        QTest::newRow("2.0 is layout 0") << 2 << 0;
        QTest::newRow("0.1 is layout 0") << 0 << 1;
    }

    void layoutSelection()
    {
        QFETCH(int, major);
        QFETCH(int, minor);
        QByteArray image = SampleImage(0);
        image[ImageFormat::kLayoutMajorOffset] = char(major);
        image[ImageFormat::kLayoutMinorOffset] = char(minor);
        auto server = Load(Write("layout.bin", image));
        QVERIFY(server->Job().image_loaded);
        QCOMPARE(int(server->Job().sections.size()), 3);  // 8220-byte entries, read correctly
        QCOMPARE(server->Job().sections[2].address, 0xC0232800u);
    }

    // An image without sections would "succeed" with nothing written: the job refuses it. A
    // product code filling its whole field is shown whole.
    void zeroSectionsAndLongProductCode()
    {
        QByteArray image = Unsealed(SampleImage().left(ImageFormat::kHeaderSize));
        PutU32(image, ImageFormat::kSectionNumOffset, 0);
        QStringList lines;
        auto server = Load(Write("empty.bin", image), &lines);
        QVERIFY(!server->Job().image_loaded);
        QVERIFY(server->Job().sections.empty());
        QVERIFY2(lines.filter("holds no section").size() == 1, qPrintable(lines.join('\n')));

        QByteArray named = SampleImage();
        named.replace(ImageFormat::kProductCodeOffset, 64, QByteArray(64, 'P'));  // the seal covers only what follows the header
        lines.clear();
        server = Load(Write("named.bin", named), &lines);
        QVERIFY(server->Job().image_loaded);
        QVERIFY(lines.contains(QString::fromUtf8("---Product_code：") + QString(64, 'P')));
    }

    void secondLoadReplacesFirst()
    {
        auto server = Load(Write("first.bin", SampleImage(1)));
        QCOMPARE(int(server->Job().sections.size()), 5);
        ImageRecipe recipe;
        QString error;
        server->Job().firmware_path = Write("second.bin", BuildImage(recipe, {{0x2000, Pattern(100, 5, false)}}, &error));
        server->LoadImage();
        QVERIFY(server->Job().image_loaded);
        QCOMPARE(int(server->Job().sections.size()), 1);
        QCOMPARE(server->Job().sections[0].address, 0x2000u);
    }

    // Malformed files are refused like a wrong magic, and never read out of bounds (the
    // sanitizer build would catch a stray read).
    void malformedFilesAreRefused_data()
    {
        QTest::addColumn<QByteArray>("image");
        QTest::addColumn<QString>("reason");
        // Made elsewhere (no seal), so that each is judged on its structure.
        const QByteArray good1 = Unsealed(SampleImage(1));
        const QByteArray good0 = Unsealed(SampleImage(0));
        const int entry1 = ImageFormat::kHeaderSize;
        QTest::newRow("three bytes") << good1.left(3) << "Magic number error!";
        QTest::newRow("header cut short") << good1.left(100) << "Image too short: 100 bytes, the header alone needs 128!";
        QByteArray many = good1;
        PutU32(many, ImageFormat::kSectionNumOffset, 0xFFFFFFFF);
        QTest::newRow("section count past the end")
            << many << QString("Section 6 of 4294967295 starts past the end of the image (%1 bytes)!").arg(many.size());
        // The last entry keeps its common part and 100 of its stored bytes.
        const int last = entry1 + 4 * (32 + 4096);
        QTest::newRow("last entry cut inside its data")
            << good1.left(last + 32 + 100) << QString("Section 5: its %1 data bytes run past the end of the image!")
                                                  .arg(qFromLittleEndian<quint32>(good1.constData() + last + 8));
        // Filler after the stored bytes is never read: an image cut right after them still loads.
        QTest::newRow("control: last data area cut after its data") << QByteArray() << QString();
        QByteArray oversized0 = good0;
        PutU32(oversized0, entry1 + ImageFormat::kEntryCompressedLengthOffset, 8193);
        QTest::newRow("layout 0 data longer than 8192")
            << oversized0 << "Section 1: compressed length 8193 is larger than its data area of 8192 bytes!";
        QByteArray oversized1 = good1;
        PutU32(oversized1, entry1 + (32 + 4096) + ImageFormat::kEntryCompressedLengthOffset, 4097);
        QTest::newRow("layout 1 data longer than Section_len_max")
            << oversized1 << "Section 2: compressed length 4097 is larger than its data area of 4096 bytes!";
        QByteArray huge_area = good1;
        PutU32(huge_area, ImageFormat::kSectionLenMaxOffset, 0xFFFFFFF0);
        PutU32(huge_area, entry1 + ImageFormat::kEntryCompressedLengthOffset, 0xFFFFFF00);
        QTest::newRow("huge data area") << huge_area
                                        << "Section 1: its 4294967040 data bytes run past the end of the image!";
    }

    void malformedFilesAreRefused()
    {
        QFETCH(QByteArray, image);
        QFETCH(QString, reason);
        if (image.isEmpty()) {
            const QByteArray good = Unsealed(SampleImage(1));
            const int last = ImageFormat::kHeaderSize + 4 * (32 + 4096);
            const int stored = int(qFromLittleEndian<quint32>(good.constData() + last + 8));
            auto server = Load(Write("trimmed.bin", good.left(last + 32 + stored)));
            QVERIFY(server->Job().image_loaded);
            QCOMPARE(int(server->Job().sections.size()), 5);
            return;
        }
        auto server = Load(Write("previous.bin", SampleImage()));
        server->Job().firmware_path = Write("bad.bin", image);
        DebugCapture debug;
        server->LoadImage();
        QVERIFY(!server->Job().image_loaded);
        QVERIFY(server->Job().sections.empty());
        QCOMPARE(debug.Lines().last(), reason);
    }

    // A job's image is refused before any device is touched when it would send nothing, write
    // the same device memory twice, give the motor data it cannot take, or differ from what
    // fwimage sealed.
    void snapshotRefusesUnsoundImages_data()
    {
        QTest::addColumn<QByteArray>("image");
        QTest::addColumn<int>("dev_id");
        QTest::addColumn<QString>("reason");
        const QByteArray sample = SampleImage(1);  // sections 0x08004000 +4096, +4096, +1808; 0xC0232800 +4096, +904
        QString error;

        QTest::newRow("no section, sealed") << BuildImage(ImageRecipe(), {}, &error) << 4
                                            << "The image holds no section: nothing would be written to the device!";
        QByteArray header_only = Unsealed(sample.left(ImageFormat::kHeaderSize));
        PutU32(header_only, ImageFormat::kSectionNumOffset, 0);
        QTest::newRow("no section, unsealed") << header_only << 4
                                              << "The image holds no section: nothing would be written to the device!";

        QByteArray overlap = Unsealed(sample);
        PutU32(overlap, Entry1(3) + ImageFormat::kEntryAddressOffset, 0x08005800);
        QTest::newRow("section inside another's range")
            << overlap << 4
            << "Sections 2 (0x08005000..0x08005FFF) and 4 (0x08005800..0x080067FF) overlap in the device's memory!";
        QByteArray same = Unsealed(sample);
        PutU32(same, Entry1(4) + ImageFormat::kEntryAddressOffset, 0x08004000);
        QTest::newRow("two sections at one address")
            << same << 4 << "Sections 1 (0x08004000..0x08004FFF) and 5 (0x08004000..0x08004387) overlap in the device's memory!";
        QByteArray one_byte = Unsealed(sample);
        PutU32(one_byte, Entry1(1) + ImageFormat::kEntryAddressOffset, 0x08004FFF);
        QTest::newRow("one shared byte")
            << one_byte << 4 << "Sections 1 (0x08004000..0x08004FFF) and 2 (0x08004FFF..0x08005FFE) overlap in the device's memory!";

        const quint32 stored_first = U32(sample, Entry1(0) + ImageFormat::kEntryCompressedLengthOffset);
        QTest::newRow("compressed section for the motor")
            << sample << 3
            << QString("Section 1 at 0x08004000 is not stored raw (%1 bytes stored for its 4096), but the motor takes raw "
                       "sections only!")
                   .arg(stored_first);
        QTest::newRow("more stored bytes than the length, for the motor")
            << HandMadeImage(0x2000, 100, QByteArray(200, 'e'), 200) << 3
            << "Section 1 at 0x00002000 is not stored raw (200 bytes stored for its 100), but the motor takes raw sections "
               "only!";

        QByteArray data_flipped = sample;
        Flip(data_flipped, Entry1(4) + ImageFormat::kLayout1DataOffset + 10, 0x01);
        const QString seal_broken =
            "The image does not match its seal: its bytes after the header changed since it was written!";
        QTest::newRow("sealed, one data byte flipped") << data_flipped << 4 << seal_broken;
        QByteArray reserved_flipped = sample;
        Flip(reserved_flipped, Entry1(0) + 6, 0x80);  // an entry's reserved bytes: harmless to the structure
        QTest::newRow("sealed, one reserved entry byte flipped") << reserved_flipped << 4 << seal_broken;
        QTest::newRow("sealed, cut by its last byte") << sample.left(sample.size() - 1) << 4 << seal_broken;
        QByteArray digest_changed = sample;
        Flip(digest_changed, ImageFormat::kSealDigestOffset + 31, 0x01);
        QTest::newRow("sealed, seal digest altered") << digest_changed << 4 << seal_broken;

        QByteArray empty_section = Unsealed(sample);
        PutU16(empty_section, Entry1(2) + ImageFormat::kEntryLengthOffset, 0);
        QTest::newRow("empty section") << empty_section << 4
                                       << "Section 3 at 0x08006000 is empty (length 0): nothing of it would be written!";
        QTest::newRow("more stored bytes than 16 bits count")
            << HandMadeImage(0x1000, 0xFFFF, QByteArray(70000, 'a'), 70000) << 4
            << "Section 1 stores 70000 bytes, more than the 65535 a section's 16-bit length can carry!";
        QTest::newRow("past the end of the address space")
            << HandMadeImage(0xFFFFF001, 4096, QByteArray(4096, 'b'), 4096) << 4
            << "Section 1 at 0xFFFFF001 runs past the end of the 32-bit address space!";
        QByteArray magic = sample;
        magic[0] = 0x01;
        QTest::newRow("not an image") << magic << 4 << "Magic number error!";
    }

    void snapshotRefusesUnsoundImages()
    {
        QFETCH(QByteArray, image);
        QFETCH(int, dev_id);
        QFETCH(QString, reason);
        const QString path = Write("unsound.bin", image);
        ImageSnapshot snapshot;
        snapshot.sections.resize(2);  // left over from an earlier use: must not survive
        QString said;
        QVERIFY(!FirmwareImage::Load(path, uint8_t(dev_id), snapshot, said));
        QCOMPARE(said, reason);
        QVERIFY(snapshot.sections.empty());
        // The file was read, so a record can still name it.
        QCOMPARE(snapshot.path, path);
        QCOMPARE(snapshot.sha256, QCryptographicHash::hash(image, QCryptographicHash::Sha256));
    }

    // A sound image comes back as one snapshot: the bytes read, their digest, and the sections
    // taken from those bytes, exactly as the section reader gives them.
    void snapshotOfSoundImages_data()
    {
        QTest::addColumn<QByteArray>("image");
        QTest::addColumn<int>("dev_id");
        QTest::addColumn<bool>("sealed");
        QTest::newRow("sealed, compressed, for the meter") << SampleImage(1) << 4 << true;
        QTest::newRow("sealed, raw, for the motor") << SampleImage(1, true) << 3 << true;
        QTest::newRow("sealed, layout 0") << SampleImage(0) << 2 << true;
        QByteArray flipped = Unsealed(SampleImage(1));
        Flip(flipped, Entry1(4) + ImageFormat::kLayout1DataOffset + 10, 0x01);
        QTest::newRow("unsealed, one data byte flipped: judged on its structure") << flipped << 4 << false;
        QTest::newRow("unsealed, ends at the top of the address space")
            << HandMadeImage(0xFFFFF000, 4096, QByteArray(4096, 'c'), 4096) << 3 << false;
        QTest::newRow("unsealed, 65535 stored bytes") << HandMadeImage(0, 0xFFFF, QByteArray(0xFFFF, 'd'), 0x10000) << 3 << false;
    }

    void snapshotOfSoundImages()
    {
        QFETCH(QByteArray, image);
        QFETCH(int, dev_id);
        QFETCH(bool, sealed);
        const QString path = Write("sound.bin", image);
        ImageSnapshot snapshot;
        QString reason;
        QVERIFY2(FirmwareImage::Load(path, uint8_t(dev_id), snapshot, reason), qPrintable(reason));
        QVERIFY(reason.isEmpty());
        QCOMPARE(snapshot.path, path);
        QCOMPARE(snapshot.bytes, image);
        QCOMPARE(snapshot.sha256, QCryptographicHash::hash(image, QCryptographicHash::Sha256));
        QCOMPARE(snapshot.seal, sealed ? ImageSnapshot::Seal::Valid : ImageSnapshot::Seal::None);

        ImageHeader header;
        std::vector<FirmwareSection> expected;
        QVERIFY(FirmwareImage::ReadHeader(image, header, reason) == FirmwareImage::Verdict::Ok);
        QVERIFY(FirmwareImage::ReadSections(image, header, uint8_t(dev_id), expected, reason) == FirmwareImage::Verdict::Ok);
        QCOMPARE(snapshot.header.section_num, header.section_num);
        QCOMPARE(snapshot.header.product_code, header.product_code);
        QCOMPARE(snapshot.sections.size(), expected.size());
        for (size_t i = 0; i < expected.size(); ++i) {
            QCOMPARE(snapshot.sections[i].address, expected[i].address);
            QCOMPARE(snapshot.sections[i].length, expected[i].length);
            QCOMPARE(snapshot.sections[i].data, expected[i].data);
            QCOMPARE(snapshot.sections[i].digest, expected[i].digest);
            QCOMPARE(int(snapshot.sections[i].dev_id), dev_id);
        }
    }

    // Paths that are no image file end at once with a reason, where a plain open would wait for
    // a writer (a pipe), read without end (/dev/zero) or read 600 MiB.
    void notAnImageFile_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("reason");
        QTest::newRow("named pipe") << "<pipe>" << "is a named pipe (FIFO), not a regular file";
        QTest::newRow("endless device") << "<zero>" << "is a character device, not a regular file";
        QTest::newRow("directory") << "<dir>" << "is a directory, not a file";
        QTest::newRow("above the bound") << "<huge>" << "is 16777217 bytes, more than the 16 MiB such a file may have";
        QTest::newRow("nothing there") << "<absent>" << "does not exist";
    }

    void notAnImageFile()
    {
        QFETCH(QString, path);
        QFETCH(QString, reason);
        if (path == "<pipe>") {
#ifdef Q_OS_UNIX
            path = dir.filePath("pipe.bin");
            QFile::remove(path);
            QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
#else
            QSKIP("Windows has no named pipe in a folder");
#endif
        } else if (path == "<dir>") {
            path = dir.filePath("folder.bin");
            QVERIFY(QDir().mkpath(path));
        } else if (path == "<huge>") {
            QFile huge(dir.filePath("huge.bin"));
            QVERIFY(huge.open(QIODevice::WriteOnly | QIODevice::Truncate));
            QVERIFY(huge.resize(FirmwareImage::kMaxImageBytes + 1));  // sparse: takes no disk
            path = huge.fileName();
        } else if (path == "<absent>") {
            path = dir.filePath("absent.bin");
        } else if (path == "<zero>") {
            // /dev/zero under an image's name: the name rule would refuse /dev/zero itself first.
#ifndef Q_OS_UNIX
            QSKIP("Windows has no endless device in the file system");
#endif
            path = dir.filePath("zero.bin");
            QFile::remove(path);
            QVERIFY(QFile::link("/dev/zero", path));
        }
        const auto outcome = LoadWithDeadline(path, 4);
        QVERIFY2(outcome.has_value(), "the load never returned");
        QVERIFY(!outcome->loaded);
        QVERIFY2(outcome->reason.contains(reason), qPrintable(outcome->reason));
    }

    // fwimage info shows the seal and says what it assumes of the digests; an image a job would
    // refuse makes it fail as well.
    void fwimageInfoShowsTheSeal_data()
    {
        QTest::addColumn<QByteArray>("image");
        QTest::addColumn<QString>("seal_line");
        QTest::addColumn<QString>("problem");  // empty: exit code 0
        const QByteArray sealed = SampleImage(1);
        QTest::newRow("sealed") << sealed << "Seal:          sealed, matches" << "";
        QTest::newRow("unsealed") << Unsealed(sealed) << "Seal:          none (made elsewhere" << "";
        QByteArray flipped = sealed;
        Flip(flipped, Entry1(1) + ImageFormat::kLayout1DataOffset + 3, 0x40);
        QTest::newRow("sealed, altered")
            << flipped << "Seal:          sealed, DOES NOT MATCH"
            << "is not a valid image: The image does not match its seal";
        QByteArray overlap = Unsealed(sealed);
        PutU32(overlap, Entry1(4) + ImageFormat::kEntryAddressOffset, 0x08006100);
        QTest::newRow("overlapping sections") << overlap << "Seal:          none"
                                              << "is not a valid image: Sections 3 (0x08006000..0x0800670F) and 5";
        QString error;
        QTest::newRow("no section") << BuildImage(ImageRecipe(), {}, &error) << "Seal:          sealed, matches"
                                    << "is not a valid image: The image holds no section";
    }

    void fwimageInfoShowsTheSeal()
    {
        QFETCH(QByteArray, image);
        QFETCH(QString, seal_line);
        QFETCH(QString, problem);
        QVERIFY2(QFileInfo(qEnvironmentVariable("FWIMAGE")).isExecutable(), "FWIMAGE must name the fwimage program");
        QProcess info;
        info.start(qEnvironmentVariable("FWIMAGE"), {"info", Write("shown.bin", image)});
        QVERIFY(info.waitForFinished(30000));
        const QString out = QString::fromUtf8(info.readAllStandardOutput());
        const QString err = QString::fromUtf8(info.readAllStandardError());
        QVERIFY2(out.contains(seal_line), qPrintable(out));
        QVERIFY2(out.contains("assumes each digest is the MD5 of the section's decompressed bytes"), qPrintable(out));
        QCOMPARE(info.exitCode(), problem.isEmpty() ? 0 : 1);
        QVERIFY2(problem.isEmpty() ? err.isEmpty() : err.contains(problem), qPrintable(err));
    }

    // fwimage build seals what it writes, and a job's check accepts it as sealed.
    void fwimageBuildSeals()
    {
        Write("seal.raw", Pattern(6000, 8, true));
        const QString image = dir.filePath("sealed_build.bin");
        QVERIFY2(QFileInfo(qEnvironmentVariable("FWIMAGE")).isExecutable(), "FWIMAGE must name the fwimage program");
        QProcess build;
        build.start(qEnvironmentVariable("FWIMAGE"), {"build", "-o", image, "0x08000000:" + dir.filePath("seal.raw")});
        QVERIFY(build.waitForFinished(30000));
        QCOMPARE(build.exitCode(), 0);
        const QByteArray bytes = FileBytes(image);
        QCOMPARE(bytes.mid(ImageFormat::kSealMarkerOffset, 8), QByteArray("UPGSEAL1"));
        QCOMPARE(bytes.mid(ImageFormat::kSealDigestOffset, 32),
                 QCryptographicHash::hash(bytes.mid(ImageFormat::kHeaderSize), QCryptographicHash::Sha256));
        // The product code after the seal is untouched.
        QCOMPARE(bytes.mid(ImageFormat::kProductCodeOffset, 4), QByteArray(4, '\0'));
        ImageSnapshot snapshot;
        QString reason;
        QVERIFY2(FirmwareImage::Load(image, 4, snapshot, reason), qPrintable(reason));
        QCOMPARE(snapshot.seal, ImageSnapshot::Seal::Valid);
    }

    // The writer refuses what a job would refuse, rather than writing it.
    void writerRefusesOverlappingBinaries_data()
    {
        QTest::addColumn<quint32>("second");
        QTest::addColumn<QString>("problem");  // empty: written
        QTest::newRow("second starts inside the first")
            << 0x1FFFu << "the binaries for 0x00001000 (0x00001000..0x00001FFF) and 0x00001FFF (0x00001FFF..0x000023FE) overlap";
        QTest::newRow("second at the same address")
            << 0x1000u << "the binaries for 0x00001000 (0x00001000..0x00001FFF) and 0x00001000 (0x00001000..0x000013FF) overlap";
        QTest::newRow("second right after the first") << 0x2000u << "";
        QTest::newRow("second before the first, touching") << 0x0C00u << "";
        QTest::newRow("second before the first, one byte into it")
            << 0x0C01u << "the binaries for 0x00000C01 (0x00000C01..0x00001000) and 0x00001000 (0x00001000..0x00001FFF) overlap";
    }

    void writerRefusesOverlappingBinaries()
    {
        QFETCH(quint32, second);
        QFETCH(QString, problem);
        QString error;
        const QByteArray image =
            BuildImage(ImageRecipe(), {{0x1000, Pattern(4096, 9, false)}, {second, Pattern(1024, 10, false)}}, &error);
        QCOMPARE(error, problem);
        QCOMPARE(image.isEmpty(), !problem.isEmpty());
    }

    void fwimageBuildsAndInspects()
    {
        const QString tool = qEnvironmentVariable("FWIMAGE");
        QVERIFY2(QFileInfo(tool).isExecutable(), "FWIMAGE must name the fwimage program");
        Write("app.raw", Pattern(9000, 6, true));
        Write("tail.raw", Pattern(700, 7, false));
        const QString image = dir.filePath("out.bin");
        QProcess build;
        build.start(tool, {"build", "-o", image, "--layout", "1", "--section-size", "4096", "--product", "KIT-7",
                           "--version", "3.4.5", "0x08000000:" + dir.filePath("app.raw"),
                           "0x08100000:" + dir.filePath("tail.raw")});
        QVERIFY(build.waitForFinished());
        QCOMPARE(build.exitCode(), 0);

        auto server = Load(image);
        QVERIFY(server->Job().image_loaded);
        QCOMPARE(int(server->Job().sections.size()), 4);
        QCOMPARE(server->Job().sections[3].address, 0x08100000u);

        QProcess info;
        info.start(tool, {"info", image});
        QVERIFY(info.waitForFinished());
        QCOMPARE(info.exitCode(), 0);
        const QString text = QString::fromUtf8(info.readAllStandardOutput());
        QVERIFY2(text.contains("App version:   3.4.5") && text.contains("Product code:  KIT-7") &&
                     text.contains("0x08100000") && text.count("digest ok") == 4,
                 qPrintable(text));

        // A section whose digest does not match its data: listed, and the image refused.
        QFile built(image);
        QVERIFY(built.open(QIODevice::ReadOnly));
        QByteArray tampered = built.readAll();
        const int at = tampered.indexOf(server->Job().sections[1].digest);
        QVERIFY(at > 0);
        tampered[at] = char(tampered[at] ^ 0x01);
        // Without its seal, so the image is judged on its structure and the digest check is what fails.
        QProcess corrupt;
        corrupt.start(tool, {"info", Write("tampered.bin", Unsealed(tampered))});
        QVERIFY(corrupt.waitForFinished());
        QCOMPARE(corrupt.exitCode(), 1);
        QCOMPARE(QString::fromUtf8(corrupt.readAllStandardOutput()).count("digest is not the MD5 of the data"), 1);
        QVERIFY(QString::fromUtf8(corrupt.readAllStandardError()).contains("1 of 4 sections fail their check"));

        // Cut short: without a seal the structure says why; with one, the seal does, as a job says it.
        Write("broken.bin", Unsealed(SampleImage().left(500)));
        QProcess bad;
        bad.start(tool, {"info", dir.filePath("broken.bin")});
        QVERIFY(bad.waitForFinished());
        QCOMPARE(bad.exitCode(), 1);
        QVERIFY(QString::fromUtf8(bad.readAllStandardError()).contains("is not a valid image: Section"));
        Write("broken_sealed.bin", SampleImage().left(500));
        QProcess bad_sealed;
        bad_sealed.start(tool, {"info", dir.filePath("broken_sealed.bin")});
        QVERIFY(bad_sealed.waitForFinished());
        QCOMPARE(bad_sealed.exitCode(), 1);
        QVERIFY(QString::fromUtf8(bad_sealed.readAllStandardError())
                    .contains("is not a valid image: The image does not match its seal"));

        QProcess wrong;
        wrong.start(tool, {"build", "-o", image, "--layout", "0", "--section-size", "9000",
                           "0x0:" + dir.filePath("app.raw")});
        QVERIFY(wrong.waitForFinished());
        QCOMPARE(wrong.exitCode(), 1);
        QVERIFY(QString::fromUtf8(wrong.readAllStandardError()).contains("layout 0 holds at most 8192"));
    }
};

QTEST_GUILESS_MAIN(TestFirmwareImage)
#include "tst_firmware_image.moc"
