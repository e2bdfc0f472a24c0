#pragma once
// Where the updater's files live: the application folder (the folder of the
// running executable) and paths below it.

#include <QString>
#include <QStringList>
#include <cstdint>
#include <filesystem>

namespace modUpdate {
// The application folder, without a trailing separator.
[[nodiscard]] QString AppFolder();

// Lets tests run the updater against a folder of their own; an empty folder
// goes back to the folder of the executable.
void SetAppFolderForTests(const QString& folder);

// The path of name in the application folder. "\" and "/" inside name both
// count as separators.
[[nodiscard]] QString AppPath(const QString& name);

// Where the running updater (its file named ownName) is moved when a new one
// takes its place on Windows; the next start removes it.
[[nodiscard]] QString OldUpdaterPath(const QString& ownName);

// The path for the file system library. Cannot fail.
std::filesystem::path ToPath(const QString& path);

// True when path names an ordinary file; a folder of that name counts as missing.
[[nodiscard]] bool FileExists(const QString& path);

// True when path itself is a link: a symbolic link or, on Windows, a junction.
// Looks at the path, never at what it leads to.
[[nodiscard]] bool IsLink(const QString& path);

// True when path is an ordinary file itself, not a link to one.
[[nodiscard]] bool IsPlainFile(const QString& path);

// The ordinary file at path opened without following a link there, as a
// native handle (a file descriptor; a HANDLE on Windows), with its identity in
// id: its disk, its number there and the time its bytes last changed, which a
// rename, a second name or new permissions keep, and a file written anew in
// its place does not. With forReading its bytes may be read, else only its
// identity. Returns -1 (id "") when path is missing, a link, or no ordinary
// file, or cannot be opened.
std::intptr_t OpenUnfollowed(const QString& path, bool forReading, QString& id);

// Closes a handle OpenUnfollowed returned. Cannot fail.
void CloseUnfollowed(std::intptr_t handle);

// The identity of the ordinary file at path (OpenUnfollowed); "" when there is none.
// Two paths with one identity name the same file; a rename keeps it.
[[nodiscard]] QString FileIdOf(const QString& path);

// Removes path when it is a link: the link, never what it leads to. Returns
// false when a link is there and cannot be removed.
[[nodiscard]] bool DropLink(const QString& path);

// The parts of a relative path; "\" and "/" both separate. Empty parts (from
// doubled or outer separators) are kept.
[[nodiscard]] QStringList SplitPath(const QString& relative);

// Removes leading and trailing space characters only; other white space stays.
[[nodiscard]] QString TrimSpaces(const QString& text);

// Removes one "\" or "/" from each end of a folder value, no more.
[[nodiscard]] QString TrimOneSeparator(const QString& folder);

// Why a relative path from a manifest could lead outside the application
// folder (or is unusable as a name on some platform); "" when it is safe.
// Refused: an absolute path or a drive, a "." or ".." part (or one of dots
// only), a part ending in a dot or a blank, a name Windows keeps for a device
// (CON, PRN, AUX, NUL, COM0-9, LPT0-9 and COM or LPT with a superscript
// digit, CONIN$, CONOUT$, with or without an extension), the characters
// Windows does not allow in names (< > : " | ? *), and control characters.
[[nodiscard]] QString UnsafePathReason(const QString& relative);

} // namespace modUpdate
