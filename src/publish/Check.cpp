#include "publish/Check.h"

#include <QDir>
#include <QFileInfo>

#include "publish/Names.h"
#include "publish/ServerManifest.h"

QStringList ServerFolderProblems(const QString& serverDir) {
    if (!QFileInfo(serverDir).isDir())
        return {QStringLiteral("%1 is not a folder").arg(serverDir)};
    const ServerManifest manifest = ReadServerManifest(serverDir);
    if (!manifest.found)
        return {QStringLiteral("%1 has no info.ini").arg(serverDir)};
    QStringList problems = manifest.problems;
    problems += EntryListProblems(manifest.entries);
    const QDir dir(serverDir);
    for (const PublishEntry& entry : manifest.entries) {
        // A name that breaks the rules is reported above and may not name a file here.
        if (!NameProblem(entry.name, entry.folder).isEmpty())
            continue;
        if (!QFileInfo(dir.filePath(entry.name)).isFile())
            problems << QStringLiteral("%1: the file %2 is missing from the server folder")
                            .arg(entry.label, entry.name);
    }
    if (QFileInfo::exists(dir.filePath(QString::fromLatin1(PendingFileName))))
        problems << QStringLiteral("%1 is there: a publishing run did not finish; run "
                                   "quelmor-publish again")
                        .arg(QString::fromLatin1(PendingFileName));
    return problems;
}

int CheckServer(const QString& serverDir, QTextStream& out, QTextStream& err) {
    const QStringList problems = ServerFolderProblems(serverDir);
    if (problems.isEmpty()) {
        const ServerManifest manifest = ReadServerManifest(serverDir);
        out << QStringLiteral("OK: %1 serves version %2 with %3 files\n")
                   .arg(QDir::toNativeSeparators(serverDir), manifest.version)
                   .arg(manifest.entries.size());
        return 0;
    }
    for (const QString& problem : problems)
        out << problem << '\n';
    err << QStringLiteral("quelmor-publish: %1 has %2 problem(s)\n")
               .arg(QDir::toNativeSeparators(serverDir))
               .arg(problems.size());
    return 1;
}
