#pragma once
// The update run: start-up, the comparison of the installed and the server
// file lists, and the per-file pass. One module of procedures sharing the
// state below, which lives for the whole run.

#include <QString>
#include <cstdint>
#include <vector>

// One file of a manifest.
struct FileEntry {
    QString FileName;
    QString FileVersion;
    QString FilePath;
};

namespace modUpdate {

// Base URL of the update server, ending with "/"; empty when none was built in.
inline QString ServerUrl;
// "Version" of the installed manifest; after a detected update, the server's.
inline QString InstalledVersion;
// "Version" of the server manifest.
inline QString ServerVersion;
// "Max" of the server manifest: the number of entries of both lists.
inline std::int32_t FileCount = 0;
// Installed and server file lists, matched by position. Entry i (1 to
// FileCount) is at index i; index 0 is unused.
inline std::vector<FileEntry> LocalFiles;
inline std::vector<FileEntry> ServerFiles;
// Number of entries whose server version is greater than the installed one.
inline std::int32_t ChangedCount = 0;
// Running number of the file being fetched.
inline std::int32_t UpdateNumber = 0;
// Target sub-folder of the transfer in progress; empty for the application folder.
inline QString CurrentFolder;

// The base URL built into the program: "http://" + host + ":4444/Quelmor/".
QString ConfiguredServerUrl();
// Lets tests point the updater at a server of their own.
void SetServerUrlForTests(const QString& url);

// The start-up procedure: opens the window, shows the news, fetches the server
// manifest, updates what changed and enables "Continue". Throws UpdateFailure
// when the run fails and ExitRequested when the player clicks "Exit".
void Main();

// Loads both manifests into LocalFiles and ServerFiles and counts ChangedCount.
// Only reads files; never fails.
void LoadFileLists();

// Fetches every new or newer file of ServerFiles into its folder, reporting
// each on the window. Throws UpdateFailure when a file cannot be fetched or an
// entry would lead outside the application folder.
void UpdateFiles();

// True when version a comes after version b: plain comparison of character
// codes, so "1.9" comes after "1.10" and "a" after "Z".
bool VersionIsGreater(const QString& a, const QString& b);

} // namespace modUpdate
