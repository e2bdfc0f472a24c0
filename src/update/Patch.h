#pragma once
// Patches between two versions of a large file: a zstd frame compressed with
// the old file as its referenced prefix (what "zstd --patch-from" makes), so
// only what changed travels. The publisher makes them; the updater applies
// them into the staged file and checks the result.

#include <QString>
#include <cstdint>

#include "update/Failure.h"

namespace modUpdate {
// Files from this size on get patches (smaller ones are cheap to fetch whole).
inline constexpr std::int64_t SmallestPatchedFile = std::int64_t(1) << 20;
// Neither file of a patch may reach this size: zstd refers back 2 GiB at most.
inline constexpr std::int64_t PatchedFileLimit = std::int64_t(1) << 31;

// Makes the patch that turns the file at basePath into the file at newPath
// into patch, when it holds at most `most` bytes; with a larger one, patch
// is left empty. Fails when no patch could be made (a file that cannot be
// read, one at or above PatchedFileLimit, zstd's own refusal). Both files are
// mapped, not read into memory.
Result MakePatch(const QString& basePath, const QString& newPath, std::int64_t most,
                 QByteArray& patch);

// Applies the patch at patchPath to the file at basePath into outPath
// (created or replaced), in one decompression call into the mapped output, so
// no window buffer is held; then checks that the result has `size` bytes and
// the SHA-256 sha256 (lower-case hex). The base is opened without following a
// link, and with a baseId only when it is still that file (FileIdOf); the
// output has its room taken on the disk before it is mapped, so a full disk
// is a failure like any other. Fails (a file that cannot be read or written,
// a damaged patch or one for another base, a wrong result) with outPath
// removed.
Result ApplyPatch(const QString& basePath, const QString& baseId, const QString& patchPath,
                  const QString& outPath, std::int64_t size, const QString& sha256);

} // namespace modUpdate
