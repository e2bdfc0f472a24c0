// Loading the installed and the server file lists and counting the changes.
#include <QFile>

#include "update/Paths.h"
#include "update/Profile.h"
#include "update/modUpdate.h"

namespace modUpdate {

namespace {

// The value of key (lower case) in the parsed section files, as ProfileValue
// gives it. Cannot fail.
QString ValueOf(const ProfileSections& profile, const QHash<QString, QString>& files,
                const QString& key) {
    const QString value = files.value(key);
    if (value.size() > MaxProfileValueLength)
        return ProfileValue(profile, QStringLiteral("files"), key);
    return value;
}

// Fills entries 1 to FileCount of list from the "FILES" section of the
// manifest at path. Entries the manifest lacks stay empty. The file is read
// and parsed once for the whole list: looking each value up by its path would
// check the file on disk three times per entry.
void LoadList(const QString& path, std::vector<FileEntry>& list) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return;
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return;
    const ProfileSections profile = ParseProfile(bytes);
    const auto files = profile.constFind(QStringLiteral("files"));
    if (files == profile.constEnd())
        return;
    const QString name = QStringLiteral("filename");
    const QString version = QStringLiteral("fileversion");
    const QString folder = QStringLiteral("filepath");
    for (std::int32_t i = 1; i <= FileCount; ++i) {
        const QString number = QString::number(i);
        FileEntry& entry = list[static_cast<std::size_t>(i)];
        entry.FileName = ValueOf(profile, *files, name + number);
        entry.FileVersion = ValueOf(profile, *files, version + number);
        entry.FilePath = ValueOf(profile, *files, folder + number);
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
