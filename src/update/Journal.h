#pragma once
// The journal of an install: every move it makes, written into the part
// folder and flushed before the first file moves. Each move keeps the file it
// replaces under a second name first and then renames the new file over it,
// so the target is there at every instant; whatever stops the run (a crash, a
// kill, a power cut), the next start finishes the install or takes it back,
// without the network, and the game folder holds exactly one release.

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "update/Failure.h"

namespace modUpdate {
// One move of an install. Paths are relative to the game folder, "/" separated.
struct JournalStep {
    QString target; // where the file goes
    QString staged; // the file that takes its place (in the part folder)
    QString kept;   // where the file it replaces is kept; "" when none is there
    // The replaced file is moved to kept right before the new one comes (the
    // running updater on Windows, a link); otherwise kept is a second name of
    // it, made before any file moves.
    bool aside = false;
    std::int64_t size = 0; // of the staged file
    QString sha256;        // of the staged file, lower-case hex; "" when unknown
    QString id;            // FileIdOf the staged file, which the target has once moved
};

struct Journal {
    QStringList folders;            // made for the install, in the order made
    std::vector<JournalStep> steps; // in order; the installed manifest's last
};

// The journal as it is written down, and read back: nullopt when bytes are
// not a whole journal of this updater.
[[nodiscard]] QByteArray JournalBytes(const Journal& journal);
[[nodiscard]] std::optional<Journal> ParseJournal(const QByteArray& bytes);

// Writes the journal into the part folder and flushes it, so it outlasts a
// power cut. Throws UpdateFailure when it cannot.
void WriteJournal(const Journal& journal);

// Carries out every step of the journal not done yet, in order: the replaced
// files kept, the new ones renamed over them, flushed, the manifest last and
// flushed. With check, a staged file moves only when it still has the size
// and SHA-256 (or, without one, the identity) the journal gives. Throws
// UpdateFailure naming the step that failed.
void CompleteInstall(const Journal& journal, bool check);

// Takes back every step of the journal, the last first: each new file goes
// back to where it was staged, each kept file back into its place, the
// folders made are removed. Best effort; fails naming what could not be
// taken back.
Result TakeBackInstall(const Journal& journal);

// Removes the journal, once its install is done or taken back. Cannot fail.
void EndJournal();

// Finishes the install that a crash interrupted, if the part folder holds its
// journal: forward when every staged file that has not moved is there and
// checks, else back to the release before, with "Finishing the last
// update..." on the window. Called with the lock held, before anything else.
// Returns true when there was one. Throws UpdateFailure when neither way
// could be gone to the end; the journal then stays for the next start.
[[nodiscard]] bool FinishLastInstall();

// Called after every step of an install or of its taking back, with a name
// for the step: a seam for tests that stop the updater there.
inline std::function<void(const QString&)> AfterInstallStep;

} // namespace modUpdate
