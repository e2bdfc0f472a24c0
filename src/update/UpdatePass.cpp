// The per-file update pass.
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QRegularExpression>
#include <QStorageInfo>

#include "transfer/Sha256.h"
#include "update/DownloadFile.h"
#include "update/Failure.h"
#include "update/Fetch.h"
#include "update/NumberReading.h"
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

// The folder an entry names, as the pass uses it: blanks and one separator
// at each end dropped.
QString FolderOf(const FileEntry& entry) {
    return TrimOneSeparator(TrimSpaces(entry.FilePath));
}

// Refuses an entry whose folder or name could lead outside the application
// folder (also through a link), or that would replace or hide one of the
// updater's own files.
void RefuseUnsafe(const FileEntry& entry) {
    const QString folder = FolderOf(entry);
    for (const QString& value : {folder, entry.FileName}) {
        const QString reason = UnsafePathReason(value);
        if (!reason.isEmpty())
            Fail(QStringLiteral("Refused to download %1 into \"%2\": %3, which could lead "
                                "outside the game folder.")
                     .arg(entry.FileName, value, reason));
    }
    const QString top = SplitPath(folder.isEmpty() ? entry.FileName : folder).constFirst();
    for (const char* own : {"info.ini", "temp.ini", ".quelmor-partial"}) {
        if (top.compare(QLatin1String(own), Qt::CaseInsensitive) != 0)
            continue;
        if (folder.isEmpty())
            Fail(QStringLiteral("Refused to download %1: the server lists a game file with the "
                                "name of the updater's own manifest.")
                     .arg(entry.FileName));
        Fail(QStringLiteral("Refused to download %1 into \"%2\": a folder of that name would "
                            "take the place of the updater's own files.")
                 .arg(entry.FileName, folder));
    }
    TargetOf(folder, entry.FileName, false); // refuses links that lead outside
}

// The size an entry gives (FileSize), -1 when it gives none. Throws
// UpdateFailure when the value is not a whole number of bytes.
std::int64_t SizeOf(const FileEntry& entry, std::int32_t i) {
    if (entry.FileSize.isEmpty())
        return -1;
    const std::int64_t size = ReadDigits(entry.FileSize);
    if (size < 0)
        Fail(QStringLiteral("The server's info.ini is broken: FileSize%1 (\"%2\") is not a "
                            "number of bytes.")
                 .arg(i)
                 .arg(entry.FileSize.left(40)));
    return size;
}

// The SHA-256 an entry gives (FileSha256) in lower case, "" when it gives none.
// Throws UpdateFailure when the value is not 64 hex digits.
QString HashOf(const FileEntry& entry, std::int32_t i) {
    static const QRegularExpression hex(QStringLiteral("^[0-9a-fA-F]{64}$"));
    if (entry.FileSha256.isEmpty())
        return QString();
    if (!hex.match(entry.FileSha256).hasMatch())
        Fail(QStringLiteral("The server's info.ini is broken: FileSha256%1 (\"%2\") is not "
                            "64 hex digits.")
                 .arg(i)
                 .arg(entry.FileSha256.left(80)));
    return entry.FileSha256.toLower();
}

// True when the file of entry is missing from the game folder, or has
// another size or SHA-256 than the entry gives. Hashes a slice at a time,
// letting window events run.
bool IsDamaged(const FileEntry& entry, std::int64_t size, const QString& sha256) {
    const QString folder = FolderOf(entry);
    QFile file(TargetOf(folder, entry.FileName, false));
    if (file.fileName().isEmpty() || !QFileInfo(file).isFile())
        return true;
    if (sha256.isEmpty())
        return false; // only its presence can be checked
    if (size >= 0 && file.size() != size)
        return true;
    if (!file.open(QIODevice::ReadOnly))
        return true;
    Window.SetL3(QStringLiteral("Checking %1...").arg(entry.FileName));
    Sha256 hash;
    QByteArray slice(4 << 20, Qt::Uninitialized);
    for (qint64 got; (got = file.read(slice.data(), slice.size())) > 0;) {
        hash.Add(slice.constData(), static_cast<std::size_t>(got));
        DoEvents();
    }
    return QString::fromStdString(hash.HexDigest()) != sha256;
}

// Refuses an update that cannot fit on the disk, when every file to fetch
// gives its size.
void RefuseWithoutRoom(const std::vector<std::int64_t>& sizes) {
    std::int64_t needed = 0;
    for (const std::int64_t size : sizes) {
        if (size < 0)
            return;
        needed += size;
    }
    const std::int64_t free = QStorageInfo(AppFolder()).bytesAvailable();
    if (free >= 0 && needed > free)
        Fail(QStringLiteral("Not enough free space for the update: it needs %1, %2 free.")
                 .arg(QLocale::c().formattedDataSize(needed, 1, QLocale::DataSizeTraditionalFormat),
                      QLocale::c().formattedDataSize(free, 1, QLocale::DataSizeTraditionalFormat)));
}

// Starts the transfers of the files to fetch after the current one, up to
// FetchedAhead of them, unless a file is in place already. `started` is the
// last entry of fetches looked at so far; each is looked at once.
void FetchFollowing(const std::vector<std::int32_t>& fetches, std::size_t current,
                    std::size_t& started, const std::vector<std::int64_t>& sizes,
                    const std::vector<QString>& hashes) {
    for (std::size_t k = std::max(started + 1, current + 1);
         k < fetches.size() && k <= current + FetchedAhead; ++k) {
        started = k;
        const FileEntry& entry = ServerFiles[static_cast<std::size_t>(fetches[k])];
        const QString folder = FolderOf(entry);
        const QString key = PlacedKeyOf(folder, entry.FileName);
        if (!IsListed(key) || !WasPlaced(key, TargetOf(folder, entry.FileName, false)))
            FetchAhead(UrlOf(entry.FileName),
                       {sizes[static_cast<std::size_t>(fetches[k])],
                        hashes[static_cast<std::size_t>(fetches[k])].toStdString()});
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
    std::vector<std::int64_t> sizes(static_cast<std::size_t>(FileCount) + 1, -1);
    std::vector<QString> hashes(static_cast<std::size_t>(FileCount) + 1);
    std::vector<std::int64_t> fetchedSizes;
    for (std::int32_t i = 1; i <= FileCount; ++i) {
        const std::size_t at = static_cast<std::size_t>(i);
        const FileEntry& server = ServerFiles[at];
        const bool named = !TrimSpaces(server.FileName).isEmpty();
        sizes[at] = SizeOf(server, i);
        hashes[at] = HashOf(server, i);
        if (named && !PublicKey.isEmpty() && (sizes[at] < 0 || hashes[at].isEmpty()))
            Fail(QStringLiteral("The server's info.ini is refused: entry %1 (%2) gives no size "
                                "and SHA-256, and this updater installs only files its signature "
                                "covers.")
                     .arg(i)
                     .arg(server.FileName));
        steps[at] = Decide(server, LocalFiles[at], installed);
        bool fetch = steps[at] == Step::NewFile || steps[at] == Step::NewerFile;
        if (RepairMode && named && !fetch && IsDamaged(server, sizes[at], hashes[at])) {
            steps[at] = Step::NewFile; // missing or damaged: fetched again
            ++ChangedCount;
            fetch = true;
        }
        if (fetch && named) {
            RefuseUnsafe(server);
            fetches.push_back(i);
            fetchedSizes.push_back(sizes[at]);
        }
    }
    RefuseWithoutRoom(fetchedSizes);

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
            FetchFollowing(fetches, fetch, started, sizes, hashes);
            const std::size_t at = static_cast<std::size_t>(i);
            DownloadFile(server.FileName, server.FileName, sizes[at], hashes[at]);
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
