#pragma once
// Checking what the manifest of a server folder names in by-hash/ and
// patches/ the way the updater will use it.

#include <QString>
#include <QStringList>

#include "publish/ServerManifest.h"

namespace publish {
// Every problem of the objects and patches manifest (read from serverDir)
// names, one message each: patch keys the updater never reads; with ByHash=1,
// an entry whose object by-hash/<FileSha256> is missing or lacks the entry's
// size and SHA-256; a patch with a key missing or malformed or a name other
// than "<PatchBase>-<FileSha256>.zst", whose patches/<name> (and, with
// ByHash=1, by-hash/<PatchSha256>) lacks its size and SHA-256, or which,
// applied to by-hash/<PatchBase>, does not give the entry's size and SHA-256.
[[nodiscard]] QStringList StoreProblems(const QString& serverDir, const ServerManifest& manifest);

} // namespace publish
