// Who made an image: keys, signatures beside the images, the trust a line's configuration names,
// and fwimage's keygen, sign, build --sign-key and info as a release engineer uses them.
#include "firmware_image.h"
#include "image_signature.h"
#include "image_writer.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

namespace {

using Kind = ImageSignature::Verdict::Kind;

QByteArray Pattern(int size, int seed)
{
    QByteArray bytes(size, '\0');
    for (int i = 0; i < size; ++i)
        bytes[i] = char((i * 31 + seed * 7) ^ (i >> 3));
    return bytes;
}

QByteArray Image(int seed)
{
    QString error;
    const QByteArray image = BuildImage(ImageRecipe(), {{0x08000000, Pattern(6000, seed)}}, &error);
    Q_ASSERT(error.isEmpty());
    return image;
}

struct Run {
    int exit_code = -1;
    QString out;
    QString err;
};

Run Fwimage(const QStringList &arguments)
{
    QProcess process;
    process.start(qEnvironmentVariable("FWIMAGE"), arguments);
    Run run;
    if (!process.waitForFinished(30000))
        return run;
    run.exit_code = process.exitCode();
    run.out = QString::fromUtf8(process.readAllStandardOutput());
    run.err = QString::fromUtf8(process.readAllStandardError());
    return run;
}

}  // namespace

class TestImageSignature : public QObject {
    Q_OBJECT

    QTemporaryDir dir;

    QString Path(const QString &name) const { return dir.filePath(name); }

    QString Write(const QString &name, const QByteArray &bytes) const
    {
        QFile file(Path(name));
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
            return QString();
        return file.fileName();
    }

    QByteArray Read(const QString &name) const
    {
        QFile file(Path(name));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

private slots:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        QVERIFY(ImageSignature::Available());
    }

    // Texts read back to the same key; the signature holds over exactly the signed bytes.
    void keysAndSignaturesRoundTrip()
    {
        const ImageSignature::KeyPair pair = ImageSignature::MakeKeyPair();
        QCOMPARE(pair.public_key.size(), ImageSignature::kPublicKeyBytes);
        QString problem;
        QCOMPARE(ImageSignature::ParsePublicKey(ImageSignature::PublicKeyText(pair.public_key, "line 2026"), &problem),
                 pair.public_key);
        const ImageSignature::KeyPair again = ImageSignature::ParseSecretKey(ImageSignature::SecretKeyText(pair), &problem);
        QCOMPARE(again.public_key, pair.public_key);
        QCOMPARE(again.seed, pair.seed);
        QVERIFY(ImageSignature::MakeKeyPair().public_key != pair.public_key);
        // A short id: 16 hex digits, the same for the same key.
        QCOMPARE(ImageSignature::KeyId(pair.public_key).size(), 16);
        QCOMPARE(ImageSignature::KeyId(again.public_key), ImageSignature::KeyId(pair.public_key));

        const QByteArray image = Image(1);
        const ImageSignature::Signature signature =
            ImageSignature::ParseSignature(ImageSignature::Sign(image, pair), &problem);
        QVERIFY2(!signature.signature.isEmpty(), qPrintable(problem));
        QVERIFY(ImageSignature::Verify(image, signature));
        for (int at : {0, 127, 128, image.size() - 1}) {
            QByteArray changed = image;
            changed[at] = char(changed[at] ^ 0x01);
            QVERIFY2(!ImageSignature::Verify(changed, signature), qPrintable(QString::number(at)));
        }
        QVERIFY(!ImageSignature::Verify(image + '\0', signature));
        QVERIFY(!ImageSignature::Verify(image.left(image.size() - 1), signature));
    }

    // Texts that are not what they claim are refused with a reason, never read as a key.
    void damagedTextsAreRefused_data()
    {
        QTest::addColumn<QByteArray>("text");
        const QByteArray key = ImageSignature::MakeKeyPair().public_key.toBase64();
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("another tag") << "ssh-ed25519 " + key;
        QTest::newRow("short key") << "upgrader-ed25519 " + key.left(20);
        QTest::newRow("not base64") << QByteArray("upgrader-ed25519 !!!!AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA");
        QTest::newRow("two keys") << "upgrader-ed25519 " + key + "\nupgrader-ed25519 " + key;
    }

    void damagedTextsAreRefused()
    {
        QFETCH(QByteArray, text);
        QString problem;
        QVERIFY(ImageSignature::ParsePublicKey(text, &problem).isEmpty());
        QVERIFY(!problem.isEmpty());
        problem.clear();
        QVERIFY(ImageSignature::ParseSecretKey(text, &problem).seed.isEmpty());
        QVERIFY(!problem.isEmpty());
        problem.clear();
        QVERIFY(ImageSignature::ParseSignature(text, &problem).signature.isEmpty());
        QVERIFY(!problem.isEmpty());
    }

    // The line's verdicts: what a trusted key signed passes; everything else is named.
    void trustJudgesEachImage()
    {
        const ImageSignature::KeyPair line = ImageSignature::MakeKeyPair();
        const ImageSignature::KeyPair other = ImageSignature::MakeKeyPair();
        const QString line_id = ImageSignature::KeyId(line.public_key);
        Write("line.pub", ImageSignature::PublicKeyText(line.public_key, "line"));
        const ImageSignature::TrustedKeys trusted = ImageSignature::ReadTrustedKeys({"line.pub"}, dir.path());
        QCOMPARE(trusted.problem, QString());

        const QByteArray a = Image(2), b = Image(3);
        const QString a_path = Write("a.bin", a), b_path = Write("b.bin", b);
        const QString a_sig = ImageSignature::SignaturePath(a_path);
        auto judge = [&](const QByteArray &bytes) { return ImageSignature::Judge(a_path, bytes, trusted); };

        QCOMPARE(judge(a).kind, Kind::Unsigned);

        QVERIFY(!Write("a.bin.sig", ImageSignature::Sign(a, line)).isEmpty());
        ImageSignature::Verdict verdict = judge(a);
        QCOMPARE(verdict.kind, Kind::Trusted);
        QCOMPARE(verdict.key_id, line_id);

        // One byte changed after signing.
        QByteArray changed = a;
        changed[300] = char(changed[300] ^ 0x40);
        verdict = judge(changed);
        QCOMPARE(verdict.kind, Kind::Mismatch);
        QCOMPARE(verdict.key_id, line_id);

        // The signature of another image, by the same trusted key, put beside this one.
        QVERIFY(!Write("a.bin.sig", ImageSignature::Sign(b, line)).isEmpty());
        QCOMPARE(judge(a).kind, Kind::Mismatch);
        QCOMPARE(ImageSignature::Judge(b_path, b, trusted).kind, Kind::Unsigned);

        // Signed by a key the line does not trust: named by its id.
        QVERIFY(!Write("a.bin.sig", ImageSignature::Sign(a, other)).isEmpty());
        verdict = judge(a);
        QCOMPARE(verdict.kind, Kind::UnknownKey);
        QCOMPARE(verdict.key_id, ImageSignature::KeyId(other.public_key));

        // A key-id that is not its key's: a hand-edited file, not read.
        QByteArray edited = ImageSignature::Sign(a, other);
        edited.replace(ImageSignature::KeyId(other.public_key).toLatin1(), line_id.toLatin1());
        QVERIFY(!Write("a.bin.sig", edited).isEmpty());
        QCOMPARE(judge(a).kind, Kind::Unreadable);
        QVERIFY(!Write("a.bin.sig", "upgrader-signature ed25519\nkey AAAA\n").isEmpty());
        QCOMPARE(judge(a).kind, Kind::Unreadable);
        // A folder where the signature belongs is no signature.
        QVERIFY(QFile::remove(a_sig));
        QVERIFY(QDir(dir.path()).mkdir("a.bin.sig"));
        QCOMPARE(judge(a).kind, Kind::Unreadable);
        QVERIFY(QDir(dir.path()).rmdir("a.bin.sig"));

        // Two keys trusted while a line changes its key: both pass.
        Write("other.pub", ImageSignature::PublicKeyText(other.public_key, "next"));
        QVERIFY(!Write("a.bin.sig", ImageSignature::Sign(a, other)).isEmpty());
        const ImageSignature::TrustedKeys both = ImageSignature::ReadTrustedKeys(
            {"line.pub", QString::fromLatin1(ImageSignature::PublicKeyText(other.public_key, QString()))}, dir.path());
        QCOMPARE(both.problem, QString());
        QCOMPARE(ImageSignature::Judge(a_path, a, both).kind, Kind::Trusted);
    }

    // A list the station cannot read trusts nothing: every image is refused, never let through.
    void unusableTrustTakesNoImage_data()
    {
        QTest::addColumn<QStringList>("entries");
        QTest::addColumn<QString>("problem");
        QTest::newRow("no key listed") << QStringList{} << "names no key";
        QTest::newRow("a key file missing") << QStringList{"line.pub", "gone.pub"} << "gone.pub";
        QTest::newRow("a file that is no key") << QStringList{"notes.txt"} << "notes.txt is not a public key";
        QTest::newRow("a key text cut short") << QStringList{"upgrader-ed25519 AAAA"} << "the key text";
        QTest::newRow("a secret key listed") << QStringList{"line.key"} << "line.key is not a public key";
    }

    void unusableTrustTakesNoImage()
    {
        QFETCH(QStringList, entries);
        QFETCH(QString, problem);
        const ImageSignature::KeyPair line = ImageSignature::MakeKeyPair();
        Write("line.pub", ImageSignature::PublicKeyText(line.public_key, "line"));
        Write("line.key", ImageSignature::SecretKeyText(line));
        Write("notes.txt", "keys are kept on the release machine\n");
        const ImageSignature::TrustedKeys trusted = ImageSignature::ReadTrustedKeys(entries, dir.path());
        QVERIFY2(trusted.problem.contains(problem), qPrintable(trusted.problem));
        QVERIFY(trusted.keys.isEmpty());

        const QByteArray image = Image(4);
        const QString path = Write("c.bin", image);
        Write("c.bin.sig", ImageSignature::Sign(image, line));
        const ImageSignature::Verdict verdict = ImageSignature::Judge(path, image, trusted);
        QCOMPARE(verdict.kind, Kind::KeysUnusable);
        QCOMPARE(verdict.detail, trusted.problem);
    }

    // The release engineer's commands: a key pair once, never overwritten; images signed at build
    // or after; info tells whose signature an image carries and whether it holds.
    void fwimageMakesKeysAndSigns()
    {
        QVERIFY2(QFileInfo(qEnvironmentVariable("FWIMAGE")).isExecutable(), "FWIMAGE must name the fwimage program");
        const QString name = Path("release");
        Run run = Fwimage({"keygen", "-o", name});
        QCOMPARE(run.exit_code, 0);
        QVERIFY2(QFileInfo::exists(name + ".key") && QFileInfo::exists(name + ".pub"), qPrintable(run.out + run.err));
#ifndef Q_OS_WIN
        QCOMPARE(QFileInfo(name + ".key").permissions() & ~(QFile::ReadUser | QFile::WriteUser),
                 QFile::ReadOwner | QFile::WriteOwner);
#endif
        QString problem;
        const QByteArray public_key = ImageSignature::ParsePublicKey(Read("release.pub"), &problem);
        QVERIFY2(!public_key.isEmpty(), qPrintable(problem));
        const QString id = ImageSignature::KeyId(public_key);
        QVERIFY2(run.out.contains("key id " + id), qPrintable(run.out));

        const QByteArray secret = Read("release.key");
        run = Fwimage({"keygen", "-o", name});
        QCOMPARE(run.exit_code, 1);
        QVERIFY2(run.err.contains("never overwritten"), qPrintable(run.err));
        QCOMPARE(Read("release.key"), secret);

        Write("app.raw", Pattern(9000, 5));
        const QString image = Path("signed.bin");
        run = Fwimage({"build", "-o", image, "--sign-key", name + ".key", "0x08000000:" + Path("app.raw")});
        QCOMPARE(run.exit_code, 0);
        QVERIFY2(run.out.contains("signed " + image + " with key " + id), qPrintable(run.out));
        Write("line.pub", Read("release.pub"));
        const ImageSignature::TrustedKeys trusted = ImageSignature::ReadTrustedKeys({"line.pub"}, dir.path());
        QCOMPARE(ImageSignature::Judge(image, Read("signed.bin"), trusted).kind, Kind::Trusted);
        run = Fwimage({"info", image});
        QCOMPARE(run.exit_code, 0);
        QVERIFY2(run.out.contains("Signature:     Ed25519 by key " + id + ", matches the image"), qPrintable(run.out));

        // A later build of the same name leaves no signature of the older image beside it.
        run = Fwimage({"build", "-o", image, "--version", "1.0.1", "0x08000000:" + Path("app.raw")});
        QCOMPARE(run.exit_code, 0);
        QVERIFY(!QFileInfo::exists(image + ".sig"));
        // Signed afterwards; then changed: info says the signature does not hold, and exits 1.
        run = Fwimage({"sign", "--key", name + ".key", image});
        QCOMPARE(run.exit_code, 0);
        QCOMPARE(ImageSignature::Judge(image, Read("signed.bin"), trusted).kind, Kind::Trusted);
        QByteArray bytes = Read("signed.bin");
        bytes[70] = char(bytes[70] ^ 0x02);  // in the product code: outside the seal
        Write("signed.bin", bytes);
        run = Fwimage({"info", image});
        QCOMPARE(run.exit_code, 1);
        QVERIFY2(run.out.contains("by key " + id + ", DOES NOT MATCH"), qPrintable(run.out));

        // What cannot be signed: no key, a public key, an image that is none.
        run = Fwimage({"sign", image});
        QCOMPARE(run.exit_code, 2);
        run = Fwimage({"sign", "--key", name + ".pub", image});
        QCOMPARE(run.exit_code, 1);
        QVERIFY2(run.err.contains("not a secret key"), qPrintable(run.err));
        Write("junk.bin", "not an image at all");
        run = Fwimage({"sign", "--key", name + ".key", Path("junk.bin")});
        QCOMPARE(run.exit_code, 1);
        QVERIFY(!QFileInfo::exists(Path("junk.bin.sig")));
        // A build asked to sign with a key it cannot read writes no image.
        run = Fwimage({"build", "-o", Path("never.bin"), "--sign-key", Path("missing.key"), "0x08000000:" + Path("app.raw")});
        QCOMPARE(run.exit_code, 1);
        QVERIFY(!QFileInfo::exists(Path("never.bin")));
    }
};

QTEST_GUILESS_MAIN(TestImageSignature)
#include "tst_image_signature.moc"
