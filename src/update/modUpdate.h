#pragma once
// The update run: start-up, the comparison of the installed and the server
// file lists, and the per-file pass. One module of procedures sharing the
// state below, which lives for the whole run.

#include <QByteArray>
#include <QString>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "transfer/Transfers.h"

// One file of a manifest. Size (decimal bytes) and SHA-256 (hex) are
// optional; when given, the bytes that arrive are checked against them.
struct FileEntry {
    QString FileName;
    QString FileVersion;
    QString FilePath;
    QString FileSize;
    QString FileSha256;
};

namespace modUpdate {

// How the run reaches the window: the window fills these in when it is
// created, and the run shows everything through them. Unset ones do nothing.
struct WindowHooks {
    std::function<void()> Show;
    std::function<void(const QString&)> SetL2, SetL3, SetPercent, SetVersionText, SetNews;
    std::function<void(bool)> SetContinueEnabled;
};
inline WindowHooks Window;

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
// The server manifest exactly as it arrived; it becomes the installed one.
inline QByteArray ServerManifest;
// Carries every transfer of the run.
inline std::unique_ptr<transfer::Transfers> Inet;

// Set by the "Exit" click; the event pump then ends the run with ExitRequested.
inline std::atomic<bool> ExitClicked{false};
// Why the run could not update although the installed game may be played:
// the server could not be reached or the game folder cannot be written. ""
// otherwise. "Exit" then ends the updater with status 1.
inline QString OfflineReason;

// Seconds without progress before a transfer is given up, and the pause
// before the second try (doubled for each further one). Tests shorten them.
inline int TimeoutSeconds = 60;
inline int RetryPauseMs = 1000;
// Certificates to trust for HTTPS instead of the system's store; tests set it.
inline std::string CaFile;
// The minisign public key the server manifest must be signed with ("" for
// none): built in, or set by tests.
inline QString PublicKey;
// With --repair: every file the manifest gives a hash is checked on disk, and
// a missing or damaged one is fetched again even when the versions are equal.
inline bool RepairMode = false;
// The file name of the updater itself; an entry of that name at the top of
// the game folder replaces the running updater.
inline QString OwnName;

// The base URL built into the program: "http://" + host + ":4444/Quelmor/".
QString ConfiguredServerUrl();
// Lets tests point the updater at a server of their own.
void SetServerUrlForTests(const QString& url);

// The start-up procedure: opens the window, shows the news, fetches the server
// manifest, updates what changed and enables "Continue". When the server
// cannot be reached or the folder cannot be written it says so, sets
// OfflineReason and enables "Continue" all the same. Throws UpdateFailure when
// the run fails and ExitRequested when the player clicks "Exit"; either way
// every transfer is ended and no temporary file is left but kept parts.
void Main();

// Loads both manifests into LocalFiles and ServerFiles and counts ChangedCount.
// Only reads files; never fails.
void LoadFileLists();

// Fetches every new or newer file of ServerFiles into its folder, reporting
// each on the window. While one file is fetched, up to three of the following
// ones may already arrive; they are put in place strictly in order. Throws
// UpdateFailure when an entry would lead outside the application folder
// (before anything is fetched) or a file cannot be fetched or put in place.
void UpdateFiles();

// Fetches ServerUrl + remoteName into localName below the application folder
// (in the sub-folder CurrentFolder when it is set), showing the percentage and
// then "Downloaded <remoteName>!". Does nothing for a blank local name. A
// broken connection or a busy server is tried again up to three times,
// continuing what arrived. The file replaces its target only once it is whole.
// Throws UpdateFailure when the file cannot be fetched or stored.
// The file is checked against size (bytes, -1 when unknown) and sha256 (hex,
// "" when unknown) while it arrives.
void DownloadFile(const QString& remoteName, const QString& localName, std::int64_t size = -1,
                  const QString& sha256 = QString());

// True when version a comes after version b: plain comparison of character
// codes, so "1.9" comes after "1.10" and "a" after "Z".
bool VersionIsGreater(const QString& a, const QString& b);

// Lets all pending window events run once (after sleeping until one arrives
// when asked to); called often, it lets them run every 15 ms or so. Throws
// ExitRequested once the player has clicked "Exit".
void DoEvents(bool waitForEvents = false);

} // namespace modUpdate
