#include "update/FolderView.h"

#include <QDir>
#include <QFileInfo>
#include <algorithm>
#include <filesystem>
#include <limits>
#include <system_error>

#include "update/GameFolder.h"
#include "update/PartFolder.h"
#include "update/Paths.h"
#include "update/modUpdate.h"

namespace modUpdate {
namespace {

// True when the file at path has another size or SHA-256 than entry gives
// (only its presence can be checked without a SHA-256).
bool IsDamaged(const PlannedEntry& entry, const QString& path, std::int64_t size) {
    if (entry.sha256.isEmpty())
        return false;
    if (entry.size >= 0 && size != entry.size)
        return true;
    modUpdate::Window.SetL3(QStringLiteral("Checking %1...").arg(entry.name));
    return !HasBytes(path, size, entry.sha256);
}

// The place of entry: its folders found (a link leading outside, or a file in
// the way of a folder, is its refusal), what stands there, and with repair
// whether the file there is damaged.
PlaceView LookAt(const PlannedEntry& entry, bool repair) {
    PlaceView place;
    try {
        place.path = TargetOf(entry.folder, entry.name, false);
    } catch (const UpdateFailure& failure) {
        place.refusal = failure;
        return place;
    }
    if (!IsLink(place.path) && QFileInfo(place.path).isDir()) {
        place.refusal = UpdateFailure(QStringLiteral("Could not write %1: a folder of that name "
                                                     "is in the way.")
                                          .arg(QDir::toNativeSeparators(place.path)),
                                      ForPlayer::InTheWay());
        return place;
    }
    place.id = FileIdOf(place.path);
    place.file = !place.id.isEmpty();
    place.size = place.file ? QFileInfo(place.path).size() : -1;
    const bool fetched = entry.step == Step::NewFile || entry.step == Step::NewerFile;
    place.damaged = repair && !fetched && (!place.file || IsDamaged(entry, place.path, place.size));
    return place;
}

} // namespace

FolderView LookAtGameFolder(const UpdatePlan& plan, const Settings& settings) {
    FolderView view;
    for (const PlannedEntry& entry : plan.entries) {
        if (!entry.name.isEmpty() && !view.places.contains(PlacedKeyOf(entry)))
            view.places.insert(PlacedKeyOf(entry), LookAt(entry, settings.repair));
    }
    if (!IsLink(PartFolder())) {
        const QFileInfoList parts = QDir(PartFolder()).entryInfoList(QDir::Files | QDir::Hidden);
        for (const QFileInfo& part : parts) {
            if (!part.isSymLink())
                view.parts.insert(part.fileName(), part.size());
        }
    }
    // Asks the file system for its free space only (on Windows, a volume's
    // other details may take Wine half a minute).
    std::error_code error;
    const std::filesystem::space_info space = std::filesystem::space(ToPath(AppFolder()), error);
    if (!error)
        view.freeBytes = static_cast<std::int64_t>(
            std::min<std::uintmax_t>(space.available, std::numeric_limits<std::int64_t>::max()));
    view.hardLinks = HardLinksWork(PartFolder());
    const QString manifest = AppPath(QStringLiteral("info.ini"));
    view.manifestSize = IsPlainFile(manifest) ? QFileInfo(manifest).size() : 0;
    return view;
}

} // namespace modUpdate
