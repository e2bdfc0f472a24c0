#include "publish/SecretKey.h"

#include <QByteArrayList>
#include <QtEndian>
#include <sodium.h>

using namespace modUpdate;

namespace publish {

namespace {

// The layout of minisign's secret key: algorithm "Ed", key derivation ("Sc"
// for scrypt, two zero bytes for none), checksum algorithm "B2", scrypt salt,
// opslimit and memlimit (little-endian), then the part scrypt's stream
// encrypts: key id, Ed25519 secret key, BLAKE2b-256 checksum.
constexpr qsizetype KdfOffset = 2;
constexpr qsizetype ChecksumAlgorithmOffset = 4;
constexpr qsizetype SaltOffset = 6;
constexpr qsizetype OpsLimitOffset = 38;
constexpr qsizetype MemLimitOffset = 46;
constexpr qsizetype KeyIdOffset = 54;
constexpr qsizetype KeyIdSize = 8;
constexpr qsizetype SecretOffset = KeyIdOffset + KeyIdSize;
constexpr qsizetype ChecksumOffset = SecretOffset + crypto_sign_SECRETKEYBYTES;
constexpr qsizetype ChecksumSize = 32;
constexpr qsizetype SecretKeyBlobSize = ChecksumOffset + ChecksumSize;
constexpr qsizetype EncryptedSize = SecretKeyBlobSize - KeyIdOffset;
// A key that asks scrypt for more memory than this is refused as damaged.
constexpr quint64 MaxScryptMemory = quint64(4) << 30;
constexpr QByteArrayView UntrustedPrefix = "untrusted comment: ";

// Casts for libsodium's byte pointers.
unsigned char* Bytes(QByteArray& bytes) {
    return reinterpret_cast<unsigned char*>(bytes.data());
}
const unsigned char* Bytes(const QByteArray& bytes) {
    return reinterpret_cast<const unsigned char*>(bytes.constData());
}

// The key file's checksum: BLAKE2b-256 over algorithm, key id and secret key.
QByteArray Checksum(const QByteArray& keyId, const QByteArray& secretKey) {
    const QByteArray input = "Ed" + keyId + secretKey;
    QByteArray checksum(ChecksumSize, '\0');
    crypto_generichash(Bytes(checksum), ChecksumSize, Bytes(input), input.size(), nullptr, 0);
    return checksum;
}

// Ed25519 signature of message by key.
QByteArray Sign(const MinisignSecretKey& key, const QByteArray& message) {
    QByteArray signature(crypto_sign_BYTES, '\0');
    crypto_sign_detached(Bytes(signature), nullptr, Bytes(message), message.size(),
                         Bytes(key.secretKey));
    return signature;
}

// Undoes minisign's encryption of the key part of blob with the password:
// XOR with a stream scrypt derives from password, salt and limits. Fails saying why.
Result Decrypt(QByteArray& blob, const PasswordSource& askPassword) {
    const quint64 opsLimit = qFromLittleEndian<quint64>(blob.constData() + OpsLimitOffset);
    const quint64 memLimit = qFromLittleEndian<quint64>(blob.constData() + MemLimitOffset);
    if (memLimit > MaxScryptMemory)
        return Result::Failed(
            QStringLiteral("the key file is damaged: it asks scrypt for %1 MiB of memory")
                .arg(memLimit >> 20));
    std::optional<QByteArray> password = askPassword ? askPassword() : std::nullopt;
    if (!password)
        return Result::Failed(QStringLiteral("the key is encrypted and no password was given"));
    QByteArray stream(EncryptedSize, '\0');
    const int failed = crypto_pwhash_scryptsalsa208sha256(
        Bytes(stream), stream.size(), password->constData(), password->size(),
        Bytes(blob) + SaltOffset, opsLimit, static_cast<std::size_t>(memLimit));
    sodium_memzero(password->data(), password->size());
    if (failed != 0)
        return Result::Failed(
            QStringLiteral("scrypt could not derive the key from the password (out of memory?)"));
    for (qsizetype i = 0; i < EncryptedSize; ++i)
        blob[KeyIdOffset + i] = static_cast<char>(blob[KeyIdOffset + i] ^ stream[i]);
    sodium_memzero(stream.data(), stream.size());
    return Result();
}

} // namespace

Result ParseSecretKey(const QByteArray& text, const PasswordSource& askPassword,
                      MinisignSecretKey& key) {
    const QString notKey = QStringLiteral("it is not a minisign secret key: ");
    if (sodium_init() < 0)
        return Result::Failed(QStringLiteral("libsodium could not be started"));
    if (text.size() > 4096)
        return Result::Failed(notKey + QStringLiteral("it is %1 bytes long").arg(text.size()));
    const QByteArrayList lines = text.trimmed().split('\n');
    if (lines.size() != 2 || !lines[0].startsWith(UntrustedPrefix))
        return Result::Failed(notKey +
                              QStringLiteral("it needs a comment line, then the key line"));
    const auto decoded =
        QByteArray::fromBase64Encoding(lines[1].trimmed(), QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded || decoded.decoded.size() != SecretKeyBlobSize)
        return Result::Failed(
            notKey +
            QStringLiteral("its key line is not the base64 of %1 bytes").arg(SecretKeyBlobSize));
    QByteArray blob = decoded.decoded;
    if (!blob.startsWith("Ed") || blob.sliced(ChecksumAlgorithmOffset, 2) != "B2")
        return Result::Failed(
            notKey + QStringLiteral("its algorithms are not Ed25519 and BLAKE2b (Ed, B2)"));
    const QByteArray kdf = blob.sliced(KdfOffset, 2);
    const bool encrypted = kdf == "Sc";
    if (!encrypted && kdf != QByteArray(2, '\0'))
        return Result::Failed(notKey +
                              QStringLiteral("its key derivation \"%1\" is neither scrypt nor none")
                                  .arg(QString::fromLatin1(kdf.toHex())));
    if (encrypted) {
        if (const Result decrypted = Decrypt(blob, askPassword); !decrypted)
            return decrypted;
    }
    key.keyId = blob.sliced(KeyIdOffset, KeyIdSize);
    key.secretKey = blob.sliced(SecretOffset, crypto_sign_SECRETKEYBYTES);
    const QByteArray stored = blob.sliced(ChecksumOffset, ChecksumSize);
    sodium_memzero(blob.data(), blob.size());
    // minisign leaves the checksum of a key it does not encrypt all zeros.
    const bool sound = stored == Checksum(key.keyId, key.secretKey) ||
                       (!encrypted && stored == QByteArray(ChecksumSize, '\0'));
    if (!sound)
        return Result::Failed(
            encrypted ? QStringLiteral("wrong password for this key (or the key file is "
                                       "damaged)")
                      : QStringLiteral("the key file is damaged: its checksum does not match"));
    // The secret key ends with the public key its first half makes.
    QByteArray publicKey(crypto_sign_PUBLICKEYBYTES, '\0');
    QByteArray remade(crypto_sign_SECRETKEYBYTES, '\0');
    crypto_sign_seed_keypair(Bytes(publicKey), Bytes(remade), Bytes(key.secretKey));
    const bool matches = remade == key.secretKey;
    sodium_memzero(remade.data(), remade.size());
    if (!matches)
        return Result::Failed(
            QStringLiteral("the key file is damaged: its secret key is not a key pair"));
    return Result();
}

MinisignPublicKey PublicKeyOf(const MinisignSecretKey& key) {
    QByteArray publicKey(crypto_sign_PUBLICKEYBYTES, '\0');
    crypto_sign_ed25519_sk_to_pk(Bytes(publicKey), Bytes(key.secretKey));
    return {key.keyId, publicKey};
}

QByteArray SignPrehashed(const MinisignSecretKey& key, const QByteArray& message,
                         const QByteArray& trustedComment) {
    QByteArray hash(crypto_generichash_BYTES_MAX, '\0');
    crypto_generichash(Bytes(hash), hash.size(), Bytes(message), message.size(), nullptr, 0);
    const QByteArray signature = Sign(key, hash);
    const QByteArray global = Sign(key, signature + trustedComment);
    return "untrusted comment: signature from quelmor-publish secret key\n" +
           ("ED" + key.keyId + signature).toBase64() + "\ntrusted comment: " + trustedComment +
           "\n" + global.toBase64() + "\n";
}

std::optional<KeyPairFiles> MakeKeyPair() {
    if (sodium_init() < 0)
        return std::nullopt;
    QByteArray publicKey(crypto_sign_PUBLICKEYBYTES, '\0');
    MinisignSecretKey key{QByteArray(KeyIdSize, '\0'),
                          QByteArray(crypto_sign_SECRETKEYBYTES, '\0')};
    crypto_sign_keypair(Bytes(publicKey), Bytes(key.secretKey));
    randombytes_buf(key.keyId.data(), KeyIdSize);
    // No key derivation: salt and limits stay zero, as minisign -G -W writes them.
    const QByteArray secretBlob = "Ed" + QByteArray(2, '\0') + "B2" +
                                  QByteArray(KeyIdOffset - SaltOffset, '\0') + key.keyId +
                                  key.secretKey + Checksum(key.keyId, key.secretKey);
    KeyPairFiles files;
    files.keyIdText = KeyIdText(key.keyId);
    files.publicKeyLine = ("Ed" + key.keyId + publicKey).toBase64();
    files.publicKeyFile = "untrusted comment: minisign public key " + files.keyIdText.toLatin1() +
                          "\n" + files.publicKeyLine + "\n";
    files.secretKeyFile =
        "untrusted comment: minisign secret key, not encrypted\n" + secretBlob.toBase64() + "\n";
    return files;
}

} // namespace publish
