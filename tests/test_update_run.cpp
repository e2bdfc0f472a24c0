// The whole update run against a real server on loopback: files on disk and
// the exact sequence of captions.
#include "UpdaterTest.h"

#include <QCryptographicHash>
#include <QFileInfo>
#include <algorithm>

namespace {

class UpdateRun : public UpdaterTest {
  protected:
    // The captions without the percentage, which depends on how the bytes arrive.
    QStringList Story() const {
        QStringList story = captions_;
        story.removeIf([](const QString& entry) { return entry.startsWith("lblPercent="); });
        return story;
    }
};

TEST_F(UpdateRun, FirstRunFetchesEveryFileIntoItsFolder) {
    const std::string manifest = Manifest(
        "1.1", "3",
        {{"game.dat", "1", ""}, {"map1.dat", "2", "maps"}, {"deep.dat", "1", "\\data\\sub\\"}});
    server_.Put("/news.txt", "Welcome back, players!");
    server_.Put("info.ini", manifest);
    server_.Put("game.dat", "GAME");
    server_.Put("map1.dat", std::string(3000, 'm'));
    server_.Put("deep.dat", "DEEP");

    ASSERT_EQ(RunMain(), "");

    EXPECT_EQ(Read("game.dat"), "GAME");
    EXPECT_EQ(Read("maps/map1.dat"), std::string(3000, 'm'));
    EXPECT_EQ(Read("data/sub/deep.dat"), "DEEP");
    EXPECT_EQ(Read("info.ini"), manifest);
    EXPECT_EQ(Tree(), QStringList({"data/sub/deep.dat", "game.dat", "info.ini", "maps/map1.dat"}));
    EXPECT_EQ(Story(), QStringList({"Label2=Version 0.0",
                                    "lblConnect=disabled",
                                    "L2=Getting News...",
                                    "news=Welcome back, players!",
                                    "L2=Getting Information...",
                                    "L3=Downloaded info.ini!",
                                    "L2=Checking File Versions...",
                                    "L2=",
                                    "L3=Checking Files...",
                                    "L2=Downloading game.dat...",
                                    "L3=Downloading File 1 Of 3",
                                    "L3=Downloaded game.dat!",
                                    "L3=Checking Files...",
                                    "L2=Downloading map1.dat...",
                                    "L3=Downloading File 2 Of 3",
                                    "L3=Downloaded map1.dat!",
                                    "L3=Checking Files...",
                                    "L2=Downloading deep.dat...",
                                    "L3=Downloading File 3 Of 3",
                                    "L3=Downloaded deep.dat!",
                                    "lblConnect=enabled",
                                    "L2=Update Complete!",
                                    "L3=",
                                    "Label2=Version 1.1"}));
    // The news is asked for with two slashes before its name; every file lies
    // flat under the base path whatever its folder, and the files may arrive
    // in any order; the manifest that was checked is the one installed.
    std::vector<std::string> asked = server_.Requests();
    ASSERT_EQ(asked.size(), 5u);
    EXPECT_EQ(asked[0], "/Quelmor//news.txt");
    EXPECT_EQ(asked[1], "/Quelmor/info.ini");
    std::sort(asked.begin() + 2, asked.end());
    EXPECT_EQ(asked, std::vector<std::string>({"/Quelmor//news.txt", "/Quelmor/info.ini",
                                               "/Quelmor/deep.dat", "/Quelmor/game.dat",
                                               "/Quelmor/map1.dat"}));
    EXPECT_TRUE(frmUpdate::Instance().lblConnect->isEnabled());
    EXPECT_EQ(CaptionsOf("lblPercent").last(), "100%");
}

TEST_F(UpdateRun, EqualVersionsTouchNothing) {
    const std::string installed = Manifest("2.0", "1", {{"game.dat", "1", ""}});
    Write("info.ini", installed);
    Write("game.dat", "OLD");
    server_.Put("/news.txt", "news");
    server_.Put("info.ini", Manifest("2.0", "1", {{"game.dat", "9", ""}}));
    server_.Put("game.dat", "NEW");

    ASSERT_EQ(RunMain(), "");

    EXPECT_EQ(Read("game.dat"), "OLD");
    EXPECT_EQ(Read("info.ini"), installed);
    EXPECT_EQ(Tree(), QStringList({"game.dat", "info.ini"}));
    EXPECT_EQ(CaptionsOf("L2").last(), "You Have The Latest Version!");
    EXPECT_EQ(CaptionsOf("L3").last(), "");
    EXPECT_EQ(CaptionsOf("Label2"), QStringList({"Version 2.0"}));
    EXPECT_EQ(server_.CountOf("game.dat"), 0);
    EXPECT_TRUE(frmUpdate::Instance().lblConnect->isEnabled());
}

TEST_F(UpdateRun, EntriesAreComparedByPositionAndCharacterCodes) {
    // Installed and server entry i are compared whatever their names.
    Write("info.ini", Manifest("1", "6",
                               {{"a.dat", "1.10", ""},
                                {"b.dat", "2", ""},
                                {"c.dat", "1.0a", ""},
                                {"d.dat", "5", ""},
                                {"", "9", ""}}));
    server_.Put("/news.txt", "");
    server_.Put("info.ini", Manifest("1a", "6",
                                     {{"a.dat", "1.9", ""},
                                      {"b.dat", "10", ""},
                                      {"c.dat", "1.0A", ""},
                                      {"other.dat", "5", ""},
                                      {"e.dat", "1", ""},
                                      {"f.dat", "1", ""}}));
    for (const char* name : {"a.dat", "b.dat", "c.dat", "other.dat", "e.dat", "f.dat"})
        server_.Put(name, name);

    ASSERT_EQ(RunMain(), "");

    // 1.9 > 1.10 by character codes; 10 < 2; 1.0A < 1.0a; equal versions stay;
    // an installed entry without a name counts as not installed (even with a
    // greater version); an entry the installed manifest lacks is new.
    EXPECT_EQ(modUpdate::ChangedCount, 2);
    EXPECT_EQ(modUpdate::UpdateNumber, 3);
    EXPECT_EQ(Tree(), QStringList({"a.dat", "e.dat", "f.dat", "info.ini"}));
    EXPECT_EQ(
        CaptionsOf("L2"),
        QStringList({"Getting News...", "Getting Information...", "Checking File Versions...", "",
                     "Updating a.dat From Version 1.10 To 1.9...", "File Already Up To Date!",
                     "Downloading e.dat...", "Downloading f.dat...", "Update Complete!"}));
    EXPECT_TRUE(CaptionsOf("L3").contains("Downloading File 3 Of 2"));
    // After the pass the installed list follows the server list.
    for (int i = 1; i <= 6; ++i) {
        EXPECT_EQ(modUpdate::LocalFiles[i].FileName, modUpdate::ServerFiles[i].FileName);
        EXPECT_EQ(modUpdate::LocalFiles[i].FileVersion, modUpdate::ServerFiles[i].FileVersion);
    }
    EXPECT_EQ(modUpdate::CurrentFolder, "");
}

TEST_F(UpdateRun, EntriesWithoutVersionOrNameStillCountAsFetches) {
    server_.Put("/news.txt", "");
    server_.Put("info.ini",
                Manifest("1", "3", {{"x.dat", "", ""}, {"", "1", ""}, {"y.dat", "1", ""}}));
    server_.Put("x.dat", "X");
    server_.Put("y.dat", "Y");

    ASSERT_EQ(RunMain(), "");

    EXPECT_EQ(CaptionsOf("L2").mid(4, 3),
              QStringList({"Downloading x.dat...", "Downloading ...", "Downloading y.dat..."}));
    EXPECT_EQ(CaptionsOf("L3").filter("Downloading File"),
              QStringList({"Downloading File 1 Of 2", "Downloading File 2 Of 2",
                           "Downloading File 3 Of 2"}));
    EXPECT_EQ(Tree(), QStringList({"info.ini", "x.dat", "y.dat"}));
    EXPECT_EQ(server_.Requests().size(), 4u); // news, manifest, x, y
}

TEST_F(UpdateRun, NoFilesButANewVersionReplacesTheManifest) {
    Write("info.ini", Manifest("1", "1", {{"game.dat", "1", ""}}));
    server_.Put("/news.txt", "n");
    const std::string manifest = Manifest("2", "0", {{"game.dat", "2", ""}});
    server_.Put("info.ini", manifest);

    ASSERT_EQ(RunMain(), "");

    EXPECT_EQ(Read("info.ini"), manifest);
    EXPECT_EQ(server_.CountOf("game.dat"), 0);
    EXPECT_EQ(CaptionsOf("L2").last(), "Update Complete!");
    EXPECT_EQ(CaptionsOf("Label2").last(), "Version 2");
}

TEST_F(UpdateRun, WithoutAServerAddressNothingIsRequested) {
    modUpdate::SetServerUrlForTests(QString());
    Write("temp.ini", "left over");

    ASSERT_EQ(RunMain(), "");

    EXPECT_EQ(CaptionsOf("L2"), QStringList({"Please Input The Correct Web URL!"}));
    EXPECT_TRUE(frmUpdate::Instance().lblConnect->isEnabled());
    EXPECT_TRUE(server_.Requests().empty());
    EXPECT_EQ(Read("temp.ini"), "left over");
}

TEST_F(UpdateRun, FoldersAreFoundInAnyLetterCaseAndMadeLevelByLevel) {
    ASSERT_TRUE(QDir(game_).mkpath("Maps"));
    ASSERT_TRUE(QDir(game_).mkpath("data"));
    server_.Put("/news.txt", "");
    server_.Put("info.ini", Manifest("1", "5",
                                     {{"a.dat", "1", "  maps  "},
                                      {"b.dat", "1", "/levels/one/two/"},
                                      {"c.dat", "1", "\\"},
                                      {"Data/x.pak", "1", ""},
                                      {"a#1 %.dat", "1", ""}}));
    // Every name is asked for as one segment of the URL: "/" and "#" included.
    for (const char* name : {"a.dat", "b.dat", "c.dat", "Data/x.pak", "a#1 %.dat"})
        server_.Put(name, name);

    ASSERT_EQ(RunMain(), "");

    EXPECT_EQ(Tree(), QStringList({"Maps/a.dat", "a#1 %.dat", "c.dat", "data/x.pak", "info.ini",
                                   "levels/one/two/b.dat"}));
    EXPECT_EQ(Read("a#1 %.dat"), "a#1 %.dat");
}

// A manifest of the three files a, b and c, each with its size and SHA-256.
std::string VerifiedManifest(const std::string& version) {
    std::string manifest =
        Manifest(version, "3", {{"a.dat", "1", ""}, {"b.dat", "1", ""}, {"c.dat", "1", "sub"}});
    for (int i = 1; i <= 3; ++i) {
        const std::string bytes(1, char('A' + i - 1));
        manifest +=
            "FileSize" + std::to_string(i) + "=1\r\nFileSha256" + std::to_string(i) + "=" +
            QCryptographicHash::hash(QByteArray::fromStdString(bytes), QCryptographicHash::Sha256)
                .toHex()
                .toStdString() +
            "\r\n";
    }
    return manifest;
}

TEST_F(UpdateRun, RepairFetchesWhatIsMissingOrDamagedAndNothingElse) {
    Write("info.ini", VerifiedManifest("1"));
    Write("a.dat", "A");
    Write("b.dat", "X"); // damaged; sub/c.dat is missing
    server_.Put("/news.txt", "");
    server_.Put("info.ini", VerifiedManifest("1"));
    for (const char* name : {"A", "B", "C"})
        server_.Put(std::string(1, char(name[0] + 32)) + ".dat", name);
    modUpdate::RepairMode = true;

    ASSERT_EQ(RunMain(), "");
    EXPECT_EQ(CaptionsOf("L2").last(), "Update Complete!");
    EXPECT_EQ(Read("b.dat"), "B");
    EXPECT_EQ(Read("sub/c.dat"), "C");
    EXPECT_EQ(server_.CountOf("a.dat"), 0);
    EXPECT_TRUE(CaptionsOf("L3").contains("Downloading File 2 Of 2"));

    // Nothing damaged: nothing fetched.
    const std::size_t before = server_.Requests().size();
    ASSERT_EQ(RunMain(), "");
    EXPECT_EQ(CaptionsOf("L2").last(), "You Have The Latest Version!");
    EXPECT_EQ(server_.Requests().size(), before + 2); // the news and the manifest
}

TEST_F(UpdateRun, TheUpdaterReplacesItselfAndTheNextStartRemovesTheOldOne) {
    modUpdate::OwnName = "Quelmor";
    Write("info.ini", Manifest("1", "1", {{"Quelmor", "1", ""}}));
    Write("Quelmor", "OLD UPDATER");
    QFile::setPermissions(Path("Quelmor"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    server_.Put("/news.txt", "");
    server_.Put("info.ini", Manifest("2", "1", {{"Quelmor", "2", ""}}));
    server_.Put("Quelmor", "NEW UPDATER");

    ASSERT_EQ(RunMain(), "");
    EXPECT_EQ(Read("Quelmor"), "NEW UPDATER");
    EXPECT_TRUE(QFileInfo(Path("Quelmor")).permissions() & QFile::ExeOwner);
    EXPECT_EQ(Read("Quelmor.old"), "OLD UPDATER");

    ASSERT_EQ(RunMain(), "");
    EXPECT_EQ(Tree(), QStringList({"Quelmor", "info.ini"}));
}

TEST_F(UpdateRun, AReplacedFileKeepsItsPermissions) {
    Write("info.ini", Manifest("1", "1", {{"run.sh", "1", ""}}));
    Write("run.sh", "old");
    QFile::setPermissions(Path("run.sh"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    server_.Put("/news.txt", "");
    server_.Put("info.ini", Manifest("2", "1", {{"run.sh", "2", ""}}));
    server_.Put("run.sh", "new");

    ASSERT_EQ(RunMain(), "");

    EXPECT_EQ(Read("run.sh"), "new");
    EXPECT_TRUE(QFileInfo(Path("run.sh")).permissions() & QFile::ExeOwner);
}

} // namespace
