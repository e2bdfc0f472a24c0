#pragma once
// Comparing and copying files for the server folder. Every write goes through
// QSaveFile, so a file is replaced only once all its bytes are written.

#include <QByteArray>
#include <QString>

// True when the files at a and b hold the same bytes: sizes first, then the
// contents block by block. False when either is missing, not a file, or
// cannot be read.
bool SameBytes(const QString& a, const QString& b);

// Copies the file at source to target. Returns "" on success, else why it
// failed; target is then left as it was.
QString CopyFileSafely(const QString& source, const QString& target);

// Writes bytes to the file at target. Returns "" on success, else why it
// failed; target is then left as it was.
QString WriteFileSafely(const QString& target, const QByteArray& bytes);
