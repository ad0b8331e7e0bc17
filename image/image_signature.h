#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

// Who made an image: an Ed25519 signature (libsodium) over the whole image file, kept in a file
// beside it (IMAGE.bin.sig). The image itself is left exactly as it was built, so the devices, the
// loader, the seal and the SHA-256 that records name an image by are the same signed or not.
//
// The texts are lines a person can read and mail:
//   key file    NAME.pub  "upgrader-ed25519 <public key, base64> NAME"
//   secret file NAME.key  "upgrader-ed25519-secret <seed, base64>"   (mode 0600)
//   signature   IMG.sig   "upgrader-signature ed25519" / "key <public key>" / "key-id <id>" /
//                         "signature <64 bytes, base64>"
// A key's id is the first 8 bytes of the SHA-256 of its public key, in hex: short enough to say,
// long enough that two keys of one line never share it.
namespace ImageSignature {

constexpr char kSuffix[] = ".sig";
constexpr int kPublicKeyBytes = 32;
constexpr int kSeedBytes = 32;
constexpr int kSignatureBytes = 64;
// Key and signature files are a few lines; anything larger is not one.
constexpr qint64 kMaxTextBytes = 4096;

struct KeyPair {
    QByteArray public_key;  // kPublicKeyBytes
    QByteArray seed;        // kSeedBytes: the secret the signing key is made from
};

struct Signature {
    QByteArray public_key;  // the signer's key, as the signature names it
    QByteArray signature;   // kSignatureBytes
};

// False only where the library cannot start (no source of randomness).
bool Available();

KeyPair MakeKeyPair();

QString KeyId(const QByteArray &public_key);

// The text of a .pub file, and a key's text as the configuration may hold it: the same line.
QByteArray PublicKeyText(const QByteArray &public_key, const QString &name);
// A public key from its text (the line of a .pub file); empty with *problem when it is not one.
QByteArray ParsePublicKey(const QByteArray &text, QString *problem);
// Whether text is meant as a key's text rather than a file's name.
bool LooksLikeKeyText(const QString &text);

QByteArray SecretKeyText(const KeyPair &pair);
// The pair from a .key file's text; *problem set (and the pair empty) when it is not one.
KeyPair ParseSecretKey(const QByteArray &text, QString *problem);

// Signs the image's bytes with the pair; the text of its .sig file.
QByteArray Sign(const QByteArray &image, const KeyPair &pair);
Signature ParseSignature(const QByteArray &text, QString *problem);
// Whether signature is the signer's over exactly these bytes.
bool Verify(const QByteArray &image, const Signature &signature);

// Where an image's signature is kept.
QString SignaturePath(const QString &image_path);

// The signature beside an image, as read from its file.
struct Beside {
    enum class State { None, Unreadable, Read };
    State state = State::None;
    Signature signature;  // when Read
    QString problem;      // when Unreadable: the file's or the system's words, naming the file
};
Beside ReadBeside(const QString &image_path);

// The keys a line trusts, read from the configuration's list: each a key's text or a key file,
// a relative file name starting at folder.
struct TrustedKeys {
    QList<QByteArray> keys;
    QString problem;  // why the list cannot be used (a file missing, a text that is no key); empty when it can
};
TrustedKeys ReadTrustedKeys(const QStringList &entries, const QString &folder);

// What the trust says of one image.
struct Verdict {
    enum class Kind {
        Trusted,       // signed by a trusted key, over exactly these bytes
        Unsigned,      // no signature beside it
        Unreadable,    // a signature file that cannot be read or is no signature
        UnknownKey,    // signed, by a key the line does not trust
        Mismatch,      // the signature is not over these bytes: changed after signing, or another image's
        KeysUnusable,  // the trusted keys themselves could not be read: nothing is taken
    };
    Kind kind = Kind::Unsigned;
    QString key_id;  // the signer's, when the signature names one
    QString detail;  // the system's or the file's words, for the reason
};
// Judges the image's bytes (as read for the job) by the signature beside image_path.
Verdict Judge(const QString &image_path, const QByteArray &image, const TrustedKeys &trusted);

}  // namespace ImageSignature
