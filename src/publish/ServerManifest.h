#pragma once
// The server folder's manifest, info.ini, as the publishing tool reads and
// writes it, and the record of a publishing run that did not finish.

#include <QByteArray>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>
#include <cstdint>

#include "publish/Names.h"

namespace publish {
// The most patches one entry offers.
inline constexpr int MostPatchesPerEntry = 3;

// What the manifest of a server folder says.
struct ServerManifest {
    bool found = false;          // the folder has an info.ini
    QString version;             // "Version" of [VERSION]
    qint64 release = 0;          // "Release" of [VERSION], 0 when it has none
    std::int32_t max = 0;        // "Max" of [VERSION]
    bool byHash = false;         // "ByHash=1" in [VERSION]: by-hash/ holds every file and patch
    QList<PublishEntry> entries; // entries 1 to max in order, labelled "entry N (path)"
    QStringList problems;        // what makes the manifest unusable, one message each
    QStringList unreadPatchKeys; // patch keys the updater never reads, one message each
};

// Reads SERVER_DIR/info.ini the way the updater does. A missing manifest gives
// found == false and no problems. Problems: an unreadable file, no Version, no
// Max or one the updater cannot read, a negative Max, a Release that is not a
// whole number, an entry 1..Max without a name, a FileName key the updater
// never reads (past Max, or a number written with leading zeros).
// Each entry's patches are read for k = 1, 2, 3 up to the first k without any
// of the four patch keys; other patch keys go to unreadPatchKeys.
ServerManifest ReadServerManifest(const QString& serverDir);

// Reads the manifest file at path the same way; its problems name it as
// info.ini too.
ServerManifest ReadManifestFile(const QString& path);

// The text of a manifest with the given version, release and entries (with
// their sizes, SHA-256 hashes and patches), numbered from 1 in list order,
// CRLF line ends, stating ByHash=1; folders are written as CanonicalFolder gives them ("\"
// separators, none at either end), which the updater reads as the same folder as any other
// spelling.
[[nodiscard]] QByteArray ManifestText(const QString& version, qint64 release,
                                      const QList<PublishEntry>& entries);

// The folded names listed in SERVER_DIR's record of an unfinished run: files
// whose server copy was replaced while the manifest still names the old
// version. Empty when there is no record; a record that cannot be read is
// added to problems.
QSet<QString> ReadPendingNames(const QString& serverDir, QStringList& problems);

// The text of such a record: one name a line.
[[nodiscard]] QByteArray PendingText(const QStringList& names);

} // namespace publish
