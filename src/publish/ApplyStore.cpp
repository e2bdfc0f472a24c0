// Writing what a publishing run adds to by-hash/, patches/ and the kept
// manifests, and removing what no kept manifest names any more.
#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>

#include "publish/FileBytes.h"
#include "publish/PublishPlan.h"
#include "publish/Store.h"
#include "update/Patch.h"

using namespace modUpdate;

namespace publish {

namespace {

// bytes as the report gives a size: "812 bytes", "5.1 KiB", "5.1 MiB".
QString SizeText(qint64 bytes) {
    if (bytes < 1024)
        return QStringLiteral("%1 bytes").arg(bytes);
    if (bytes < 1024 * 1024)
        return QStringLiteral("%1 KiB").arg(static_cast<double>(bytes) / 1024, 0, 'f', 1);
    return QStringLiteral("%1 MiB").arg(static_cast<double>(bytes) / (1024 * 1024), 0, 'f', 1);
}

// Makes the patch of job into patches/ and returns it in patch; leaves patch
// empty when it would be larger than half the entry's file. Fails saying why not.
Result MakeOne(const PublishPlan& plan, const PatchJob& job, const PublishEntry& entry,
               EntryPatch& patch) {
    QByteArray bytes;
    if (const Result made =
            MakePatch(ObjectPath(plan.serverDir, job.base),
                      ObjectPath(plan.serverDir, entry.sha256), entry.size.toLongLong() / 2, bytes);
        !made || bytes.isEmpty())
        return made;
    patch = {
        job.base, PatchName(job.base, entry.sha256), QString::number(bytes.size()),
        QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex())};
    const QString path = PatchPath(plan.serverDir, patch.name);
    if (!QDir().mkpath(QFileInfo(path).path()))
        return Result::Failed(
            QStringLiteral("cannot create the folder %1").arg(QFileInfo(path).path()));
    return WriteFileSafely(path, bytes);
}

} // namespace

Result SeedStores(const PublishPlan& plan) {
    const QString manifest = QDir(plan.serverDir).filePath(QString::fromLatin1(ManifestFileName));
    const QString copy = KeptManifestPath(plan.serverDir, plan.oldRelease);
    if (plan.oldRelease >= 0 && !Exists(copy)) {
        if (!QDir().mkpath(QFileInfo(copy).path()))
            return Result::Failed(
                QStringLiteral("cannot create the folder %1").arg(QFileInfo(copy).path()));
        if (const Result done = CopyFileSafely(manifest, copy); !done)
            return done;
    }
    for (const ObjectJob& seed : plan.seeds) {
        if (const Result done = StoreObject(plan.serverDir, seed.source, seed.sha256); !done)
            return done;
    }
    return Result();
}

Result FillStores(const PublishPlan& plan, QList<PublishEntry>& entries, StoreTally& tally) {
    for (const PublishEntry& entry : plan.entries) {
        const QString copy = QDir(plan.serverDir).filePath(entry.name);
        if (const Result done = StoreObject(plan.serverDir, copy, entry.sha256); !done)
            return done;
    }
    for (const PatchJob& job : plan.patches) {
        PublishEntry& entry = entries[job.entry];
        const QString label =
            QStringLiteral("%1 from release %2").arg(entry.label).arg(job.fromRelease);
        EntryPatch patch = job.reuse;
        if (!patch.sha256.isEmpty()) {
            ++tally.reused;
        } else if (const Result done = MakeOne(plan, job, entry, patch); !done) {
            return Result::Failed(
                QStringLiteral("cannot make the patch of %1: %2").arg(label, done.why()));
        } else if (patch.sha256.isEmpty()) {
            tally.notKept << label;
            continue;
        } else {
            tally.made << label + QStringLiteral(": ") + SizeText(patch.size.toLongLong());
        }
        const QString path = PatchPath(plan.serverDir, patch.name);
        if (const Result done = StoreObject(plan.serverDir, path, patch.sha256, true); !done)
            return done;
        entry.patches << patch;
    }
    return Result();
}

Result TidyStores(const PublishPlan& plan, const QByteArray& manifest, StoreTally& tally) {
    const QString copy = KeptManifestPath(plan.serverDir, plan.release);
    if (!QDir().mkpath(QFileInfo(copy).path()))
        return Result::Failed(
            QStringLiteral("cannot create the folder %1").arg(QFileInfo(copy).path()));
    if (const Result done = WriteFileSafely(copy, manifest); !done)
        return done;
    if (const Result done = PruneKeptManifests(plan.serverDir, plan.release); !done)
        return done;
    QStringList problems;
    NamedFiles named;
    for (const KeptManifest& kept :
         ReadKeptManifests(plan.serverDir, plan.release + 1, KeptReleases, problems)) {
        AddNamedFiles(kept.manifest.entries, named);
        // and the compressed copy release.ini names
        FileDigest digest;
        if (const Result read = DigestFile(KeptManifestPath(plan.serverDir, kept.release), digest);
            !read)
            problems << read.why();
        named.objects.insert(digest.sha256 + QStringLiteral(".zst"));
    }
    if (!problems.isEmpty())
        return Result::Failed(
            problems.join(QStringLiteral("; ")) +
            QStringLiteral(", so nothing was removed from by-hash/ and patches/"));
    return RemoveUnnamed(plan.serverDir, named, tally.removed);
}

} // namespace publish
