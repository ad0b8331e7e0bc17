// fwimage: builds firmware images (.bin) from raw binaries and prints what an image holds.
#include "bounded_file.h"
#include "firmware_image.h"
#include "image_info.h"
#include "image_signature.h"
#include "image_writer.h"
#include "program_version.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QRegularExpression>
#include <QFileInfo>
#include <QFile>
#include <QSaveFile>
#include <QTextStream>

#ifndef Q_OS_WIN
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

QTextStream out(stdout);
QTextStream err(stderr);

const char *kUsage =
    "usage: fwimage build -o IMAGE.bin [options] ADDRESS:FILE [ADDRESS:FILE ...]\n"
    "       fwimage info IMAGE.bin\n"
    "       fwimage keygen -o NAME\n"
    "       fwimage sign --key NAME.key IMAGE.bin\n"
    "\n"
    "build  cuts each binary into sections, LZ4-compresses those that get shorter, records the MD5\n"
    "       of each section's bytes and seals the image: a marker and the SHA-256 of everything\n"
    "       after the header, in reserved header bytes the devices do not interpret. Binaries that\n"
    "       share device addresses, a section longer than 65535 bytes and an output that is one of\n"
    "       the inputs are refused. `fwimage build --help` lists the options.\n"
    "info   prints the header, the seal (none, matches, or does not match), the signature beside\n"
    "       it (none, or whose key and whether it matches), every section and its digest check,\n"
    "       which assumes the MD5 of the decompressed bytes (as the simulated family computes\n"
    "       it). Exits 1 when the image must not be used: not an image, no section,\n"
    "       overlapping sections, a seal or a signature that does not match, or a failed digest\n"
    "       check.\n"
    "keygen makes a line's release key: NAME.key, the secret that signs (mode 0600, kept off the\n"
    "       stations), and NAME.pub, the public key stations trust (\"trusted_keys\"). Never\n"
    "       overwrites a key.\n"
    "sign   signs a sound image with a secret key (Ed25519, libsodium): writes IMAGE.bin.sig beside it.\n"
    "       The image's bytes are not changed. `fwimage build --sign-key NAME.key` signs as it builds.\n"
    "\n"
    "Exit codes: 0 done, 1 the image (or an input) cannot be used or written, 2 usage.\n";

constexpr char kInfoUsage[] =
    "usage: fwimage info IMAGE.bin\n"
    "\n"
    "Prints the image's header, its seal (none, matches, or does not match), its signature (none, or\n"
    "the signer's key id and whether it matches), every section with its digest check (the MD5 of\n"
    "the decompressed bytes, as the simulated family computes it) and the totals. Exits 1 when the\n"
    "image must not be used, 2 on a usage error.\n";

int Fail(const QString &message)
{
    err << "fwimage: " << message << Qt::endl;
    return 1;
}

// A command line that asks for nothing fwimage can do: says what, and how to ask.
int UsageError(const QString &message, const char *help)
{
    err << "fwimage: " << message << " (see " << help << ")" << Qt::endl;
    return 2;
}

bool ParseNumber(const QString &text, quint64 &value)
{
    bool ok = false;
    value = text.startsWith(QLatin1String("0x"), Qt::CaseInsensitive) ? text.mid(2).toULongLong(&ok, 16)
                                                                      : text.toULongLong(&ok, 10);
    return ok;
}

bool ReadSecretKey(const QString &path, ImageSignature::KeyPair *key, QString *problem)
{
    const BoundedFile::Result file = BoundedFile::Read(path, ImageSignature::kMaxTextBytes);
    if (!file.Ok()) {
        *problem = file.reason;
        return false;
    }
    *key = ImageSignature::ParseSecretKey(file.bytes, problem);
    if (key->seed.isEmpty()) {
        *problem = QStringLiteral("%1 is %2").arg(path, *problem);
        return false;
    }
    return true;
}

// Writes IMAGE.sig beside the image: whole or not at all, and replacing an older one.
int WriteSignature(const QString &image_path, const QByteArray &image, const ImageSignature::KeyPair &key)
{
    const QByteArray signature = ImageSignature::Sign(image, key);
    if (signature.isEmpty())
        return Fail(QStringLiteral("cannot sign: libsodium cannot start"));
    const QString path = ImageSignature::SignaturePath(image_path);
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(signature) != signature.size() || !file.commit())
        return Fail(QStringLiteral("cannot write %1: %2").arg(path, file.errorString()));
    out << "signed " << image_path << " with key " << ImageSignature::KeyId(key.public_key) << ": wrote " << path
        << Qt::endl;
    return 0;
}

// Creates a file that must not exist yet; the secret key's is readable by its owner alone from
// the moment it exists.
bool WriteNewFile(const QString &path, const QByteArray &bytes, bool secret, QString *problem)
{
#ifndef Q_OS_WIN
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
                          secret ? 0600 : 0644);
    if (fd < 0) {
        *problem = QStringLiteral("cannot create %1: %2").arg(path, QString::fromLocal8Bit(strerror(errno)));
        return false;
    }
    qint64 done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += n;
    }
    const bool written = done == bytes.size() && ::fsync(fd) == 0;
    ::close(fd);
#else
    QFile file(path);
    bool written = file.open(QIODevice::WriteOnly | QIODevice::NewOnly);
    if (written && secret)
        file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    written = written && file.write(bytes) == bytes.size() && file.flush();
    file.close();
#endif
    if (!written) {
        QFile::remove(path);
        *problem = QStringLiteral("cannot write %1").arg(path);
    }
    return written;
}

constexpr char kKeygenUsage[] =
    "usage: fwimage keygen -o NAME\n"
    "\n"
    "Makes an Ed25519 key pair for signing images: NAME.key, the secret (mode 0600; keep it on the\n"
    "release engineer's machine, never on a station) and NAME.pub, the public key a line trusts (list\n"
    "it in the configuration's \"trusted_keys\"). Refuses to overwrite either file. Prints the key's id.\n";

int Keygen(const QStringList &arguments)
{
    const QStringList rest = arguments.mid(1);
    if (rest.contains(QLatin1String("--help")) || rest.contains(QLatin1String("-h"))) {
        out << kKeygenUsage;
        return 0;
    }
    if (rest.size() != 2 || (rest[0] != QLatin1String("-o") && rest[0] != QLatin1String("--output")) || rest[1].isEmpty())
        return UsageError(QStringLiteral("keygen needs -o NAME"), "fwimage keygen --help");
    const QString name = rest[1];
    const QString secret_path = name + QStringLiteral(".key");
    const QString public_path = name + QStringLiteral(".pub");
    for (const QString &path : {secret_path, public_path}) {
        if (QFileInfo::exists(path) || QFileInfo(path).isSymLink())
            return Fail(QStringLiteral("%1 exists: a key is never overwritten (choose another name, or move it away)").arg(path));
    }
    if (!ImageSignature::Available())
        return Fail(QStringLiteral("libsodium cannot start: no key made"));
    const ImageSignature::KeyPair pair = ImageSignature::MakeKeyPair();
    QString problem;
    if (!WriteNewFile(secret_path, ImageSignature::SecretKeyText(pair), true, &problem))
        return Fail(problem);
    if (!WriteNewFile(public_path, ImageSignature::PublicKeyText(pair.public_key, QFileInfo(name).fileName()), false, &problem)) {
        QFile::remove(secret_path);
        return Fail(problem);
    }
    out << "wrote " << secret_path << " (secret: keep it off the stations) and " << public_path << "\n"
        << "key id " << ImageSignature::KeyId(pair.public_key) << Qt::endl;
    return 0;
}

int Sign(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Signs a sound image with a secret key made by fwimage keygen: writes IMAGE.bin.sig beside it (Ed25519 over "
        "the whole file). The image's bytes are not changed; a signature already there is replaced."));
    parser.addHelpOption();
    parser.addOption({"key", "The secret key.", "NAME.key"});
    parser.addPositionalArgument("IMAGE.bin", "The image to sign.");
    if (!parser.parse(arguments))
        return UsageError(parser.errorText(), "fwimage sign --help");
    if (parser.isSet("help")) {
        QString help = parser.helpText();
        help.replace(QRegularExpression(QStringLiteral("^Usage: \\S+")), QStringLiteral("Usage: fwimage sign"));
        out << help;
        return 0;
    }
    const QStringList images = parser.positionalArguments();
    if (!parser.isSet("key"))
        return UsageError(QStringLiteral("no key given (--key NAME.key)"), "fwimage sign --help");
    if (images.size() != 1)
        return UsageError(QStringLiteral("sign takes one image file"), "fwimage sign --help");
    ImageSignature::KeyPair key;
    QString problem;
    if (!ReadSecretKey(parser.value("key"), &key, &problem))
        return Fail(problem);
    // Only an image a line could take is signed, judged as a launch judges it.
    ImageSnapshot snapshot;
    if (!FirmwareImage::Load(images[0], 0, snapshot, problem))
        return Fail(QStringLiteral("%1 is not signed: %2").arg(images[0], problem));
    return WriteSignature(images[0], snapshot.bytes, key);
}

int Build(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Cuts each binary into sections stored at ADDRESS onwards (hexadecimal with 0x, or decimal), "
        "LZ4-compresses the sections that get shorter, records the MD5 digest of each and seals the image "
        "(a marker and the SHA-256 of everything after the header, in reserved header bytes). Refuses "
        "binaries that share device addresses and an output that is one of the inputs."));
    parser.addHelpOption();
    parser.addOption({{"o", "output"}, "Image file to write.", "IMAGE.bin"});
    parser.addOption({"layout", "Entry layout, 0 (8192-byte data areas) or 1 (default).", "0|1", "1"});
    parser.addOption({"section-size", "Uncompressed bytes per section (default 4096).", "BYTES", "4096"});
    parser.addOption({"product", "Product code text (at most 64 bytes).", "CODE"});
    parser.addOption({"version", "Application version MAJOR.MINOR.PATCH (default 1.0.0).", "X.Y.Z", "1.0.0"});
    parser.addOption({"raw", "Store every section uncompressed (the motor takes raw data only)."});
    parser.addOption({"sign-key", "Sign the image with this secret key (see fwimage keygen).", "NAME.key"});
    parser.addPositionalArgument("ADDRESS:FILE", "A raw binary and the address of its first byte.");
    if (!parser.parse(arguments))
        return UsageError(parser.errorText(), "fwimage build --help");
    if (parser.isSet("help")) {
        // The parser's usage line names the program only: this is its build command.
        QString help = parser.helpText();
        help.replace(QRegularExpression(QStringLiteral("^Usage: \\S+")), QStringLiteral("Usage: fwimage build"));
        out << help;
        return 0;
    }

    ImageRecipe recipe;
    quint64 number = 0;
    if (!ParseNumber(parser.value("layout"), number) || number > 1)
        return UsageError(QStringLiteral("--layout must be 0 or 1, not '%1'").arg(parser.value("layout")), "fwimage build --help");
    recipe.layout = int(number);
    if (!ParseNumber(parser.value("section-size"), number) || number == 0 || number > 0xFFFF)
        return UsageError(QStringLiteral("--section-size must be a number from 1 to 65535, not '%1'").arg(parser.value("section-size")), "fwimage build --help");
    recipe.section_size = int(number);
    recipe.product_code = parser.value("product").toUtf8();
    recipe.raw = parser.isSet("raw");
    const QStringList version = parser.value("version").split(QLatin1Char('.'));
    quint64 major = 0, minor = 0, patch = 0;
    if (version.size() != 3 || !ParseNumber(version[0], major) || !ParseNumber(version[1], minor) ||
        !ParseNumber(version[2], patch) || major > 255 || minor > 255 || patch > 65535)
        return UsageError(QStringLiteral("--version must read MAJOR.MINOR.PATCH (0-255, 0-255, 0-65535), not '%1'").arg(parser.value("version")), "fwimage build --help");
    recipe.version_major = quint8(major);
    recipe.version_minor = quint8(minor);
    recipe.version_patch = quint16(patch);

    const QString output = parser.value("output");
    if (output.isEmpty())
        return UsageError(QStringLiteral("no output file given (-o IMAGE.bin)"), "fwimage build --help");
    if (parser.positionalArguments().isEmpty())
        return UsageError(QStringLiteral("no input binary given (ADDRESS:FILE)"), "fwimage build --help");

    // An output that is not a regular file would block (a pipe) or go where no image belongs.
    const QFileInfo output_info(output);
    if (output_info.exists() && !output_info.isFile())
        return Fail(QStringLiteral("%1 is not a regular file: the image is written to a file").arg(output));
    const QString output_canonical = output_info.canonicalFilePath();

    // The key is read first: a build meant to be signed writes no unsigned image.
    ImageSignature::KeyPair key;
    if (parser.isSet("sign-key")) {
        QString problem;
        if (!ReadSecretKey(parser.value("sign-key"), &key, &problem))
            return Fail(problem);
    }

    QList<ImageSegment> segments;
    for (const QString &argument : parser.positionalArguments()) {
        const int colon = argument.indexOf(QLatin1Char(':'));
        quint64 address = 0;
        if (colon <= 0 || !ParseNumber(argument.left(colon), address) || address > 0xFFFFFFFFull)
            return UsageError(QStringLiteral("'%1' is not ADDRESS:FILE with a 32-bit address (0x08000000:app.bin)").arg(argument), "fwimage build --help");
        const QString input = argument.mid(colon + 1);
        // Writing over an input would destroy the binary the image is made of, through whatever
        // name or link it is given.
        if (!output_canonical.isEmpty() && QFileInfo(input).canonicalFilePath() == output_canonical)
            return Fail(QStringLiteral("the output %1 is the input %2: write the image to another file").arg(output, input));
        // A binary larger than an image may be could never be sent.
        const BoundedFile::Result file = BoundedFile::Read(input, FirmwareImage::kMaxImageBytes);
        if (!file.Ok())
            return Fail(file.reason);
        segments.append({quint32(address), file.bytes});
    }

    QString problem;
    const QByteArray image = BuildImage(recipe, segments, &problem);
    if (image.isEmpty())
        return Fail(problem);
    if (image.size() > FirmwareImage::kMaxImageBytes)
        return Fail(QStringLiteral("the image would be %1 bytes, more than the %2 bytes a job reads")
                        .arg(image.size())
                        .arg(FirmwareImage::kMaxImageBytes));
    // Written whole or not at all: a build stopped half-way leaves no image a job could take.
    QSaveFile file(output);
    if (!file.open(QIODevice::WriteOnly) || file.write(image) != image.size() || !file.commit())
        return Fail(QStringLiteral("cannot write %1: %2").arg(output, file.errorString()));
    out << "wrote " << output << " (" << image.size() << " bytes)" << Qt::endl;
    if (parser.isSet("sign-key"))
        return WriteSignature(output, image, key);
    // An older signature beside the new image would be another image's.
    if (QFileInfo::exists(ImageSignature::SignaturePath(output)) && !QFile::remove(ImageSignature::SignaturePath(output)))
        return Fail(QStringLiteral("cannot remove the old signature %1").arg(ImageSignature::SignaturePath(output)));
    return 0;
}

int Info(const QStringList &arguments)
{
    const QStringList rest = arguments.mid(1);
    if (rest.contains(QLatin1String("--help")) || rest.contains(QLatin1String("-h"))) {
        out << kInfoUsage;
        return 0;
    }
    for (const QString &argument : rest) {
        if (argument.startsWith(QLatin1Char('-')) && argument != QLatin1String("-"))
            return UsageError(QStringLiteral("info has no option '%1'").arg(argument), "fwimage info --help");
    }
    if (rest.isEmpty())
        return UsageError(QStringLiteral("info needs the image file"), "fwimage info --help");
    if (rest.size() > 1)
        return UsageError(QStringLiteral("info takes one image file, not %1").arg(rest.size()), "fwimage info --help");
    const ImageInfo info = DescribeImage(rest[0]);
    out << info.text;
    out.flush();
    if (!info.problem.isEmpty())
        return Fail(info.problem);
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    if (PrintVersionIfAsked(argc, argv, "fwimage"))
        return 0;
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments().mid(1);
    if (arguments.isEmpty()) {
        err << kUsage;
        return 2;
    }
    if (arguments[0] == QLatin1String("--help") || arguments[0] == QLatin1String("-h") ||
        arguments[0] == QLatin1String("--help-all")) {
        out << kUsage;
        out.flush();
        return 0;
    }
    if (arguments[0] == QLatin1String("build"))
        return Build(arguments);
    if (arguments[0] == QLatin1String("info"))
        return Info(arguments);
    if (arguments[0] == QLatin1String("keygen"))
        return Keygen(arguments);
    if (arguments[0] == QLatin1String("sign"))
        return Sign(arguments);
    return UsageError(QStringLiteral("unknown command '%1': build, info, keygen or sign").arg(arguments[0]), "fwimage --help");
}
