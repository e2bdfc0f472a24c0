#include "publish/Store.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <algorithm>
#include <filesystem>
#include <system_error>

#include "publish/FileBytes.h"
#include "update/Paths.h"

using namespace modUpdate;

namespace publish {

namespace {

// The folder named name in serverDir.
QString Folder(const QString& serverDir, const char* name) {
    return QDir(serverDir).filePath(QString::fromLatin1(name));
}

// The releases of the kept copies in serverDir, newest first. Cannot fail:
// a folder that cannot be listed has none.
QList<qint64> KeptReleasesOnDisk(const QString& serverDir) {
    static const QRegularExpression copyName(QStringLiteral("^([0-9]{1,10})\\.ini$"));
    QList<qint64> releases;
    const QDir copies(Folder(serverDir, ManifestCopiesFolderName));
    for (const QString& name : copies.entryList(QDir::Files | QDir::Hidden)) {
        if (const QRegularExpressionMatch match = copyName.match(name); match.hasMatch())
            releases << match.captured(1).toLongLong();
    }
    std::sort(releases.begin(), releases.end(), std::greater<>());
    return releases;
}

} // namespace

bool IsSha256(const QString& text) {
    static const QRegularExpression hex(QStringLiteral("^[0-9a-fA-F]{64}$"));
    return hex.match(text).hasMatch();
}

QString ObjectPath(const QString& serverDir, const QString& sha256) {
    return QDir(Folder(serverDir, ObjectFolderName)).filePath(sha256.toLower());
}

bool Exists(const QString& path) {
    const QFileInfo info(path);
    return info.exists() || info.isSymLink();
}

QString PatchName(const QString& base, const QString& sha256) {
    return base.toLower() + u'-' + sha256.toLower() + QStringLiteral(".zst");
}

QString PatchPath(const QString& serverDir, const QString& name) {
    return QDir(Folder(serverDir, PatchFolderName)).filePath(name);
}

QString BytesProblem(const QString& path, const QString& size, const QString& sha256) {
    const QFileInfo info(path);
    if (!Exists(path))
        return QStringLiteral("is missing");
    if (info.isSymLink() || !info.isFile())
        return QStringLiteral("is not a file");
    if (!size.isEmpty() && QString::number(info.size()) != size)
        return QStringLiteral("has %1 bytes, not %2").arg(QString::number(info.size()), size);
    FileDigest digest;
    if (const Result failure = DigestFile(path, digest); !failure)
        return QStringLiteral("cannot be read (%1)").arg(failure.why());
    if (digest.sha256 != sha256.toLower())
        return QStringLiteral("has the SHA-256 %1, not %2").arg(digest.sha256, sha256.toLower());
    return QString();
}

bool SameFile(const QString& a, const QString& b) {
    std::error_code error;
    return std::filesystem::equivalent(ToPath(a), ToPath(b), error) && !error;
}

Result StoreObject(const QString& serverDir, const QString& source, const QString& sha256,
                   bool check) {
    const QString object = ObjectPath(serverDir, sha256);
    if (Exists(object)) {
        if (!check)
            return Result();
        const QString why = BytesProblem(object, QString::number(QFileInfo(source).size()), sha256);
        if (why.isEmpty())
            return Result();
        return Result::Failed(QStringLiteral("%1 %2; it is never replaced: remove it by hand and "
                                             "publish again")
                                  .arg(object, why));
    }
    if (!QDir().mkpath(QFileInfo(object).path()))
        return Result::Failed(
            QStringLiteral("cannot create the folder %1").arg(QFileInfo(object).path()));
    std::error_code error;
    std::filesystem::create_hard_link(ToPath(source), ToPath(object), error);
    if (!error)
        return Result();
    return CopyFileSafely(source, object, sha256.toLower());
}

QString KeptManifestPath(const QString& serverDir, qint64 release) {
    return QDir(Folder(serverDir, ManifestCopiesFolderName))
        .filePath(QString::number(release) + QStringLiteral(".ini"));
}

QList<KeptManifest> ReadKeptManifests(const QString& serverDir, qint64 below, int most,
                                      QStringList& problems) {
    QList<KeptManifest> kept;
    for (const qint64 release : KeptReleasesOnDisk(serverDir)) {
        if (release >= below)
            continue;
        if (kept.size() == most)
            break;
        const QString path = KeptManifestPath(serverDir, release);
        KeptManifest copy{release, ReadManifestFile(path)};
        for (const QString& problem : copy.manifest.problems)
            problems << QStringLiteral("the kept manifest %1 must be mended or removed: %2")
                            .arg(path, problem);
        kept << copy;
    }
    return kept;
}

Result PruneKeptManifests(const QString& serverDir, qint64 release) {
    int before = 0; // the copies kept of releases before release
    for (const qint64 kept : KeptReleasesOnDisk(serverDir)) {
        if (kept == release || (kept < release && before++ < KeptReleases - 1))
            continue;
        if (const QString path = KeptManifestPath(serverDir, kept); !QFile::remove(path))
            return Result::Failed(QStringLiteral("cannot remove %1").arg(path));
    }
    return Result();
}

void AddNamedFiles(const QList<PublishEntry>& entries, NamedFiles& named) {
    for (const PublishEntry& entry : entries) {
        named.objects.insert(entry.sha256.toLower());
        for (const EntryPatch& patch : entry.patches) {
            named.objects.insert(patch.base.toLower());
            named.objects.insert(patch.sha256.toLower());
            named.patches.insert(patch.name.toLower());
        }
    }
}

Result RemoveUnnamed(const QString& serverDir, const NamedFiles& named, int& removed) {
    static const QRegularExpression objectName(QStringLiteral("^[0-9a-f]{64}(\\.zst)?$"));
    static const QRegularExpression patchName(QStringLiteral("^[0-9a-f]{64}-[0-9a-f]{64}\\.zst$"));
    const std::tuple<const char*, const QRegularExpression*, const QSet<QString>*> stores[] = {
        {ObjectFolderName, &objectName, &named.objects},
        {PatchFolderName, &patchName, &named.patches}};
    for (const auto& [folder, form, keep] : stores) {
        const QDir dir(Folder(serverDir, folder));
        for (const QString& name : dir.entryList(QDir::Files | QDir::Hidden | QDir::System)) {
            if (!form->match(name).hasMatch() || keep->contains(name))
                continue;
            if (!QFile::remove(dir.filePath(name)))
                return Result::Failed(QStringLiteral("cannot remove %1").arg(dir.filePath(name)));
            ++removed;
        }
    }
    return Result();
}

} // namespace publish
