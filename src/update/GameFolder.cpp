#include "update/GameFolder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <set>
#include <system_error>
#include <thread>

#ifdef Q_OS_WIN
#include <io.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "transfer/Sha256.h"
#include "transfer/Transfers.h"
#include "update/Failure.h"
#include "update/PartFolder.h"
#include "update/Paths.h"
#include "update/modUpdate.h"

namespace modUpdate {
namespace {

// True when path lies in the game folder (both taken with links resolved).
bool IsInGameFolder(const QString& path) {
    const QString folder = QFileInfo(AppFolder()).canonicalFilePath();
    return !path.isEmpty() && (path == folder || path.startsWith(folder + QLatin1Char('/')));
}

// The name of the folder `level` in parent: itself, or one that differs only
// in letter case; "" when there is none.
QString FindLevel(const QDir& parent, const QString& level) {
    if (QFileInfo(parent.filePath(level)).isDir())
        return level;
    const QStringList entries = parent.entryList(
        QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System, QDir::Name);
    for (const QString& entry : entries) {
        if (entry.compare(level, Qt::CaseInsensitive) == 0)
            return entry;
    }
    return QString();
}

// Why the folder at path cannot be made.
QString WhyNotMade(const QString& path) {
    return IsLink(path) || QFileInfo::exists(path)
               ? QStringLiteral("a file of that name is in the way")
               : QStringLiteral("the folder cannot be written");
}

// The result of a file system call that set error.
Result ResultOf(const std::error_code& error) {
    return error ? Result::Failed(QString::fromStdString(error.message())) : Result();
}

// The result of a C library call that succeeded with done, else set errno to error.
Result ResultOf(bool done, int error) {
    return done ? Result() : Result::Failed(QString::fromLocal8Bit(std::strerror(error)));
}

} // namespace

QString FindFolder(const QString& relative, bool create, QStringList* created) {
    QString path = AppFolder();
    bool missing = false; // a level is missing, so are the ones below it
    for (const QString& level : SplitPath(relative)) {
        if (level.isEmpty())
            continue;
        const QDir parent(path);
        if (missing) {
            path = parent.filePath(level);
            continue;
        }
        const QString found = FindLevel(parent, level);
        const QString native = QDir::toNativeSeparators(parent.filePath(level));
        if (found.isEmpty() && !create) {
            if (IsLink(parent.filePath(level)) || QFileInfo::exists(parent.filePath(level)))
                Fail(QStringLiteral("Could not create the folder %1: a file of that name is in "
                                    "the way.")
                         .arg(native),
                     ForPlayer::InTheWay());
            missing = true;
            path = parent.filePath(level);
            continue;
        }
        if (found.isEmpty()) {
            if (!parent.mkdir(level))
                Fail(QStringLiteral("Could not create the folder %1: %2.")
                         .arg(native, WhyNotMade(parent.filePath(level))),
                     ForPlayer::NotWritable());
            if (created != nullptr)
                created->append(parent.filePath(level));
            path = parent.filePath(level);
            continue;
        }
        path = parent.filePath(found);
        if (IsLink(path) && !IsInGameFolder(QFileInfo(path).canonicalFilePath()))
            Fail(QStringLiteral("Refused to use the folder %1: it is a link that leads outside "
                                "the game folder.")
                     .arg(QDir::toNativeSeparators(path)),
                 ForPlayer::Elsewhere());
    }
    return path;
}

QString TargetOf(const QString& folder, const QString& name, bool create, QStringList* created) {
    QString local = name;
    local.replace(QLatin1Char('\\'), QLatin1Char('/'));
    const QString inner =
        local.contains(QLatin1Char('/')) ? local.section(QLatin1Char('/'), 0, -2) : QString();
    const QString path =
        FindFolder(inner.isEmpty() ? folder : folder + QLatin1Char('/') + inner, create, created);
    return QDir(path).filePath(local.section(QLatin1Char('/'), -1));
}

Result MoveInto(const QString& from, const QString& to) {
    std::error_code error;
    std::filesystem::rename(ToPath(from), ToPath(to), error);
    if (error == std::errc::cross_device_link) {
        // Another disk: the bytes go beside the target first, then take its place.
        const std::filesystem::path beside = ToPath(to + QStringLiteral(".quelmor-new"));
        std::error_code ignored;
        std::filesystem::remove(beside, ignored);
        error.clear();
        std::filesystem::copy_file(ToPath(from), beside, error);
        if (!error)
            std::filesystem::rename(beside, ToPath(to), error);
        std::filesystem::remove(beside, ignored);
        if (!error)
            std::filesystem::remove(ToPath(from), ignored);
    }
    return ResultOf(error);
}

Result FlushFiles(const QStringList& paths) {
#if defined(Q_OS_WIN)
    for (const QString& path : paths) {
        const HANDLE file =
            CreateFileW(reinterpret_cast<const wchar_t*>(QDir::toNativeSeparators(path).utf16()),
                        GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        const bool flushed = file != INVALID_HANDLE_VALUE && FlushFileBuffers(file);
        const QString reason = QString::fromStdString(
            std::error_code(static_cast<int>(GetLastError()), std::system_category()).message());
        if (file != INVALID_HANDLE_VALUE)
            CloseHandle(file);
        if (!flushed)
            return Result::Failed(QStringLiteral("could not flush %1 to the disk: %2")
                                      .arg(QDir::toNativeSeparators(path), reason));
    }
    return Result();
#else
    std::set<dev_t> flushed; // file systems flushed whole
    for (const QString& path : paths) {
        struct stat status {};
        const QByteArray native = QFile::encodeName(path);
        const int file = ::open(native.constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        bool done = file >= 0 && ::fstat(file, &status) == 0;
#if defined(Q_OS_LINUX)
        // One flush of a file system covers every file on it, and the folders.
        if (done && flushed.count(status.st_dev) == 0)
            done = ::syncfs(file) == 0;
#else
        done = done && ::fsync(file) == 0;
#endif
        const int error = errno;
        if (file >= 0)
            ::close(file);
        if (!done)
            return Result::Failed(QStringLiteral("could not flush %1 to the disk: %2")
                                      .arg(path, QString::fromLocal8Bit(std::strerror(error))));
        flushed.insert(status.st_dev);
    }
    return Result();
#endif
}

Result FlushRenames(const QStringList& paths) {
#ifdef Q_OS_WIN
    Q_UNUSED(paths);
    return Result();
#else
    return FlushFiles(paths);
#endif
}

Result FlushWhileEventsRun(const QStringList& paths, bool renames) {
    if (paths.isEmpty())
        return Result();
#ifdef Q_OS_WIN
    if (renames)
        return FlushRenames(paths); // nothing to wait for: no thread for it
#endif
    struct Flush {
        std::atomic<bool> done{false};
        Result failure;
    };
    auto result = std::make_shared<Flush>();
    std::thread([result, paths, renames] {
        result->failure = renames ? FlushRenames(paths) : FlushFiles(paths);
        result->done = true;
    }).detach();
    while (!result->done) {
        modUpdate::DoEvents();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return result->failure;
}

Result FlushFolder(const QString& path) {
#ifdef Q_OS_WIN
    Q_UNUSED(path);
    return Result();
#else
    const int folder = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    const bool flushed = folder >= 0 && ::fsync(folder) == 0;
    const int error = errno;
    if (folder >= 0)
        ::close(folder);
    return ResultOf(flushed, error);
#endif
}

Result WriteFlushed(const QString& path, const QByteArray& bytes) {
    if (!DropLink(path))
        return Result::Failed(QStringLiteral("a link is in its place"));
    std::FILE* file = transfer::OpenFile(ToPath(path), "wb");
    if (file == nullptr)
        return ResultOf(false, errno);
    const auto size = static_cast<std::size_t>(bytes.size());
    bool written = std::fwrite(bytes.constData(), 1, size, file) == size && std::fflush(file) == 0;
#ifdef Q_OS_WIN
    written = written && ::_commit(::_fileno(file)) == 0;
#else
    written = written && ::fsync(::fileno(file)) == 0;
#endif
    const int error = errno;
    written = std::fclose(file) == 0 && written;
    if (!written)
        QFile::remove(path);
    return ResultOf(written, error);
}

Result KeepUnder(const QString& from, const QString& to, bool* copied) {
    std::error_code error;
    std::filesystem::remove(ToPath(to), error);
    std::filesystem::create_hard_link(ToPath(from), ToPath(to), error);
    if (!error)
        return Result();
    // A disk without hard links (FAT, exFAT): a copy, whole before it counts.
    const std::filesystem::path copy = ToPath(to + QStringLiteral(".copy"));
    std::filesystem::remove(copy, error);
    error.clear();
    std::filesystem::copy_file(ToPath(from), copy, error);
    if (!error)
        std::filesystem::rename(copy, ToPath(to), error);
    std::error_code ignored;
    std::filesystem::remove(copy, ignored);
    if (copied != nullptr)
        *copied = !error;
    return ResultOf(error);
}

bool HasBytes(const QString& path, std::int64_t size, const QString& sha256) {
    QFile file(path);
    if (QFileInfo(path).size() != size || !file.open(QIODevice::ReadOnly))
        return false;
    Sha256 hash;
    QByteArray slice(4 << 20, Qt::Uninitialized);
    for (qint64 got; (got = file.read(slice.data(), slice.size())) > 0;) {
        hash.Add(slice.constData(), static_cast<std::size_t>(got));
        modUpdate::DoEvents();
    }
    return QString::fromStdString(hash.HexDigest()) == sha256;
}

bool HardLinksWork(const QString& folder) {
    const QString probe = folder + QStringLiteral("/link-probe");
    std::error_code error;
    const bool made = DropLink(probe) && QFile(probe).open(QIODevice::WriteOnly);
    std::filesystem::create_hard_link(ToPath(probe), ToPath(probe + QStringLiteral("2")), error);
    const bool works = made && !error;
    std::filesystem::remove(ToPath(probe + QStringLiteral("2")), error);
    std::filesystem::remove(ToPath(probe), error);
    return works;
}

} // namespace modUpdate
