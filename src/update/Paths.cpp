#include "update/Paths.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <system_error>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace modUpdate {
namespace {
QString appFolderOverride;
}

QString AppFolder() {
    if (!appFolderOverride.isEmpty())
        return appFolderOverride;
    return QDir::cleanPath(QCoreApplication::applicationDirPath());
}

QString OldUpdaterPath(const QString& ownName) {
    return AppPath(
        QFileInfo(ownName.isEmpty() ? QStringLiteral("Quelmor") : ownName).completeBaseName() +
        QStringLiteral(".old"));
}

std::filesystem::path ToPath(const QString& path) {
#ifdef Q_OS_WIN
    return std::filesystem::path(path.toStdWString());
#else
    return std::filesystem::path(QFile::encodeName(path).toStdString());
#endif
}

void SetAppFolderForTests(const QString& folder) {
    appFolderOverride = QDir::cleanPath(folder);
}

QString AppPath(const QString& name) {
    QString relative = name;
    relative.replace(QLatin1Char('\\'), QLatin1Char('/'));
    return AppFolder() + QLatin1Char('/') + relative;
}

bool FileExists(const QString& path) {
    return QFileInfo(path).isFile();
}

bool IsLink(const QString& path) {
    const QFileInfo info(path);
    return info.isSymbolicLink() || info.isJunction();
}

bool IsPlainFile(const QString& path) {
    return !IsLink(path) && QFileInfo(path).isFile();
}

std::intptr_t OpenUnfollowed(const QString& path, bool forReading, QString& id) {
    id.clear();
#ifdef Q_OS_WIN
    const HANDLE file = CreateFileW(
        reinterpret_cast<const wchar_t*>(QDir::toNativeSeparators(path).utf16()),
        forReading ? GENERIC_READ : 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return -1;
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(file, &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
        CloseHandle(file);
        return -1;
    }
    id = QStringLiteral("%1:%2:%3")
             .arg(info.dwVolumeSerialNumber)
             .arg((quint64(info.nFileIndexHigh) << 32) | info.nFileIndexLow)
             .arg((quint64(info.ftLastWriteTime.dwHighDateTime) << 32) |
                  info.ftLastWriteTime.dwLowDateTime);
    return reinterpret_cast<std::intptr_t>(file);
#else
    // Not blocking: a named pipe in the place of a file must not hang the run.
    const int file = ::open(QFile::encodeName(path).constData(),
                            (forReading ? O_RDONLY : O_PATH) | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    struct stat status {};
    if (file < 0)
        return -1;
    if (::fstat(file, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(file);
        return -1;
    }
    id = QStringLiteral("%1:%2:%3.%4")
             .arg(status.st_dev)
             .arg(status.st_ino)
             .arg(status.st_mtim.tv_sec)
             .arg(status.st_mtim.tv_nsec);
    return file;
#endif
}

void CloseUnfollowed(std::intptr_t handle) {
    if (handle == -1)
        return;
#ifdef Q_OS_WIN
    CloseHandle(reinterpret_cast<HANDLE>(handle));
#else
    ::close(static_cast<int>(handle));
#endif
}

QString FileIdOf(const QString& path) {
    QString id;
    CloseUnfollowed(OpenUnfollowed(path, false, id));
    return id;
}

bool DropLink(const QString& path) {
    std::error_code error;
    return !IsLink(path) || std::filesystem::remove(ToPath(path), error);
}

QStringList SplitPath(const QString& relative) {
    static const QRegularExpression separator(QStringLiteral("[\\\\/]"));
    return relative.split(separator);
}

QString TrimSpaces(const QString& text) {
    qsizetype first = 0;
    qsizetype last = text.size();
    while (first < last && text[first] == QLatin1Char(' '))
        ++first;
    while (last > first && text[last - 1] == QLatin1Char(' '))
        --last;
    return text.mid(first, last - first);
}

QString TrimOneSeparator(const QString& folder) {
    QString trimmed = folder;
    auto isSeparator = [](QChar c) { return c == QLatin1Char('\\') || c == QLatin1Char('/'); };
    if (!trimmed.isEmpty() && isSeparator(trimmed.front()))
        trimmed.remove(0, 1);
    if (!trimmed.isEmpty() && isSeparator(trimmed.back()))
        trimmed.chop(1);
    return trimmed;
}

QString UnsafePathReason(const QString& relative) {
    // Windows keeps these names for devices, in any letter case, with any
    // extension, and with blanks before it; COM and LPT with a superscript too.
    static const QRegularExpression device(
        QStringLiteral("^(con|prn|aux|nul|com[0-9\u00b9\u00b2\u00b3]|lpt[0-9\u00b9\u00b2\u00b3]|"
                       "conin\\$|conout\\$) *(\\..*)?$"),
        QRegularExpression::CaseInsensitiveOption);
    for (const QChar c : relative) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            return QStringLiteral("it holds a control character");
    }
    if (relative.startsWith(QLatin1Char('\\')) || relative.startsWith(QLatin1Char('/')))
        return QStringLiteral("it is an absolute path");
    if (relative.contains(QLatin1Char(':')))
        return QStringLiteral("it names a drive or holds a colon");
    for (const QChar c : QStringLiteral("<>\"|?*")) {
        if (relative.contains(c))
            return QStringLiteral("it holds '%1', which Windows does not allow in names").arg(c);
    }
    const QStringList parts = SplitPath(relative);
    for (const QString& part : parts) {
        if (part.isEmpty())
            continue; // "a//b" stays inside "a"
        if (part.count(QLatin1Char('.')) == part.size())
            return QStringLiteral("it holds the part \"%1\"").arg(part);
        if (part.endsWith(QLatin1Char('.')) || part.endsWith(QLatin1Char(' ')))
            return QStringLiteral("the part \"%1\" ends in a dot or a blank").arg(part);
        if (device.match(part).hasMatch())
            return QStringLiteral("the part \"%1\" is a name Windows keeps for a device").arg(part);
    }
    return QString();
}

} // namespace modUpdate
