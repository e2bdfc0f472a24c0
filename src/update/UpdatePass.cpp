// The per-file update pass.
#include "update/Failure.h"
#include "update/Fetch.h"
#include "update/PartFolder.h"
#include "update/Paths.h"
#include "update/modUpdate.h"

namespace modUpdate {

namespace {

// Files that may already arrive while the pass is at an earlier one.
constexpr std::size_t FetchedAhead = 3;

// What the pass does with one entry.
enum class Step { Nothing, UpToDate, NewFile, NewerFile };

// Decides by the installed entry with the same number: without an installed
// manifest, or when the installed entry has no name and another version,
// the file is new; equal versions are up to date; a greater server version is
// newer; otherwise the installed file is newer and stays.
Step Decide(const FileEntry& server, const FileEntry& local, bool installed) {
    if (!installed ||
        (server.FileVersion != local.FileVersion && TrimSpaces(local.FileName).isEmpty()))
        return Step::NewFile;
    if (server.FileVersion == local.FileVersion)
        return Step::UpToDate;
    if (VersionIsGreater(server.FileVersion, local.FileVersion))
        return Step::NewerFile;
    return Step::Nothing;
}

// Refuses an entry whose folder or name could lead outside the application
// folder, or that would replace one of the updater's own manifests.
void RefuseUnsafe(const FileEntry& entry) {
    const QString folder = TrimOneSeparator(TrimSpaces(entry.FilePath));
    for (const QString& value : {folder, entry.FileName}) {
        const QString reason = UnsafePathReason(value);
        if (!reason.isEmpty())
            Fail(QStringLiteral("Refused to download %1 into \"%2\": %3, which could lead "
                                "outside the game folder.")
                     .arg(entry.FileName, value, reason));
    }
    if (!folder.isEmpty())
        return;
    for (const char* manifest : {"info.ini", "temp.ini"}) {
        if (entry.FileName.compare(QLatin1String(manifest), Qt::CaseInsensitive) == 0)
            Fail(QStringLiteral("Refused to download %1: the server lists a game file with the "
                                "name of the updater's own manifest.")
                     .arg(entry.FileName));
    }
}

// Starts the transfers of the files to fetch after the current one, up to
// FetchedAhead of them, unless a file is in place already. `started` is the
// last entry of fetches looked at so far; each is looked at once.
void FetchFollowing(const std::vector<std::int32_t>& fetches, std::size_t current,
                    std::size_t& started) {
    for (std::size_t k = std::max(started + 1, current + 1);
         k < fetches.size() && k <= current + FetchedAhead; ++k) {
        started = k;
        const FileEntry& entry = ServerFiles[static_cast<std::size_t>(fetches[k])];
        const QString folder = TrimOneSeparator(TrimSpaces(entry.FilePath));
        const QString key = PlacedKeyOf(folder, entry.FileName);
        if (!IsListed(key) || !WasPlaced(key, TargetOf(folder, entry.FileName, false)))
            FetchAhead(UrlOf(entry.FileName), Expected{});
    }
}

} // namespace

void UpdateFiles() {
    // Nothing in the pass writes the installed manifest, so one look decides
    // for every entry, and every file to fetch is known (and checked) before
    // the first byte is fetched.
    const bool installed = FileExists(AppPath(QStringLiteral("info.ini")));
    std::vector<Step> steps(static_cast<std::size_t>(FileCount) + 1, Step::Nothing);
    std::vector<std::int32_t> fetches;
    for (std::int32_t i = 1; i <= FileCount; ++i) {
        const std::size_t at = static_cast<std::size_t>(i);
        steps[at] = Decide(ServerFiles[at], LocalFiles[at], installed);
        const bool fetch = steps[at] == Step::NewFile || steps[at] == Step::NewerFile;
        if (fetch && !TrimSpaces(ServerFiles[at].FileName).isEmpty()) {
            RefuseUnsafe(ServerFiles[at]);
            fetches.push_back(i);
        }
    }

    Window.SetL2(QString());
    UpdateNumber = 0;
    std::size_t fetch = 0;   // the next entry of fetches
    std::size_t started = 0; // the last entry of fetches started ahead
    for (std::int32_t i = 1; i <= FileCount; ++i) {
        const FileEntry& server = ServerFiles[static_cast<std::size_t>(i)];
        FileEntry& local = LocalFiles[static_cast<std::size_t>(i)];
        Window.SetL3(QStringLiteral("Checking Files..."));
        CurrentFolder = TrimSpaces(server.FilePath);

        const Step step = steps[static_cast<std::size_t>(i)];
        const auto progress = [&] {
            return QStringLiteral("Downloading File %1 Of %2").arg(UpdateNumber).arg(ChangedCount);
        };
        if (step == Step::NewFile) {
            ++UpdateNumber;
            Window.SetL2(QStringLiteral("Downloading ") + server.FileName + QStringLiteral("..."));
            Window.SetL3(progress());
        } else if (step == Step::UpToDate) {
            Window.SetL2(QStringLiteral("File Already Up To Date!"));
        } else if (step == Step::NewerFile) {
            ++UpdateNumber;
            Window.SetL3(progress());
            Window.SetL2(QStringLiteral("Updating %1 From Version %2 To %3...")
                             .arg(local.FileName, local.FileVersion, server.FileVersion));
        }
        if (fetch < fetches.size() && fetches[fetch] == i) {
            FetchFollowing(fetches, fetch, started);
            DownloadFile(server.FileName, server.FileName);
            ++fetch;
        }

        local.FileName = server.FileName;
        local.FilePath = server.FilePath;
        local.FileVersion = server.FileVersion;
        CurrentFolder.clear();
        DoEvents(); // a long list of files up to date stays responsive
    }
}

} // namespace modUpdate
