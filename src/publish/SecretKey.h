#pragma once
// minisign secret keys on the studio's side: reading them (unencrypted, or
// encrypted with scrypt as minisign does), signing info.ini, and making a new
// key pair. The cryptography is libsodium's.

#include <QByteArray>
#include <QString>
#include <functional>
#include <optional>

#include "update/Failure.h"

#include "update/Signature.h"

namespace publish {
// A usable minisign secret key.
struct MinisignSecretKey {
    QByteArray keyId;     // 8 bytes
    QByteArray secretKey; // the 64-byte Ed25519 secret key (seed, then the public key)
};

// Gives the password of an encrypted key; nothing when none was given.
using PasswordSource = std::function<std::optional<QByteArray>()>;

// Reads a minisign secret key file (a comment line, then the base64 line).
// askPassword is called only for an encrypted key. Fails saying
// why the key cannot be used: not a minisign secret key, an unknown
// algorithm, no password, a wrong password (or a damaged file).
modUpdate::Result ParseSecretKey(const QByteArray& text, const PasswordSource& askPassword,
                                 MinisignSecretKey& key);

// The public half of key.
modUpdate::MinisignPublicKey PublicKeyOf(const MinisignSecretKey& key);

// The text of a .minisig file for message: prehashed ("ED", BLAKE2b-512),
// with trustedComment (one line) signed together with the signature.
[[nodiscard]] QByteArray SignPrehashed(const MinisignSecretKey& key, const QByteArray& message,
                                       const QByteArray& trustedComment);

// The two files of a new key pair in minisign's format.
struct KeyPairFiles {
    QByteArray publicKeyFile; // comment line, then the base64 line
    QByteArray secretKeyFile; // not encrypted, as minisign -G -W writes it
    QString keyIdText;
    QByteArray publicKeyLine; // the base64 line alone
};

// Makes a new random key pair. Cannot fail once libsodium started; returns
// nothing when it cannot start.
[[nodiscard]] std::optional<KeyPairFiles> MakeKeyPair();

} // namespace publish
