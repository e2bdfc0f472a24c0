#pragma once
// The two small signed files at the top of a server folder, read the same way
// by the updater and the publishing tool. release.ini states the current
// release: its number and version, the manifest's size and SHA-256, where its
// zstd-compressed copy is, and until when the statement holds. keys.ini lists
// the keys that may sign release.ini and the root keys that sign the next
// keys.ini. Each file is its text followed by the minisign signatures of that
// text, so no cache can pair it with another file's signature.

#include <QByteArray>
#include <QList>
#include <QString>
#include <cstdint>
#include <vector>

#include "update/Failure.h"
#include "update/Signature.h"

namespace modUpdate {
inline constexpr char StatementFileName[] = "release.ini";
inline constexpr char KeyListFileName[] = "keys.ini";
// The largest statement and key list read.
inline constexpr qsizetype StatementLimit = 4096;
inline constexpr qsizetype KeyListLimit = 16 * 1024;
// The largest statement the publishing tool writes.
inline constexpr qsizetype StatementGoal = 1024;
// How far in the future a signing time may be (a player's clock that is
// wrong by a time zone or a day) before a statement is refused.
inline constexpr std::int64_t ClockToleranceSeconds = 24 * 3600;

// What release.ini states.
struct ReleaseStatement {
    std::int64_t release = 0; // Release of the manifest
    QString version;          // its Version
    std::int64_t manifestSize = 0;
    QString manifestSha256;      // lower-case hex
    QString object;              // "by-hash/<manifestSha256>.zst", below the base URL
    std::int64_t objectSize = 0; // the compressed copy's bytes
    QString objectSha256;        // and their SHA-256
    std::int64_t signedAt = 0;   // seconds since 1970 (UTC)
    std::int64_t expires = 0;
};

// What keys.ini lists.
struct KeyList {
    std::int64_t version = 0;  // 0 for the keys built into an updater
    std::int64_t expires = -1; // seconds since 1970; -1 for never
    std::vector<MinisignPublicKey> signing, roots;
    int threshold = 1; // how many of roots must sign the next list
};

// Splits a signed file into its text and the minisign signatures after it
// (each four lines, the first "untrusted comment: ..."). A file without any
// signature is all text. Fails when what follows the text is not signatures.
Result SplitSigned(const QByteArray& bytes, QByteArray& text, QList<QByteArray>& signatures);

// Reads the text of a statement. Fails naming the first value that is missing
// or malformed.
Result ReadStatement(const QByteArray& text, ReleaseStatement& statement);

// The text of a statement, which ReadStatement reads back.
[[nodiscard]] QByteArray StatementText(const ReleaseStatement& statement);

// Reads the text of a key list. Fails naming the first value that is missing
// or malformed.
Result ReadKeyList(const QByteArray& text, KeyList& list);

// The text of a key list, which ReadKeyList reads back.
[[nodiscard]] QByteArray KeyListText(const KeyList& list);

// Reads a signed statement or key list file (its text) without checking its
// signatures: a copy the updater accepted before, or one to be signed again.
// Fails when the file or its text cannot be read.
Result ReadUnchecked(const QByteArray& bytes, ReleaseStatement& statement);
Result ReadUnchecked(const QByteArray& bytes, KeyList& list);

// What a player's updater trusts before it has seen any key list: the keys
// built into it, as roots (any one of them signs the first list) and as
// signing keys.
[[nodiscard]] KeyList BuiltInKeys(const std::vector<MinisignPublicKey>& keys);

// Why a statement or key list is refused.
enum class Refusal { None, Broken, Unsigned, Expired, Future, Replayed };
struct Verdict {
    Refusal refusal = Refusal::None;
    QString why;
    explicit operator bool() const { return refusal == Refusal::None; }
};

// Checks the bytes of release.ini: split and read; signed by one of
// signingKeys (nothing is checked when it is null); signed at most
// ClockToleranceSeconds after now and in force at now; neither its release
// nor its signing time before those of last (when given). On success fills
// statement.
Verdict CheckStatement(const QByteArray& bytes, const std::vector<MinisignPublicKey>* signingKeys,
                       const ReleaseStatement* last, std::int64_t now, ReleaseStatement& statement);

// Checks the bytes of a key list that would follow trusted: a higher version,
// signed by trusted.threshold of trusted.roots and by its own threshold of its
// own roots, not expired at now. On success fills list.
Verdict CheckKeyList(const QByteArray& bytes, const KeyList& trusted, std::int64_t now,
                     KeyList& list);

// The name of the copy of key list version on the server: "keys-<version>.ini".
[[nodiscard]] QString KeyListCopyName(std::int64_t version);

} // namespace modUpdate
