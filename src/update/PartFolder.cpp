#include "update/PartFolder.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QLockFile>
#include <filesystem>
#include <memory>
#include <system_error>

#include "transfer/Sha256.h"
#include "update/Failure.h"
#include "update/Paths.h"

namespace {

const QString PlacedList = QStringLiteral("placed");
const QString LockName = QStringLiteral("lock");

// The SHA-256 of bytes as lower-case hex.
QString HashOf(const QByteArray& bytes) {
    Sha256 hash;
    hash.Add(bytes.constData(), static_cast<std::size_t>(bytes.size()));
    return QString::fromStdString(hash.HexDigest());
}

// The lock of this run, while it holds it.
std::unique_ptr<QLockFile> lock;

// What the list says of each key: "<size> <modification time in ms>".
QHash<QString, QString> placed;
// The release the list is for, and whether the file on disk is for it.
QString placedRelease;
bool placedListOnDisk = false;

// "<size> <modification time in ms>" of the file at path, "" when it is
// missing or is no ordinary file of its own.
QString StampOf(const QString& path) {
    if (!IsPlainFile(path))
        return QString();
    const QFileInfo file(path);
    return QStringLiteral("%1 %2").arg(file.size()).arg(file.lastModified().toMSecsSinceEpoch());
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
    return HashOf(QStringLiteral("%1\n%2\n%3").arg(url, QString::number(size), sha256).toUtf8());
}

bool OpenPartFolder() {
    const QString folder = PartFolder();
    if (IsLink(folder) || (QFileInfo::exists(folder) && !QFileInfo(folder).isDir()))
        RemoveAll(folder); // the updater's own name: a link or a file there goes
    if (!QFileInfo(folder).isDir() && !QDir().mkdir(folder))
        return false;
    DropLink(folder + QLatin1Char('/') + LockName);
    lock = std::make_unique<QLockFile>(folder + QLatin1Char('/') + LockName);
    lock->setStaleLockTime(0); // an update may take hours; only a dead updater's lock is stale
    if (lock->tryLock(0))
        return true;
    const bool taken = lock->error() == QLockFile::LockFailedError;
    lock.reset();
    if (taken)
        throw AlreadyRunning{};
    return false;
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
        return name == LockName || name == PlacedList ||
               (keys.contains(key) &&
                (name == key + QStringLiteral(".part") || name == key + QStringLiteral(".record")));
    });
}

void RemovePartFolder() {
    RemoveEntries([](const QString& name) { return name == LockName; });
    placed.clear();
    placedListOnDisk = false;
    ClosePartFolder();
}

void ClosePartFolder() {
    lock.reset(); // removes the lock file
    if (!IsLink(PartFolder()))
        QDir().rmdir(PartFolder()); // only when nothing in it is worth keeping
}

void OpenPlacedList(const QByteArray& manifest) {
    placed.clear();
    placedRelease = HashOf(manifest);
    const QString path = PartFolder() + QLatin1Char('/') + PlacedList;
    QFile list(path);
    placedListOnDisk = IsPlainFile(path) && list.open(QIODevice::ReadOnly) &&
                       QString::fromLatin1(list.readLine()).trimmed() == placedRelease;
    while (placedListOnDisk && !list.atEnd()) {
        const QString line = QString::fromUtf8(list.readLine()).chopped(1);
        placed.insert(line.section(QLatin1Char(' '), 2), line.section(QLatin1Char(' '), 0, 1));
    }
}

bool IsListed(const QString& key) {
    return placed.contains(key);
}

bool WasPlaced(const QString& key, const QString& path) {
    const auto found = placed.constFind(key);
    return found != placed.constEnd() && *found == StampOf(path);
}

void NotePlaced(const QString& key, const QString& path) {
    if (key.contains(QLatin1Char('\n')))
        return;
    const QString stamp = StampOf(path);
    placed.insert(key, stamp);
    const QString listPath = PartFolder() + QLatin1Char('/') + PlacedList;
    if (!DropLink(listPath))
        return;
    QFile list(listPath);
    if (!placedListOnDisk) {
        // The list of another release (or none) gives way to this one's.
        if (!list.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return;
        list.write(placedRelease.toLatin1() + '\n');
        placedListOnDisk = true;
    } else if (!list.open(QIODevice::WriteOnly | QIODevice::Append)) {
        return;
    }
    list.write((stamp + QLatin1Char(' ') + key + QLatin1Char('\n')).toUtf8());
}

void ForgetPlaced() {
    placed.clear();
    placedListOnDisk = false;
    QFile::remove(PartFolder() + QLatin1Char('/') + PlacedList);
}
