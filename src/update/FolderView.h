#pragma once
// What the game folder holds where an update would write, looked at once,
// after the plan has accepted every name and before it settles the transfers:
// the plan decides from this, and touches no disk itself.

#include <QHash>
#include <QString>
#include <cstdint>
#include <optional>

#include "update/Failure.h"
#include "update/Plan.h"
#include "update/Settings.h"

namespace modUpdate {
// The place of one entry of the plan.
struct PlaceView {
    // Why the update may not write there (a folder that is a link leading
    // outside, a file in the way of a folder, a folder in the way of the
    // file); none when it may.
    std::optional<UpdateFailure> refusal = {};
    QString path = {};      // the file's path, its folders as they are on the disk
    bool file = false;      // an ordinary file of its own is there
    std::int64_t size = -1; // its size
    QString id = {};        // its identity (FileIdOf)
    // With --repair: the file is missing, or has another size or SHA-256
    // than its entry gives.
    bool damaged = false;
};

struct FolderView {
    // The places of the plan's entries, by PlacedKeyOf.
    QHash<QString, PlaceView> places;
    // The size of every file in the part folder, by name.
    QHash<QString, std::int64_t> parts;
    // Bytes free on the game folder's disk; -1 when unknown.
    std::int64_t freeBytes = -1;
    // The disk takes hard links (else the install keeps replaced files as copies).
    bool hardLinks = true;
    // Bytes of the installed info.ini (0 for none).
    std::int64_t manifestSize = 0;
};

// Looks at the place of every entry of the plan that has one, at the part
// folder and at the disk. With --repair, reads every file whose entry gives a
// SHA-256 and is not fetched anyway, showing "Checking <file>..." while it
// reads and letting window events run. Writes nothing in the game folder (in
// the part folder, a probe for hard links); a place that cannot be looked at
// holds its refusal.
FolderView LookAtGameFolder(const UpdatePlan& plan, const Settings& settings);

} // namespace modUpdate
