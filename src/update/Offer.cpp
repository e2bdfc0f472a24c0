// Fetching and checking what a server offers.
#include "update/Offer.h"

#include "update/Failure.h"
#include "update/Fetch.h"
#include "update/ManifestObject.h"
#include "update/NumberReading.h"
#include "update/Signature.h"

namespace modUpdate {
namespace {

// A manifest may be this long.
constexpr std::int64_t ManifestBytes = 256 << 20;

// A "Release" number of a manifest: -1 when it gives none or, with lenient,
// one that is not a whole number. Throws UpdateFailure for a server manifest
// whose Release is not a whole number.
std::int64_t ReleaseOf(const QString& value, bool lenient) {
    const std::int64_t release = ReadDigits(value);
    if (release >= 0)
        return release;
    if (!value.isEmpty() && !lenient)
        Fail(QStringLiteral("The server's info.ini is broken: its Release (\"%1\") is not a "
                            "whole number.")
                 .arg(value.left(40)),
             ForPlayer::ListBroken());
    return -1;
}

// Refuses a server manifest that can only do harm: one without a Version
// (an error page from a portal, a half-uploaded file), one of an older
// release than the installed one (a replayed old update), or, when updates
// are signed, one without a Release while the installed one has one.
void RefuseManifest(const ProfileSections& server, const ProfileSections& installed,
                    bool signedOnly) {
    const QString version = QStringLiteral("VERSION");
    if (ProfileValue(server, version, QStringLiteral("Version")).isEmpty())
        Fail(QStringLiteral("The server's info.ini is not an update: it has no [VERSION] section "
                            "with a Version. Nothing was changed."),
             ForPlayer::NotAnUpdate());
    const std::int64_t offered =
        ReleaseOf(ProfileValue(server, version, QStringLiteral("Release")), false);
    const std::int64_t current =
        ReleaseOf(ProfileValue(installed, version, QStringLiteral("Release")), true);
    if (offered >= 0 && offered < current)
        Fail(QStringLiteral("The server offers release %1, older than the installed %2. Nothing "
                            "was changed.")
                 .arg(offered)
                 .arg(current),
             ForPlayer::OlderRelease());
    if (offered < 0 && current >= 0 && signedOnly)
        Fail(QStringLiteral("The server's info.ini is refused: it gives no Release, while the "
                            "installed one is release %1. Nothing was changed.")
                 .arg(current),
             ForPlayer::ListBroken());
}

// Checks the server manifest against its signature and the key built in
// (publicKey), before anything is read from the manifest. Throws
// UpdateFailure when the key is broken or the signature is malformed, by
// another key or of other bytes.
void CheckSignature(const QByteArray& manifest, const QByteArray& signature,
                    const QString& publicKey) {
    MinisignPublicKey key;
    if (const Result parsed = ParsePublicKey(publicKey.toLatin1(), key); !parsed)
        Fail(QStringLiteral("The public key built into this updater is broken: %1.")
                 .arg(parsed.why()),
             ForPlayer::BuiltWrongly());
    if (const Result verified = VerifyMinisign(key, manifest, signature); !verified)
        Fail(QStringLiteral("The server's info.ini is refused because its signature does not "
                            "hold: %1. Nothing was changed.")
                 .arg(verified.why()),
             ForPlayer::NotSigned());
}

// Text for a transfer that failed: "Could not download <name>: <problem>."
QString ProblemText(const QString& name, const transfer::Outcome& outcome) {
    return QStringLiteral("Could not download %1: %2.")
        .arg(name, QString::fromStdString(outcome.problem));
}

// Fetches name into manifest (at most limit bytes). Returns false when the
// server gave no answer; throws UpdateFailure when it answered with anything
// but the file.
bool FetchManifestFile(const QString& url, const QString& name, std::int64_t limit,
                       const Settings& settings, QByteArray& bytes, transfer::Outcome& outcome) {
    outcome =
        FetchToMemory(url, name, limit, false, settings.retryPauseMs, 0, settings.answerSeconds);
    if (outcome.kind == transfer::Kind::Unreachable)
        return false;
    if (outcome.kind != transfer::Kind::Done)
        Fail(ProblemText(name, outcome), ForPlayerOf(outcome));
    bytes = QByteArray::fromStdString(outcome.body);
    return true;
}

// Unpacks the compressed manifest the statement names into manifest; throws
// UpdateFailure when it does not hold the bytes the statement gives.
void UnpackStated(const ReleaseStatement& statement, const QByteArray& object,
                  QByteArray& manifest) {
    const auto refuse = [&](const QString& why) {
        Fail(QStringLiteral("The server's %1 is refused: %2, not what release.ini states. Nothing "
                            "was changed.")
                 .arg(statement.object, why),
             ForPlayer::DamagedFile());
    };
    const QString objectSha256 = Sha256Of(object);
    if (object.size() != statement.objectSize || objectSha256 != statement.objectSha256)
        refuse(QStringLiteral("it has %1 bytes with the SHA-256 %2")
                   .arg(object.size())
                   .arg(objectSha256));
    if (const Result unpacked = UnpackManifest(object, statement.manifestSize, manifest); !unpacked)
        refuse(unpacked.why());
    if (const QString sha256 = Sha256Of(manifest); sha256 != statement.manifestSha256)
        refuse(QStringLiteral("it unpacks to bytes with the SHA-256 %1").arg(sha256));
}

} // namespace

std::optional<Offer> FetchOffer(Stated stated, const Installed& installed, const Settings& settings,
                                QString& unanswered, transfer::Outcome& outcome) {
    Offer offer{std::move(stated), false, {}, {}};
    const QString manifestName = QStringLiteral("info.ini");
    if (const std::optional<ReleaseStatement>& statement = offer.stated.statement) {
        if (statement->manifestSha256 == installed.sha256 && !settings.repair) {
            offer.upToDate = true;
            return offer;
        }
        QByteArray object;
        if (!FetchManifestFile(ObjectUrlOf(statement->manifestSha256 + QStringLiteral(".zst")),
                               statement->object, statement->objectSize, settings, object,
                               outcome)) {
            unanswered = statement->object;
            return std::nullopt;
        }
        UnpackStated(*statement, object, offer.manifest);
    } else {
        if (!FetchManifestFile(UrlOf(manifestName), manifestName, ManifestBytes, settings,
                               offer.manifest, outcome)) {
            unanswered = manifestName;
            return std::nullopt;
        }
        if (!settings.publicKey.isEmpty()) {
            const QString name = QStringLiteral("info.ini.minisig");
            outcome = FetchToMemory(UrlOf(name), name, MaxSignatureFileSize, false,
                                    settings.retryPauseMs, 0, settings.answerSeconds);
            if (outcome.kind == transfer::Kind::Unreachable) {
                unanswered = name;
                return std::nullopt;
            }
            if (outcome.kind != transfer::Kind::Done)
                Fail(QStringLiteral("Could not download info.ini.minisig, the signature of the "
                                    "update: %1. This updater installs only signed updates.")
                         .arg(QString::fromStdString(outcome.problem)),
                     outcome.httpStatus == 404 ? ForPlayer::NotSigned() : ForPlayerOf(outcome));
            CheckSignature(offer.manifest, QByteArray::fromStdString(outcome.body),
                           settings.publicKey);
        }
    }
    offer.server = ParseProfile(offer.manifest);
    RefuseManifest(offer.server, installed.sections, !settings.publicKey.isEmpty());
    if (const std::optional<ReleaseStatement>& statement = offer.stated.statement) {
        const QString version = QStringLiteral("VERSION");
        if (ReleaseOf(ProfileValue(offer.server, version, QStringLiteral("Release")), false) !=
                statement->release ||
            ProfileValue(offer.server, version, QStringLiteral("Version")) != statement->version)
            Fail(QStringLiteral(
                     "The server's info.ini is refused: its Release and Version are not "
                     "release %1, version %2, as release.ini states. Nothing was changed.")
                     .arg(QString::number(statement->release), statement->version),
                 ForPlayer::ListBroken());
    }
    return offer;
}

} // namespace modUpdate
