#include "update/Signature.h"

#include <QByteArrayList>
#include <algorithm>
#include <sodium.h>

namespace modUpdate {
namespace {

constexpr QByteArrayView UntrustedPrefix = "untrusted comment: ";
constexpr QByteArrayView TrustedPrefix = "trusted comment: ";
// Algorithm (2 bytes), key id (8 bytes), Ed25519 key (32) or signature (64).
constexpr qsizetype AlgorithmSize = 2;
constexpr qsizetype KeyIdSize = 8;
constexpr qsizetype PublicKeyBlobSize = AlgorithmSize + KeyIdSize + crypto_sign_PUBLICKEYBYTES;
constexpr qsizetype SignatureBlobSize = AlgorithmSize + KeyIdSize + crypto_sign_BYTES;
// The longest public key text read: a comment line and the key line.
constexpr qsizetype MaxPublicKeyTextSize = 4096;

// The parts of a .minisig file.
struct SignatureFile {
    QByteArray algorithm;       // "Ed" or "ED"
    QByteArray keyId;           // 8 bytes
    QByteArray signature;       // 64 bytes over the message or its BLAKE2b-512 hash
    QByteArray trustedComment;  // after "trusted comment: "
    QByteArray globalSignature; // 64 bytes over signature + trusted comment
};

// True once libsodium is ready; it is started on the first call.
bool SodiumReady() {
    static const bool ready = sodium_init() >= 0;
    return ready;
}

// Decodes text, standard base64 with padding, when it holds exactly size
// bytes; false for anything else.
bool DecodeBase64(QByteArrayView text, qsizetype size, QByteArray& bytes) {
    bytes.resize(size);
    std::size_t length = 0;
    const char* end = nullptr;
    if (sodium_base642bin(reinterpret_cast<unsigned char*>(bytes.data()),
                          static_cast<std::size_t>(size), text.data(),
                          static_cast<std::size_t>(text.size()), nullptr, &length, &end,
                          sodium_base64_VARIANT_ORIGINAL) != 0)
        return false;
    return end == text.data() + text.size() && length == static_cast<std::size_t>(size);
}

// The lines of text without their line ends (LF or CRLF); blank lines at the
// end are dropped. Cannot fail.
QByteArrayList Lines(const QByteArray& text) {
    QByteArrayList lines = text.split('\n');
    for (QByteArray& line : lines) {
        while (line.endsWith('\r'))
            line.chop(1);
    }
    while (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    return lines;
}

// Splits a .minisig file into its parts. Returns "" on success, else which
// line is malformed.
QString ParseSignatureFile(const QByteArray& bytes, SignatureFile& file) {
    if (bytes.size() > MaxSignatureFileSize)
        return QStringLiteral("it is %1 bytes long, more than the %2 a signature file can be")
            .arg(bytes.size())
            .arg(MaxSignatureFileSize);
    const QByteArrayList lines = Lines(bytes);
    if (lines.size() != 4)
        return QStringLiteral("it has %1 line(s) instead of 4").arg(lines.size());
    if (!lines[0].startsWith(UntrustedPrefix))
        return QStringLiteral("line 1 does not start with \"untrusted comment: \"");
    QByteArray blob;
    if (!DecodeBase64(lines[1], SignatureBlobSize, blob))
        return QStringLiteral("line 2 is not the base64 of a %1-byte signature")
            .arg(SignatureBlobSize);
    if (!lines[2].startsWith(TrustedPrefix))
        return QStringLiteral("line 3 does not start with \"trusted comment: \"");
    if (!DecodeBase64(lines[3], crypto_sign_BYTES, file.globalSignature))
        return QStringLiteral("line 4 is not the base64 of a %1-byte signature")
            .arg(crypto_sign_BYTES);
    file.algorithm = blob.first(AlgorithmSize);
    if (file.algorithm != "Ed" && file.algorithm != "ED")
        return QStringLiteral("its algorithm \"%1\" is neither Ed (legacy) nor ED (prehashed)")
            .arg(QString::fromLatin1(file.algorithm.toHex()));
    file.keyId = blob.sliced(AlgorithmSize, KeyIdSize);
    file.signature = blob.sliced(AlgorithmSize + KeyIdSize);
    file.trustedComment = lines[2].sliced(TrustedPrefix.size());
    return QString();
}

// True when signature is key's Ed25519 signature of message.
bool Ed25519Verifies(const QByteArray& key, const QByteArray& signature, QByteArrayView message) {
    return crypto_sign_verify_detached(reinterpret_cast<const unsigned char*>(signature.data()),
                                       reinterpret_cast<const unsigned char*>(message.data()),
                                       static_cast<unsigned long long>(message.size()),
                                       reinterpret_cast<const unsigned char*>(key.data())) == 0;
}

} // namespace

Result ParsePublicKey(const QByteArray& text, MinisignPublicKey& key) {
    const QString notKey = QStringLiteral("it is not a minisign public key: ");
    if (text.size() > MaxPublicKeyTextSize)
        return Result::Failed(notKey + QStringLiteral("it is %1 bytes long").arg(text.size()));
    QByteArrayList lines = Lines(text.trimmed());
    if (lines.size() == 2 && lines[0].startsWith(UntrustedPrefix))
        lines.removeFirst();
    if (lines.size() != 1)
        return Result::Failed(
            notKey + QStringLiteral("give the base64 line alone, or a .pub file (a comment "
                                    "line, then the base64 line)"));
    QByteArray blob;
    if (!DecodeBase64(lines[0], PublicKeyBlobSize, blob))
        return Result::Failed(
            notKey +
            QStringLiteral("its key line is not the base64 of %1 bytes").arg(PublicKeyBlobSize));
    if (!blob.startsWith("Ed"))
        return Result::Failed(notKey + QStringLiteral("its algorithm is not Ed25519 (\"Ed\")"));
    key.keyId = blob.sliced(AlgorithmSize, KeyIdSize);
    key.key = blob.sliced(AlgorithmSize + KeyIdSize);
    return Result();
}

QString KeyIdText(const QByteArray& keyId) {
    QByteArray bigEndian = keyId;
    std::reverse(bigEndian.begin(), bigEndian.end());
    return QString::fromLatin1(bigEndian.toHex().toUpper());
}

Result VerifyMinisign(const MinisignPublicKey& key, const QByteArray& message,
                      const QByteArray& signature, QString* trustedComment) {
    if (!SodiumReady())
        return Result::Failed(QStringLiteral("libsodium could not be started"));
    if (key.keyId.size() != KeyIdSize || key.key.size() != crypto_sign_PUBLICKEYBYTES)
        return Result::Failed(QStringLiteral("the public key is not a minisign public key"));
    SignatureFile file;
    if (const QString why = ParseSignatureFile(signature, file); !why.isEmpty())
        return Result::Failed(QStringLiteral("it is not a minisign signature: ") + why);
    if (file.keyId != key.keyId)
        return Result::Failed(QStringLiteral("it was made by another key (key id %1, expected %2)")
                                  .arg(KeyIdText(file.keyId), KeyIdText(key.keyId)));
    QByteArray hash; // the prehashed algorithm signs the message's BLAKE2b-512 hash
    if (file.algorithm == "ED") {
        hash.resize(crypto_generichash_BYTES_MAX);
        crypto_generichash(reinterpret_cast<unsigned char*>(hash.data()),
                           crypto_generichash_BYTES_MAX,
                           reinterpret_cast<const unsigned char*>(message.data()),
                           static_cast<unsigned long long>(message.size()), nullptr, 0);
    }
    if (!Ed25519Verifies(key.key, file.signature, file.algorithm == "ED" ? hash : message))
        return Result::Failed(QStringLiteral("it does not match the file"));
    if (!Ed25519Verifies(key.key, file.globalSignature, file.signature + file.trustedComment))
        return Result::Failed(QStringLiteral("its trusted comment was altered"));
    if (trustedComment != nullptr)
        *trustedComment = QString::fromUtf8(file.trustedComment);
    return Result();
}

QByteArray SignatureKeyId(const QByteArray& signature) {
    SignatureFile file;
    return ParseSignatureFile(signature, file).isEmpty() ? file.keyId : QByteArray();
}

} // namespace modUpdate
