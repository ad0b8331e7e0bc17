#include "debug_capture.h"
#include "frame_codec.h"

#include <QtTest>

#include <random>

namespace {

Frame MakeFrame(uint8_t length, uint8_t command, uint8_t address, const QByteArray &payload)
{
    Frame f;
    f.length = length;
    f.command = command;
    f.address = address;
    memcpy(f.payload, payload.constData(), size_t(payload.size()));
    return f;
}

QByteArray Wire(const Frame &f)
{
    FrameCodec::WireBuffer out;
    const int n = FrameCodec::Encode(f, out);
    return QByteArray(reinterpret_cast<const char *>(out), n);
}

bool SameFrame(const Frame &a, const Frame &b)
{
    return a.length == b.length && a.command == b.command && a.address == b.address &&
           memcmp(a.payload, b.payload, a.length) == 0;
}

// Feeds bytes and returns every frame completed with a good checksum.
QList<Frame> DecodeAll(const QByteArray &bytes, int *bad = nullptr)
{
    FrameParser parser;
    FrameCodec::ResetDecoder(parser);
    QList<Frame> good;
    for (char c : bytes) {
        const uint8_t r = FrameCodec::Decode(parser, uint8_t(c));
        if (r == FrameCodec::FrameOk)
            good.append(parser.frame);
        else if (r == FrameCodec::FrameBadChecksum && bad)
            ++*bad;
    }
    return good;
}

// A frame with random header and payload, with 0x7E made frequent so that escaping is exercised
// in every position.
Frame RandomFrame(std::mt19937 &rng)
{
    auto byte = [&rng]() -> uint8_t { return rng() % 5 == 0 ? 0x7E : uint8_t(rng()); };
    Frame f;
    f.length = uint8_t(rng() % (Frame::kMaxPayload + 1));
    f.command = byte();
    f.address = byte();
    for (int i = 0; i < f.length; ++i)
        f.payload[i] = byte();
    return f;
}

}  // namespace

class TestFrameCodec : public QObject {
    Q_OBJECT

private slots:
    void workedExamples_data()
    {
        QTest::addColumn<int>("length");
        QTest::addColumn<int>("command");
        QTest::addColumn<int>("address");
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<QByteArray>("wire");
        QTest::newRow("one byte") << 1 << 0x0A << 0x12 << QByteArray::fromHex("01") << QByteArray::fromHex("7E010A1201A9");
        QTest::newRow("no payload") << 0 << 0x05 << 0x11 << QByteArray() << QByteArray::fromHex("7E000511A1");
        QTest::newRow("escaped payload") << 1 << 0x01 << 0x11 << QByteArray::fromHex("7E")
                                         << QByteArray::fromHex("7E0101117E7E9A");
        QTest::newRow("escaped checksum") << 1 << 0x01 << 0x11 << QByteArray::fromHex("E0")
                                          << QByteArray::fromHex("7E010111E07E7E");
        QTest::newRow("two bytes") << 2 << 0x16 << 0x13 << QByteArray::fromHex("0007")
                                   << QByteArray::fromHex("7E0216130007BD");
        QTest::newRow("escaped command and address")
            << 1 << 0x7E << 0x7E << QByteArray::fromHex("05")
            << QByteArray::fromHex("7E017E7E7E7E05") + char(uint8_t(0x7E + 0x01 + 0xFC + 0xFC + 0x05 + 0x0D));
    }

    void workedExamples()
    {
        QFETCH(int, length);
        QFETCH(int, command);
        QFETCH(int, address);
        QFETCH(QByteArray, payload);
        QFETCH(QByteArray, wire);
        const Frame frame = MakeFrame(uint8_t(length), uint8_t(command), uint8_t(address), payload);
        QCOMPARE(Wire(frame).toHex(' '), wire.toHex(' '));

        // Fed one byte at a time: incomplete until the last byte, which completes a good frame.
        FrameParser parser;
        FrameCodec::ResetDecoder(parser);
        for (int i = 0; i < wire.size(); ++i) {
            const uint8_t r = FrameCodec::Decode(parser, uint8_t(wire[i]));
            QCOMPARE(int(r), i + 1 < wire.size() ? int(FrameCodec::FrameIncomplete) : int(FrameCodec::FrameOk));
        }
        QVERIFY(SameFrame(parser.frame, frame));
        QCOMPARE(int(parser.frame.start), 0x7E);
        QCOMPARE(int(parser.state), int(FrameCodec::RxHunt));
    }

    void fullPayloadOfStartBytes()
    {
        Frame frame = MakeFrame(64, 0x01, 0x11, QByteArray(64, '\x7E'));
        const QByteArray wire = Wire(frame);
        QCOMPARE(wire.size(), 133);
        QCOMPARE(wire.left(4).toHex(), QByteArray("7e400111"));
        QCOMPARE(uint8_t(wire.back()), uint8_t(0xDD));
        const QList<Frame> decoded = DecodeAll(wire);
        QCOMPARE(decoded.size(), 1);
        QVERIFY(SameFrame(decoded[0], frame));
    }

    void encodeNeverWritesPastItsArea()
    {
        struct {
            FrameCodec::WireBuffer out;
            uint8_t guard[16];
        } area;
        memset(&area, 0xA5, sizeof area);
        // The longest frame there is: every escapable byte a 0x7E.
        Frame worst = MakeFrame(64, 0x7E, 0x7E, QByteArray(64, '\x7E'));
        const int n = FrameCodec::Encode(worst, area.out);
        QVERIFY(n <= 136);
        QCOMPARE(DecodeAll(QByteArray(reinterpret_cast<char *>(area.out), n)).size(), 1);

        // A length the payload area cannot hold is not a frame: nothing is written.
        memset(&area, 0xA5, sizeof area);
        Frame too_long = worst;
        too_long.length = 65;
        QCOMPARE(int(FrameCodec::Encode(too_long, area.out)), 0);
        for (uint8_t b : area.guard)
            QCOMPARE(int(b), 0xA5);
        QCOMPARE(int(area.out[0]), 0xA5);
    }

    void damagedInputIsSkipped_data()
    {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<int>("good");
        QTest::addColumn<int>("bad");
        const QByteArray a = QByteArray::fromHex("7E010A1201A9");
        const QByteArray b = QByteArray::fromHex("7E0216130007BD");
        QByteArray flipped = a;
        flipped[4] = char(0x02);
        QTest::newRow("noise before the start byte") << QByteArray::fromHex("0011FF80") + a << 1 << 0;
        QTest::newRow("cut after payload bytes, then a whole frame") << b.left(5) + a << 1 << 0;
        QTest::newRow("flipped payload byte, then a whole frame") << flipped + b << 1 << 1;
        QTest::newRow("length above 64 is dropped at once") << QByteArray::fromHex("7E41010203") + a << 1 << 0;
        QTest::newRow("doubled 0x7E as length is dropped") << QByteArray::fromHex("7E7E7E0102") + a << 1 << 0;
    }

    void damagedInputIsSkipped()
    {
        QFETCH(QByteArray, input);
        QFETCH(int, good);
        QFETCH(int, bad);
        int bad_seen = 0;
        const QList<Frame> frames = DecodeAll(input, &bad_seen);
        QCOMPARE(frames.size(), good);
        QCOMPARE(bad_seen, bad);
        // Whatever came before, the surviving frame was stored from payload position 0.
        QCOMPARE(int(frames.last().payload[0]), int(uint8_t(input.right(frames.last().length + 1)[0])));
    }

    void outOfRangeStateRecovers()
    {
        DebugCapture debug;
        FrameParser parser;
        parser.state = 9;
        QCOMPARE(int(FrameCodec::Decode(parser, 0x7E)), int(FrameCodec::FrameIncomplete));
        QCOMPARE(parser.state, int(FrameCodec::RxHunt));
        QCOMPARE(debug.Lines(), QStringList{"Decode bad"});
    }

    // Many random frames rich in 0x7E, with noise (never 0x7E) between them, decode to exactly
    // the frames that were sent.
    void randomRoundTripWithNoise()
    {
        std::mt19937 rng(20261207);
        QList<Frame> sent;
        QByteArray stream;
        for (int i = 0; i < 3000; ++i) {
            const int noise = int(rng() % 4);
            for (int k = 0; k < noise; ++k) {
                uint8_t b = uint8_t(rng());
                stream.append(char(b == 0x7E ? 0x7F : b));
            }
            sent.append(RandomFrame(rng));
            stream += Wire(sent.last());
        }
        int bad = 0;
        const QList<Frame> got = DecodeAll(stream, &bad);
        QCOMPARE(bad, 0);
        QCOMPARE(got.size(), sent.size());
        for (int i = 0; i < sent.size(); ++i)
            QVERIFY2(SameFrame(got[i], sent[i]), qPrintable(QStringLiteral("frame %1").arg(i)));
    }

    // Frames cut off in the middle lose only themselves, and the frame after a cut that fell
    // between the two bytes of a doubled 0x7E (the lone 0x7E pairs with the next start byte).
    void cutFramesLoseOnlyThemselves_data()
    {
        QTest::addColumn<unsigned>("seed");
        for (unsigned seed = 1; seed <= 40; ++seed)
            QTest::newRow(qPrintable(QStringLiteral("seed %1").arg(seed))) << seed;
    }

    void cutFramesLoseOnlyThemselves()
    {
        QFETCH(unsigned, seed);
        std::mt19937 rng(seed);
        QList<Frame> expected;
        QByteArray stream;
        int pair_cuts = 0;
        bool previous_pair_cut = false;
        for (int i = 0; i < 3000; ++i) {
            const Frame frame = RandomFrame(rng);
            const QByteArray wire = Wire(frame);
            if (rng() % 5 != 0) {
                if (!previous_pair_cut)
                    expected.append(frame);
                stream += wire;
                previous_pair_cut = false;
                continue;
            }
            // Cut after the start byte and before the checksum: a lone start byte would pair
            // with the next one just as a cut doubled 0x7E does.
            const int keep = 2 + int(rng() % (wire.size() - 2));
            // Where do doubled 0x7E pairs start? Walk the frame after its start byte.
            bool first_of_pair = false;
            for (int k = 1; k < keep; ++k) {
                if (uint8_t(wire[k]) == 0x7E) {
                    first_of_pair = k == keep - 1;
                    ++k;
                }
            }
            stream += wire.left(keep);
            previous_pair_cut = first_of_pair;
            pair_cuts += first_of_pair;
        }
        QVERIFY(pair_cuts > 10);  // the case is exercised
        const QList<Frame> got = DecodeAll(stream);
        // Every expected frame arrives, in order; a cut may at most leave one phantom behind.
        int j = 0;
        for (const Frame &frame : got) {
            if (j < expected.size() && SameFrame(frame, expected[j]))
                ++j;
        }
        QCOMPARE(j, expected.size());
        QVERIFY(got.size() - expected.size() <= pair_cuts);
    }
};

QTEST_APPLESS_MAIN(TestFrameCodec)
#include "tst_frame_codec.moc"
