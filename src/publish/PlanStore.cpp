// Working out what a publishing run adds to by-hash/ and patches/: the
// objects of the manifest published before, taken from its copies before any
// copy is replaced; a check of every object the new manifest names that is
// there already; and the patches to make or to take from an earlier run.
#include <QDir>
#include <QFileInfo>
#include <QHash>

#include "publish/PublishPlan.h"
#include "publish/Store.h"
#include "update/NumberReading.h"
#include "update/Patch.h"

using namespace modUpdate;

namespace publish {

namespace {

// Adds a seed for every entry of previous without an object whose copy in
// the server folder has the entry's size and SHA-256. Cannot fail: a copy
// that cannot be read gets no object.
void PlanSeeds(const ServerManifest& previous, PublishPlan& plan) {
    QSet<QString> seeded;
    for (const PublishEntry& entry : previous.entries) {
        const QString sha256 = entry.sha256.toLower();
        if (!IsSha256(sha256) || entry.size.isEmpty() || seeded.contains(sha256) ||
            Exists(ObjectPath(plan.serverDir, sha256)))
            continue;
        const QString copy = QDir(plan.serverDir).filePath(entry.name);
        if (BytesProblem(copy, entry.size, sha256).isEmpty()) {
            plan.seeds.append({copy, sha256});
            seeded.insert(sha256);
        }
    }
}

// Adds to problems every object the new manifest names that is there with
// other bytes. An object that is the very copy the plan keeps, which was
// compared with the release, is not read again.
void CheckEntryObjects(const PublishPlan& plan, QStringList& problems) {
    QSet<QString> copied, checked;
    for (const CopyJob& copy : plan.copies)
        copied.insert(copy.target);
    for (const PublishEntry& entry : plan.entries) {
        const QString object = ObjectPath(plan.serverDir, entry.sha256);
        const QString copy = QDir(plan.serverDir).filePath(entry.name);
        if (checked.contains(object) || !Exists(object) ||
            (!copied.contains(copy) && SameFile(object, copy)))
            continue;
        checked.insert(object);
        if (const QString why = BytesProblem(object, entry.size, entry.sha256); !why.isEmpty())
            problems << QStringLiteral("%1: its object %2 %3; an object is never replaced: "
                                       "remove it by hand and publish again")
                            .arg(entry.label, object, why);
    }
}

// What the patches are planned from: the manifests of the releases before
// the new one, newest first, each with its entries by folded name, and every
// patch they name by its lower-case name.
struct Older {
    QList<KeptManifest> manifests;
    QList<QHash<QString, qsizetype>> byName;
    QHash<QString, EntryPatch> patches;
    QHash<QString, QString> seeds; // SHA-256 -> the copy its object is made from
};

// Plans the patch of job for the entry with SHA-256 sha256, when its base is
// in by-hash/ or is made there by a seed: the patch of that name that
// patches/ holds, when an older manifest gives its bytes; else a new one,
// when neither file reaches PatchedFileLimit. A base or patch object with
// other bytes than its name says is added to problems.
void PlanPatch(PatchJob job, const QString& sha256, const Older& older, PublishPlan& plan,
               QStringList& problems) {
    const QString base = ObjectPath(plan.serverDir, job.base);
    const QString seed = older.seeds.value(job.base);
    if (seed.isEmpty() && !Exists(base))
        return;
    const QString name = PatchName(job.base, sha256);
    const EntryPatch made = older.patches.value(name);
    if (IsSha256(made.sha256) &&
        BytesProblem(PatchPath(plan.serverDir, name), made.size, made.sha256).isEmpty()) {
        job.reuse = {job.base, name, made.size, made.sha256.toLower()};
        const QString object = ObjectPath(plan.serverDir, made.sha256);
        if (const QString why =
                Exists(object) ? BytesProblem(object, made.size, made.sha256) : QString();
            !why.isEmpty())
            problems << QStringLiteral("the object %1 of the patch %2 %3; an object is never "
                                       "replaced: remove it by hand and publish again")
                            .arg(object, name, why);
        plan.patches << job;
        return;
    }
    if (QFileInfo(seed.isEmpty() ? base : seed).size() >= PatchedFileLimit)
        return;
    if (seed.isEmpty()) {
        if (const QString why = BytesProblem(base, QString(), job.base); !why.isEmpty()) {
            problems << QStringLiteral("the object %1, the base of a patch, %2; an object is "
                                       "never replaced: remove it by hand and publish again")
                            .arg(base, why);
            return;
        }
    }
    plan.patches << job;
}

// Plans the patches of every entry of at least SmallestPatchedFile and below
// PatchedFileLimit: one from each other SHA-256 the entry of the same name
// had in the older manifests, newest first.
void PlanPatches(const Older& older, PublishPlan& plan, QStringList& problems) {
    for (qsizetype i = 0; i < plan.entries.size(); ++i) {
        const PublishEntry& entry = plan.entries[i];
        const qint64 size = ReadDigits(entry.size);
        if (size < SmallestPatchedFile || size >= PatchedFileLimit)
            continue;
        QSet<QString> bases = {entry.sha256.toLower()};
        for (qsizetype m = 0; m < older.manifests.size(); ++m) {
            const ServerManifest& manifest = older.manifests[m].manifest;
            const auto was = older.byName[m].constFind(FoldName(entry.name));
            if (was == older.byName[m].constEnd())
                continue;
            const QString base = manifest.entries[*was].sha256.toLower();
            if (!IsSha256(base) || bases.contains(base))
                continue;
            bases.insert(base);
            PlanPatch({i, base, older.manifests[m].release}, entry.sha256.toLower(), older, plan,
                      problems);
        }
    }
}

} // namespace

void PlanStore(const ServerManifest& previous, PublishPlan& plan, QStringList& problems) {
    for (const char* folder : {ObjectFolderName, PatchFolderName, ManifestCopiesFolderName}) {
        const QFileInfo info(QDir(plan.serverDir).filePath(QString::fromLatin1(folder)));
        if (Exists(info.filePath()) && (info.isSymLink() || !info.isDir()))
            problems << QStringLiteral("%1 is in the way on the server: it is not a folder")
                            .arg(info.filePath());
    }
    if (!problems.isEmpty())
        return;
    plan.oldRelease = previous.found ? previous.release : -1;
    Older older;
    if (previous.found) {
        older.manifests << KeptManifest{previous.release, previous};
        older.manifests +=
            ReadKeptManifests(plan.serverDir, previous.release, KeptReleases - 1, problems);
    }
    for (const KeptManifest& kept : older.manifests) {
        QHash<QString, qsizetype> byName;
        for (qsizetype i = 0; i < kept.manifest.entries.size(); ++i) {
            const PublishEntry& entry = kept.manifest.entries[i];
            byName.insert(FoldName(entry.name), i);
            for (const EntryPatch& patch : entry.patches) // the newest record wins
                if (!older.patches.contains(patch.name.toLower()))
                    older.patches.insert(patch.name.toLower(), patch);
        }
        older.byName << byName;
    }
    PlanSeeds(previous, plan);
    for (const ObjectJob& seed : plan.seeds)
        older.seeds.insert(seed.sha256, seed.source);
    CheckEntryObjects(plan, problems);
    PlanPatches(older, plan, problems);
}

} // namespace publish
