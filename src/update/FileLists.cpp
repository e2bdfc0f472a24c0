// Loading the installed and the server file lists and counting the changes.
#include "update/Paths.h"
#include "update/Profile.h"
#include "update/modUpdate.h"

namespace modUpdate {

namespace {

// Fills entries 1 to FileCount of list from the "FILES" section of the
// manifest at path. Entries the manifest lacks stay empty. The manifest is
// parsed once for the whole list.
void LoadList(const QString& path, std::vector<FileEntry>& list) {
    const ProfileSections manifest = ReadProfile(path);
    const QString files = QStringLiteral("FILES");
    for (std::int32_t i = 1; i <= FileCount; ++i) {
        const QString number = QString::number(i);
        FileEntry& entry = list[static_cast<std::size_t>(i)];
        entry.FileName = ProfileValue(manifest, files, QStringLiteral("FileName") + number);
        entry.FileVersion = ProfileValue(manifest, files, QStringLiteral("FileVersion") + number);
        entry.FilePath = ProfileValue(manifest, files, QStringLiteral("FilePath") + number);
        entry.FileSize = ProfileValue(manifest, files, QStringLiteral("FileSize") + number);
        entry.FileSha256 = ProfileValue(manifest, files, QStringLiteral("FileSha256") + number);
    }
}

} // namespace

bool VersionIsGreater(const QString& a, const QString& b) {
    return QString::compare(a, b, Qt::CaseSensitive) > 0;
}

void LoadFileLists() {
    const QString installed = AppPath(QStringLiteral("info.ini"));
    const QString server = AppPath(QStringLiteral("temp.ini"));
    if (FileExists(installed))
        LoadList(installed, LocalFiles);
    if (FileExists(server))
        LoadList(server, ServerFiles);

    ChangedCount = 0;
    for (std::int32_t i = 1; i <= FileCount; ++i) {
        const std::size_t at = static_cast<std::size_t>(i);
        if (VersionIsGreater(ServerFiles[at].FileVersion, LocalFiles[at].FileVersion))
            ++ChangedCount;
    }
}

} // namespace modUpdate
