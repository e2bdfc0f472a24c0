#include "publish/CheckStore.h"

#include <QDir>
#include <QTemporaryDir>
#include <tuple>

#include "publish/Store.h"
#include "update/NumberReading.h"
#include "update/Patch.h"

using namespace modUpdate;

namespace publish {

namespace {

// What is wrong with the keys of patch, the patch n.k of entry: a key
// missing, a value malformed, a name that is not the patch's; "" when nothing.
QString PatchKeysProblem(const PublishEntry& entry, const QString& nk, const EntryPatch& patch) {
    QStringList wrong;
    // Each key, its value, and whether that is a SHA-256.
    const std::tuple<const char*, QString, bool> keys[] = {{"PatchBase", patch.base, true},
                                                           {"PatchName", patch.name, false},
                                                           {"PatchSize", patch.size, false},
                                                           {"PatchSha256", patch.sha256, true}};
    for (const auto& [key, value, hash] : keys) {
        if (value.isEmpty())
            wrong << QStringLiteral("%1%2 is missing").arg(QLatin1String(key), nk);
        else if (hash && !IsSha256(value))
            wrong << QStringLiteral("%1%2 \"%3\" is not 64 hex digits")
                         .arg(QLatin1String(key), nk, value);
    }
    if (!patch.size.isEmpty() && ReadDigits(patch.size) <= 0)
        wrong << QStringLiteral("PatchSize%1 \"%2\" is not a number of bytes").arg(nk, patch.size);
    if (!IsSha256(entry.sha256) || ReadDigits(entry.size) <= 0)
        wrong << QStringLiteral("a patch needs the entry's FileSize and FileSha256");
    else if (!patch.name.isEmpty() && IsSha256(patch.base) &&
             patch.name != PatchName(patch.base, entry.sha256))
        wrong << QStringLiteral("PatchName%1 is \"%2\", not \"%3\"")
                     .arg(nk, patch.name, PatchName(patch.base, entry.sha256));
    return wrong.join(QStringLiteral("; "));
}

// Adds to problems what keeps the patch n.k of entry from giving the entry's
// file: its keys, its bytes in patches/ and by-hash/, its base, the file it
// makes (in scratch).
void CheckPatch(const QString& serverDir, bool byHash, const PublishEntry& entry, const QString& nk,
                const EntryPatch& patch, const QTemporaryDir& scratch, QStringList& problems) {
    const QString label = QStringLiteral("%1, patch %2").arg(entry.label, nk);
    if (const QString why = PatchKeysProblem(entry, nk, patch); !why.isEmpty()) {
        problems << label + QStringLiteral(": ") + why;
        return;
    }
    QString sound; // a file with the patch's bytes
    const QString path = PatchPath(serverDir, patch.name);
    if (const QString why = BytesProblem(path, patch.size, patch.sha256); !why.isEmpty())
        problems << QStringLiteral("%1: patches/%2 %3").arg(label, patch.name, why);
    else
        sound = path;
    if (byHash) {
        const QString object = ObjectPath(serverDir, patch.sha256);
        if (const QString why = BytesProblem(object, patch.size, patch.sha256); !why.isEmpty())
            problems << QStringLiteral("%1: its object by-hash/%2 %3")
                            .arg(label, patch.sha256.toLower(), why);
        else if (sound.isEmpty())
            sound = object;
    }
    const QString base = ObjectPath(serverDir, patch.base);
    if (!Exists(base)) {
        if (byHash)
            problems << QStringLiteral("%1: its base by-hash/%2 is missing")
                            .arg(label, patch.base.toLower());
        return;
    }
    if (sound.isEmpty())
        return;
    if (!scratch.isValid()) {
        problems << QStringLiteral("%1: no temporary folder to apply it in").arg(label);
        return;
    }
    if (const Result applied =
            ApplyPatch(base, QString(), sound, scratch.filePath(QStringLiteral("patched")),
                       ReadDigits(entry.size), entry.sha256.toLower());
        !applied)
        problems << QStringLiteral("%1: applied to by-hash/%2 it does not give the file: %3")
                        .arg(label, patch.base.toLower(), applied.why());
}

} // namespace

QStringList StoreProblems(const QString& serverDir, const ServerManifest& manifest) {
    QStringList problems = manifest.unreadPatchKeys;
    const QTemporaryDir scratch;
    for (qsizetype i = 0; i < manifest.entries.size(); ++i) {
        const PublishEntry& entry = manifest.entries[i];
        // An entry without a FileSha256 is fetched by its name; a malformed
        // one is reported with the entry, and so is an object that is the very
        // file of its copy.
        const QString object = ObjectPath(serverDir, entry.sha256);
        if (manifest.byHash && IsSha256(entry.sha256) &&
            !SameFile(object, QDir(serverDir).filePath(entry.name))) {
            const QString size = ReadDigits(entry.size) >= 0 ? entry.size : QString();
            if (const QString why = BytesProblem(object, size, entry.sha256); !why.isEmpty())
                problems << QStringLiteral("%1: its object by-hash/%2 %3")
                                .arg(entry.label, entry.sha256.toLower(), why);
        }
        for (qsizetype k = 0; k < entry.patches.size(); ++k)
            CheckPatch(serverDir, manifest.byHash, entry,
                       QStringLiteral("%1.%2").arg(i + 1).arg(k + 1), entry.patches[k], scratch,
                       problems);
    }
    return problems;
}

} // namespace publish
