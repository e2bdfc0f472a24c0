#pragma once
// The hidden folder ".quelmor-partial" in the game folder, the updater's own.
// It holds the lock that keeps a second updater out of the game folder, the
// files being fetched (a part file and its record each: a cut part is
// continued by the next try, a whole one waits to be put in place), and,
// while an install runs, its journal and the files it replaces. It is removed
// when an update completes, so it never holds more than the files of one
// update. Nothing in it is ever reached through a link.

#include <QSet>
#include <QString>
#include <cstdint>

#include "update/Lock.h"

namespace modUpdate {
// A cut part of at least this many bytes is kept for the next start.
inline constexpr qint64 KeptPartBytes = 1 << 20;

// The folder, the file that receives the bytes of the file to fetch with
// `key`, and that file's record.
[[nodiscard]] QString PartFolder();
[[nodiscard]] QString PartFileOf(const QString& key);
[[nodiscard]] QString PartRecordOf(const QString& key);

// The key of a file to fetch: its URL, size and SHA-256 hashed together, so
// two files differ in their keys whenever they differ in any of them.
[[nodiscard]] QString PartKeyOf(const QString& url, std::int64_t size, const QString& sha256);

// Makes the folder (a link or a file in its place is removed first, never
// followed) and takes the lock for this run into lock: Taken, Held by another
// updater, or Failed (why says why: no right to write, a full disk). Never throws.
[[nodiscard]] Locking OpenPartFolder(HeldLock& lock, QString& why);

// Makes the folder when it is missing. Throws UpdateFailure when it cannot.
void MakePartFolder();

// Keeps the part of key when it has a record and is whole or holds at least
// KeptPartBytes; otherwise removes the part and its record.
void KeepOrDropPart(const QString& key);

// Removes everything in the folder but the lock and the parts and records of
// `keys`.
void CleanPartFolder(const QSet<QString>& keys);

// Removes everything in the folder, gives up lock and removes the folder.
// Cannot fail; leftovers are cleaned by the next start.
void RemovePartFolder(HeldLock& lock);

// Gives up lock, and removes the folder when nothing else is in it.
// Cannot fail.
void ClosePartFolder(HeldLock& lock);

} // namespace modUpdate
