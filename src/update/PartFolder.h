#pragma once
// The hidden folder ".quelmor-partial" in the game folder, the updater's own.
// It holds the lock that keeps a second updater out of the game folder, the
// files being fetched (a part file and its record each: a cut part is
// continued by the next try, a whole one waits to be put in place), the files
// an install replaces until it is done, and the list of files already put in
// place for the server release being installed. It is removed when an update
// completes, so it never holds more than the files of one update. Nothing in
// it is ever reached through a link.

#include <QByteArray>
#include <QSet>
#include <QString>
#include <cstdint>

// A cut part of at least this many bytes is kept for the next start.
inline constexpr qint64 KeptPartBytes = 1 << 20;

// The folder, the file that receives the bytes of the file to fetch with
// `key`, and that file's record.
QString PartFolder();
QString PartFileOf(const QString& key);
QString PartRecordOf(const QString& key);

// The key of a file to fetch: its URL, size and SHA-256 hashed together, so
// two files differ in their keys whenever they differ in any of them.
QString PartKeyOf(const QString& url, std::int64_t size, const QString& sha256);

// Makes the folder (a link or a file in its place is removed first, never
// followed) and takes the lock for this run. Returns false when the folder
// cannot be made or locked for want of the right to write. Throws
// AlreadyRunning when another updater holds the lock.
bool OpenPartFolder();

// Makes the folder when it is missing. Throws UpdateFailure when it cannot.
void MakePartFolder();

// Keeps the part of key when it has a record and is whole or holds at least
// KeptPartBytes; otherwise removes the part and its record.
void KeepOrDropPart(const QString& key);

// Removes everything in the folder but the lock, the list of placed files and
// the parts and records of `keys`.
void CleanPartFolder(const QSet<QString>& keys);

// Removes everything in the folder, gives up the lock and removes the folder.
// Cannot fail; leftovers are cleaned by the next start.
void RemovePartFolder();

// Gives up the lock, and removes the folder when nothing else is in it.
// Cannot fail.
void ClosePartFolder();

// Starts the list of files put in place for the server manifest `manifest`:
// the list an earlier run left counts only when it was made for the same bytes.
void OpenPlacedList(const QByteArray& manifest);

// True when key is on the list of files put in place (the file may have
// changed since).
bool IsListed(const QString& key);

// True when the earlier run of the same release put the file at path in
// place as key (and the file still has the size and time it had then).
bool WasPlaced(const QString& key, const QString& path);

// Notes that the file at path was put in place as key (the first note of a
// release starts the list afresh). Errors are ignored: the list only saves time.
void NotePlaced(const QString& key, const QString& path);

// Forgets every file on the list, on disk too: they were taken back.
void ForgetPlaced();
