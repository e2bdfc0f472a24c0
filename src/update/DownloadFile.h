#pragma once
// Putting fetched files in their place in the game folder: the target paths,
// the one flush before the manifest names them, and the updater replacing
// itself.

#include <QString>

// The path a file goes to: name below folder (both as the manifest gives
// them, "\\" or "/" separating) in the application folder; a folder level that
// exists in another letter case is used as it is. With create, missing levels
// are made (throws UpdateFailure when one cannot be); without, "" when a level
// is missing.
QString TargetOf(const QString& folder, const QString& name, bool create);

// The name under which the list of placed files knows a file.
QString PlacedKeyOf(const QString& folder, const QString& name);

// Flushes every file this run put in place to the disk, at once.
void FlushPlacedFiles();

// Where the running updater is moved when a new one takes its place; the
// next start removes it.
QString OldUpdaterPath();
