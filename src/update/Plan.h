#pragma once
// The update plan: everything the run will do to the game folder, decided
// once from the checked bytes of the server manifest and the installed one,
// before anything in the game folder is read or written. Every refusal and
// every bound is settled here; the pass and the install only carry it out.

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <vector>

#include "update/Fetch.h"
#include "update/Profile.h"
#include "update/Settings.h"

namespace modUpdate {
struct FolderView;
struct PlaceView;

// One file of a manifest. Size (decimal bytes) and SHA-256 (hex) are
// optional; when given, the bytes that arrive are checked against them.
struct FileEntry {
    QString FileName;
    QString FileVersion;
    QString FilePath;
    QString FileSize;
    QString FileSha256;
};

// A patch the server offers for the file of an entry: it makes the file
// from an earlier version of it, the base.
struct PatchOffer {
    QString base;          // SHA-256 of the base, lower-case hex
    QString name;          // its name in the server's patches/ folder
    std::int64_t size = 0; // bytes
    QString sha256;        // lower-case hex
};

// What the pass does with one entry.
enum class Step { Nothing, UpToDate, NewFile, NewerFile };

// One entry of the server manifest, as the update treats it.
struct PlannedEntry {
    std::int32_t number = 0; // its number in the manifest
    // More than 1 for a run of numbers that neither manifest mentions: they
    // all look alike, and the pass shows them once, as the last of them.
    std::int32_t count = 1;
    FileEntry server, local; // the entries with this number in both manifests
    Step step = Step::Nothing;
    // Fetched and put in place: where it goes (folder and name as the
    // manifest gives them, blanks and one separator at each end of the folder
    // dropped) and which transfer brings its bytes (an index into
    // UpdatePlan::files); -1 for an entry that is not.
    QString folder, name;
    int file = -1;
    // What the server entry gives of its file: size (-1 for none) and
    // SHA-256 in lower-case hex ("" for none).
    std::int64_t size = -1;
    QString sha256;
    // The patches the server offers for a newer file of a known size and
    // SHA-256 (at most three), in manifest order.
    std::vector<PatchOffer> patches;
};

struct UpdatePlan {
    QByteArray manifest;               // the server manifest, as it becomes info.ini
    QString version;                   // its Version
    bool installed = false;            // the game folder has an info.ini
    std::int32_t fileCount = 0;        // its Max
    bool byHash = false;               // the server keeps every file and patch as by-hash/<SHA-256>
    std::int32_t changedCount = 0;     // entries whose server version is greater
    std::vector<PlannedEntry> entries; // in manifest order
    std::vector<FileToFetch> files;    // one per distinct file fetched
    std::int64_t bytesNeeded = 0;      // what the update writes on the disk, as far as known
};

// Fills the entries of plan (numbers 1 to plan.fileCount, in order) from the
// "FILES" sections of both manifests, matched by number, and counts the
// entries whose server version is greater. Memory follows the entries the
// manifests hold: a run of numbers neither manifest mentions is one entry.
// Only reads the parsed manifests; never fails.
void LoadFileLists(UpdatePlan& plan, const ProfileSections& server,
                   const ProfileSections& installed);

// True when version a comes after version b: plain comparison of character
// codes, so "1.9" comes after "1.10" and "a" after "Z".
[[nodiscard]] bool VersionIsGreater(const QString& a, const QString& b);

// Builds the plan from the server manifest (its bytes and their parsed form),
// the installed one (empty when there is none) and the settings, touching no
// disk. Throws UpdateFailure when the manifest is refused: a Max out of
// bounds, an entry of a file to fetch with a name or folder that could lead
// outside the game folder or take the place of the updater's own files,
// sizes or hashes that are not numbers or hex, two entries of one file that
// disagree, a file where another entry needs a folder, a signed update with
// an entry its signature does not cover.
[[nodiscard]] UpdatePlan PlanUpdate(const QByteArray& manifest, const ProfileSections& server,
                                    const ProfileSections& installed, bool hasInstalled,
                                    const Settings& settings);

// Settles the rest of the plan from what the game folder holds (folder,
// looked at once the names were accepted), touching no disk: refuses an entry
// whose place may not be written; with --repair, plans a missing or damaged
// file to be fetched again; settles the transfers (entries naming one file
// share one), the patches whose base the player has and what an earlier run
// kept of each file; and refuses an update that cannot fit on the disk:
// everything it writes is counted (the files or their patches and what they
// make, the copies of files several entries name, the manifest, the journal,
// and copies of the replaced files where the disk has no hard links). Throws
// UpdateFailure.
void PlanTransfers(UpdatePlan& plan, const FolderView& folder);

// Reads the patches the server manifest offers for entry (a newer file of at
// least 1 MiB with a size and a SHA-256), up to the first offer that is
// incomplete or malformed. Never fails.
void ReadPatchOffers(PlannedEntry& entry, const ProfileSections& server);

// Gives file the patch of entry whose base the game folder holds at place:
// the installed manifest names the file at the same place, with the base's
// SHA-256 and the size the file has. Leaves file whole when none fits, or
// when part of the whole file waits from an earlier run (in folder). Never fails.
void ChoosePatch(const UpdatePlan& plan, const PlannedEntry& entry, const PlaceView& place,
                 const FolderView& folder, FileToFetch& file);

// The folder an entry names, as the update uses it: blanks and one separator
// at each end dropped.
[[nodiscard]] QString FolderOf(const FileEntry& entry);

// The place of an entry's file: its folder and name joined by "/".
[[nodiscard]] QString PlacedKeyOf(const PlannedEntry& entry);

} // namespace modUpdate
