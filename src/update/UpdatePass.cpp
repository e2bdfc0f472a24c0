// The per-file update pass.
#include "transfer/DownloadFile.h"
#include "ui/frmUpdate.h"
#include "update/Failure.h"
#include "update/Paths.h"
#include "update/modUpdate.h"

namespace modUpdate {

namespace {

// Refuses an entry that would overwrite one of the updater's own manifests.
void RefuseManifestName(const FileEntry& entry) {
    if (!TrimOneSeparator(CurrentFolder).isEmpty())
        return;
    for (const char* manifest : {"info.ini", "temp.ini"}) {
        if (entry.FileName.compare(QLatin1String(manifest), Qt::CaseInsensitive) == 0)
            Fail(QStringLiteral("Refused to download %1: the server lists a game file with the "
                                "name of the updater's own manifest.")
                     .arg(entry.FileName));
    }
}

// Fetches the server entry's file into its folder; names of the updater's own
// manifests are refused.
void Fetch(const FileEntry& entry) {
    RefuseManifestName(entry);
    DownloadFile(entry.FileName, entry.FileName);
}

} // namespace

void UpdateFiles() {
    frmUpdate& window = frmUpdate::Instance();
    const QString installedManifest = AppPath(QStringLiteral("info.ini"));
    window.SetL2(QString());
    UpdateNumber = 0;
    for (std::int32_t i = 1; i <= FileCount; ++i) {
        const FileEntry& server = ServerFiles[static_cast<std::size_t>(i)];
        FileEntry& local = LocalFiles[static_cast<std::size_t>(i)];
        window.SetL3(QStringLiteral("Checking Files..."));
        CurrentFolder = TrimSpaces(server.FilePath);

        const auto progress = [&] {
            return QStringLiteral("Downloading File %1 Of %2").arg(UpdateNumber).arg(ChangedCount);
        };
        if (!FileExists(installedManifest) ||
            (server.FileVersion != local.FileVersion && TrimSpaces(local.FileName).isEmpty())) {
            // Nothing installed under this number: a new file.
            ++UpdateNumber;
            window.SetL2(QStringLiteral("Downloading ") + server.FileName + QStringLiteral("..."));
            window.SetL3(progress());
            Fetch(server);
        } else if (server.FileVersion == local.FileVersion) {
            window.SetL2(QStringLiteral("File Already Up To Date!"));
        } else if (VersionIsGreater(server.FileVersion, local.FileVersion)) {
            ++UpdateNumber;
            window.SetL3(progress());
            window.SetL2(QStringLiteral("Updating %1 From Version %2 To %3...")
                             .arg(local.FileName, local.FileVersion, server.FileVersion));
            Fetch(server);
        }
        // Otherwise the installed file is newer and stays.

        local.FileName = server.FileName;
        local.FilePath = server.FilePath;
        local.FileVersion = server.FileVersion;
        CurrentFolder.clear();
    }
}

} // namespace modUpdate
