#include "update/PartFolder.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>

#include "transfer/Sha256.h"
#include "update/Failure.h"
#include "update/Paths.h"

namespace {

const QString PlacedList = QStringLiteral("placed");

// The SHA-256 of bytes as lower-case hex.
QString HashOf(const QByteArray& bytes) {
    Sha256 hash;
    hash.Add(bytes.constData(), static_cast<std::size_t>(bytes.size()));
    return QString::fromStdString(hash.HexDigest());
}

// What the list says of each key: "<size> <modification time in ms>".
QHash<QString, QString> placed;
// The release the list is for, and whether the file on disk is for it.
QString placedRelease;
bool placedListOnDisk = false;

// "<size> <modification time in ms>" of the file at path, "" when it is missing.
QString StampOf(const QString& path) {
    const QFileInfo file(path);
    if (!file.isFile())
        return QString();
    return QStringLiteral("%1 %2").arg(file.size()).arg(file.lastModified().toMSecsSinceEpoch());
}

} // namespace

QString PartFolder() {
    return AppPath(QStringLiteral(".quelmor-partial"));
}

QString PartFileOf(const QString& url) {
    return PartFolder() + QLatin1Char('/') + HashOf(url.toUtf8()) + QStringLiteral(".part");
}

QString PartRecordOf(const QString& url) {
    return PartFolder() + QLatin1Char('/') + HashOf(url.toUtf8()) + QStringLiteral(".record");
}

void MakePartFolder() {
    if (!QDir().mkpath(PartFolder()))
        Fail(QStringLiteral("Could not create the folder %1.")
                 .arg(QDir::toNativeSeparators(PartFolder())));
}

void KeepOrDropPart(const QString& url) {
    const QString part = PartFileOf(url);
    const QString record = PartRecordOf(url);
    if (QFileInfo(part).size() >= KeptPartBytes && QFileInfo(record).isFile())
        return;
    QFile::remove(part);
    QFile::remove(record);
}

void CleanPartFolder() {
    const QDir folder(PartFolder());
    const QStringList names = folder.entryList(QDir::Files | QDir::Hidden | QDir::System);
    for (const QString& name : names) {
        const QString stem = name.section(QLatin1Char('.'), 0, 0);
        const QFileInfo part(folder.filePath(stem + QStringLiteral(".part")));
        const bool record = QFileInfo(folder.filePath(stem + QStringLiteral(".record"))).isFile();
        const bool keep = name == PlacedList || (record && part.size() >= KeptPartBytes);
        if (!keep)
            QFile::remove(folder.filePath(name));
    }
}

void RemovePartFolder() {
    QDir(PartFolder()).removeRecursively();
    placed.clear();
    placedListOnDisk = false;
}

void OpenPlacedList(const QByteArray& manifest) {
    placed.clear();
    placedRelease = HashOf(manifest);
    QFile list(PartFolder() + QLatin1Char('/') + PlacedList);
    placedListOnDisk = list.open(QIODevice::ReadOnly) &&
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
    QFile list(PartFolder() + QLatin1Char('/') + PlacedList);
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
