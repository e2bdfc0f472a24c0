#pragma once
// The game folder as the update writes it: folders found level by level
// without following a link that leads outside, files moved into place without
// following a link at the target, and files made durable on their disks.

#include <QString>
#include <QStringList>

// The folder `relative` ("\" or "/" separating) below the game folder. A level
// that exists in another letter case is used as it is; a level that is a link
// is used only when it leads to a folder inside the game folder. With create,
// missing levels are made, and each one made is appended to `created`;
// without, the missing levels are appended as named. Throws UpdateFailure when
// a level is a link that leads outside, a file is in the way of a level, or a
// level cannot be made.
QString FindFolder(const QString& relative, bool create, QStringList* created = nullptr);

// The path of the file `name` (which may hold folders itself) below `folder`,
// found or made as FindFolder does. Throws UpdateFailure as FindFolder does.
QString TargetOf(const QString& folder, const QString& name, bool create,
                 QStringList* created = nullptr);

// Moves the file `from` to `to`, replacing what is at `to` (a link there is
// replaced, never followed). Across file systems the bytes are copied beside
// `to` first and renamed over it. Returns "" on success, else why it failed.
QString MoveInto(const QString& from, const QString& to);

// Copies the file `from` to `to` the same way, through a copy in the part
// folder. Returns "" on success, else why it failed.
QString CopyInto(const QString& from, const QString& to);

// Makes every file of paths, and the folders that name them, durable on its
// disk: one flush per file system on Linux, one per file elsewhere. Returns ""
// on success, else why it failed.
QString FlushFiles(const QStringList& paths);
