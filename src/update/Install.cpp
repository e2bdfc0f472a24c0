// Putting the fetched files of an update in place, all or none: every file
// staged in the part folder and flushed, the moves written into the journal,
// then every file renamed over the one it replaces, in manifest order, made
// durable, and the manifest last. A failure on the way takes every file back.
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <filesystem>
#include <system_error>

#include "update/Failure.h"
#include "update/GameFolder.h"
#include "update/Journal.h"
#include "update/PartFolder.h"
#include "update/Paths.h"
#include "update/Profile.h"
#include "update/modUpdate.h"

namespace modUpdate {

namespace {

// The path relative to the game folder, "/" separated, as the journal keeps it.
QString Relative(const QString& path) {
    return QDir(AppFolder()).relativeFilePath(path);
}

// The step that puts `staged` in the place of target: the file there is kept
// under `kept` (moved there right before, with aside). The staged file gets
// the permissions of the file it replaces (with updater, runnable at least).
// Throws UpdateFailure when the staged file cannot be looked at.
JournalStep StepFor(const QString& staged, const QString& target, const QString& kept, bool aside,
                    const QString& sha256, bool updater) {
    QFile::Permissions permissions = QFile::permissions(staged);
    if (updater)
        permissions |= QFile::ExeOwner | QFile::ExeUser;
    if (IsPlainFile(target))
        permissions = QFile::permissions(target); // the new file keeps what the old one had
    QFile::setPermissions(staged, permissions);
    const bool there = IsPlainFile(target) || IsLink(target);
    JournalStep step{
        Relative(target),        Relative(staged),         there ? Relative(kept) : QString(),
        aside || IsLink(target), QFileInfo(staged).size(), sha256,
        FileIdOf(staged)};
    if (step.id.isEmpty())
        Fail(QStringLiteral("Could not read %1 to put it in place.")
                 .arg(QDir::toNativeSeparators(staged)),
             ForPlayer::ChangedOnDisk());
    return step;
}

// Stages every fetched file of the plan for its place (a copy of its part for
// every entry but the last that needs it, the part itself for that one) and
// the server manifest as the installed one, and returns the moves. Folders
// missing on the way are made, appended to `created` and noted in the journal.
Journal StageFiles(const UpdatePlan& plan, const QString& ownName, QStringList& created) {
    // Entries with one place (letter case ignored) bring the same bytes: the
    // last of them counts. The last entry of each file takes its part file.
    QSet<QString> places;
    std::vector<bool> counts(plan.entries.size(), false);
    std::vector<std::size_t> lastUse(plan.files.size(), plan.entries.size());
    for (std::size_t i = plan.entries.size(); i-- > 0;) {
        const PlannedEntry& entry = plan.entries[i];
        const QString place = PlacedKeyOf(entry).toCaseFolded();
        if (entry.file < 0 || places.contains(place))
            continue;
        places.insert(place);
        counts[i] = true;
        auto& last = lastUse[static_cast<std::size_t>(entry.file)];
        if (last == plan.entries.size())
            last = i;
    }

    Journal journal;
    for (std::size_t i = 0; i < plan.entries.size(); ++i) {
        if (!counts[i])
            continue;
        const PlannedEntry& entry = plan.entries[i];
        const auto file = static_cast<std::size_t>(entry.file);
        // Every level is looked at again right before it is used.
        const QString target = TargetOf(entry.folder, entry.name, true, &created);
        QString staged = PartFileOf(plan.files[file].key);
        if (lastUse[file] != i) {
            // A file of its own: two game files never share their bytes on the disk.
            const QString copy = PartFolder() + QStringLiteral("/copy-%1").arg(entry.number);
            std::error_code error;
            std::filesystem::copy_file(ToPath(staged), ToPath(copy),
                                       std::filesystem::copy_options::overwrite_existing, error);
            if (error)
                Fail(QStringLiteral("Could not write %1: %2.")
                         .arg(QDir::toNativeSeparators(copy),
                              QString::fromStdString(error.message())),
                     ForPlayer::NotWritable());
            staged = copy;
        }
        // The running updater is renamed, not replaced, where the system
        // keeps a running program from being replaced.
#ifdef Q_OS_WIN
        const bool aside = true;
#else
        const bool aside = false; // renamed over in one step
#endif
        const bool updater = entry.folder.isEmpty() && !ownName.isEmpty() &&
                             entry.name.compare(ownName, Qt::CaseInsensitive) == 0;
        const QString kept = aside && updater
                                 ? OldUpdaterPath(ownName)
                                 : PartFolder() + QStringLiteral("/kept-%1").arg(entry.number);
        journal.steps.push_back(
            StepFor(staged, target, kept, aside && updater, plan.files[file].sha256, updater));
    }

    const QString manifest = PartFolder() + QStringLiteral("/info.ini.new");
    if (const Result written = WriteFlushed(manifest, plan.manifest); !written)
        Fail(QStringLiteral("Could not write %1: %2.")
                 .arg(QDir::toNativeSeparators(AppPath(QStringLiteral("info.ini"))), written.why()),
             ForPlayer::NotWritable());
    journal.steps.push_back(StepFor(manifest, AppPath(QStringLiteral("info.ini")),
                                    PartFolder() + QStringLiteral("/kept-info.ini"), false,
                                    QString(), false));
    for (const QString& folder : created)
        journal.folders << Relative(folder);
    return journal;
}

} // namespace

void InstallFiles(const UpdatePlan& plan, const std::vector<std::int64_t>& arrived,
                  const Settings& settings) {
    // Every part must hold what arrived for it, nothing more.
    std::vector<bool> used(plan.files.size(), false);
    for (const PlannedEntry& entry : plan.entries) {
        if (entry.file >= 0)
            used[static_cast<std::size_t>(entry.file)] = true;
    }
    for (std::size_t k = 0; k < plan.files.size(); ++k) {
        const QString part = PartFileOf(plan.files[k].key);
        const std::int64_t size = plan.files[k].size >= 0 ? plan.files[k].size : arrived[k];
        if (used[k] && (!IsPlainFile(part) || QFileInfo(part).size() != size))
            Fail(QStringLiteral("%1 changed on the disk after it arrived (%2 bytes, %3 expected).")
                     .arg(plan.files[k].name)
                     .arg(IsPlainFile(part) ? QFileInfo(part).size() : 0)
                     .arg(size),
                 ForPlayer::ChangedOnDisk());
    }

    Journal journal;
    QStringList created; // folders made for the files
    try {
        journal = StageFiles(plan, settings.ownName, created);
        // What the journal names is on the disk before the journal is.
        QStringList staged;
        for (const JournalStep& step : journal.steps)
            staged << AppPath(step.staged);
        if (const Result flushed = FlushWhileEventsRun(staged); !flushed)
            Fail(QStringLiteral("Could not make the update durable: %1.").arg(flushed.why()),
                 ForPlayer::NotWritable());
        WriteJournal(journal);
    } catch (...) {
        for (auto folder = created.crbegin(); folder != created.crend(); ++folder)
            QDir().rmdir(*folder);
        throw;
    }
    try {
        CompleteInstall(journal, false);
    } catch (...) {
        // Taken back whole, the journal has served; otherwise the next start
        // takes the rest back, or finishes the install.
        if (TakeBackInstall(journal))
            EndJournal();
        throw;
    }
    EndJournal();
}

} // namespace modUpdate
