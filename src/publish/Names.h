#pragma once
// The rules a game file's name and folder must follow to be published: what
// the updater refuses, what would collide on the flat server folder, and what
// the manifest or a download address could not carry unchanged.

#include <QList>
#include <QString>
#include <QStringList>

namespace publish {
// One patch a manifest offers for an entry, its values as written there.
struct EntryPatch {
    QString base;   // PatchBase: SHA-256 of the file the patch applies to
    QString name;   // PatchName: "<base>-<new SHA-256>.zst", its name in patches/
    QString size;   // PatchSize: the patch's size in bytes, decimal
    QString sha256; // PatchSha256: SHA-256 of the patch
};

// One file entry of a manifest as the publishing tool sees it.
struct PublishEntry {
    QString name;    // FileName: the file's name in its folder and on the server
    QString version; // FileVersion
    QString folder;  // FilePath: sub-folder of the game folder, "" for the game folder
    QString label;   // how messages name the entry, e.g. "maps/a.dat" or "entry 3 (maps\a.dat)"
    QString size;    // FileSize: the file's size in bytes, decimal; "" when not given
    QString sha256;  // FileSha256: 64 hex digits; "" when not given
    QList<EntryPatch> patches = {}; // PatchBase<i>.<k> and the rest, k = 1, 2, 3
};

// The manifest, its signature, the news, the tool's record of an unfinished
// run and its list of the versions published, all kept flat in the server
// folder beside the game files.
inline constexpr char ManifestFileName[] = "info.ini";
inline constexpr char SignatureFileName[] = "info.ini.minisig";
inline constexpr char NewsFileName[] = "news.txt";
inline constexpr char PendingFileName[] = ".quelmor-publish-pending";
inline constexpr char HistoryFileName[] = ".quelmor-publish-versions";
// The tool's folders there: every file and patch a manifest names, stored
// under its SHA-256; the patches under their names; copies of the last
// manifests published, as <release>.ini.
inline constexpr char ObjectFolderName[] = "by-hash";
inline constexpr char PatchFolderName[] = "patches";
inline constexpr char ManifestCopiesFolderName[] = ".quelmor-publish-manifests";

// The key two names collide under on a server or disk that ignores letter case.
[[nodiscard]] QString FoldName(const QString& name);

// folder with "\" or "/" separators as its parts joined by "\", without empty
// parts; "" for the game folder itself.
[[nodiscard]] QString CanonicalFolder(const QString& folder);

// folder and name joined with separator; just name when folder is empty.
[[nodiscard]] QString JoinPath(const QString& folder, const QString& name, QChar separator);

// Why value would not read back unchanged from the manifest (blanks at either
// end, a pair of quotes around it, too long, characters the reader drops);
// "" when it reads back as written.
[[nodiscard]] QString ValueProblem(const QString& value);

// Why name cannot be the name of a published file; "" when it can. Refused:
// what the updater refuses (UnsafePathReason), separators, values the
// manifest cannot carry, characters a download address or Windows cannot
// hold, non-ASCII characters, Windows device names, the names of the
// manifest, its signature, the news, the release statement and key lists, the
// tool's own records and folders, and at the top of the game folder the
// updater's own names (temp.ini, .quelmor-partial, .quelmor-release.ini,
// .quelmor-keys.ini, Quelmor.old).
[[nodiscard]] QString NameProblem(const QString& name, const QString& folder);

// Why folder ("\" or "/" separators) cannot hold published files; "" when it
// can. Refused on the same grounds as a name, part by part.
[[nodiscard]] QString FolderProblem(const QString& folder);

// Every problem of a whole list of entries, one message per problem naming
// the entries by their labels: bad names and folders, two names that collide
// on the server (letter case ignored), a file standing where another entry
// needs a folder of that name, and a folder at the top of the game folder
// named like one of the updater's own names. Entries without a name are
// skipped (the manifest reader reports them). Empty when the list can be
// published.
[[nodiscard]] QStringList EntryListProblems(const QList<PublishEntry>& entries);

} // namespace publish
