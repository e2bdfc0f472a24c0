#pragma once
// The publishing tool's stores in the server folder. by-hash/ holds every
// file and patch a manifest names under its SHA-256 and never has an object
// written over, so a cache that serves an older info.ini still finds the very
// bytes it names; patches/ holds the patches under their names;
// .quelmor-publish-manifests/ keeps the last manifests published, so a run
// knows what the releases before it named.

#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>

#include "update/Failure.h"

#include "publish/Names.h"
#include "publish/ServerManifest.h"

namespace publish {
// How many releases (the newest one included) keep what their manifests name.
inline constexpr int KeptReleases = 3;

// True when text is 64 hex digits.
[[nodiscard]] bool IsSha256(const QString& text);

// The path of the object sha256 (either letter case) in serverDir's by-hash/.
[[nodiscard]] QString ObjectPath(const QString& serverDir, const QString& sha256);

// True when anything (a dangling link too) stands at path.
[[nodiscard]] bool Exists(const QString& path);

// The name of the patch from the file base to the file sha256 in patches/:
// "<base>-<sha256>.zst", lower-case.
[[nodiscard]] QString PatchName(const QString& base, const QString& sha256);

// The path of the patch named name in serverDir's patches/.
[[nodiscard]] QString PatchPath(const QString& serverDir, const QString& name);

// Why the file at path does not hold bytes of the size (decimal; "" for any)
// and the SHA-256 given, as the end of a sentence naming the file ("is
// missing", "has 3 bytes, not 4", ...); "" when it does. A link is no file.
[[nodiscard]] QString BytesProblem(const QString& path, const QString& size, const QString& sha256);

// True when the paths a and b lead to the same file (one is a hard link of
// the other). False when either is missing.
[[nodiscard]] bool SameFile(const QString& a, const QString& b);

// Puts the file at source into by-hash/ as the object sha256: a hard link of
// it, or where the file system makes none, a copy checked against sha256. An
// object already there is left as it is; with check, it must then hold the
// bytes of source's size and sha256. Fails saying why not.
modUpdate::Result StoreObject(const QString& serverDir, const QString& source,
                              const QString& sha256, bool check = false);

// A kept copy of a published manifest.
struct KeptManifest {
    qint64 release = 0;
    ServerManifest manifest;
};

// The path of the kept copy of release in serverDir.
[[nodiscard]] QString KeptManifestPath(const QString& serverDir, qint64 release);

// The kept copies in serverDir of the releases below `below`, newest first,
// at most `most` of them. A copy that cannot be read as a manifest is added
// to problems.
QList<KeptManifest> ReadKeptManifests(const QString& serverDir, qint64 below, int most,
                                      QStringList& problems);

// Removes the kept copies other than those of release and of the
// KeptReleases - 1 releases before it. Fails saying why not.
modUpdate::Result PruneKeptManifests(const QString& serverDir, qint64 release);

// What manifests name in by-hash/ (files, patches and the patches' bases)
// and in patches/, lower-case.
struct NamedFiles {
    QSet<QString> objects;
    QSet<QString> patches;
};

// Adds what entries name to named. Cannot fail.
void AddNamedFiles(const QList<PublishEntry>& entries, NamedFiles& named);

// Removes every file of serverDir's by-hash/ and patches/ whose name is that
// of an object or of a patch and that named does not hold; files of other
// names are left alone. Counts them in removed. Returns "" on success, else
// which file could not be removed.
modUpdate::Result RemoveUnnamed(const QString& serverDir, const NamedFiles& named, int& removed);

} // namespace publish
