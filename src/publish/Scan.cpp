#include "publish/Release.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <algorithm>

#include "publish/Names.h"

QList<ReleaseFile> ScanRelease(const QString& releaseDir, QStringList& problems) {
    QList<ReleaseFile> files;
    const QDir root(releaseDir);
    QDirIterator it(releaseDir,
                    QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QFileInfo info(it.next());
        const QString relative = root.relativeFilePath(info.filePath());
        if (info.isDir() && !info.isSymLink())
            continue; // its files come on their own
        if (info.isDir()) {
            problems << relative +
                            QStringLiteral(": it is a link to a folder; publish a real folder");
            continue;
        }
        if (!info.isFile()) {
            problems << relative + QStringLiteral(": it is not a file (a broken link, a device or "
                                                  "a pipe)");
            continue;
        }
        QFile probe(info.filePath());
        if (!probe.open(QIODevice::ReadOnly)) {
            problems << relative + QStringLiteral(": it cannot be read: ") + probe.errorString();
            continue;
        }
        const qsizetype slash = relative.lastIndexOf(QLatin1Char('/'));
        files.append({info.filePath(), relative.mid(slash + 1),
                      slash < 0 ? QString() : relative.left(slash)});
    }
    std::sort(files.begin(), files.end(), [](const ReleaseFile& a, const ReleaseFile& b) {
        return a.folder != b.folder ? a.folder < b.folder : a.name < b.name;
    });
    return files;
}

QString ReleasePath(const ReleaseFile& file) {
    return JoinPath(file.folder, file.name, QLatin1Char('/'));
}
