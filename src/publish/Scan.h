#pragma once
// The game files of a release folder.

#include <QList>
#include <QString>
#include <QStringList>

// One file of the release tree.
struct ReleaseFile {
    QString path;   // where it is on disk
    QString name;   // its name
    QString folder; // its folder below the release folder, "/" separators, "" for the top
};

// Every file below releaseDir, sorted by folder, then by name (plain
// character codes), so files of the top folder come first. Links to files
// count as files. Adds to problems every entry that cannot be published as a
// file (a link to a folder, a broken link, a device or pipe) and every file
// that cannot be read.
QList<ReleaseFile> ScanRelease(const QString& releaseDir, QStringList& problems);

// The file's path below the release folder, "/" separators.
QString ReleasePath(const ReleaseFile& file);
