// fwimage: builds firmware images (.bin) from raw binaries and prints what an image holds.
#include "image_info.h"
#include "image_writer.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QTextStream>

namespace {

QTextStream out(stdout);
QTextStream err(stderr);

const char *kUsage =
    "usage: fwimage build -o IMAGE.bin [options] ADDRESS:FILE [ADDRESS:FILE ...]\n"
    "       fwimage info IMAGE.bin\n";

int Fail(const QString &message)
{
    err << "fwimage: " << message << Qt::endl;
    return 1;
}

bool ParseNumber(const QString &text, quint64 &value)
{
    bool ok = false;
    value = text.startsWith(QLatin1String("0x"), Qt::CaseInsensitive) ? text.mid(2).toULongLong(&ok, 16)
                                                                      : text.toULongLong(&ok, 10);
    return ok;
}

int Build(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Cuts each binary into sections stored at ADDRESS onwards (hexadecimal with 0x, or decimal), "
        "LZ4-compresses the sections that get shorter and records the MD5 digest of each."));
    parser.addHelpOption();
    parser.addOption({{"o", "output"}, "Image file to write.", "IMAGE.bin"});
    parser.addOption({"layout", "Entry layout, 0 (8192-byte data areas) or 1 (default).", "0|1", "1"});
    parser.addOption({"section-size", "Uncompressed bytes per section (default 4096).", "BYTES", "4096"});
    parser.addOption({"product", "Product code text (at most 64 bytes).", "CODE"});
    parser.addOption({"version", "Application version MAJOR.MINOR.PATCH (default 1.0.0).", "X.Y.Z", "1.0.0"});
    parser.addOption({"raw", "Store every section uncompressed (the motor takes raw data only)."});
    parser.addPositionalArgument("ADDRESS:FILE", "A raw binary and the address of its first byte.");
    if (!parser.parse(arguments))
        return Fail(parser.errorText());
    if (parser.isSet("help")) {
        out << parser.helpText();
        return 0;
    }

    ImageRecipe recipe;
    quint64 number = 0;
    if (!ParseNumber(parser.value("layout"), number) || number > 1)
        return Fail(QStringLiteral("--layout must be 0 or 1"));
    recipe.layout = int(number);
    if (!ParseNumber(parser.value("section-size"), number) || number == 0 || number > 0xFFFF)
        return Fail(QStringLiteral("--section-size must be a number from 1 to 65535"));
    recipe.section_size = int(number);
    recipe.product_code = parser.value("product").toUtf8();
    recipe.raw = parser.isSet("raw");
    const QStringList version = parser.value("version").split(QLatin1Char('.'));
    quint64 major = 0, minor = 0, patch = 0;
    if (version.size() != 3 || !ParseNumber(version[0], major) || !ParseNumber(version[1], minor) ||
        !ParseNumber(version[2], patch) || major > 255 || minor > 255 || patch > 65535)
        return Fail(QStringLiteral("--version must read MAJOR.MINOR.PATCH (0-255, 0-255, 0-65535)"));
    recipe.version_major = quint8(major);
    recipe.version_minor = quint8(minor);
    recipe.version_patch = quint16(patch);

    const QString output = parser.value("output");
    if (output.isEmpty())
        return Fail(QStringLiteral("no output file given (-o IMAGE.bin)"));
    if (parser.positionalArguments().isEmpty())
        return Fail(QStringLiteral("no input binary given (ADDRESS:FILE)"));

    QList<ImageSegment> segments;
    for (const QString &argument : parser.positionalArguments()) {
        const int colon = argument.indexOf(QLatin1Char(':'));
        quint64 address = 0;
        if (colon <= 0 || !ParseNumber(argument.left(colon), address) || address > 0xFFFFFFFFull)
            return Fail(QStringLiteral("'%1' is not ADDRESS:FILE with a 32-bit address").arg(argument));
        QFile file(argument.mid(colon + 1));
        if (!file.open(QIODevice::ReadOnly))
            return Fail(QStringLiteral("cannot read %1: %2").arg(file.fileName(), file.errorString()));
        segments.append({quint32(address), file.readAll()});
    }

    QString problem;
    const QByteArray image = BuildImage(recipe, segments, &problem);
    if (image.isEmpty())
        return Fail(problem);
    QFile file(output);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(image) != image.size())
        return Fail(QStringLiteral("cannot write %1: %2").arg(output, file.errorString()));
    out << "wrote " << output << " (" << image.size() << " bytes)" << Qt::endl;
    return 0;
}

int Info(const QStringList &arguments)
{
    if (arguments.size() != 2)
        return Fail(QStringLiteral("info takes one image file\n") + kUsage);
    const ImageInfo info = DescribeImage(arguments[1]);
    out << info.text;
    out.flush();
    if (!info.problem.isEmpty())
        return Fail(info.problem);
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments().mid(1);
    if (arguments.isEmpty()) {
        err << kUsage;
        return 1;
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
    return Fail(QStringLiteral("unknown command '%1'\n").arg(arguments[0]) + kUsage);
}
