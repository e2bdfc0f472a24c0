// Working out a publishing run: which entries are added, changed, unchanged
// or kept, which files must be copied, and every reason to refuse the run.
#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QSet>

#include "publish/FileBytes.h"
#include "publish/PublishPlan.h"
#include "publish/Scan.h"
#include "publish/ServerManifest.h"
#include "publish/Versions.h"
#include "update/NumberReading.h"

using namespace modUpdate;

namespace publish {

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
    else
        problems += ServerFolderProblemsOnDisk(server);
    if (const QString reason = VersionProblem(request.version); !reason.isEmpty())
        problems << reason;
    for (const QString& file : {request.newsFile, request.secretKeyFile}) {
        QFile readable(file);
        if (!file.isEmpty() && (!QFileInfo(file).isFile() || !readable.open(QIODevice::ReadOnly)))
            problems << QStringLiteral("the %1 %2 cannot be read")
                            .arg(file == request.newsFile ? QStringLiteral("news file")
                                                          : QStringLiteral("secret key file"),
                                 file);
    }
    if (request.secretKeyFile.isEmpty() &&
        QFileInfo::exists(QDir(server).filePath(QString::fromLatin1(SignatureFileName))))
        problems << QStringLiteral("the update is signed (info.ini.minisig is there), and an "
                                   "unsigned info.ini would be refused by updaters with a key: "
                                   "give --sign with the studio's secret key (or remove "
                                   "info.ini.minisig if no updater you ship has a key)");
}

// True when file is the updater's own executable: Quelmor or Quelmor.exe at
// the top of the release.
bool IsUpdater(const ReleaseFile& file) {
    return file.folder.isEmpty() && (FoldName(file.name) == QStringLiteral("quelmor") ||
                                     FoldName(file.name) == QStringLiteral("quelmor.exe"));
}

// Adds a problem for every target of the plan that exists but is no file.
void CheckTargets(const PublishPlan& plan, QStringList& problems) {
    QStringList targets;
    for (const CopyJob& copy : plan.copies)
        targets << copy.target;
    for (const char* own :
         {ManifestFileName, SignatureFileName, NewsFileName, PendingFileName, HistoryFileName})
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
    QList<PublishedVersion> history;  // every run so far, the current manifest's last
};

// True when entry, from the previous manifest, gives a size or a SHA-256
// that the bytes of digest do not have: its server copy was replaced or cut
// since, and players who installed it hold other bytes.
bool DiffersFromEntry(const PublishEntry& entry, const FileDigest& digest) {
    return (!entry.size.isEmpty() && ReadDigits(entry.size) != digest.size) ||
           (!entry.sha256.isEmpty() && entry.sha256.toLower() != digest.sha256);
}

// Why an entry of the previous manifest must get the next version although
// its server copy stays as it is: an unfinished run replaced the copy, or
// copy (the copy's digest, when known) differs from what the entry gives. ""
// when it need not.
QString StaleCopyReason(const PublishEntry& old, const FileDigest* copy, const Previous& previous) {
    if (previous.pending.contains(FoldName(old.name)))
        return QStringLiteral("its server copy was replaced by an unfinished run");
    if (copy != nullptr && DiffersFromEntry(old, *copy))
        return QStringLiteral("its server copy no longer matched the size or SHA-256 in info.ini");
    return QString();
}

// Places one release file into the plan: a new entry at the end, an
// unchanged entry, or an entry of the previous manifest with a new version.
// A file that cannot be hashed is added to problems.
void PlaceFile(const ReleaseFile& file, const Previous& previous, QList<bool>& matched,
               PublishPlan& plan, QStringList& problems) {
    const QDir server(plan.serverDir);
    const QString target = server.filePath(file.name);
    FileDigest digest;
    if (const Result failure = DigestFile(file.path, digest); !failure) {
        problems << failure.why();
        return;
    }
    PublishEntry entry{
        file.name,         QString::fromLatin1(FirstFileVersion), CanonicalFolder(file.folder),
        ReleasePath(file), QString::number(digest.size),          digest.sha256};
    const auto found = previous.byName.constFind(FoldName(file.name));
    if (found == previous.byName.constEnd()) {
        plan.added << QStringLiteral("%1 (%2)").arg(entry.label, entry.version);
        if (!SameBytes(file.path, target))
            plan.copies.append({file.path, target, entry.sha256});
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
    // A server copy with the release's bytes has the release's digest.
    if (const QString stale = StaleCopyReason(old, sameBytes ? &digest : nullptr, previous);
        !stale.isEmpty())
        why << stale;
    if (sameBytes && why.isEmpty()) {
        plan.entries[*found].label = entry.label;
        plan.entries[*found].size = entry.size;
        plan.entries[*found].sha256 = entry.sha256;
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
        plan.copies.append({file.path, target, entry.sha256});
    plan.pending << file.name;
}

// Keeps an entry of the previous manifest whose file left the release: its
// server copy must still be there for players who install from scratch.
void KeepEntry(qsizetype index, const Previous& previous, PublishPlan& plan,
               QStringList& problems) {
    PublishEntry& entry = plan.entries[index];
    const QString copy = QDir(plan.serverDir).filePath(entry.name);
    if (!QFileInfo(copy).isFile()) {
        problems << QStringLiteral("%1 is no longer in the release and its copy is missing from "
                                   "the server folder: players installing from scratch could not "
                                   "finish; put the file back into the release")
                        .arg(entry.label);
        return;
    }
    FileDigest digest;
    if (const Result failure = DigestFile(copy, digest); !failure) {
        problems << failure.why();
        return;
    }
    const QString stale = StaleCopyReason(entry, &digest, previous);
    entry.size = QString::number(digest.size);
    entry.sha256 = digest.sha256;
    if (stale.isEmpty()) {
        plan.kept << QStringLiteral("%1 (%2)").arg(entry.label, entry.version);
        return;
    }
    const QString old = entry.version;
    entry.version = NextFileVersion(old);
    plan.kept << QStringLiteral("%1 (%2 -> %3: %4)").arg(entry.label, old, entry.version, stale);
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
    previous.history = ReadHistory(serverDir, problems);
    // A server folder published before the history was kept starts it with its manifest.
    if (previous.history.isEmpty() && previous.manifest.found)
        previous.history.append({previous.manifest.release, previous.manifest.version});
    return previous;
}

// How messages name a release.
QString ReleaseName(qint64 release) {
    return release > 0 ? QStringLiteral("release %1").arg(release)
                       : QStringLiteral("a release published before releases were numbered");
}

// Refuses a version published before for other files: players who have it
// would never be offered the new files. The version now published may be
// given again when nothing changed.
void CheckVersionIsNew(const QString& version, bool changes, const Previous& previous,
                       QStringList& problems) {
    const ServerManifest& current = previous.manifest;
    QStringList used = {current.version};
    const PublishedVersion* first = nullptr; // the first run with version
    for (const PublishedVersion& run : previous.history) {
        used << run.version;
        if (first == nullptr && run.version == version)
            first = &run;
    }
    const QString latest = current.found ? current.version : used.last();
    if (current.found && version == current.version) {
        if (changes)
            problems << QStringLiteral("version %1 is already published, and files changed: "
                                       "players who have it would never look for the changes; "
                                       "give --version %2 (the next free version)")
                            .arg(version, NextFreeVersion(latest, used));
    } else if (first != nullptr) {
        problems << QStringLiteral("version %1 was published before, as %2, with other files: "
                                   "players who have it would never be offered this update; give "
                                   "--version %3 (the next free version)")
                        .arg(version, ReleaseName(first->release), NextFreeVersion(latest, used));
    }
}

} // namespace

PublishPlan PlanPublish(const PublishRequest& request, QStringList& problems) {
    PublishPlan plan;
    const QString release = RealPath(request.releaseDir);
    plan.serverDir = RealPath(request.serverDir);
    plan.version = request.version;
    plan.newsSource = request.newsFile;
    plan.lifetimeDays = request.lifetimeDays;
    CheckRequest(request, release, plan.serverDir, problems);
    if (!QFileInfo(release).isDir() ||
        (QFileInfo::exists(plan.serverDir) && !QFileInfo(plan.serverDir).isDir()))
        return plan; // nothing more can be looked at

    const Previous previous = ReadPrevious(plan.serverDir, problems);
    const QList<ReleaseFile> files = ScanRelease(release, plan.leftOut, problems);
    QList<PublishEntry> releaseEntries;
    for (const ReleaseFile& file : files) {
        releaseEntries.append(
            {file.name, QString(), CanonicalFolder(file.folder), ReleasePath(file), {}, {}});
        if (IsUpdater(file) && !request.includeUpdater)
            problems << QStringLiteral("%1 is the updater itself: every player's updater would "
                                       "replace itself with it, so a wrong build there breaks "
                                       "every later update; add --include-updater if you mean to "
                                       "ship a new updater")
                            .arg(file.name);
    }
    problems += EntryListProblems(releaseEntries);
    if (!problems.isEmpty())
        return plan;

    plan.oldVersion = previous.manifest.version;
    plan.entries = previous.manifest.entries;
    QList<bool> matched(plan.entries.size(), false);
    for (const ReleaseFile& file : files)
        PlaceFile(file, previous, matched, plan, problems);
    for (qsizetype i = 0; i < matched.size(); ++i) {
        if (!matched[i])
            KeepEntry(i, previous, plan, problems);
    }
    // A file that left the release may hold the name of a folder now needed.
    problems += EntryListProblems(plan.entries);
    CheckTargets(plan, problems);

    // Every entry with a raised version is in pending.
    CheckVersionIsNew(request.version, !plan.added.isEmpty() || !plan.pending.isEmpty(), previous,
                      problems);
    // Patches are planned afresh: an entry's old ones may not fit its new bytes.
    for (PublishEntry& entry : plan.entries)
        entry.patches.clear();
    if (problems.isEmpty())
        PlanStore(previous.manifest, plan, problems);
    plan.history = previous.history;
    plan.release = previous.manifest.release + 1;
    for (const PublishedVersion& run : previous.history)
        plan.release = qMax(plan.release, run.release + 1);
    plan.history.append({plan.release, request.version});
    return plan;
}

} // namespace publish
