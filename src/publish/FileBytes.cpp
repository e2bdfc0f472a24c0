#include "publish/FileBytes.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <functional>
#include <stdexcept>

#include "transfer/Sha256.h"

using namespace modUpdate;

namespace publish {

namespace {

// Files are read and compared in blocks of this size.
constexpr qint64 BlockSize = 1 << 20;

// Reads the open file in blocks to its end, hashing each and handing it to
// take. Fails when reading, hashing or take fails.
Result ReadAndDigest(QFile& in, FileDigest& digest,
                     const std::function<Result(const QByteArray&)>& take) {
    try {
        Sha256 sha256;
        digest.size = 0;
        for (;;) {
            const QByteArray block = in.read(BlockSize);
            if (in.error() != QFileDevice::NoError)
                return Result::Failed(
                    QStringLiteral("cannot read %1: %2").arg(in.fileName(), in.errorString()));
            if (block.isEmpty())
                break;
            sha256.Add(block.constData(), static_cast<std::size_t>(block.size()));
            digest.size += block.size();
            if (const Result taken = take(block); !taken)
                return taken;
        }
        digest.sha256 = QString::fromStdString(sha256.HexDigest());
    } catch (const std::runtime_error& failure) {
        return Result::Failed(QStringLiteral("cannot hash %1: %2")
                                  .arg(in.fileName(), QString::fromUtf8(failure.what())));
    }
    return Result();
}

} // namespace

bool SameBytes(const QString& a, const QString& b) {
    const QFileInfo infoA(a);
    const QFileInfo infoB(b);
    if (!infoA.isFile() || !infoB.isFile() || infoA.size() != infoB.size())
        return false;
    QFile fileA(a);
    QFile fileB(b);
    if (!fileA.open(QIODevice::ReadOnly) || !fileB.open(QIODevice::ReadOnly))
        return false;
    for (;;) {
        const QByteArray blockA = fileA.read(BlockSize);
        const QByteArray blockB = fileB.read(BlockSize);
        if (blockA != blockB || fileA.error() != QFileDevice::NoError ||
            fileB.error() != QFileDevice::NoError)
            return false;
        if (blockA.isEmpty())
            return fileA.atEnd() && fileB.atEnd();
    }
}

Result DigestFile(const QString& path, FileDigest& digest) {
    QFile in(path);
    if (!in.open(QIODevice::ReadOnly))
        return Result::Failed(QStringLiteral("cannot read %1: %2").arg(path, in.errorString()));
    return ReadAndDigest(in, digest, [](const QByteArray&) { return Result(); });
}

Result CopyFileSafely(const QString& source, const QString& target, const QString& sha256) {
    QFile in(source);
    if (!in.open(QIODevice::ReadOnly))
        return Result::Failed(QStringLiteral("cannot read %1: %2").arg(source, in.errorString()));
    QSaveFile out(target);
    if (!out.open(QIODevice::WriteOnly))
        return Result::Failed(QStringLiteral("cannot write %1: %2").arg(target, out.errorString()));
    FileDigest copied;
    const Result failure = ReadAndDigest(in, copied, [&](const QByteArray& block) {
        return out.write(block) == block.size()
                   ? Result()
                   : Result::Failed(
                         QStringLiteral("cannot write %1: %2").arg(target, out.errorString()));
    });
    if (!failure)
        return failure;
    if (!sha256.isEmpty() && copied.sha256 != sha256)
        return Result::Failed(
            QStringLiteral("%1 changed while it was being published").arg(source));
    // A write may stop short without an error (a file size limit, a full
    // quota): the bytes on the disk are counted before the copy takes its place.
    if (!out.flush() || out.size() != copied.size) {
        out.cancelWriting();
        return Result::Failed(
            QStringLiteral("cannot write %1: only part of its %2 bytes reached the disk")
                .arg(target)
                .arg(copied.size));
    }
    if (!out.commit())
        return Result::Failed(QStringLiteral("cannot write %1: %2").arg(target, out.errorString()));
    return Result();
}

Result WriteFileSafely(const QString& target, const QByteArray& bytes) {
    QSaveFile out(target);
    if (!out.open(QIODevice::WriteOnly) || out.write(bytes) != bytes.size() || !out.commit())
        return Result::Failed(QStringLiteral("cannot write %1: %2").arg(target, out.errorString()));
    return Result();
}

} // namespace publish
