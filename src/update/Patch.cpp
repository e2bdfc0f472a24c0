#include "update/Patch.h"

#include <QFile>
#include <algorithm>
#include <bit>
#include <memory>

#define ZSTD_STATIC_LINKING_ONLY // ZSTD_getFrameHeader, for the window a patch needs
#include <zstd.h>
#include <zstd_errors.h>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#endif

#include "transfer/Sha256.h"
#include "update/Paths.h"

namespace modUpdate {
namespace {

// The window (log2 of its size) that lets a patch refer from anywhere in the
// new file back to the start of the base: one past the larger file's highest
// bit, as zstd's own --patch-from chooses it.
int WindowLogFor(std::int64_t baseSize, std::int64_t newSize) {
    const auto largest = static_cast<std::uint64_t>(std::max(baseSize, newSize));
    return std::clamp(static_cast<int>(std::bit_width(largest)), ZSTD_WINDOWLOG_MIN,
                      ZSTD_WINDOWLOG_MAX_64);
}

// Opens path for reading and maps all of it; returns null (and why in why)
// when it cannot, also for an empty file, which cannot be mapped.
[[nodiscard]] const uchar* MapForReading(QFile& file, QString& why) {
    if (!file.open(QIODevice::ReadOnly)) {
        why = QStringLiteral("cannot read %1: %2").arg(file.fileName(), file.errorString());
        return nullptr;
    }
    if (file.size() == 0) {
        why = QStringLiteral("%1 is empty").arg(file.fileName());
        return nullptr;
    }
    const uchar* bytes = file.map(0, file.size());
    if (bytes == nullptr)
        why = QStringLiteral("cannot map %1: %2").arg(file.fileName(), file.errorString());
    return bytes;
}

// The base of a patch mapped for reading, unmapped when it goes.
struct BaseMapping {
    const uchar* bytes = nullptr;
    std::int64_t size = 0;
    BaseMapping() = default;
    BaseMapping(const BaseMapping&) = delete;
    BaseMapping& operator=(const BaseMapping&) = delete;
    ~BaseMapping() {
        if (bytes == nullptr)
            return;
#ifdef Q_OS_WIN
        UnmapViewOfFile(bytes);
#else
        ::munmap(const_cast<uchar*>(bytes), static_cast<std::size_t>(size));
#endif
    }
};

// Maps the ordinary file at path, opened without following a link, when it
// is the file with identity id (any file for "").
Result MapBase(const QString& path, const QString& id, BaseMapping& base) {
    QString found;
    const std::intptr_t file = OpenUnfollowed(path, true, found);
    if (file == -1)
        return Result::Failed(
            QStringLiteral("cannot read %1: it is missing, a link or no ordinary file").arg(path));
    QString why;
    if (!id.isEmpty() && found != id)
        why = QStringLiteral("%1 is no longer the file the update was planned with").arg(path);
#ifdef Q_OS_WIN
    const auto handle = reinterpret_cast<HANDLE>(file);
    LARGE_INTEGER size{};
    if (why.isEmpty() && GetFileSizeEx(handle, &size))
        base.size = size.QuadPart;
    const HANDLE mapping = why.isEmpty() && base.size > 0
                               ? CreateFileMappingW(handle, nullptr, PAGE_READONLY, 0, 0, nullptr)
                               : nullptr;
    if (mapping != nullptr) {
        base.bytes = static_cast<const uchar*>(MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0));
        CloseHandle(mapping);
    }
#else
    struct stat status {};
    if (why.isEmpty() && ::fstat(static_cast<int>(file), &status) == 0)
        base.size = status.st_size;
    if (why.isEmpty() && base.size > 0) {
        void* bytes = ::mmap(nullptr, static_cast<std::size_t>(base.size), PROT_READ, MAP_PRIVATE,
                             static_cast<int>(file), 0);
        base.bytes = bytes == MAP_FAILED ? nullptr : static_cast<const uchar*>(bytes);
    }
#endif
    CloseUnfollowed(file);
    if (why.isEmpty() && base.size == 0)
        why = QStringLiteral("%1 is empty").arg(path);
    if (why.isEmpty() && base.bytes == nullptr)
        why = QStringLiteral("cannot map %1").arg(path);
    return why.isEmpty() ? Result() : Result::Failed(why);
}

// Takes the room for `size` bytes of the open file on its disk, so that
// writing them through a mapping cannot fail for want of space.
Result Reserve(QFile& file, std::int64_t size) {
#ifdef Q_OS_WIN
    // Windows allocates what a file is extended to.
    return file.resize(size) ? Result() : Result::Failed(file.errorString());
#else
    const int error = ::posix_fallocate(file.handle(), 0, static_cast<off_t>(size));
    return error == 0 ? Result() : Result::Failed(QString::fromLocal8Bit(std::strerror(error)));
#endif
}

struct FreeCCtx {
    void operator()(ZSTD_CCtx* context) const { ZSTD_freeCCtx(context); }
};
struct FreeDCtx {
    void operator()(ZSTD_DCtx* context) const { ZSTD_freeDCtx(context); }
};

// Decompresses the patch (mapped) against the base (mapped) into out, which
// has room for exactly `size` bytes.
Result Decompress(const uchar* base, std::int64_t baseSize, const uchar* patch,
                  std::int64_t patchSize, uchar* out, std::int64_t size) {
    // The frame must promise exactly the file, within the window its files allow.
    ZSTD_frameHeader header{};
    if (ZSTD_getFrameHeader(&header, patch, static_cast<std::size_t>(patchSize)) != 0 ||
        header.frameType != ZSTD_frame)
        return Result::Failed(QStringLiteral("the patch is not a zstd frame"));
    if (header.frameContentSize != static_cast<unsigned long long>(size))
        return Result::Failed(QStringLiteral("the patch makes %1 bytes, not %2")
                                  .arg(header.frameContentSize == ZSTD_CONTENTSIZE_UNKNOWN
                                           ? QStringLiteral("an unknown number of")
                                           : QString::number(header.frameContentSize))
                                  .arg(size));
    const int windowLog = WindowLogFor(baseSize, size);
    if (header.windowSize > (1ULL << windowLog))
        return Result::Failed(
            QStringLiteral("the patch needs a window of %1 bytes, more than its files")
                .arg(header.windowSize));
    const std::unique_ptr<ZSTD_DCtx, FreeDCtx> context(ZSTD_createDCtx());
    if (!context)
        return Result::Failed(QStringLiteral("zstd could not start"));
    ZSTD_DCtx_setParameter(context.get(), ZSTD_d_windowLogMax, windowLog);
    if (ZSTD_isError(ZSTD_DCtx_refPrefix(context.get(), base, static_cast<std::size_t>(baseSize))))
        return Result::Failed(QStringLiteral("zstd refused the base"));
    const std::size_t made = ZSTD_decompressDCtx(context.get(), out, static_cast<std::size_t>(size),
                                                 patch, static_cast<std::size_t>(patchSize));
    if (ZSTD_isError(made))
        return Result::Failed(QStringLiteral("the patch is damaged or for another base (%1)")
                                  .arg(QString::fromLatin1(ZSTD_getErrorName(made))));
    if (made != static_cast<std::size_t>(size))
        return Result::Failed(
            QStringLiteral("the patch made %1 bytes, not %2").arg(made).arg(size));
    return Result();
}

} // namespace

Result MakePatch(const QString& basePath, const QString& newPath, std::int64_t most,
                 QByteArray& patch) {
    patch.clear();
    QFile base(basePath), fresh(newPath);
    QString why;
    const uchar* from = MapForReading(base, why);
    if (from == nullptr)
        return Result::Failed(why);
    const uchar* to = MapForReading(fresh, why);
    if (to == nullptr)
        return Result::Failed(why);
    if (base.size() >= PatchedFileLimit || fresh.size() >= PatchedFileLimit)
        return Result::Failed(QStringLiteral("%1 or %2 is 2 GiB or larger").arg(basePath, newPath));

    const std::unique_ptr<ZSTD_CCtx, FreeCCtx> context(ZSTD_createCCtx());
    if (!context)
        return Result::Failed(QStringLiteral("zstd could not start"));
    ZSTD_CCtx* c = context.get();
    const int windowLog = WindowLogFor(base.size(), fresh.size());
    size_t failed = 0;
    for (const auto& [parameter, value] : {std::pair{ZSTD_c_compressionLevel, 3},
                                           {ZSTD_c_windowLog, windowLog},
                                           {ZSTD_c_enableLongDistanceMatching, 1},
                                           {ZSTD_c_checksumFlag, 1},
                                           {ZSTD_c_contentSizeFlag, 1}})
        failed |= ZSTD_isError(ZSTD_CCtx_setParameter(c, parameter, value));
    failed |= ZSTD_isError(ZSTD_CCtx_refPrefix(c, from, static_cast<std::size_t>(base.size())));
    if (failed != 0)
        return Result::Failed(
            QStringLiteral("zstd refused the settings for a patch of %1").arg(newPath));
    // Only the bytes written are touched: a buffer of `most` costs no more.
    const auto room = static_cast<qsizetype>(std::min<std::int64_t>(
        most,
        static_cast<std::int64_t>(ZSTD_compressBound(static_cast<std::size_t>(fresh.size())))));
    patch.resize(room);
    const std::size_t made = ZSTD_compress2(c, patch.data(), static_cast<std::size_t>(room), to,
                                            static_cast<std::size_t>(fresh.size()));
    if (ZSTD_isError(made)) {
        patch.clear();
        if (ZSTD_getErrorCode(made) == ZSTD_error_dstSize_tooSmall)
            return Result(); // larger than `most`: no patch
        return Result::Failed(QStringLiteral("zstd could not make a patch of %1: %2")
                                  .arg(newPath, QString::fromLatin1(ZSTD_getErrorName(made))));
    }
    patch.resize(static_cast<qsizetype>(made));
    patch.squeeze();
    return Result();
}

Result ApplyPatch(const QString& basePath, const QString& baseId, const QString& patchPath,
                  const QString& outPath, std::int64_t size, const QString& sha256) {
    QFile patch(patchPath), out(outPath);
    BaseMapping base;
    if (const Result mapped = MapBase(basePath, baseId, base); !mapped)
        return mapped;
    QString why;
    const uchar* delta = MapForReading(patch, why);
    if (delta == nullptr)
        return Result::Failed(why);
    if (size <= 0 || size >= PatchedFileLimit)
        return Result::Failed(QStringLiteral("a patch cannot make a file of %1 bytes").arg(size));
    if (!out.open(QIODevice::ReadWrite | QIODevice::Truncate))
        return Result::Failed(
            QStringLiteral("cannot write %1: %2").arg(outPath, out.errorString()));
    if (const Result reserved = Reserve(out, size); !reserved) {
        out.close();
        QFile::remove(outPath);
        return Result::Failed(QStringLiteral("cannot write %1: %2").arg(outPath, reserved.why()));
    }
    uchar* to = out.map(0, size);
    if (to == nullptr)
        why = QStringLiteral("cannot map %1: %2").arg(outPath, out.errorString());
    else
        why = Decompress(base.bytes, base.size, delta, patch.size(), to, size).why();
    if (why.isEmpty()) {
        Sha256 hash;
        hash.Add(to, static_cast<std::size_t>(size));
        const QString made = QString::fromStdString(hash.HexDigest());
        if (made != sha256)
            why = QStringLiteral("the patched file has the SHA-256 %1, not %2").arg(made, sha256);
    }
#ifdef Q_OS_WIN
    // Windows writes a view's pages with the file's own flush only once the
    // view itself was flushed.
    if (why.isEmpty() && FlushViewOfFile(to, 0) == 0)
        why = QStringLiteral("cannot write %1").arg(outPath);
#endif
    if (to != nullptr)
        out.unmap(to);
    out.close();
    if (!why.isEmpty())
        QFile::remove(outPath);
    return why.isEmpty() ? Result() : Result::Failed(why);
}

} // namespace modUpdate
