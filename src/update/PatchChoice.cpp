// Which patch, if any, brings a file: the server's offers read from its
// manifest, and the one whose base the game folder holds.
#include <QFileInfo>
#include <QRegularExpression>

#include "transfer/Transfers.h"
#include "update/FolderView.h"
#include "update/NumberReading.h"
#include "update/PartFolder.h"
#include "update/Patch.h"
#include "update/Paths.h"
#include "update/Plan.h"
#include "update/modUpdate.h"

namespace modUpdate {
namespace {

// The most patches one entry may offer.
constexpr int MostPatches = 3;

bool IsHex64(const QString& text) {
    static const QRegularExpression hex(QStringLiteral("^[0-9a-fA-F]{64}$"));
    return hex.match(text).hasMatch();
}

} // namespace

void ReadPatchOffers(PlannedEntry& entry, const ProfileSections& server) {
    entry.patches.clear();
    if (entry.size < SmallestPatchedFile || entry.sha256.isEmpty())
        return;
    const QString files = QStringLiteral("FILES");
    for (int k = 1; k <= MostPatches; ++k) {
        const QString suffix = QStringLiteral("%1.%2").arg(entry.number).arg(k);
        const auto value = [&](const char* key) {
            return ProfileValue(server, files, QLatin1String(key) + suffix);
        };
        PatchOffer offer{value("PatchBase").toLower(), value("PatchName"),
                         ReadDigits(value("PatchSize")), value("PatchSha256").toLower()};
        // An offer this updater cannot use ends the list; the file is still
        // fetched whole.
        if (!IsHex64(offer.base) || !IsHex64(offer.sha256) || offer.size <= 0 ||
            TrimSpaces(offer.name).isEmpty())
            return;
        entry.patches.push_back(offer);
    }
}

void ChoosePatch(const UpdatePlan& plan, const PlannedEntry& entry, const PlaceView& place,
                 const FolderView& folder, FileToFetch& file) {
    // The installed manifest must name the file at the same place, with the
    // SHA-256 of a base and the size the file has. The patched result is
    // checked in full, so a file changed since is caught there.
    if (entry.patches.empty() || entry.step != Step::NewerFile ||
        entry.local.FileName != entry.server.FileName || FolderOf(entry.local) != entry.folder)
        return;
    const QString base = entry.local.FileSha256.toLower();
    const std::int64_t size = ReadDigits(entry.local.FileSize);
    // Part of the whole file that an earlier run kept is continued instead.
    if (size <= 0 || !place.file || place.size != size ||
        folder.parts.contains(QFileInfo(PartRecordOf(file.key)).fileName()))
        return;
    for (const PatchOffer& offer : entry.patches) {
        if (offer.base != base)
            continue;
        const QString url =
            plan.byHash
                ? ObjectUrlOf(offer.sha256)
                : modUpdate::ServerUrl + QStringLiteral("patches/") +
                      QString::fromStdString(transfer::EncodeSegment(offer.name.toStdString()));
        auto patch = std::make_shared<FileToFetch>();
        patch->name = entry.name; // the window names the file, as for a whole one
        patch->url = url;
        patch->size = offer.size;
        patch->sha256 = offer.sha256;
        patch->key = PartKeyOf(url, offer.size, offer.sha256);
        file.patch = std::move(patch);
        file.base = place.path;
        file.baseId = place.id;
        return;
    }
}

} // namespace modUpdate
