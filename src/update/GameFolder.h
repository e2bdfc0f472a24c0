#pragma once
// The game folder as the update writes it: folders found level by level
// without following a link that leads outside, files moved into place without
// following a link at the target, and files made durable on their disks.

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <cstdint>

#include "update/Failure.h"

namespace modUpdate {
// The folder `relative` ("\" or "/" separating) below the game folder. A level
// that exists in another letter case is used as it is; a level that is a link
// is used only when it leads to a folder inside the game folder. With create,
// missing levels are made, and each one made is appended to `created`;
// without, the missing levels are appended as named. Throws UpdateFailure when
// a level is a link that leads outside, a file is in the way of a level, or a
// level cannot be made.
[[nodiscard]] QString FindFolder(const QString& relative, bool create,
                                 QStringList* created = nullptr);

// The path of the file `name` (which may hold folders itself) below `folder`,
// found or made as FindFolder does. Throws UpdateFailure as FindFolder does.
[[nodiscard]] QString TargetOf(const QString& folder, const QString& name, bool create,
                               QStringList* created = nullptr);

// Moves the file `from` to `to`, replacing what is at `to` (a link there is
// replaced, never followed). Across file systems the bytes are copied beside
// `to` first and renamed over it.
Result MoveInto(const QString& from, const QString& to);

// Makes every file of paths, and the folders that name them, durable on its
// disk: one flush per file system on Linux, one per file elsewhere.
Result FlushFiles(const QStringList& paths);

// Makes the renames of the files at paths into their folders durable: one
// flush per file system on Linux; nothing on Windows, whose file systems keep
// renames in order.
Result FlushRenames(const QStringList& paths);

// FlushFiles (or, with renames, FlushRenames) on a thread while window events
// run (DoEvents). Throws ExitRequested when the player clicks "Exit" meanwhile.
Result FlushWhileEventsRun(const QStringList& paths, bool renames = false);

// Makes the entries of the folder at path (a rename into it, a new file)
// durable; nothing to do on Windows, whose file systems keep them in order.
Result FlushFolder(const QString& path);

// Writes bytes into a new file at path (a link or file there is replaced,
// never followed) and flushes it to its disk. On failure the file is removed.
Result WriteFlushed(const QString& path, const QByteArray& bytes);

// Gives the ordinary file at `from` the second name `to`: a hard link, or,
// where the disk has none, a whole copy (then *copied is set).
Result KeepUnder(const QString& from, const QString& to, bool* copied = nullptr);

// True when the ordinary file at path has `size` bytes and the SHA-256
// sha256 (lower-case hex). Hashes a slice at a time while window events run.
[[nodiscard]] bool HasBytes(const QString& path, std::int64_t size, const QString& sha256);

// True when the disk of folder takes hard links (tried there). Cannot fail.
[[nodiscard]] bool HardLinksWork(const QString& folder);

} // namespace modUpdate
