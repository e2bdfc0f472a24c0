#include "publish/ReleaseFile.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QSaveFile>

#include "update/ManifestObject.h"

#include "publish/FileBytes.h"
#include "publish/Names.h"
#include "publish/Password.h"
#include "publish/Store.h"

using namespace modUpdate;

namespace publish {
namespace {

constexpr std::int64_t Day = 24 * 3600;

// The bytes of serverDir's file name, at most limit + 1 of them; nothing when
// it is missing. Fails when it is there but cannot be read.
Result ReadServerFile(const QString& serverDir, const char* name, qsizetype limit,
                      std::optional<QByteArray>& bytes) {
    QFile file(QDir(serverDir).filePath(QString::fromLatin1(name)));
    bytes.reset();
    if (!file.exists())
        return Result();
    if (!file.open(QIODevice::ReadOnly))
        return Result::Failed(
            QStringLiteral("%1 cannot be read: %2").arg(file.fileName(), file.errorString()));
    bytes = file.read(limit + 1);
    return Result();
}

// Writes bytes as serverDir's file name in one step. Fails saying why not.
Result PutInPlace(const QString& serverDir, const QString& name, const QByteArray& bytes) {
    QSaveFile file(QDir(serverDir).filePath(name));
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit())
        return Result::Failed(
            QStringLiteral("cannot write %1: %2").arg(file.fileName(), file.errorString()));
    return Result();
}

// Prints the failure of a command and returns 1.
int Stopped(QTextStream& err, const QString& why) {
    err << QStringLiteral("quelmor-publish: refused; nothing was changed: %1\n").arg(why);
    return 1;
}

// The key id of key, as minisign prints it.
QString IdOf(const MinisignPublicKey& key) {
    return KeyIdText(key.keyId);
}

// True when keys holds key.
bool Holds(const std::vector<MinisignPublicKey>& keys, const MinisignPublicKey& key) {
    for (const MinisignPublicKey& known : keys) {
        if (known.keyId == key.keyId && known.key == key.key)
            return true;
    }
    return false;
}

} // namespace

Result LoadSecretKey(const QString& path, QTextStream& err, MinisignSecretKey& key) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return Result::Failed(QStringLiteral("the secret key file %1 cannot be read: %2")
                                  .arg(path, file.errorString()));
    const auto askPassword = [&] {
        return ReadPassword(QStringLiteral("Password for %1: ").arg(path), err);
    };
    if (const Result done = ParseSecretKey(file.read(8192), askPassword, key); !done)
        return Result::Failed(
            QStringLiteral("the secret key %1 cannot be used: %2").arg(path, done.why()));
    return Result();
}

QByteArray SignedText(const QByteArray& text, const MinisignSecretKey* key, const QString& name) {
    if (key == nullptr)
        return text;
    const QByteArray comment = QStringLiteral("timestamp:%1\tfile:%2")
                                   .arg(QString::number(QDateTime::currentSecsSinceEpoch()), name)
                                   .toUtf8();
    return text + SignPrehashed(*key, text, comment);
}

Result StoreManifestObject(const QString& serverDir, const QByteArray& manifest,
                           ReleaseStatement& statement) {
    statement.manifestSize = manifest.size();
    statement.manifestSha256 = Sha256Of(manifest);
    statement.object =
        QStringLiteral("%1/%2.zst").arg(QLatin1String(ObjectFolderName), statement.manifestSha256);
    const QString path = QDir(serverDir).filePath(statement.object);
    QFile kept(path);
    QByteArray object;
    if (kept.open(QIODevice::ReadOnly)) {
        object = kept.readAll(); // an object is never written over
        QByteArray unpacked;
        if (!UnpackManifest(object, manifest.size(), unpacked) || unpacked != manifest)
            return Result::Failed(
                QStringLiteral("%1 is there but does not hold the manifest; remove it").arg(path));
    } else {
        object = CompressManifest(manifest);
        if (!QDir().mkpath(QFileInfo(path).path()))
            return Result::Failed(
                QStringLiteral("cannot create the folder %1").arg(QFileInfo(path).path()));
        if (const Result written = WriteFileSafely(path, object); !written)
            return written;
    }
    statement.objectSize = object.size();
    statement.objectSha256 = Sha256Of(object);
    return Result();
}

Result WriteStatement(const QString& serverDir, ReleaseStatement statement,
                      const MinisignSecretKey* key, int lifetimeDays) {
    statement.signedAt = QDateTime::currentSecsSinceEpoch();
    statement.expires = statement.signedAt + lifetimeDays * Day;
    const QString name = QString::fromLatin1(StatementFileName);
    const QByteArray bytes = SignedText(StatementText(statement), key, name);
    if (bytes.size() > StatementGoal)
        return Result::Failed(QStringLiteral("%1 would be %2 bytes long, more than %3; give a "
                                             "shorter version")
                                  .arg(name)
                                  .arg(bytes.size())
                                  .arg(StatementGoal));
    return PutInPlace(serverDir, name, bytes);
}

std::optional<KeyList> ReadServerKeyList(const QString& serverDir, QStringList& problems) {
    std::optional<QByteArray> bytes;
    if (const Result read = ReadServerFile(serverDir, KeyListFileName, KeyListLimit, bytes);
        !read) {
        problems << read.why();
        return std::nullopt;
    }
    if (!bytes)
        return std::nullopt;
    KeyList list;
    if (const Result read = ReadUnchecked(*bytes, list); !read) {
        problems << QStringLiteral("keys.ini cannot be read: %1").arg(read.why());
        return std::nullopt;
    }
    return list;
}

QStringList StatementProblems(const QString& serverDir, const QByteArray& manifest,
                              const MinisignPublicKey* key, QString& summary) {
    QStringList problems;
    std::optional<QByteArray> bytes;
    if (const Result read = ReadServerFile(serverDir, StatementFileName, StatementLimit, bytes);
        !read)
        return {read.why()};
    if (!bytes)
        return {QStringLiteral("release.ini is missing: every start fetches the whole info.ini, "
                               "and updaters that once read a release.ini refuse the update; "
                               "publish again")};
    // The keys in force: those of the updater, followed through every key list.
    std::optional<KeyList> keys;
    if (key != nullptr) {
        keys = BuiltInKeys({*key});
        const std::optional<KeyList> offered = ReadServerKeyList(serverDir, problems);
        for (std::int64_t v = 1; offered && v <= offered->version && problems.isEmpty(); ++v) {
            const QString name =
                v == offered->version ? QString::fromLatin1(KeyListFileName) : KeyListCopyName(v);
            QFile file(QDir(serverDir).filePath(name));
            KeyList next;
            const Verdict verdict =
                file.open(QIODevice::ReadOnly)
                    ? CheckKeyList(file.read(KeyListLimit + 1), *keys,
                                   v == offered->version ? QDateTime::currentSecsSinceEpoch() : 0,
                                   next)
                    : Verdict{Refusal::Broken, file.errorString()};
            if (!verdict)
                problems << QStringLiteral("%1 is refused: %2").arg(name, verdict.why);
            keys = next;
        }
        if (!problems.isEmpty())
            return problems;
    }
    ReleaseStatement statement;
    if (const Verdict verdict = CheckStatement(*bytes, keys ? &keys->signing : nullptr, nullptr,
                                               QDateTime::currentSecsSinceEpoch(), statement);
        !verdict)
        return {QStringLiteral("release.ini is refused: %1; run quelmor-publish refresh")
                    .arg(verdict.why)};
    QFile object(QDir(serverDir).filePath(statement.object));
    QByteArray unpacked;
    Result found = object.open(QIODevice::ReadOnly)
                       ? Result()
                       : Result::Failed(QStringLiteral("it is missing"));
    const QByteArray packed = found ? object.read(statement.objectSize + 1) : QByteArray();
    if (found &&
        (packed.size() != statement.objectSize || Sha256Of(packed) != statement.objectSha256))
        found = Result::Failed(QStringLiteral("it is not the size and SHA-256 release.ini states"));
    if (found)
        found = UnpackManifest(packed, statement.manifestSize, unpacked);
    if (!found)
        problems << QStringLiteral("%1, the compressed manifest release.ini names: %2")
                        .arg(statement.object, found.why());
    if (statement.manifestSha256 != Sha256Of(manifest) || (found && unpacked != manifest))
        problems << QStringLiteral(
            "release.ini names a manifest other than info.ini; publish again");
    summary =
        QStringLiteral("release.ini states release %1, expires %2")
            .arg(QString::number(statement.release),
                 QDateTime::fromSecsSinceEpoch(statement.expires, Qt::UTC).toString(Qt::ISODate));
    return problems;
}

namespace {

// Signs serverDir's release.ini again by key (none: unsigned), with a new
// signing time and the given lifetime. Returns the exit status.
int Renew(const QString& serverDir, const MinisignSecretKey* key, int lifetimeDays,
          QTextStream& out, QTextStream& err) {
    std::optional<QByteArray> bytes;
    if (const Result read = ReadServerFile(serverDir, StatementFileName, StatementLimit, bytes);
        !read)
        return Stopped(err, read.why());
    if (!bytes)
        return Stopped(err, QStringLiteral("%1 has no release.ini; publish a release first")
                                .arg(QDir::toNativeSeparators(serverDir)));
    ReleaseStatement statement;
    if (const Result read = ReadUnchecked(*bytes, statement); !read)
        return Stopped(err, QStringLiteral("release.ini cannot be read: %1").arg(read.why()));
    const bool wasSigned = bytes->contains("\nuntrusted comment:");
    if (key != nullptr) {
        QStringList problems;
        const std::optional<KeyList> list = ReadServerKeyList(serverDir, problems);
        if (!problems.isEmpty())
            return Stopped(err, problems.join(QStringLiteral("; ")));
        if (list && !Holds(list->signing, PublicKeyOf(*key)))
            return Stopped(err, QStringLiteral("keys.ini does not name key id %1 as a signing key: "
                                               "updaters would refuse what it signs")
                                    .arg(IdOf(PublicKeyOf(*key))));
    } else if (wasSigned) {
        return Stopped(err, QStringLiteral("release.ini is signed; give --sign KEY_FILE"));
    }
    if (const Result written = WriteStatement(serverDir, statement, key, lifetimeDays); !written)
        return Stopped(err, written.why());
    out << QStringLiteral("Renewed release.ini of release %1 (version %2) in %3: it holds %4 "
                          "day(s)%5\n")
               .arg(QString::number(statement.release), statement.version,
                    QDir::toNativeSeparators(serverDir), QString::number(lifetimeDays),
                    key ? QStringLiteral(", signed by key id ") + IdOf(PublicKeyOf(*key))
                        : QString());
    return 0;
}

} // namespace

int Refresh(const QString& serverDir, const QString& keyFile, int lifetimeDays, QTextStream& out,
            QTextStream& err) {
    MinisignSecretKey key;
    if (!keyFile.isEmpty()) {
        if (const Result loaded = LoadSecretKey(keyFile, err, key); !loaded)
            return Stopped(err, loaded.why());
    }
    return Renew(serverDir, keyFile.isEmpty() ? nullptr : &key, lifetimeDays, out, err);
}

int RotateKeys(const KeysRequest& request, QTextStream& out, QTextStream& err) {
    QStringList problems;
    const std::optional<KeyList> old = ReadServerKeyList(request.serverDir, problems);
    if (!problems.isEmpty())
        return Stopped(err, problems.join(QStringLiteral("; ")));
    std::vector<MinisignSecretKey> roots;
    std::vector<MinisignPublicKey> rootPublic;
    for (const QString& file : request.rootKeyFiles) {
        MinisignSecretKey key;
        if (const Result loaded = LoadSecretKey(file, err, key); !loaded)
            return Stopped(err, loaded.why());
        roots.push_back(key);
        rootPublic.push_back(PublicKeyOf(key));
    }
    MinisignSecretKey signing;
    if (const Result loaded = LoadSecretKey(request.signingKeyFile, err, signing); !loaded)
        return Stopped(err, loaded.why());
    // The first list follows the keys built into the updaters: those it is signed with.
    const KeyList trusted = old ? *old : BuiltInKeys(rootPublic);
    KeyList next;
    next.version = trusted.version + 1;
    next.expires = QDateTime::currentSecsSinceEpoch() + DefaultKeyListDays * Day;
    next.signing = {PublicKeyOf(signing)};
    next.roots = trusted.roots;
    if (!request.newRootFiles.isEmpty())
        next.roots.clear();
    for (const QString& file : request.newRootFiles) {
        QFile pub(file);
        MinisignPublicKey key;
        const Result parsed = pub.open(QIODevice::ReadOnly) ? ParsePublicKey(pub.read(8192), key)
                                                            : Result::Failed(pub.errorString());
        if (!parsed)
            return Stopped(
                err,
                QStringLiteral("the public key %1 cannot be used: %2").arg(file, parsed.why()));
        next.roots.push_back(key);
    }
    next.threshold = request.threshold > 0
                         ? request.threshold
                         : std::min<int>(trusted.threshold, static_cast<int>(next.roots.size()));
    const QByteArray text = KeyListText(next);
    QByteArray bytes = text;
    for (const MinisignSecretKey& root : roots)
        bytes = bytes +
                SignedText(text, &root, QString::fromLatin1(KeyListFileName)).sliced(text.size());
    // Checked the way every updater that trusts the list before will check it.
    KeyList checked;
    if (const Verdict verdict =
            CheckKeyList(bytes, trusted, QDateTime::currentSecsSinceEpoch(), checked);
        !verdict)
        return Stopped(err,
                       QStringLiteral("the new keys.ini would be refused: %1").arg(verdict.why));
    std::optional<QByteArray> statementBytes;
    if (const Result read =
            ReadServerFile(request.serverDir, StatementFileName, StatementLimit, statementBytes);
        !read)
        return Stopped(err, read.why());
    // The copy first: an updater that finds keys.ini may need every version before it.
    for (const QString& name :
         {KeyListCopyName(next.version), QString::fromLatin1(KeyListFileName)}) {
        if (const Result written = PutInPlace(request.serverDir, name, bytes); !written)
            return Stopped(err, written.why());
    }
    out << QStringLiteral("Wrote keys.ini version %1 to %2: signing key id %3, %4 root key(s), "
                          "%5 needed for the next list\n")
               .arg(QString::number(next.version), QDir::toNativeSeparators(request.serverDir),
                    IdOf(next.signing.front()), QString::number(next.roots.size()),
                    QString::number(next.threshold));
    if (!statementBytes)
        return 0;
    return Renew(request.serverDir, &signing, DefaultLifetimeDays, out, err);
}

} // namespace publish
