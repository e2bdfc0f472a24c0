#pragma once
// minisign's public keys and signatures, checked with libsodium. The updater
// checks the server's info.ini with them; the publishing tool checks what it
// signed.

#include <QByteArray>
#include <QString>

#include "update/Failure.h"

namespace modUpdate {
// A minisign public key: the 8-byte key id and the 32-byte Ed25519 key.
struct MinisignPublicKey {
    QByteArray keyId;
    QByteArray key;
};

// Parses a public key: the base64 line alone, or a whole .pub file (comment
// line, then the base64 line). Fails saying why the text is not a public key.
Result ParsePublicKey(const QByteArray& text, MinisignPublicKey& key);

// The key id as minisign prints it: 16 upper-case hex digits (the 8 bytes read
// as a little-endian number).
[[nodiscard]] QString KeyIdText(const QByteArray& keyId);

// Done when `signature` (the bytes of a .minisig file) is a valid minisign
// signature of `message` by `key`: the algorithm is "Ed" (legacy) or "ED"
// (prehashed with BLAKE2b-512), the key id matches, the signature over the
// message (or its hash) verifies, and the global signature over signature +
// trusted comment verifies. Otherwise it fails saying why ("it was made
// by another key (key id X, expected Y)", "it is not a minisign signature:
// ...", "it does not match the file", "its trusted comment was altered"). On
// success trustedComment (when not null) receives the trusted comment.
Result VerifyMinisign(const MinisignPublicKey& key, const QByteArray& message,
                      const QByteArray& signature, QString* trustedComment = nullptr);

// The key id a signature file names, read without checking anything else;
// empty when the file is not a minisign signature.
[[nodiscard]] QByteArray SignatureKeyId(const QByteArray& signature);

// The largest signature file read: four lines, the trusted comment at most
// 8 KiB as minisign allows.
inline constexpr qsizetype MaxSignatureFileSize = 16 * 1024;

} // namespace modUpdate
