#include "debug_capture.h"
#include "engine_probe.h"
#include "image_format.h"
#include "image_writer.h"
#include "section_codec.h"
#include "upgrade_server.h"

#include <QtEndian>
#include <QtTest>

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

    // Loads path into a fresh engine and returns it with the debug lines of the load.
    std::unique_ptr<UpgradeServer> Load(const QString &path, QStringList *lines = nullptr)
    {
        auto server = std::make_unique<UpgradeServer>();
        EngineProbe(*server).Prepare(4, 0, path);
        DebugCapture debug;
        EngineProbe(*server).LoadImage();
        if (lines)
            *lines = debug.Lines();
        return server;
    }

private slots:
    void pathRules_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("accepted");
        QTest::newRow(".bin") << "a.bin" << true;
        QTest::newRow(".bin.old") << "a.bin.old" << true;
        QTest::newRow(".BIN") << "a.BIN" << false;
        QTest::newRow("no extension") << "firmware" << false;
    }

    void pathRules()
    {
        QFETCH(QString, name);
        QFETCH(bool, accepted);
        const QString path = Write(name, SampleImage());
        // A refused path leaves the sections of the previous load untouched.
        auto server = Load(Write("previous.bin", SampleImage()));
        QCOMPARE(int(EngineProbe(*server).Job().sections.size()), 5);
        EngineProbe(*server).Job().firmware_path = path;
        DebugCapture debug;
        EngineProbe(*server).LoadImage();
        QCOMPARE(EngineProbe(*server).Job().image_loaded, accepted);
        QCOMPARE(int(EngineProbe(*server).Job().sections.size()), 5);
        if (!accepted)
            QCOMPARE(debug.Lines(), QStringList{QString::fromUtf8("---固件必须是.bin文件")});
    }

    void missingFileAndWrongMagic()
    {
        QStringList lines;
        auto missing = Load(dir.filePath("absent.bin"), &lines);
        QVERIFY(!EngineProbe(*missing).Job().image_loaded);
        QCOMPARE(lines, QStringList{QString::fromUtf8("---固件文件不存在，请检查固件文件下是否包含该固件.")});

        QByteArray image = SampleImage();
        image[0] = 0x01;
        auto wrong = Load(Write("magic.bin", image), &lines);
        QVERIFY(!EngineProbe(*wrong).Job().image_loaded);
        QVERIFY(EngineProbe(*wrong).Job().sections.empty());
        QCOMPARE(lines, QStringList{"Magic number error!"});
    }

    void headerLinesAndSections()
    {
        const QString path = Write("good.bin", SampleImage());
        QStringList lines;
        auto server = Load(path, &lines);
        QVERIFY(EngineProbe(*server).Job().image_loaded);
        QCOMPARE(lines, (QStringList{"\n\n", "Using firmware:  " + path, "----------------------",
                                     QString::fromUtf8("---App_ver：1.2.300"),
                                     QString::fromUtf8("---Product_code：TEST-PRODUCT"),
                                     QString::fromUtf8("---Section_num：5"),
                                     QString::fromUtf8("---Section_len_max：4096"), "----------------------"}));
        const std::vector<FirmwareSection> &s = EngineProbe(*server).Job().sections;
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
        QVERIFY(EngineProbe(*server).Job().image_loaded);

        QByteArray rebuilt_a, rebuilt_b;
        bool some_compressed = false;
        for (const FirmwareSection &section : EngineProbe(*server).Job().sections) {
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
        QVERIFY(EngineProbe(*server).Job().image_loaded);
        QCOMPARE(int(EngineProbe(*server).Job().sections.size()), 3);  // 8220-byte entries, read correctly
        QCOMPARE(EngineProbe(*server).Job().sections[2].address, 0xC0232800u);
    }

    void zeroSectionsAndLongProductCode()
    {
        QByteArray image = SampleImage().left(ImageFormat::kHeaderSize);
        PutU32(image, ImageFormat::kSectionNumOffset, 0);
        image.replace(ImageFormat::kProductCodeOffset, 64, QByteArray(64, 'P'));
        QStringList lines;
        auto server = Load(Write("empty.bin", image), &lines);
        QVERIFY(EngineProbe(*server).Job().image_loaded);
        QVERIFY(EngineProbe(*server).Job().sections.empty());
        QVERIFY(lines.contains(QString::fromUtf8("---Product_code：") + QString(64, 'P')));
    }

    void secondLoadReplacesFirst()
    {
        auto server = Load(Write("first.bin", SampleImage(1)));
        QCOMPARE(int(EngineProbe(*server).Job().sections.size()), 5);
        ImageRecipe recipe;
        QString error;
        EngineProbe(*server).Job().firmware_path = Write("second.bin", BuildImage(recipe, {{0x2000, Pattern(100, 5, false)}}, &error));
        EngineProbe(*server).LoadImage();
        QVERIFY(EngineProbe(*server).Job().image_loaded);
        QCOMPARE(int(EngineProbe(*server).Job().sections.size()), 1);
        QCOMPARE(EngineProbe(*server).Job().sections[0].address, 0x2000u);
    }

    // Malformed files are refused like a wrong magic, and never read out of bounds (the
    // sanitizer build would catch a stray read).
    void malformedFilesAreRefused_data()
    {
        QTest::addColumn<QByteArray>("image");
        QTest::addColumn<QString>("reason");
        const QByteArray good1 = SampleImage(1);
        const QByteArray good0 = SampleImage(0);
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
            const QByteArray good = SampleImage(1);
            const int last = ImageFormat::kHeaderSize + 4 * (32 + 4096);
            const int stored = int(qFromLittleEndian<quint32>(good.constData() + last + 8));
            auto server = Load(Write("trimmed.bin", good.left(last + 32 + stored)));
            QVERIFY(EngineProbe(*server).Job().image_loaded);
            QCOMPARE(int(EngineProbe(*server).Job().sections.size()), 5);
            return;
        }
        auto server = Load(Write("previous.bin", SampleImage()));
        EngineProbe(*server).Job().firmware_path = Write("bad.bin", image);
        DebugCapture debug;
        EngineProbe(*server).LoadImage();
        QVERIFY(!EngineProbe(*server).Job().image_loaded);
        QVERIFY(EngineProbe(*server).Job().sections.empty());
        QCOMPARE(debug.Lines().last(), reason);
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
        QVERIFY(EngineProbe(*server).Job().image_loaded);
        QCOMPARE(int(EngineProbe(*server).Job().sections.size()), 4);
        QCOMPARE(EngineProbe(*server).Job().sections[3].address, 0x08100000u);

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
        const int at = tampered.indexOf(EngineProbe(*server).Job().sections[1].digest);
        QVERIFY(at > 0);
        tampered[at] = char(tampered[at] ^ 0x01);
        QProcess corrupt;
        corrupt.start(tool, {"info", Write("tampered.bin", tampered)});
        QVERIFY(corrupt.waitForFinished());
        QCOMPARE(corrupt.exitCode(), 1);
        QCOMPARE(QString::fromUtf8(corrupt.readAllStandardOutput()).count("digest is not the MD5 of the data"), 1);
        QVERIFY(QString::fromUtf8(corrupt.readAllStandardError()).contains("1 of 4 sections fail their check"));

        Write("broken.bin", SampleImage().left(500));
        QProcess bad;
        bad.start(tool, {"info", dir.filePath("broken.bin")});
        QVERIFY(bad.waitForFinished());
        QCOMPARE(bad.exitCode(), 1);
        QVERIFY(QString::fromUtf8(bad.readAllStandardError()).contains("is not a valid image: Section"));

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
