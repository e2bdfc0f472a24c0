// Fetching one file of the run into its place in the game folder.
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <filesystem>
#include <system_error>
#include <utility>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

#include "update/DownloadFile.h"
#include "update/Failure.h"
#include "update/Fetch.h"
#include "update/PartFolder.h"
#include "update/Paths.h"
#include "update/Profile.h"
#include "update/modUpdate.h"

using namespace modUpdate;

namespace {

// Every file put in place by this run, for the one flush before the manifest.
QStringList placedFiles;

// True when path lies in the game folder (both taken with links resolved).
bool IsInside(const QString& path) {
    const QString folder = QFileInfo(AppFolder()).canonicalFilePath();
    return !path.isEmpty() && (path == folder || path.startsWith(folder + QLatin1Char('/')));
}

// Finds the folder `relative` below `base`, one level at a time; a level that
// exists in another letter case is used as it is. With create, missing levels
// are made (throws UpdateFailure when one cannot be); without, returns ""
// when a level is missing. A level that is a link leading outside the game
// folder is refused (throws UpdateFailure).
QString FindFolder(const QString& base, const QString& relative, bool create) {
    QString path = base;
    for (const QString& level : SplitPath(relative)) {
        if (level.isEmpty())
            continue;
        QDir parent(path);
        QString found;
        if (QFileInfo(parent.filePath(level)).isDir()) {
            found = level;
        } else {
            const QStringList entries = parent.entryList(
                QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System, QDir::Name);
            for (const QString& entry : entries) {
                if (entry.compare(level, Qt::CaseInsensitive) == 0) {
                    found = entry;
                    break;
                }
            }
        }
        const QFileInfo existing(parent.filePath(found));
        if (!found.isEmpty() && (existing.isSymLink() || existing.isJunction()) &&
            !IsInside(existing.canonicalFilePath()))
            Fail(QStringLiteral("Refused to use the folder %1: it is a link that leads outside "
                                "the game folder.")
                     .arg(QDir::toNativeSeparators(existing.filePath())));
        if (found.isEmpty()) {
            if (!create)
                return QString();
            if (!parent.mkdir(level)) {
                const QString reason = QFileInfo::exists(parent.filePath(level))
                                           ? QStringLiteral("a file of that name is in the way")
                                           : QStringLiteral("the folder cannot be written");
                Fail(QStringLiteral("Could not create the folder %1: %2.")
                         .arg(QDir::toNativeSeparators(parent.filePath(level)), reason));
            }
            found = level;
        }
        path = parent.filePath(found);
    }
    return path;
}

// Puts the whole file `part` in place of target, with the target's
// permissions when it exists. Throws UpdateFailure when it cannot.
void PlaceFile(const QString& part, const QString& target) {
    if (QFileInfo(target).isFile())
        QFile::setPermissions(part, QFile::permissions(target));
    std::error_code error;
    std::filesystem::rename(ToPath(part), ToPath(target), error);
    if (error == std::errc::cross_device_link) {
        // The target's folder lies on another disk: copy beside it, then rename.
        const QString beside = target + QStringLiteral(".quelmor-new");
        error.clear();
        std::filesystem::copy_file(ToPath(part), ToPath(beside),
                                   std::filesystem::copy_options::overwrite_existing, error);
        if (!error)
            std::filesystem::rename(ToPath(beside), ToPath(target), error);
        QFile::remove(beside);
        QFile::remove(part);
    }
    if (error) {
        QFile::remove(part);
        Fail(QStringLiteral("Could not write %1: %2.")
                 .arg(QDir::toNativeSeparators(target), QString::fromStdString(error.message())));
    }
    ForgetIniFile(target);
    placedFiles << target;
}

// Puts a new updater in place of the running one: the running file is moved
// aside (Windows lets a running program be renamed but not replaced) and
// removed by the next start. Throws UpdateFailure when it cannot.
void PlaceUpdater(const QString& part, const QString& target) {
    const QString aside = OldUpdaterPath();
    QFile::remove(aside);
    // The new updater can be run like the one it replaces.
    QFile::Permissions permissions = QFile::permissions(part) | QFile::ExeOwner | QFile::ExeUser;
    if (QFileInfo(target).isFile())
        permissions = QFile::permissions(target);
    QFile::setPermissions(part, permissions);
    if (QFileInfo(target).isFile() && !QFile::rename(target, aside))
        Fail(QStringLiteral("Could not move the running updater %1 aside.")
                 .arg(QDir::toNativeSeparators(target)));
    PlaceFile(part, target);
}

} // namespace

QString OldUpdaterPath() {
    return AppPath(QFileInfo(OwnName).completeBaseName() + QStringLiteral(".old"));
}

QString TargetOf(const QString& folder, const QString& name, bool create) {
    QString local = name;
    local.replace(QLatin1Char('\\'), QLatin1Char('/'));
    QString path = FindFolder(AppFolder(), folder, create);
    if (!path.isEmpty() && local.contains(QLatin1Char('/'))) {
        // A name that holds a folder goes below the folder found for it.
        path = FindFolder(path, local.section(QLatin1Char('/'), 0, -2), create);
        local = local.section(QLatin1Char('/'), -1);
    }
    return path.isEmpty() ? QString() : QDir(path).filePath(local);
}

QString PlacedKeyOf(const QString& folder, const QString& name) {
    QString key = folder + QLatin1Char('/') + name;
    key.replace(QLatin1Char('\\'), QLatin1Char('/'));
    return key;
}

void FlushPlacedFiles() {
    [[maybe_unused]] const QStringList files = std::exchange(placedFiles, {});
    if (files.isEmpty())
        return;
#if defined(Q_OS_LINUX)
    // One flush of the game folder's file system covers every file at once.
    const int folder = ::open(QFile::encodeName(AppFolder()).constData(), O_RDONLY | O_DIRECTORY);
    if (folder >= 0) {
        ::syncfs(folder);
        ::close(folder);
    }
#elif defined(Q_OS_WIN)
    for (const QString& path : files) {
        const HANDLE file =
            CreateFileW(reinterpret_cast<const wchar_t*>(QDir::toNativeSeparators(path).utf16()),
                        GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            FlushFileBuffers(file);
            CloseHandle(file);
        }
    }
#else
    for (const QString& path : files) {
        const int file = ::open(QFile::encodeName(path).constData(), O_RDONLY);
        if (file >= 0) {
            ::fsync(file);
            ::close(file);
        }
    }
#endif
}

namespace modUpdate {

void DownloadFile(const QString& remoteName, const QString& localName, std::int64_t size,
                  const QString& sha256) {
    if (TrimSpaces(localName).isEmpty())
        return;
    // One separator is dropped at each end of the folder.
    if (!CurrentFolder.isEmpty())
        CurrentFolder = TrimOneSeparator(CurrentFolder);
    const QString target = TargetOf(CurrentFolder, localName, true);
    const QString key = PlacedKeyOf(CurrentFolder, localName);
    if (WasPlaced(key, target)) {
        // An earlier run of this release put it in place already.
        Window.SetPercent(QStringLiteral("100%"));
    } else {
        const QString part = FetchFile(UrlOf(remoteName), remoteName, {size, sha256.toStdString()});
        const bool updater = CurrentFolder.isEmpty() && !OwnName.isEmpty() &&
                             localName.compare(OwnName, Qt::CaseInsensitive) == 0;
        if (updater)
            PlaceUpdater(part, target);
        else
            PlaceFile(part, target);
        NotePlaced(key, target);
    }
    DoEvents();
    Window.SetL3(QStringLiteral("Downloaded ") + remoteName + QLatin1Char('!'));
}

} // namespace modUpdate
