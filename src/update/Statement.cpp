#include "update/Statement.h"

#include <QRegularExpression>
#include <QSet>

#include "update/NumberReading.h"
#include "update/Profile.h"

namespace modUpdate {
namespace {

const QString ReleaseSection = QStringLiteral("RELEASE");
const QString KeysSection = QStringLiteral("KEYS");
// The most keys of each kind a list may name.
constexpr int MostKeys = 16;

// True when text is 64 lower-case hex digits.
bool IsHash(const QString& text) {
    static const QRegularExpression hex(QStringLiteral("^[0-9a-f]{64}$"));
    return hex.match(text).hasMatch();
}

// The whole number of key in section, into value. Fails naming it when it is
// missing or not 1 to 18 digits.
Result Digits(const ProfileSections& profile, const QString& section, const QString& key,
              std::int64_t& value) {
    const QString text = ProfileValue(profile, section, key);
    value = ReadDigits(text);
    if (value < 0)
        return Result::Failed(
            text.isEmpty()
                ? QStringLiteral("it has no %1").arg(key)
                : QStringLiteral("its %1 (\"%2\") is not a whole number").arg(key, text.left(40)));
    return Result();
}

// The keys named Name1, Name2, ... in [KEYS], up to the first missing one.
// Fails naming the first that is not a public key.
Result Keys(const ProfileSections& profile, const QString& name,
            std::vector<MinisignPublicKey>& keys) {
    keys.clear();
    for (int i = 1; i <= MostKeys; ++i) {
        const QString text = ProfileValue(profile, KeysSection, name + QString::number(i));
        if (text.isEmpty())
            break;
        MinisignPublicKey key;
        if (const Result parsed = ParsePublicKey(text.toLatin1(), key); !parsed)
            return Result::Failed(QStringLiteral("its %1%2 is refused: %3")
                                      .arg(name, QString::number(i), parsed.why()));
        keys.push_back(key);
    }
    if (keys.empty())
        return Result::Failed(QStringLiteral("it names no %1 key (%11)").arg(name));
    return Result();
}

// The base64 line of key.
QByteArray KeyLine(const MinisignPublicKey& key) {
    return ("Ed" + key.keyId + key.key).toBase64();
}

// How many distinct keys of keys made one of signatures of text.
int SignedBy(const std::vector<MinisignPublicKey>& keys, const QByteArray& text,
             const QList<QByteArray>& signatures) {
    QSet<QByteArray> signers;
    for (const MinisignPublicKey& key : keys) {
        for (const QByteArray& signature : signatures) {
            if (SignatureKeyId(signature) == key.keyId && VerifyMinisign(key, text, signature))
                signers.insert(key.keyId);
        }
    }
    return static_cast<int>(signers.size());
}

Verdict Refused(Refusal refusal, const QString& why) {
    return {refusal, why};
}

// Splits bytes (at most limit of them) into text and signatures; refused as
// broken when they are longer or what follows the text is not signatures.
Verdict SplitWithin(const QByteArray& bytes, qsizetype limit, QByteArray& text,
                    QList<QByteArray>& signatures) {
    if (bytes.size() > limit)
        return Refused(
            Refusal::Broken,
            QStringLiteral("it is %1 bytes long, more than %2").arg(bytes.size()).arg(limit));
    if (const Result split = SplitSigned(bytes, text, signatures); !split)
        return Refused(Refusal::Broken, split.why());
    return {};
}

// The text of bytes read by read into value, signatures unchecked.
template <typename Value>
Result ReadText(const QByteArray& bytes, Value& value, Result (*read)(const QByteArray&, Value&)) {
    QByteArray text;
    QList<QByteArray> signatures;
    Result done = SplitSigned(bytes, text, signatures);
    return done ? read(text, value) : done;
}

} // namespace

Result SplitSigned(const QByteArray& bytes, QByteArray& text, QList<QByteArray>& signatures) {
    signatures.clear();
    qsizetype start =
        bytes.startsWith("untrusted comment:") ? 0 : bytes.indexOf("\nuntrusted comment:");
    if (start < 0) {
        text = bytes;
        return Result();
    }
    if (start > 0)
        ++start;
    text = bytes.first(start);
    QByteArrayList lines = bytes.sliced(start).split('\n');
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    if (lines.size() % 4 != 0)
        return Result::Failed(
            QStringLiteral("its signatures have %1 line(s), not four each").arg(lines.size()));
    for (qsizetype i = 0; i < lines.size(); i += 4)
        signatures << lines.sliced(i, 4).join('\n') + '\n';
    return Result();
}

Result ReadStatement(const QByteArray& text, ReleaseStatement& statement) {
    const ProfileSections profile = ParseProfile(text);
    const std::pair<const char*, std::int64_t*> numbers[] = {
        {"Release", &statement.release},
        {"ManifestSize", &statement.manifestSize},
        {"CompressedSize", &statement.objectSize},
        {"Signed", &statement.signedAt},
        {"Expires", &statement.expires}};
    for (const auto& [key, value] : numbers) {
        if (const Result read = Digits(profile, ReleaseSection, QLatin1String(key), *value); !read)
            return read;
    }
    statement.version = ProfileValue(profile, ReleaseSection, QStringLiteral("Version"));
    statement.manifestSha256 =
        ProfileValue(profile, ReleaseSection, QStringLiteral("ManifestSha256"));
    statement.object = ProfileValue(profile, ReleaseSection, QStringLiteral("Manifest"));
    statement.objectSha256 =
        ProfileValue(profile, ReleaseSection, QStringLiteral("CompressedSha256"));
    if (statement.version.isEmpty())
        return Result::Failed(QStringLiteral("it has no Version"));
    if (!IsHash(statement.manifestSha256) || !IsHash(statement.objectSha256))
        return Result::Failed(QStringLiteral(
            "its ManifestSha256 or CompressedSha256 is not 64 lower-case hex digits"));
    if (statement.object != QStringLiteral("by-hash/%1.zst").arg(statement.manifestSha256))
        return Result::Failed(
            QStringLiteral("its Manifest (\"%1\") is not by-hash/<ManifestSha256>.zst")
                .arg(statement.object.left(100)));
    if (statement.expires <= statement.signedAt)
        return Result::Failed(QStringLiteral("it expires before it was signed"));
    return Result();
}

QByteArray StatementText(const ReleaseStatement& statement) {
    return "[RELEASE]\nRelease=" + QByteArray::number(statement.release) +
           "\nVersion=" + statement.version.toUtf8() + "\nManifest=" + statement.object.toUtf8() +
           "\nManifestSize=" + QByteArray::number(statement.manifestSize) +
           "\nManifestSha256=" + statement.manifestSha256.toLatin1() +
           "\nCompressedSize=" + QByteArray::number(statement.objectSize) +
           "\nCompressedSha256=" + statement.objectSha256.toLatin1() +
           "\nSigned=" + QByteArray::number(statement.signedAt) +
           "\nExpires=" + QByteArray::number(statement.expires) + "\n";
}

Result ReadKeyList(const QByteArray& text, KeyList& list) {
    const ProfileSections profile = ParseProfile(text);
    std::int64_t threshold = 0;
    if (const Result read = Digits(profile, KeysSection, QStringLiteral("Version"), list.version);
        !read)
        return read;
    if (const Result read = Digits(profile, KeysSection, QStringLiteral("Threshold"), threshold);
        !read)
        return read;
    list.expires = -1;
    if (!ProfileValue(profile, KeysSection, QStringLiteral("Expires")).isEmpty()) {
        if (const Result read =
                Digits(profile, KeysSection, QStringLiteral("Expires"), list.expires);
            !read)
            return read;
    }
    if (const Result read = Keys(profile, QStringLiteral("Signing"), list.signing); !read)
        return read;
    if (const Result read = Keys(profile, QStringLiteral("Root"), list.roots); !read)
        return read;
    if (threshold < 1 || threshold > static_cast<std::int64_t>(list.roots.size()))
        return Result::Failed(
            QStringLiteral("its Threshold (%1) is not from 1 to its %2 root key(s)")
                .arg(threshold)
                .arg(list.roots.size()));
    list.threshold = static_cast<int>(threshold);
    return Result();
}

QByteArray KeyListText(const KeyList& list) {
    QByteArray text = "[KEYS]\nVersion=" + QByteArray::number(list.version) +
                      "\nThreshold=" + QByteArray::number(list.threshold) + "\n";
    if (list.expires >= 0)
        text += "Expires=" + QByteArray::number(list.expires) + "\n";
    for (std::size_t i = 0; i < list.signing.size(); ++i)
        text += "Signing" + QByteArray::number(i + 1) + "=" + KeyLine(list.signing[i]) + "\n";
    for (std::size_t i = 0; i < list.roots.size(); ++i)
        text += "Root" + QByteArray::number(i + 1) + "=" + KeyLine(list.roots[i]) + "\n";
    return text;
}

Result ReadUnchecked(const QByteArray& bytes, ReleaseStatement& statement) {
    return ReadText(bytes, statement, &ReadStatement);
}

Result ReadUnchecked(const QByteArray& bytes, KeyList& list) {
    return ReadText(bytes, list, &ReadKeyList);
}

KeyList BuiltInKeys(const std::vector<MinisignPublicKey>& keys) {
    KeyList list;
    list.signing = keys;
    list.roots = keys;
    return list;
}

Verdict CheckStatement(const QByteArray& bytes, const std::vector<MinisignPublicKey>* signingKeys,
                       const ReleaseStatement* last, std::int64_t now,
                       ReleaseStatement& statement) {
    QByteArray text;
    QList<QByteArray> signatures;
    if (const Verdict split = SplitWithin(bytes, StatementLimit, text, signatures); !split)
        return split;
    if (signingKeys != nullptr && SignedBy(*signingKeys, text, signatures) == 0) {
        QStringList ids;
        for (const QByteArray& signature : signatures)
            ids << KeyIdText(SignatureKeyId(signature));
        return Refused(Refusal::Unsigned,
                       signatures.isEmpty()
                           ? QStringLiteral("it is not signed")
                           : QStringLiteral("no key this updater trusts signed it (signed by key "
                                            "id %1)")
                                 .arg(ids.join(QStringLiteral(", "))));
    }
    if (const Result read = ReadStatement(text, statement); !read)
        return Refused(Refusal::Broken, read.why());
    if (statement.signedAt > now + ClockToleranceSeconds)
        return Refused(Refusal::Future, QStringLiteral("it was signed at %1, %2 seconds after this "
                                                       "computer's time")
                                            .arg(statement.signedAt)
                                            .arg(statement.signedAt - now));
    if (statement.expires <= now)
        return Refused(Refusal::Expired,
                       QStringLiteral("it expired at %1, %2 seconds before this computer's time")
                           .arg(statement.expires)
                           .arg(now - statement.expires));
    if (last != nullptr &&
        (statement.release < last->release || statement.signedAt < last->signedAt))
        return Refused(Refusal::Replayed,
                       QStringLiteral("it states release %1 signed at %2, older than the release "
                                      "%3 signed at %4 this updater trusted before")
                           .arg(statement.release)
                           .arg(statement.signedAt)
                           .arg(last->release)
                           .arg(last->signedAt));
    return {};
}

Verdict CheckKeyList(const QByteArray& bytes, const KeyList& trusted, std::int64_t now,
                     KeyList& list) {
    QByteArray text;
    QList<QByteArray> signatures;
    if (const Verdict split = SplitWithin(bytes, KeyListLimit, text, signatures); !split)
        return split;
    if (const Result read = ReadKeyList(text, list); !read)
        return Refused(Refusal::Broken, read.why());
    if (list.version <= trusted.version)
        return Refused(Refusal::Replayed,
                       QStringLiteral("its version %1 is not above the trusted %2")
                           .arg(list.version)
                           .arg(trusted.version));
    const int byTrusted = SignedBy(trusted.roots, text, signatures);
    const int byOwn = SignedBy(list.roots, text, signatures);
    if (byTrusted < trusted.threshold || byOwn < list.threshold)
        return Refused(Refusal::Unsigned,
                       QStringLiteral("%1 of the %2 trusted root keys signed it (%3 needed) and %4 "
                                      "of its own %5 (%6 needed)")
                           .arg(byTrusted)
                           .arg(trusted.roots.size())
                           .arg(trusted.threshold)
                           .arg(byOwn)
                           .arg(list.roots.size())
                           .arg(list.threshold));
    if (list.expires >= 0 && list.expires <= now)
        return Refused(Refusal::Expired,
                       QStringLiteral("it expired at %1, %2 seconds before this computer's time")
                           .arg(list.expires)
                           .arg(now - list.expires));
    return {};
}

QString KeyListCopyName(std::int64_t version) {
    return QStringLiteral("keys-%1.ini").arg(version);
}

} // namespace modUpdate
