#include "update/Journal.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include "update/Failure.h"
#include "update/GameFolder.h"
#include "update/PartFolder.h"
#include "update/Paths.h"
#include "update/modUpdate.h"

namespace modUpdate {
namespace {

const QByteArray Heading = "quelmor-install 1";
// A journal is small: a few lines per file of the release.
constexpr qint64 LongestJournal = 512 << 20;

QString JournalPath() {
    return PartFolder() + QStringLiteral("/journal");
}

// The path of a journal's relative path in the game folder.
QString Absolute(const QString& relative) {
    return AppPath(relative);
}

// The target of step, its folders found again without following a link that
// leads outside. Throws UpdateFailure as TargetOf does.
QString TargetPath(const JournalStep& step) {
    return TargetOf(step.target.section(u'/', 0, -2), step.target.section(u'/', -1), false);
}

void Reached(const QString& name) {
    if (AfterInstallStep)
        AfterInstallStep(name);
}

// True when the new file of step is in its place already.
bool IsDone(const JournalStep& step, const QString& target) {
    return !step.id.isEmpty() && FileIdOf(target) == step.id;
}

// True when the staged file of step is still the one the journal names.
bool StagedHolds(const JournalStep& step) {
    const QString staged = Absolute(step.staged);
    if (step.sha256.isEmpty())
        return FileIdOf(staged) == step.id && QFileInfo(staged).size() == step.size;
    return IsPlainFile(staged) && HasBytes(staged, step.size, step.sha256);
}

// Puts the staged file of step in the place of its target in one rename (the
// target moved aside first for an aside step). Throws UpdateFailure.
void Place(const JournalStep& step, bool check) {
    const QString target = TargetPath(step);
    if (IsDone(step, target))
        return;
    const QString native = QDir::toNativeSeparators(target);
    if (check && !StagedHolds(step))
        Fail(QStringLiteral("Could not finish the last update: the new %1 waiting in %2 changed.")
                 .arg(native, QDir::toNativeSeparators(PartFolder())),
             ForPlayer::ChangedOnDisk());
    if (step.aside && (IsPlainFile(target) || IsLink(target))) {
        if (const Result moved = MoveInto(target, Absolute(step.kept)); !moved)
            Fail(QStringLiteral("Could not move %1 aside: %2.").arg(native, moved.why()),
                 ForPlayer::NotWritable());
        Reached(QStringLiteral("aside ") + step.target);
    }
    if (const Result moved = MoveInto(Absolute(step.staged), target); !moved)
        Fail(QStringLiteral("Could not replace %1: %2.").arg(native, moved.why()),
             ForPlayer::NotWritable());
    Reached(QStringLiteral("placed ") + step.target);
}

// Flushes the files at paths (or only their renames) while window events
// run. Throws UpdateFailure.
void FlushOrFail(const QStringList& paths, bool renames) {
    if (const Result flushed = FlushWhileEventsRun(paths, renames); !flushed)
        Fail(QStringLiteral("Could not make the update durable: %1.").arg(flushed.why()),
             ForPlayer::NotWritable());
}

} // namespace

QByteArray JournalBytes(const Journal& journal) {
    QByteArray bytes = Heading + '\n';
    for (const QString& folder : journal.folders)
        bytes += "folder\t" + folder.toUtf8() + '\n';
    for (const JournalStep& step : journal.steps) {
        const QStringList fields{step.aside ? QStringLiteral("aside") : QStringLiteral("link"),
                                 step.target,
                                 step.staged,
                                 step.kept,
                                 QString::number(step.size),
                                 step.sha256,
                                 step.id};
        bytes += "step\t" + fields.join(u'\t').toUtf8() + '\n';
    }
    return bytes + "end\n";
}

std::optional<Journal> ParseJournal(const QByteArray& bytes) {
    const QList<QByteArray> lines = bytes.split('\n');
    // A heading, the lines, "end" and the empty rest after the last line break.
    if (lines.size() < 3 || lines.constFirst() != Heading || lines.constLast() != "" ||
        lines[lines.size() - 2] != "end")
        return std::nullopt;
    Journal journal;
    for (qsizetype i = 1; i < lines.size() - 2; ++i) {
        const QStringList fields = QString::fromUtf8(lines[i]).split(u'\t');
        bool sized = false;
        if (fields.size() == 2 && fields[0] == QLatin1String("folder")) {
            journal.folders << fields[1];
            continue;
        }
        if (fields.size() != 8 || fields[0] != QLatin1String("step") || fields[2].isEmpty() ||
            fields[3].isEmpty() || (fields[1] != QLatin1String("aside") && fields[1] != "link"))
            return std::nullopt;
        JournalStep step{fields[2],
                         fields[3],
                         fields[4],
                         fields[1] == QLatin1String("aside"),
                         fields[5].toLongLong(&sized),
                         fields[6],
                         fields[7]};
        if (!sized)
            return std::nullopt;
        journal.steps.push_back(step);
    }
    return journal;
}

void WriteJournal(const Journal& journal) {
    Reached(QStringLiteral("staged"));
    const QString fresh = JournalPath() + QStringLiteral(".new");
    Result written = WriteFlushed(fresh, JournalBytes(journal));
    if (written)
        written = MoveInto(fresh, JournalPath());
    if (written)
        written = FlushFolder(PartFolder());
    if (!written) {
        QFile::remove(fresh);
        Fail(QStringLiteral("Could not write the journal of the update: %1.").arg(written.why()),
             ForPlayer::NotWritable());
    }
    Reached(QStringLiteral("journal"));
}

void CompleteInstall(const Journal& journal, bool check) {
    // Every file to be replaced gets a second name first, so whatever comes
    // next, its bytes stay for a take-back.
    QStringList kept, copies;
    for (const JournalStep& step : journal.steps) {
        if (step.kept.isEmpty() || step.aside || IsPlainFile(Absolute(step.kept)))
            continue;
        const QString target = TargetPath(step);
        if (IsDone(step, target))
            continue;
        bool copied = false;
        if (const Result kept = KeepUnder(target, Absolute(step.kept), &copied); !kept)
            Fail(QStringLiteral("Could not keep %1 until the update is done: %2.")
                     .arg(QDir::toNativeSeparators(target), kept.why()),
                 ForPlayer::NotWritable());
        (copied ? copies : kept) << Absolute(step.kept);
        Reached(QStringLiteral("kept ") + step.target);
    }
    FlushOrFail(copies, false);
    FlushOrFail(kept, true);

    // Then each new file takes its place, the manifest last of all, once
    // everything before it is on the disk.
    QStringList placed;
    for (std::size_t i = 0; i + 1 < journal.steps.size(); ++i) {
        Place(journal.steps[i], check);
        placed << TargetPath(journal.steps[i]);
    }
    FlushOrFail(placed, true);
    if (!journal.steps.empty()) {
        Place(journal.steps.back(), check);
        FlushOrFail({TargetPath(journal.steps.back())}, true);
    }
}

Result TakeBackInstall(const Journal& journal) {
    QStringList failed;
    for (auto step = journal.steps.rbegin(); step != journal.steps.rend(); ++step) {
        QString target;
        Result moved;
        try {
            target = TargetPath(*step);
        } catch (const UpdateFailure& failure) {
            failed << failure.message();
            continue;
        }
        if (IsDone(*step, target))
            moved = MoveInto(target, Absolute(step->staged));
        // A kept file comes back as it was: a file, or for a step that moved
        // a link aside, that link; nothing else in its place is taken.
        const QString kept = Absolute(step->kept);
        if (moved && !step->kept.isEmpty() && (IsPlainFile(kept) || (step->aside && IsLink(kept))))
            moved = MoveInto(kept, target);
        if (!moved)
            failed << QStringLiteral("%1 (%2)").arg(QDir::toNativeSeparators(target), moved.why());
        Reached(QStringLiteral("taken back ") + step->target);
    }
    for (auto folder = journal.folders.crbegin(); folder != journal.folders.crend(); ++folder)
        QDir().rmdir(Absolute(*folder));
    return failed.isEmpty() ? Result() : Result::Failed(failed.join(QStringLiteral(", ")));
}

void EndJournal() {
    QFile::remove(JournalPath());
    static_cast<void>(FlushFolder(PartFolder())); // at worst the next start finishes it again
}

bool FinishLastInstall() {
    QFile::remove(JournalPath() + QStringLiteral(".new")); // never in force
    QFile file(JournalPath());
    if (!IsPlainFile(JournalPath()) || !file.open(QIODevice::ReadOnly))
        return false;
    const std::optional<Journal> journal =
        file.size() <= LongestJournal ? ParseJournal(file.readAll()) : std::nullopt;
    file.close();
    if (!journal) {
        EndJournal(); // written whole before any file moved, or not at all
        return false;
    }
    modUpdate::Window.SetL2(QStringLiteral("Finishing the last update..."));
    bool forward = true;
    for (const JournalStep& step : journal->steps)
        forward = forward && (IsDone(step, TargetPath(step)) || StagedHolds(step));
    if (forward) {
        try {
            CompleteInstall(*journal, true);
        } catch (const UpdateFailure& failure) {
            modUpdate::Window.Say(failure.message() + QStringLiteral(" Taking it back."));
            forward = false;
        }
    }
    if (!forward) {
        if (const Result takenBack = TakeBackInstall(*journal); !takenBack)
            Fail(QStringLiteral("Could not take back the last update, which a crash "
                                "interrupted: %1.")
                     .arg(takenBack.why()),
                 ForPlayer::NotWritable());
    }
    EndJournal();
    // The replaced files kept for a take-back are not needed any more.
    for (const JournalStep& step : journal->steps) {
        if (forward && !step.kept.isEmpty())
            QFile::remove(Absolute(step.kept));
    }
    return true;
}

} // namespace modUpdate
