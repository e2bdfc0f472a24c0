// Working out a publishing run: which entries are added, changed, unchanged
// or kept, which files must be copied, and every reason to refuse the run.
#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QSet>

#include "publish/FileBytes.h"
#include "publish/PublishPlan.h"
#include "publish/Release.h"
#include "publish/ServerManifest.h"
#include "publish/Versions.h"

namespace {

// The absolute path of path with every link resolved, also when its last
// levels do not exist yet. Cannot fail.
QString RealPath(const QString& path) {
    QFileInfo info(QFileInfo(path).absoluteFilePath());
    QStringList missing;
    while (!info.exists() && !info.isRoot()) {
        missing.prepend(info.fileName());
        info = QFileInfo(info.absolutePath());
    }
    QString real = info.exists() ? info.canonicalFilePath() : info.absoluteFilePath();
    for (const QString& level : missing)
        real = QDir(real).filePath(level);
    return real;
}

// True when path is folder or lies inside it.
bool IsInside(const QString& path, const QString& folder) {
    return path == folder || path.startsWith(folder.endsWith(u'/') ? folder : folder + u'/');
}

// Checks the folders, the version and the news of the request; adds what is
// wrong to problems.
void CheckRequest(const PublishRequest& request, const QString& release, const QString& server,
                  QStringList& problems) {
    if (!QFileInfo(request.releaseDir).isDir())
        problems << QStringLiteral("the release folder %1 does not exist").arg(request.releaseDir);
    else if (IsInside(server, release))
        problems << QStringLiteral("the server folder %1 lies inside the release folder %2")
                        .arg(request.serverDir, request.releaseDir);
    if (QFileInfo::exists(server) && !QFileInfo(server).isDir())
        problems << QStringLiteral("the server folder %1 is not a folder").arg(request.serverDir);
    if (request.version.isEmpty())
        problems << QStringLiteral("the version is empty: give --version a value players have "
                                   "not had yet");
    else if (const QString reason = ValueProblem(request.version); !reason.isEmpty())
        problems << QStringLiteral("the version \"%1\" cannot be written to the manifest: %2")
                        .arg(request.version, reason);
    if (!request.newsFile.isEmpty()) {
        QFile news(request.newsFile);
        if (!QFileInfo(request.newsFile).isFile() || !news.open(QIODevice::ReadOnly))
            problems << QStringLiteral("the news file %1 cannot be read").arg(request.newsFile);
    }
}

// Adds a problem for every target of the plan that exists but is no file.
void CheckTargets(const PublishPlan& plan, QStringList& problems) {
    QStringList targets;
    for (const CopyJob& copy : plan.copies)
        targets << copy.target;
    for (const char* own : {ManifestFileName, NewsFileName, PendingFileName})
        targets << QDir(plan.serverDir).filePath(QString::fromLatin1(own));
    for (const QString& target : targets) {
        if (QFileInfo::exists(target) && !QFileInfo(target).isFile())
            problems
                << QStringLiteral("%1 is in the way on the server: it is not a file").arg(target);
    }
}

// What a release file is matched against: the manifest entries, by name with
// letter case ignored, and the server copies that may be stale.
struct Previous {
    ServerManifest manifest;
    QHash<QString, qsizetype> byName; // folded name -> index in manifest.entries
    QSet<QString> pending;            // folded names an unfinished run replaced
};

// Places one release file into the plan: a new entry at the end, an
// unchanged entry, or an entry of the previous manifest with a new version.
void PlaceFile(const ReleaseFile& file, const Previous& previous, QList<bool>& matched,
               PublishPlan& plan) {
    const QDir server(plan.serverDir);
    const QString target = server.filePath(file.name);
    PublishEntry entry{file.name, QString::fromLatin1(FirstFileVersion),
                       CanonicalFolder(file.folder), ReleasePath(file)};
    const auto found = previous.byName.constFind(FoldName(file.name));
    if (found == previous.byName.constEnd()) {
        plan.added << QStringLiteral("%1 (%2)").arg(entry.label, entry.version);
        if (!SameBytes(file.path, target))
            plan.copies.append({file.path, target});
        plan.entries << entry;
        return;
    }
    matched[*found] = true;
    const PublishEntry& old = previous.manifest.entries[*found];
    const bool sameBytes = SameBytes(file.path, server.filePath(old.name));
    QStringList why;
    if (old.name != file.name)
        why << QStringLiteral("was named %1").arg(old.name);
    if (CanonicalFolder(old.folder) != entry.folder)
        why << QStringLiteral("moved from \"%1\"").arg(CanonicalFolder(old.folder));
    if (previous.pending.contains(FoldName(file.name)))
        why << QStringLiteral("its server copy was replaced by an unfinished run");
    if (sameBytes && why.isEmpty()) {
        plan.entries[*found].label = entry.label;
        plan.unchanged << QStringLiteral("%1 (%2)").arg(entry.label, old.version);
        return;
    }
    if (!QFileInfo(server.filePath(old.name)).isFile())
        why.prepend(QStringLiteral("its server copy was missing"));
    else if (!sameBytes)
        why.prepend(QStringLiteral("new bytes"));
    entry.version = NextFileVersion(old.version);
    plan.entries[*found] = entry;
    plan.changed << QStringLiteral("%1 (%2 -> %3: %4)")
                        .arg(entry.label, old.version, entry.version,
                             why.join(QStringLiteral(", ")));
    if (old.name != file.name ? !SameBytes(file.path, target) : !sameBytes)
        plan.copies.append({file.path, target});
    plan.pending << file.name;
}

// Keeps an entry of the previous manifest whose file left the release: its
// server copy must still be there for players who install from scratch.
void KeepEntry(qsizetype index, const Previous& previous, PublishPlan& plan,
               QStringList& problems) {
    PublishEntry& entry = plan.entries[index];
    if (!QFileInfo(QDir(plan.serverDir).filePath(entry.name)).isFile()) {
        problems << QStringLiteral("%1 is no longer in the release and its copy is missing from "
                                   "the server folder: players installing from scratch could not "
                                   "finish; put the file back into the release")
                        .arg(entry.label);
        return;
    }
    if (!previous.pending.contains(FoldName(entry.name))) {
        plan.kept << QStringLiteral("%1 (%2)").arg(entry.label, entry.version);
        return;
    }
    const QString old = entry.version;
    entry.version = NextFileVersion(old);
    plan.kept << QStringLiteral("%1 (%2 -> %3: its server copy was replaced by an unfinished run)")
                     .arg(entry.label, old, entry.version);
    plan.pending << entry.name;
}

// Reads the previous manifest and the record of an unfinished run; adds to
// problems what makes them unusable to publish over.
Previous ReadPrevious(const QString& serverDir, QStringList& problems) {
    Previous previous;
    if (!QFileInfo(serverDir).isDir())
        return previous;
    previous.manifest = ReadServerManifest(serverDir);
    QStringList found = previous.manifest.problems;
    found += EntryListProblems(previous.manifest.entries);
    for (const QString& problem : found)
        problems << QStringLiteral("the published info.ini must be fixed first: ") + problem;
    previous.pending = ReadPendingNames(serverDir, problems);
    for (qsizetype i = 0; i < previous.manifest.entries.size(); ++i)
        previous.byName.insert(FoldName(previous.manifest.entries[i].name), i);
    return previous;
}

} // namespace

PublishPlan PlanPublish(const PublishRequest& request, QStringList& problems) {
    PublishPlan plan;
    const QString release = RealPath(request.releaseDir);
    plan.serverDir = RealPath(request.serverDir);
    plan.version = request.version;
    plan.newsSource = request.newsFile;
    CheckRequest(request, release, plan.serverDir, problems);
    if (!QFileInfo(release).isDir() ||
        (QFileInfo::exists(plan.serverDir) && !QFileInfo(plan.serverDir).isDir()))
        return plan; // nothing more can be looked at

    const Previous previous = ReadPrevious(plan.serverDir, problems);
    const QList<ReleaseFile> files = ScanRelease(release, problems);
    QList<PublishEntry> releaseEntries;
    for (const ReleaseFile& file : files)
        releaseEntries.append(
            {file.name, QString(), CanonicalFolder(file.folder), ReleasePath(file)});
    problems += EntryListProblems(releaseEntries);
    if (!problems.isEmpty())
        return plan;

    plan.oldVersion = previous.manifest.version;
    plan.entries = previous.manifest.entries;
    QList<bool> matched(plan.entries.size(), false);
    for (const ReleaseFile& file : files)
        PlaceFile(file, previous, matched, plan);
    for (qsizetype i = 0; i < matched.size(); ++i) {
        if (!matched[i])
            KeepEntry(i, previous, plan, problems);
    }
    // A file that left the release may hold the name of a folder now needed.
    problems += EntryListProblems(plan.entries);
    CheckTargets(plan, problems);

    // Every entry with a raised version is in pending.
    const bool changes = !plan.added.isEmpty() || !plan.pending.isEmpty();
    if (previous.manifest.found && request.version == previous.manifest.version && changes)
        problems << QStringLiteral("version %1 is already published, and files changed: players "
                                   "who have it would never look for the changes; give a new "
                                   "--version")
                        .arg(request.version);
    return plan;
}
