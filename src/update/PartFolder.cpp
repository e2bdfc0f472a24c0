#include "update/PartFolder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <chrono>
#include <filesystem>
#include <system_error>
#include <thread>

#include "transfer/Sha256.h"
#include "update/Failure.h"
#include "update/Paths.h"

namespace modUpdate {
namespace {

const QString LockName = QStringLiteral("lock");

// The SHA-256 of bytes as lower-case hex.
QString Sha256Hex(const QByteArray& bytes) {
    Sha256 hash;
    hash.Add(bytes.constData(), static_cast<std::size_t>(bytes.size()));
    return QString::fromStdString(hash.HexDigest());
}

// Removes path and, for a folder, everything in it; a link is removed as a
// link, never followed. Errors are ignored.
void RemoveAll(const QString& path) {
    std::error_code ignored;
    std::filesystem::remove_all(ToPath(path), ignored);
}

// Removes every entry of the folder for which keep is false.
template <typename Keep> void RemoveEntries(Keep keep) {
    if (IsLink(PartFolder()) || !QFileInfo(PartFolder()).isDir())
        return;
    const QDir folder(PartFolder());
    const QStringList names =
        folder.entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
    for (const QString& name : names) {
        if (!keep(name))
            RemoveAll(folder.filePath(name));
    }
}

} // namespace

QString PartFolder() {
    return AppPath(QStringLiteral(".quelmor-partial"));
}

QString PartFileOf(const QString& key) {
    return PartFolder() + QLatin1Char('/') + key + QStringLiteral(".part");
}

QString PartRecordOf(const QString& key) {
    return PartFolder() + QLatin1Char('/') + key + QStringLiteral(".record");
}

QString PartKeyOf(const QString& url, std::int64_t size, const QString& sha256) {
    return Sha256Hex(QStringLiteral("%1\n%2\n%3").arg(url, QString::number(size), sha256).toUtf8());
}

Locking OpenPartFolder(HeldLock& lock, QString& why) {
    const QString folder = PartFolder();
    // Another updater may make or remove the folder meanwhile: every step
    // takes what it finds, and a lock file that went away is taken anew.
    for (int attempt = 0; attempt < 100; ++attempt) {
        if (IsLink(folder) || (QFileInfo::exists(folder) && !QFileInfo(folder).isDir()))
            RemoveAll(folder); // the updater's own name: a link or a file there goes
        std::error_code error;
        std::filesystem::create_directory(ToPath(folder), error);
        if (error && !(QFileInfo(folder).isDir() && !IsLink(folder))) {
            why = QString::fromStdString(error.message());
            return Locking::Failed;
        }
        const QString lockPath = folder + QLatin1Char('/') + LockName;
        if (!DropLink(lockPath)) {
            why = QStringLiteral("a link in the place of its lock file cannot be removed");
            return Locking::Failed;
        }
        const Locking locking = TakeLock(lockPath, lock, why);
        if (locking != Locking::Vanished)
            return locking;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    why = QStringLiteral("its lock file keeps vanishing");
    return Locking::Failed;
}

void MakePartFolder() {
    const QString folder = PartFolder();
    if (!IsLink(folder) && QFileInfo(folder).isDir())
        return;
    RemoveAll(folder);
    if (!QDir().mkdir(folder))
        Fail(
            QStringLiteral("Could not create the folder %1.").arg(QDir::toNativeSeparators(folder)),
            ForPlayer::NotWritable());
}

void KeepOrDropPart(const QString& key) {
    const QString part = PartFileOf(key);
    const QString record = PartRecordOf(key);
    QFile lines(record);
    const bool recorded = IsPlainFile(record) && lines.open(QIODevice::ReadOnly);
    // The record's third line is the whole size: a whole file is always worth keeping.
    const qint64 size = QFileInfo(part).size();
    if (recorded)
        lines.readLine(), lines.readLine();
    const bool whole =
        recorded && size > 0 && lines.readLine().trimmed() == QByteArray::number(size);
    if (recorded && (size >= KeptPartBytes || whole))
        return;
    QFile::remove(part);
    QFile::remove(record);
}

void CleanPartFolder(const QSet<QString>& keys) {
    RemoveEntries([&](const QString& name) {
        const QString key = name.section(QLatin1Char('.'), 0, 0);
        return name == LockName ||
               (keys.contains(key) &&
                (name == key + QStringLiteral(".part") || name == key + QStringLiteral(".record")));
    });
}

void RemovePartFolder(HeldLock& lock) {
    RemoveEntries([](const QString& name) { return name == LockName; });
    ClosePartFolder(lock);
}

void ClosePartFolder(HeldLock& lock) {
    ReleaseLock(lock); // removes the lock file
    if (!IsLink(PartFolder()))
        QDir().rmdir(PartFolder()); // only when nothing in it is worth keeping
}

} // namespace modUpdate
