#pragma once
// The list of versions published into a server folder, kept there as
// .quelmor-publish-versions: one line per publishing run, the release number,
// a tab, the version ("3<TAB>1.1"), oldest first.

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

namespace publish {
// One publishing run.
struct PublishedVersion {
    qint64 release = 0;
    QString version;
};

// The runs listed in serverDir's history; empty when there is none. A history
// that cannot be read, or a line that is not a release number, a tab and a
// version, is added to problems.
QList<PublishedVersion> ReadHistory(const QString& serverDir, QStringList& problems);

// The text of a history: one line per run.
[[nodiscard]] QByteArray HistoryText(const QList<PublishedVersion>& history);

} // namespace publish
