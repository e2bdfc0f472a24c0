#include "publish/FileBytes.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

namespace {

// Files are read and compared in blocks of this size.
constexpr qint64 BlockSize = 1 << 20;

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

QString CopyFileSafely(const QString& source, const QString& target) {
    QFile in(source);
    if (!in.open(QIODevice::ReadOnly))
        return QStringLiteral("cannot read %1: %2").arg(source, in.errorString());
    QSaveFile out(target);
    if (!out.open(QIODevice::WriteOnly))
        return QStringLiteral("cannot write %1: %2").arg(target, out.errorString());
    for (;;) {
        const QByteArray block = in.read(BlockSize);
        if (in.error() != QFileDevice::NoError)
            return QStringLiteral("cannot read %1: %2").arg(source, in.errorString());
        if (block.isEmpty())
            break;
        if (out.write(block) != block.size())
            return QStringLiteral("cannot write %1: %2").arg(target, out.errorString());
    }
    if (!out.commit())
        return QStringLiteral("cannot write %1: %2").arg(target, out.errorString());
    return QString();
}

QString WriteFileSafely(const QString& target, const QByteArray& bytes) {
    QSaveFile out(target);
    if (!out.open(QIODevice::WriteOnly) || out.write(bytes) != bytes.size() || !out.commit())
        return QStringLiteral("cannot write %1: %2").arg(target, out.errorString());
    return QString();
}
