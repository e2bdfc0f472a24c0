#pragma once
// Comparing and copying files for the server folder. Every write goes through
// QSaveFile, so a file is replaced only once all its bytes are written.

#include <QByteArray>
#include <QString>

#include "update/Failure.h"

namespace publish {
// True when the files at a and b hold the same bytes: sizes first, then the
// contents block by block. False when either is missing, not a file, or
// cannot be read.
[[nodiscard]] bool SameBytes(const QString& a, const QString& b);

// What the manifest says of a file's bytes.
struct FileDigest {
    qint64 size = 0;
    QString sha256; // 64 lower-case hex digits
};

// The size and SHA-256 of the file at path. Fails saying why
// the file could not be read.
modUpdate::Result DigestFile(const QString& path, FileDigest& digest);

// Copies the file at source to target. With sha256 given, the bytes read must
// have that SHA-256, or the copy is dropped: source changed since it was
// hashed. Fails saying why; target is then left as
// it was.
modUpdate::Result CopyFileSafely(const QString& source, const QString& target,
                                 const QString& sha256 = QString());

// Writes bytes to the file at target. Fails saying why; target is then left as it was.
modUpdate::Result WriteFileSafely(const QString& target, const QByteArray& bytes);

} // namespace publish
