#include "publish/History.h"

#include <QDir>
#include <QFile>

#include "publish/Names.h"

namespace publish {
QList<PublishedVersion> ReadHistory(const QString& serverDir, QStringList& problems) {
    QList<PublishedVersion> history;
    const QString name = QString::fromLatin1(HistoryFileName);
    QFile file(QDir(serverDir).filePath(name));
    if (!file.exists())
        return history;
    if (!file.open(QIODevice::ReadOnly)) {
        problems << QStringLiteral("%1 cannot be read: %2").arg(name, file.errorString());
        return history;
    }
    const QList<QByteArray> lines = file.readAll().split('\n');
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const QString line = QString::fromUtf8(lines[i]).remove(QLatin1Char('\r'));
        if (line.isEmpty())
            continue;
        bool ok = false;
        const qint64 release = line.section(u'\t', 0, 0).toLongLong(&ok);
        const QString version = line.section(u'\t', 1);
        if (!ok || release < 0 || version.isEmpty())
            problems << QStringLiteral("line %1 of %2 is not a release number, a tab and a "
                                       "version; mend it by hand")
                            .arg(i + 1)
                            .arg(name);
        else
            history.append({release, version});
    }
    return history;
}

QByteArray HistoryText(const QList<PublishedVersion>& history) {
    QByteArray text;
    for (const PublishedVersion& run : history)
        text += QByteArray::number(run.release) + '\t' + run.version.toUtf8() + '\n';
    return text;
}

} // namespace publish
