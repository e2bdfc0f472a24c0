// The plan's rules alone: manifests and a game folder described by hand, no
// server and no disk.
#include <gtest/gtest.h>

#include <functional>

#include "UpdaterTest.h"
#include "update/FolderView.h"
#include "update/PartFolder.h"
#include "update/Plan.h"
#include "update/modUpdate.h"

using namespace modUpdate;

namespace {

const std::string Big(2 << 20, 'b'), Sha = Sha256Of(Big), Size = std::to_string(Big.size());

// game.dat of Big at version 2 (with sizes and hashes, as a signed update gives them),
// installed at version 1 as a file of Big's size with the SHA-256 "base".
const std::string Server = Sized(Manifest("2", "1", {"game.dat|2"}), {Size}, {Big});
const std::string Installed = Manifest("1", "1", {"game.dat|1"}) + "FileSize1=" + Size +
                              "\r\nFileSha2561=" + std::string(64, 'a');
const std::string Patch = "PatchBase1.1=" + std::string(64, 'a') +
                          "\r\nPatchName1.1=p\r\nPatchSize1.1=900\r\n"
                          "PatchSha2561.1=" +
                          std::string(64, 'c') + "\r\n";

struct Row {
    const char* name;
    std::string server, installed;
    std::function<void(Settings&, FolderView&)> arrange;
    const char* refusal;               // a part of the message of the refusal; "" for a plan
    int files = 1;                     // transfers planned
    bool patched = false;              // the first comes as a patch
    std::int64_t needed = 0, most = 0; // bytesNeeded lies in [needed, needed + most + 16 KiB)
};

// The key of game.dat's part file and record, fetched whole.
QString GameKey() {
    return PartKeyOf("http://s/Q/game.dat", std::int64_t(Big.size()), QString::fromStdString(Sha));
}

// A folder where game.dat is a plain file of Big's size.
FolderView Folder() {
    FolderView folder;
    folder.places["/game.dat"] = {
        .path = "game.dat", .file = true, .size = std::int64_t(Big.size()), .id = "1:2:3"};
    return folder;
}

TEST(Plan, DecidesFromTheManifestsAndWhatTheFolderHolds) {
    const auto big = std::int64_t(Big.size());
    const std::int64_t manifest = std::int64_t(Server.size());
    const std::string twoPatches =
        Server + QString::fromStdString(Patch).replace("aaaa", "dddd").toStdString() +
        QString::fromStdString(Patch).replace("1.1=", "1.2=").toStdString();
    const std::string elsewhere =
        Manifest("1", "1", {"game.dat|1|old"}) + Installed.substr(Installed.find("FileSize1"));
    const std::string twice =
        Sized(Manifest("2", "2", {"game.dat|2", "game.dat|2|maps"}), {Size, Size}, {Big, Big});
    const std::string huge = Sized(
        Manifest("2", "10", {"a|2", "b|2", "c|2", "d|2", "e|2", "f|2", "g|2", "h|2", "i|2", "j|2"}),
        std::vector<std::string>(10, std::string(18, '9')));
    // clang-format off
    const Row rows[] = {
        {"Whole", Server, Installed, {}, "", 1, false, big + manifest},
        {"Patched", Server + Patch, Installed, {}, "", 1, true, 900 + big + std::int64_t(Patch.size()) + manifest},
        // The offer whose base the player has, after one for another base.
        {"PatchedByTheSecondOffer", twoPatches, Installed, {}, "", 1, true, big, 2000},
        // A file of that name the player has elsewhere is no base.
        {"WholeWhenTheBaseIsInAnotherFolder", Server + Patch, elsewhere, {}, "", 1, false, big},
        {"WholeWhenPartOfItWaits", Server + Patch, Installed,
         [](Settings&, FolderView& f) { f.parts[GameKey() + ".record"] = 9; }, "", 1, false, big},
        {"WhatWasKeptIsNotCounted", Server, Installed,
         [](Settings&, FolderView& f) { f.parts[GameKey() + ".part"] = 1 << 20; }, "", 1, false, big - (1 << 20) + manifest},
        {"OneFileAtTwoPlacesIsOneTransferAndACopy", twice, Installed, {}, "", 1, false, 2 * big},
        {"CopiesOfReplacedFilesWithoutHardLinks", Server, Installed,
         [](Settings&, FolderView& f) { f.hardLinks = false; f.manifestSize = 100; }, "", 1, false, 2 * big + 100},
        {"SizesBeyondAnyDisk", huge, Installed, [](Settings&, FolderView& f) { f.freeBytes = 1; }, "it needs 8.0 EB"},
        {"RepairFetchesADamagedFile", Manifest("1", "1", {"game.dat|1"}), Installed,
         [](Settings& s, FolderView& f) { s.repair = true; f.places["/game.dat"].damaged = true; }, "", 1, false, 0, 1 << 30},
        {"TheUpdatersNameAsAFolder", Manifest("2", "1", {"x|2|Quelmor.exe/sub"}), Installed,
         [](Settings& s, FolderView&) { s.ownName = "Quelmor.exe"; }, "would take the place of the updater's own files"},
    };
    // clang-format on
    modUpdate::ServerUrl = "http://s/Q/";
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Settings settings;
        FolderView folder = Folder();
        if (row.arrange)
            row.arrange(settings, folder);
        try {
            const QByteArray bytes = QByteArray::fromStdString(row.server);
            UpdatePlan plan =
                PlanUpdate(bytes, ParseProfile(bytes),
                           ParseProfile(QByteArray::fromStdString(row.installed)), true, settings);
            PlanTransfers(plan, folder);
            EXPECT_EQ(*row.refusal, '\0');
            ASSERT_EQ(plan.files.size(), std::size_t(row.files));
            EXPECT_EQ(row.files > 0 && plan.files[0].patch != nullptr, row.patched);
            EXPECT_GE(plan.bytesNeeded, row.needed);
            EXPECT_LT(plan.bytesNeeded, row.needed + row.most + (16 << 10));
        } catch (const UpdateFailure& failure) {
            EXPECT_TRUE(*row.refusal != '\0' && failure.message().contains(row.refusal))
                << failure.message().toStdString();
        }
    }
}

} // namespace
