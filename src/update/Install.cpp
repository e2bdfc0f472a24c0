// Putting the fetched files of an update in place, all or none: every file
// goes in, in manifest order, then everything the manifest names is made
// durable, then the manifest. A failure on the way takes every file back.
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include <cerrno>
#include <cstring>
#ifdef Q_OS_WIN
#include <io.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

#include "update/Failure.h"
#include "update/GameFolder.h"
#include "update/PartFolder.h"
#include "update/Paths.h"
#include "update/Profile.h"
#include "update/modUpdate.h"

namespace modUpdate {

namespace {

// A file put in place, and how to take it back.
struct Placed {
    QString target;
    QString part;     // the part file it was, which it becomes again; "" for a copy
    QString replaced; // where the file it replaced waits; "" when there was none
};

// Takes back every file put in place, the last first, restores the files they
// replaced and removes the folders made for them. Best effort: a step that
// fails does not stop the others.
void TakeBack(const std::vector<Placed>& placed, const QStringList& created) {
    for (auto step = placed.rbegin(); step != placed.rend(); ++step) {
        if (step->part.isEmpty())
            QFile::remove(step->target);
        else
            MoveInto(step->target, step->part);
        if (!step->replaced.isEmpty())
            MoveInto(step->replaced, step->target);
    }
    for (auto folder = created.rbegin(); folder != created.rend(); ++folder)
        QDir().rmdir(*folder);
    ForgetPlaced();
}

// Puts the part file `part` in place of target (moved, or copied when
// another entry still needs it), the file there moved aside to `aside` first;
// the updater's own file stays runnable. Returns how to take it back. Throws
// UpdateFailure when it cannot.
Placed PlaceFile(const QString& part, bool copy, const QString& target, const QString& aside,
                 bool updater) {
    Placed step{target, copy ? QString() : part, QString()};
    QFile::Permissions permissions = QFile::permissions(part) | QFile::ExeOwner | QFile::ExeUser;
    if (!updater)
        permissions = QFile::permissions(part);
    if (IsPlainFile(target))
        permissions = QFile::permissions(target); // the new file keeps what the old one had
    if (IsPlainFile(target) || IsLink(target)) {
        step.replaced = aside;
        QFile::remove(aside);
        if (const QString why = MoveInto(target, step.replaced); !why.isEmpty())
            Fail(updater ? QStringLiteral("Could not move the running updater %1 aside: %2.")
                               .arg(QDir::toNativeSeparators(target), why)
                         : QStringLiteral("Could not replace %1: %2.")
                               .arg(QDir::toNativeSeparators(target), why),
                 ForPlayer::NotWritable());
    }
    const QString why = copy ? CopyInto(part, target) : MoveInto(part, target);
    if (!why.isEmpty()) {
        if (!step.replaced.isEmpty())
            MoveInto(step.replaced, target);
        Fail(QStringLiteral("Could not write %1: %2.").arg(QDir::toNativeSeparators(target), why),
             ForPlayer::NotWritable());
    }
    QFile::setPermissions(target, permissions);
    return step;
}

// Flushes paths to their disks on a thread while window events run. Throws
// UpdateFailure when a flush fails.
void Flush(const QStringList& paths) {
    struct Result {
        std::atomic<bool> done{false};
        QString failure;
    };
    auto result = std::make_shared<Result>();
    std::thread([result, paths] {
        result->failure = FlushFiles(paths);
        result->done = true;
    }).detach();
    while (!result->done) {
        DoEvents();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (!result->failure.isEmpty())
        Fail(QStringLiteral("Could not make the update durable: %1.").arg(result->failure),
             ForPlayer::NotWritable());
}

// Makes bytes the installed manifest: written beside it in the part folder,
// flushed, renamed over it (a link there is replaced, never followed), and
// the rename flushed. Throws UpdateFailure when it cannot.
void WriteManifest(const QByteArray& bytes) {
    const QString path = AppPath(QStringLiteral("info.ini"));
    const QString fresh = PartFolder() + QStringLiteral("/info.ini.new");
    QFile::remove(fresh);
    QString why;
    std::FILE* file = transfer::OpenFile(ToPath(fresh), "wb");
    if (file == nullptr) {
        why = QString::fromLocal8Bit(std::strerror(errno));
    } else {
        const auto size = static_cast<std::size_t>(bytes.size());
        bool written =
            std::fwrite(bytes.constData(), 1, size, file) == size && std::fflush(file) == 0;
#ifdef Q_OS_WIN
        written = written && ::_commit(::_fileno(file)) == 0;
#else
        written = written && ::fsync(::fileno(file)) == 0;
#endif
        const int error = errno;
        written = std::fclose(file) == 0 && written;
        if (!written)
            why = QString::fromLocal8Bit(std::strerror(error));
    }
    if (why.isEmpty())
        why = MoveInto(fresh, path);
#ifndef Q_OS_WIN
    // The rename itself lasts once the game folder is flushed.
    if (why.isEmpty()) {
        const int folder = ::open(QFile::encodeName(AppFolder()).constData(), O_RDONLY);
        if (folder < 0 || ::fsync(folder) != 0)
            why = QString::fromLocal8Bit(std::strerror(errno));
        if (folder >= 0)
            ::close(folder);
    }
#endif
    ForgetIniFile(path);
    if (!why.isEmpty()) {
        QFile::remove(fresh);
        Fail(QStringLiteral("Could not write %1: %2.").arg(QDir::toNativeSeparators(path), why),
             ForPlayer::NotWritable());
    }
}

} // namespace

QString OldUpdaterPath() {
    return AppPath(
        QFileInfo(OwnName.isEmpty() ? QStringLiteral("Quelmor") : OwnName).completeBaseName() +
        QStringLiteral(".old"));
}

void InstallFiles(const UpdatePlan& plan, const std::vector<std::int64_t>& arrived) {
    // The last entry of each file takes its part file; earlier ones get copies.
    std::vector<std::size_t> lastUse(plan.files.size(), plan.entries.size());
    for (std::size_t i = 0; i < plan.entries.size(); ++i) {
        const PlannedEntry& entry = plan.entries[i];
        if (entry.file >= 0 && !entry.placedBefore)
            lastUse[static_cast<std::size_t>(entry.file)] = i;
    }
    // Every part must hold what arrived for it, nothing more.
    for (std::size_t k = 0; k < plan.files.size(); ++k) {
        const QString part = PartFileOf(plan.files[k].key);
        const std::int64_t size = plan.files[k].size >= 0 ? plan.files[k].size : arrived[k];
        if (lastUse[k] < plan.entries.size() &&
            (!IsPlainFile(part) || QFileInfo(part).size() != size))
            Fail(QStringLiteral("%1 changed on the disk after it arrived (%2 bytes, %3 expected).")
                     .arg(plan.files[k].name)
                     .arg(IsPlainFile(part) ? QFileInfo(part).size() : 0)
                     .arg(size),
                 ForPlayer::ChangedOnDisk());
    }

    std::vector<Placed> placed;
    QStringList created; // folders made for the files
    QStringList named;   // every file the manifest names that was put in place
    try {
        for (std::size_t i = 0; i < plan.entries.size(); ++i) {
            const PlannedEntry& entry = plan.entries[i];
            if (entry.file < 0)
                continue;
            // Every level is looked at again right before it is used.
            const QString target = TargetOf(entry.folder, entry.name, true, &created);
            if (!entry.placedBefore) {
                const bool updater = entry.folder.isEmpty() && !OwnName.isEmpty() &&
                                     entry.name.compare(OwnName, Qt::CaseInsensitive) == 0;
                const auto file = static_cast<std::size_t>(entry.file);
                // The running updater is moved aside (Windows lets a running
                // program be renamed but not replaced); other files wait in
                // the part folder until the update is done.
                const QString aside =
                    updater ? OldUpdaterPath()
                            : PartFolder() + QStringLiteral("/replaced-%1").arg(entry.number);
                placed.push_back(PlaceFile(PartFileOf(plan.files[file].key), lastUse[file] != i,
                                           target, aside, updater));
                NotePlaced(PlacedKeyOf(entry), target);
            }
            named << target;
        }
        Flush(named);
        WriteManifest(plan.manifest);
    } catch (...) {
        TakeBack(placed, created);
        throw;
    }
}

} // namespace modUpdate
