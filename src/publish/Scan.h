#pragma once
// Listing the release folder and the server folder without ever following a
// symbolic link: a link would make the tool read or write outside the folder
// it was given, or see one file twice.

#include <QList>
#include <QString>
#include <QStringList>

namespace publish {
// One file of the release tree.
struct ReleaseFile {
    QString path;   // where it is on disk
    QString name;   // its name
    QString folder; // its folder below the release folder, "/" separators, "" for the top
};

// Every file below releaseDir, sorted by folder, then by name (plain
// character codes), so files of the top folder come first. Adds to problems,
// naming it, every symbolic link (and anything else that is neither a file
// nor a folder: a junction, a device, a pipe), every folder that cannot be
// listed and every file that cannot be read. Files and folders named .git,
// Thumbs.db, desktop.ini or .DS_Store (letter case ignored) are left out and
// added to leftOut ("maps/Thumbs.db", ".git/").
QList<ReleaseFile> ScanRelease(const QString& releaseDir, QStringList& leftOut,
                               QStringList& problems);

// What stops the tool from using serverDir: every symbolic link directly in it
// (named), or the folder itself when it cannot be listed. Empty when it is
// sound or does not exist yet.
[[nodiscard]] QStringList ServerFolderProblemsOnDisk(const QString& serverDir);

// The file's path below the release folder, "/" separators.
[[nodiscard]] QString ReleasePath(const ReleaseFile& file);

} // namespace publish
