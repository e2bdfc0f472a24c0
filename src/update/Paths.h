#pragma once
// Where the updater's files live: the application folder (the folder of the
// running executable) and paths below it.

#include <QString>
#include <QStringList>
#include <filesystem>

// The application folder, without a trailing separator.
QString AppFolder();

// Lets tests run the updater against a folder of their own; an empty folder
// goes back to the folder of the executable.
void SetAppFolderForTests(const QString& folder);

// The path of name in the application folder. "\" and "/" inside name both
// count as separators.
QString AppPath(const QString& name);

// The path for the file system library. Cannot fail.
std::filesystem::path ToPath(const QString& path);

// True when path names an ordinary file; a folder of that name counts as missing.
bool FileExists(const QString& path);

// True when path itself is a link: a symbolic link or, on Windows, a junction.
// Looks at the path, never at what it leads to.
bool IsLink(const QString& path);

// True when path is an ordinary file itself, not a link to one.
bool IsPlainFile(const QString& path);

// Removes path when it is a link: the link, never what it leads to. Returns
// false when a link is there and cannot be removed.
bool DropLink(const QString& path);

// The parts of a relative path; "\" and "/" both separate. Empty parts (from
// doubled or outer separators) are kept.
QStringList SplitPath(const QString& relative);

// Removes leading and trailing space characters only; other white space stays.
QString TrimSpaces(const QString& text);

// Removes one "\" or "/" from each end of a folder value, no more.
QString TrimOneSeparator(const QString& folder);

// Why a relative path from a manifest could lead outside the application
// folder (or is unusable as a name on some platform); "" when it is safe.
// Refused: an absolute path or a drive, a "." or ".." part (or one of dots
// only), a part ending in a dot or a blank, a name Windows keeps for a device
// (CON, PRN, AUX, NUL, COM0-9, LPT0-9, CONIN$, CONOUT$, with or without an
// extension), and control characters.
QString UnsafePathReason(const QString& relative);
