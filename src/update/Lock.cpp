#include "update/Lock.h"

#include <QDir>
#include <QFile>
#include <system_error>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace modUpdate {
#ifdef Q_OS_WIN
namespace {

QString LastError() {
    return QString::fromStdString(
        std::error_code(static_cast<int>(GetLastError()), std::system_category()).message());
}

} // namespace
#endif

#ifdef Q_OS_WIN

Locking TakeLock(const QString& path, HeldLock& lock, QString& why) {
    const HANDLE file =
        CreateFileW(reinterpret_cast<const wchar_t*>(QDir::toNativeSeparators(path).utf16()),
                    GENERIC_READ | GENERIC_WRITE | DELETE,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        // A lock file being removed by the run before (delete pending), or its
        // folder removed meanwhile.
        if (error == ERROR_ACCESS_DENIED || error == ERROR_PATH_NOT_FOUND ||
            error == ERROR_FILE_NOT_FOUND)
            return Locking::Vanished;
        why = LastError();
        return Locking::Failed;
    }
    OVERLAPPED start{};
    if (!LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &start)) {
        const DWORD error = GetLastError();
        why = LastError();
        CloseHandle(file);
        return error == ERROR_LOCK_VIOLATION || error == ERROR_IO_PENDING ? Locking::Held
                                                                          : Locking::Failed;
    }
    FILE_STANDARD_INFO standard{};
    if (GetFileInformationByHandleEx(file, FileStandardInfo, &standard, sizeof standard) &&
        standard.DeletePending) {
        CloseHandle(file); // the file the run before gave up: a new one is made
        return Locking::Vanished;
    }
    lock = {reinterpret_cast<std::intptr_t>(file), path};
    return Locking::Taken;
}

void ReleaseLock(HeldLock& lock) {
    if (lock.handle == -1)
        return;
    // Deleted when closed; a run that opened it meanwhile sees it pending and
    // makes a new one.
    const auto file = reinterpret_cast<HANDLE>(lock.handle);
    FILE_DISPOSITION_INFO remove{TRUE};
    SetFileInformationByHandle(file, FileDispositionInfo, &remove, sizeof remove);
    CloseHandle(file);
    lock = {};
}

#else

Locking TakeLock(const QString& path, HeldLock& lock, QString& why) {
    const QByteArray native = QFile::encodeName(path);
    const int file = ::open(native.constData(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (file < 0) {
        if (errno == ENOENT)
            return Locking::Vanished; // the folder went meanwhile
        why = QString::fromLocal8Bit(std::strerror(errno));
        return Locking::Failed;
    }
    if (::flock(file, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        why = QString::fromLocal8Bit(std::strerror(error));
        ::close(file);
        return error == EWOULDBLOCK ? Locking::Held : Locking::Failed;
    }
    // The run before removes its lock file before giving the lock up: a lock
    // taken on a file no longer at path keeps nobody out.
    struct stat opened {
    }, named{};
    if (::fstat(file, &opened) != 0 || ::lstat(native.constData(), &named) != 0 ||
        opened.st_dev != named.st_dev || opened.st_ino != named.st_ino) {
        ::close(file);
        return Locking::Vanished;
    }
    lock = {file, path};
    return Locking::Taken;
}

void ReleaseLock(HeldLock& lock) {
    if (lock.handle == -1)
        return;
    ::unlink(QFile::encodeName(lock.path).constData());
    ::close(static_cast<int>(lock.handle));
    lock = {};
}

#endif

} // namespace modUpdate
