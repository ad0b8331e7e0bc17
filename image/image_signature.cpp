#include "image_signature.h"

#include "bounded_file.h"

#include <QCryptographicHash>
#include <QDir>
#include <QStringList>

#include <sodium.h>

namespace ImageSignature {

namespace {

constexpr char kPublicTag[] = "upgrader-ed25519";
constexpr char kSecretTag[] = "upgrader-ed25519-secret";
constexpr char kSignatureTag[] = "upgrader-signature ed25519";
// Put before the image's bytes in what is signed, so that a line's release key signs images for
// this tool and nothing else made with it can pass for one.
constexpr char kContext[] = "upgrader firmware image v1\n";

QByteArray Signed(const QByteArray &image)
{
    return QByteArray(kContext) + image;
}

// Strict base64 of exactly `bytes` bytes; empty when the text is not that.
QByteArray Decode(const QByteArray &text, int bytes)
{
    const auto result = QByteArray::fromBase64Encoding(text, QByteArray::AbortOnBase64DecodingErrors);
    if (!result || result.decoded.size() != bytes)
        return {};
    return result.decoded;
}

// The words of a text's lines, blank lines and surrounding space dropped.
QList<QList<QByteArray>> Lines(const QByteArray &text)
{
    QList<QList<QByteArray>> lines;
    for (const QByteArray &line : text.split('\n')) {
        const QByteArray trimmed = line.trimmed();
        if (!trimmed.isEmpty())
            lines << trimmed.simplified().split(' ');
    }
    return lines;
}

// The public key of the signing key made from seed.
QByteArray PublicKeyOf(const QByteArray &seed)
{
    unsigned char public_key[crypto_sign_PUBLICKEYBYTES];
    unsigned char secret_key[crypto_sign_SECRETKEYBYTES];
    crypto_sign_seed_keypair(public_key, secret_key, reinterpret_cast<const unsigned char *>(seed.constData()));
    sodium_memzero(secret_key, sizeof secret_key);
    return QByteArray(reinterpret_cast<const char *>(public_key), kPublicKeyBytes);
}

}  // namespace

bool Available()
{
    static const bool ready = sodium_init() >= 0;
    return ready;
}

KeyPair MakeKeyPair()
{
    KeyPair pair;
    if (!Available())
        return pair;
    pair.seed.resize(kSeedBytes);
    randombytes_buf(pair.seed.data(), size_t(kSeedBytes));
    pair.public_key = PublicKeyOf(pair.seed);
    return pair;
}

QString KeyId(const QByteArray &public_key)
{
    return QString::fromLatin1(QCryptographicHash::hash(public_key, QCryptographicHash::Sha256).left(8).toHex());
}

QByteArray PublicKeyText(const QByteArray &public_key, const QString &name)
{
    QByteArray text = QByteArray(kPublicTag) + ' ' + public_key.toBase64();
    const QByteArray comment = name.simplified().toUtf8();
    if (!comment.isEmpty())
        text += ' ' + comment;
    return text + '\n';
}

bool LooksLikeKeyText(const QString &text)
{
    return text.trimmed().startsWith(QLatin1String(kPublicTag) + QLatin1Char(' '));
}

QByteArray ParsePublicKey(const QByteArray &text, QString *problem)
{
    const auto lines = Lines(text);
    if (lines.size() != 1 || lines[0].size() < 2 || lines[0][0] != kPublicTag) {
        *problem = QStringLiteral("not a public key (a line \"%1 KEY [NAME]\")").arg(QLatin1String(kPublicTag));
        return {};
    }
    const QByteArray key = Decode(lines[0][1], kPublicKeyBytes);
    if (key.isEmpty())
        *problem = QStringLiteral("the key is not %1 bytes in base64").arg(kPublicKeyBytes);
    return key;
}

QByteArray SecretKeyText(const KeyPair &pair)
{
    return QByteArray(kSecretTag) + ' ' + pair.seed.toBase64() + '\n';
}

KeyPair ParseSecretKey(const QByteArray &text, QString *problem)
{
    KeyPair pair;
    const auto lines = Lines(text);
    if (lines.size() != 1 || lines[0].size() != 2 || lines[0][0] != kSecretTag) {
        *problem = QStringLiteral("not a secret key made by fwimage keygen");
        return pair;
    }
    const QByteArray seed = Decode(lines[0][1], kSeedBytes);
    if (seed.isEmpty() || !Available()) {
        *problem = seed.isEmpty() ? QStringLiteral("the secret key is damaged") : QStringLiteral("libsodium cannot start");
        return pair;
    }
    pair.seed = seed;
    pair.public_key = PublicKeyOf(seed);
    return pair;
}

QByteArray Sign(const QByteArray &image, const KeyPair &pair)
{
    if (!Available() || pair.seed.size() != kSeedBytes)
        return {};
    unsigned char public_key[crypto_sign_PUBLICKEYBYTES];
    unsigned char secret_key[crypto_sign_SECRETKEYBYTES];
    crypto_sign_seed_keypair(public_key, secret_key, reinterpret_cast<const unsigned char *>(pair.seed.constData()));
    const QByteArray message = Signed(image);
    unsigned char signature[crypto_sign_BYTES];
    crypto_sign_detached(signature, nullptr, reinterpret_cast<const unsigned char *>(message.constData()),
                         quint64(message.size()), secret_key);
    sodium_memzero(secret_key, sizeof secret_key);
    const QByteArray key(reinterpret_cast<const char *>(public_key), kPublicKeyBytes);
    return QByteArray(kSignatureTag) + '\n' + "key " + key.toBase64() + '\n' + "key-id " + KeyId(key).toLatin1() + '\n' +
           "signature " + QByteArray(reinterpret_cast<const char *>(signature), kSignatureBytes).toBase64() + '\n';
}

Signature ParseSignature(const QByteArray &text, QString *problem)
{
    Signature parsed;
    const auto lines = Lines(text);
    if (lines.isEmpty() || lines[0].join(' ') != kSignatureTag) {
        *problem = QStringLiteral("not a signature made by fwimage sign");
        return {};
    }
    QByteArray key_id;
    for (int i = 1; i < lines.size(); ++i) {
        const QList<QByteArray> &line = lines[i];
        if (line.size() != 2) {
            *problem = QStringLiteral("line %1 of the signature is damaged").arg(i + 1);
            return {};
        }
        if (line[0] == "key")
            parsed.public_key = Decode(line[1], kPublicKeyBytes);
        else if (line[0] == "key-id")
            key_id = line[1];
        else if (line[0] == "signature")
            parsed.signature = Decode(line[1], kSignatureBytes);
    }
    if (parsed.public_key.isEmpty() || parsed.signature.isEmpty()) {
        *problem = QStringLiteral("the signature lacks its key or its signature, or one is damaged");
        return {};
    }
    // The id is written for people; one that disagrees with the key is a hand-edited file.
    if (!key_id.isEmpty() && QString::fromLatin1(key_id) != KeyId(parsed.public_key)) {
        *problem = QStringLiteral("its key-id %1 is not the id of its key (%2)")
                       .arg(QString::fromLatin1(key_id), KeyId(parsed.public_key));
        return {};
    }
    return parsed;
}

bool Verify(const QByteArray &image, const Signature &signature)
{
    if (!Available() || signature.public_key.size() != kPublicKeyBytes || signature.signature.size() != kSignatureBytes)
        return false;
    const QByteArray message = Signed(image);
    return crypto_sign_verify_detached(reinterpret_cast<const unsigned char *>(signature.signature.constData()),
                                       reinterpret_cast<const unsigned char *>(message.constData()),
                                       quint64(message.size()),
                                       reinterpret_cast<const unsigned char *>(signature.public_key.constData())) == 0;
}

QString SignaturePath(const QString &image_path)
{
    return image_path + QLatin1String(kSuffix);
}

Beside ReadBeside(const QString &image_path)
{
    Beside beside;
    const QString path = SignaturePath(image_path);
    const BoundedFile::Result file = BoundedFile::Read(path, kMaxTextBytes);
    if (file.refusal == BoundedFile::Refusal::Missing)
        return beside;
    if (!file.Ok()) {
        beside.state = Beside::State::Unreadable;
        beside.problem = file.reason;
        return beside;
    }
    QString problem;
    beside.signature = ParseSignature(file.bytes, &problem);
    beside.state = beside.signature.signature.isEmpty() ? Beside::State::Unreadable : Beside::State::Read;
    if (beside.state == Beside::State::Unreadable)
        beside.problem = QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(path), problem);
    return beside;
}

TrustedKeys ReadTrustedKeys(const QStringList &entries, const QString &folder)
{
    TrustedKeys trusted;
    const QDir base(folder);
    for (const QString &entry : entries) {
        QString problem;
        QByteArray key;
        if (LooksLikeKeyText(entry)) {
            key = ParsePublicKey(entry.toUtf8(), &problem);
            if (key.isEmpty())
                problem = QStringLiteral("the key text \"%1\" is %2").arg(entry.left(40), problem);
        } else {
            const QString path = base.absoluteFilePath(entry);
            const BoundedFile::Result file = BoundedFile::Read(path, kMaxTextBytes);
            if (!file.Ok())
                problem = file.reason;
            else if ((key = ParsePublicKey(file.bytes, &problem)).isEmpty())
                problem = QStringLiteral("%1 is %2").arg(QDir::toNativeSeparators(path), problem);
        }
        if (!problem.isEmpty()) {
            trusted.problem = problem;
            trusted.keys.clear();
            return trusted;
        }
        trusted.keys << key;
    }
    if (trusted.keys.isEmpty())
        trusted.problem = QStringLiteral("\"trusted_keys\" names no key");
    return trusted;
}

Verdict Judge(const QString &image_path, const QByteArray &image, const TrustedKeys &trusted)
{
    Verdict verdict;
    if (!trusted.problem.isEmpty() || !Available()) {
        verdict.kind = Verdict::Kind::KeysUnusable;
        verdict.detail = trusted.problem.isEmpty() ? QStringLiteral("libsodium cannot start") : trusted.problem;
        return verdict;
    }
    const Beside beside = ReadBeside(image_path);
    if (beside.state == Beside::State::None) {
        verdict.kind = Verdict::Kind::Unsigned;
        verdict.detail = QDir::toNativeSeparators(SignaturePath(image_path));
        return verdict;
    }
    if (beside.state == Beside::State::Unreadable) {
        verdict.kind = Verdict::Kind::Unreadable;
        verdict.detail = beside.problem;
        return verdict;
    }
    const Signature &signature = beside.signature;
    verdict.key_id = KeyId(signature.public_key);
    if (!trusted.keys.contains(signature.public_key))
        verdict.kind = Verdict::Kind::UnknownKey;
    else if (!Verify(image, signature))
        verdict.kind = Verdict::Kind::Mismatch;
    else
        verdict.kind = Verdict::Kind::Trusted;
    return verdict;
}

}  // namespace ImageSignature
