#pragma once
// The hidden folder ".quelmor-partial" in the game folder. It holds the files
// being fetched, the parts of cut transfers kept for the next try (with the
// record that says how to continue each), and the list of files already put
// in place for the server release being installed. It is removed when an
// update completes, so it never holds more than the files of one update.

#include <QByteArray>
#include <QString>

// A part of at least this many bytes is kept when its transfer is cut off.
inline constexpr qint64 KeptPartBytes = 1 << 20;

// The folder, the file that receives url's body and that file's record.
QString PartFolder();
QString PartFileOf(const QString& url);
QString PartRecordOf(const QString& url);

// Makes the folder. Throws UpdateFailure when it cannot be made.
void MakePartFolder();

// Keeps the part of url when at least KeptPartBytes arrived and its record
// says how to continue it; otherwise removes the part and its record.
void KeepOrDropPart(const QString& url);

// Removes what an earlier run left in the folder that cannot be continued:
// parts below KeptPartBytes, parts without a record and records without a part.
void CleanPartFolder();

// Removes the folder with everything in it. Cannot fail; leftovers are
// cleaned by the next start.
void RemovePartFolder();

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
