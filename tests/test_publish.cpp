// quelmor-publish against the real updater: releases published into a server
// folder, served on loopback and fetched into a game folder; refusals that
// leave the server folder as it was; checks of broken server folders.
#include "UpdaterTest.h"

#include <algorithm>

#include <QMap>
#include <QProcess>
#include <QTextStream>
#include <functional>
#include <unistd.h>

#include "publish/Check.h"
#include "publish/Publish.h"
#include "publish/PublishPlan.h"
#include "publish/SecretKey.h"
#include "publish/Versions.h"

namespace {

// What one run of the tool printed and returned.
struct ToolRun {
    int status = -1;
    QString out;
    QString err;
};

// Every file below folder: path relative to it -> bytes.
QMap<QString, QByteArray> Files(const QString& folder) {
    QMap<QString, QByteArray> files;
    QDirIterator it(folder, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        QFile file(it.next());
        EXPECT_TRUE(file.open(QIODevice::ReadOnly));
        files.insert(QDir(folder).relativeFilePath(file.fileName()), file.readAll());
    }
    return files;
}

// Writes bytes to the file at path, making its folder.
void WriteFile(const QString& path, const std::string& bytes) {
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(bytes.data(), static_cast<qint64>(bytes.size()));
}

// Every file below folder with its bytes, one "path=bytes" a line, sorted.
std::string Snapshot(const QString& folder) {
    std::string text;
    for (auto [name, bytes] : Files(folder).asKeyValueRange())
        text += name.toStdString() + "=" + bytes.toStdString() + "\n";
    return text;
}

class PublishTest : public UpdaterTest {
  protected:
    void SetUp() override {
        UpdaterTest::SetUp();
        ASSERT_TRUE(release_.isValid());
        ASSERT_TRUE(hosting_.isValid());
        ASSERT_EQ(Tool({"keygen", hosting_.filePath("keys")}).status, 0);
    }

    // Puts a file into the release tree.
    void Release(const QString& name, const std::string& bytes) {
        WriteFile(release_.filePath(name), bytes);
    }
    void Unrelease(const QString& name) { ASSERT_TRUE(QFile::remove(release_.filePath(name))); }

    // The server folder; the first publishing run makes it.
    QString Server() const { return hosting_.filePath(QStringLiteral("srv")); }
    std::string ServerFile(const QString& name) const {
        QFile file(QDir(Server()).filePath(name));
        return file.open(QIODevice::ReadOnly) ? file.readAll().toStdString() : "<missing>";
    }
    void PutServerFile(const QString& name, const std::string& bytes) {
        WriteFile(QDir(Server()).filePath(name), bytes);
    }

    ToolRun Tool(const QStringList& args) {
        ToolRun run;
        QTextStream out(&run.out);
        QTextStream err(&run.err);
        run.status = RunPublish(args, out, err);
        return run;
    }
    ToolRun PublishAs(const QString& version, const QStringList& more = {}) {
        return Tool(QStringList{release_.path(), Server(), QStringLiteral("--version"), version} +
                    more);
    }
    // The server's info.ini without its Release, FileSize and FileSha256 lines.
    std::string Listing() const {
        std::string text;
        for (const QString& line : QString::fromStdString(ServerFile("info.ini")).split("\r\n")) {
            if (!line.isEmpty() && !line.startsWith("Release=") && !line.startsWith("FileS"))
                text += line.toStdString() + "\r\n";
        }
        return text;
    }
    QStringList CheckProblems(const MinisignPublicKey* key = nullptr) const {
        return ServerFolderProblems(Server(), key);
    }
    // The problems --check finds, one a line; "" when there are none.
    std::string CheckReport() const { return CheckProblems().join('\n').toStdString(); }
    // Writes a news text beside the server folder; returns its path.
    QString NewsFile(const QString& name, const std::string& text) {
        WriteFile(hosting_.filePath(name), text);
        return hosting_.filePath(name);
    }

    // Serves every file of the server folder flat, news.txt as the news.
    void ServeServerFolder() {
        for (auto [name, bytes] : Files(Server()).asKeyValueRange())
            server_.Put(name == QStringLiteral("news.txt") ? "/news.txt" : name.toStdString(),
                        bytes.toStdString());
    }
    // The requests of the update run that ran since `since` requests were made.
    std::vector<std::string> RequestsSince(std::size_t since) const {
        const std::vector<std::string> all = server_.Requests();
        return std::vector<std::string>(all.begin() + static_cast<std::ptrdiff_t>(since),
                                        all.end());
    }

    QTemporaryDir release_;
    QTemporaryDir hosting_;
    const QString secret_ = hosting_.filePath("keys/quelmor.key");
    const QString public_ = hosting_.filePath("keys/quelmor.pub");
};

TEST_F(PublishTest, TwoReleasesReachTheGameFolderThroughTheUpdater) {
    Release("game.exe", "GAME 1");
    Release("readme.txt", "README");
    Release("maps/m1.dat", "MAP 1");
    Release("maps/old.dat", "OLD");
    Release("data/sub/deep.dat", "DEEP");
    Release(".git/HEAD", "ref");
    Release("maps/Thumbs.db", "thumbs");
    ToolRun first = PublishAs("1.0", {"--news", NewsFile("news-1.txt", "First news")});
    ASSERT_EQ(first.status, 0) << first.err.toStdString();
    for (const char* line : {"Published version 1.0, release 1, to", "Added: 5",
                             "Left out: 2\n  (system and version-control files players never "
                             "need)\n  .git/\n  maps/Thumbs.db\n"})
        EXPECT_TRUE(first.out.contains(line)) << line << "\n" << first.out.toStdString();
    EXPECT_EQ(CheckReport(), "");
    ServeServerFolder();
    ASSERT_EQ(RunMain(), "");
    EXPECT_EQ(Tree(), QStringList({"data/sub/deep.dat", "game.exe", "info.ini", "maps/m1.dat",
                                   "maps/old.dat", "readme.txt"}));
    EXPECT_EQ(Read("data/sub/deep.dat"), "DEEP");
    EXPECT_EQ(CaptionsOf("news").last(), "First news");

    // Release 2: one changed, one new in a new folder, one removed, the rest as they were.
    Release("game.exe", "GAME 2");
    Release("extra/new.dat", "NEW");
    Unrelease("maps/old.dat");
    ToolRun second = PublishAs("1.1", {"--news=" + NewsFile("news-2.txt", "Second news")});
    ASSERT_EQ(second.status, 0) << second.err.toStdString();
    for (const char* line :
         {"Added: 1\n  extra/new.dat (0001)", "Changed: 1\n  game.exe (0001 -> 0002: new bytes)",
          "Unchanged: 3", "Kept, no longer in the release: 1", "entry 5 (maps\\old.dat) (0001)"})
        EXPECT_TRUE(second.out.contains(line)) << line << "\n" << second.out.toStdString();
    // Positions stay; the new file comes last; folders are written with "\".
    EXPECT_EQ(Listing(), Manifest("1.1", "6",
                                  {{"game.exe", "0002", ""},
                                   {"readme.txt", "0001", ""},
                                   {"deep.dat", "0001", "data\\sub"},
                                   {"m1.dat", "0001", "maps"},
                                   {"old.dat", "0001", "maps"},
                                   {"new.dat", "0001", "extra"}}));
    EXPECT_EQ(CheckReport(), "");

    ServeServerFolder();
    const std::size_t before = server_.Requests().size();
    ASSERT_EQ(RunMain(), "");
    std::vector<std::string> asked = RequestsSince(before);
    std::sort(asked.begin(), asked.end());
    EXPECT_EQ(asked, std::vector<std::string>({"/Quelmor//news.txt", "/Quelmor/game.exe",
                                               "/Quelmor/info.ini", "/Quelmor/new.dat"}));
    EXPECT_EQ(Tree(), QStringList({"data/sub/deep.dat", "extra/new.dat", "game.exe", "info.ini",
                                   "maps/m1.dat", "maps/old.dat", "readme.txt"}));
    EXPECT_EQ(Read("game.exe"), "GAME 2");
    EXPECT_EQ(Read("extra/new.dat"), "NEW");
    EXPECT_EQ(Read("maps/old.dat"), "OLD");
    EXPECT_EQ(Read("info.ini"), ServerFile("info.ini"));
    EXPECT_EQ(CaptionsOf("news").last(), "Second news");

    // The same release again under the same version changes nothing but the Release.
    const std::string published = Listing();
    ToolRun again = PublishAs("1.1");
    ASSERT_EQ(again.status, 0) << again.err.toStdString();
    EXPECT_TRUE(again.out.contains("Unchanged: 5")) << again.out.toStdString();
    EXPECT_EQ(Listing(), published);
    EXPECT_EQ(ServerFile(".quelmor-publish-versions"), "1\t1.0\n2\t1.1\n3\t1.1\n");
}

TEST_F(PublishTest, AMovedFileGetsANewVersionAndLandsInItsNewFolder) {
    Release("maps/level.dat", "LEVEL");
    ASSERT_EQ(PublishAs("1").status, 0);
    ServeServerFolder();
    ASSERT_EQ(RunMain(), "");

    Unrelease("maps/level.dat");
    Release("levels/level.dat", "LEVEL");
    ToolRun moved = PublishAs("2");
    ASSERT_EQ(moved.status, 0) << moved.err.toStdString();
    EXPECT_TRUE(moved.out.contains("level.dat (0001 -> 0002: moved from \"maps\")"))
        << moved.out.toStdString();
    EXPECT_EQ(ServerFile("info.ini"),
              "[VERSION]\r\nVersion=2\r\nRelease=2\r\nMax=1\r\n[FILES]\r\nFileName1=level.dat\r\n"
              "FileVersion1=0002\r\nFilePath1=levels\r\nFileSize1=5\r\nFileSha2561="
              "d81674b2bdd5e6040532eea9bf30c4e1813f87db874078284dd00cfa198e47fc\r\n");
    ServeServerFolder();
    ASSERT_EQ(RunMain(), "");
    // The updater never deletes: the old copy stays where it was.
    EXPECT_EQ(Tree(), QStringList({"info.ini", "levels/level.dat", "maps/level.dat"}));
}

TEST_F(PublishTest, AnUnfinishedRunStillRaisesTheVersionsOfWhatItReplaced) {
    Release("game.exe", "GAME 1");
    ASSERT_EQ(PublishAs("1", {"--sign", secret_}).status, 0);
    ServeServerFolder();
    ASSERT_EQ(RunMain(), "");
    const std::string firstManifest = ServerFile("info.ini") + ServerFile("info.ini.minisig");

    // The run stops after game.exe is copied: new.dat changed after it was hashed.
    Release("game.exe", "GAME 2");
    Release("z/new.dat", "NEW");
    QStringList problems;
    const PublishPlan plan = PlanPublish({release_.path(), Server(), "2", "", secret_}, problems);
    ASSERT_EQ(problems.join('\n').toStdString(), "");
    Release("z/new.dat", "NEWER");
    bool published = true;
    EXPECT_TRUE(
        ApplyPlan(plan, published).endsWith("new.dat changed while it was being published"));
    EXPECT_FALSE(published);
    EXPECT_EQ(ServerFile("game.exe"), "GAME 2");
    EXPECT_EQ(ServerFile("new.dat"), "<missing>");
    EXPECT_EQ(ServerFile("info.ini") + ServerFile("info.ini.minisig"), firstManifest);
    EXPECT_EQ(CheckProblems(),
              QStringList({"entry 1 (game.exe): the file on the server has the SHA-256 "
                           "11283ef8e5f8fa99c74d9b4827778133c26deb974c4328d166642a214a9faf73, "
                           "info.ini says "
                           "4894c1814fb888a0e800db327a206b6c01a532e0cbb84b7ad3bb4f4a178a2916",
                           ".quelmor-publish-pending is there: a publishing run did not finish; "
                           "run quelmor-publish again"}));

    // The server copy now equals the release, yet the version must still rise.
    Release("z/new.dat", "NEW");
    ToolRun rerun = PublishAs("2", {"--sign", secret_});
    ASSERT_EQ(rerun.status, 0) << rerun.err.toStdString();
    EXPECT_EQ(Listing(), Manifest("2", "2", {{"game.exe", "0002", ""}, {"new.dat", "0001", "z"}}));
    EXPECT_EQ(Tool({"--check", Server(), "--public-key", public_}).status, 0);
    ServeServerFolder();
    ASSERT_EQ(RunMain(), "");
    EXPECT_EQ(Read("game.exe"), "GAME 2");
}

TEST(PublishVersions, NextVersionOrdersAfterByCharacterCodes) {
    const std::pair<const char*, const char*> table[] = {
        {"", "0001"},           {"0001", "0002"}, {"0009", "0010"},       {"0099", "0100"},
        {"9999", "99990001"},   {"1.10", "1.11"}, {"1.9", "1.90001"},     {"beta", "beta0001"},
        {"v2-0041", "v2-0042"}, {"19", "20"},     {"0001x", "0001x0001"}, {"a9z", "a9z0001"}};
    for (const auto& [version, next] : table) {
        EXPECT_EQ(NextFileVersion(version), next) << version;
        EXPECT_TRUE(modUpdate::VersionIsGreater(NextFileVersion(version), version)) << version;
    }
    const std::tuple<QString, QStringList, QString> free[] = {{"1.0", {}, "1.1"},
                                                              {"1.9", {}, "1.10"},
                                                              {"0099", {}, "0100"},
                                                              {"beta", {}, "beta2"},
                                                              {"1.1", {"1.2", "1.3"}, "1.4"}};
    for (const auto& [latest, used, next] : free)
        EXPECT_EQ(NextFreeVersion(latest, used), next);
}

TEST_F(PublishTest, AHandWrittenManifestIsContinued) {
    // Versions not of the tool's form, folders with "/" and separators at the ends.
    const std::string handWritten = Manifest(
        "1", "3", {{"a.dat", "1.9", ""}, {"b.dat", "7", "\\data/sub\\"}, {"c.dat", "x", "/c/"}});
    PutServerFile("info.ini", handWritten);
    PutServerFile("a.dat", "OLD");
    PutServerFile("b.dat", "B");
    Write("info.ini", handWritten);
    Write("a.dat", "OLD");
    Write("data/sub/b.dat", "B");
    Release("a.dat", "NEW");
    Release("data/sub/b.dat", "B");
    Release("c/c.dat", "C");
    const ToolRun run = PublishAs("2");
    ASSERT_EQ(run.status, 0) << run.err.toStdString();
    EXPECT_TRUE(run.out.contains("Unchanged: 1\n  data/sub/b.dat (7)")) << run.out.toStdString();
    EXPECT_TRUE(run.out.contains("c/c.dat (x -> x0001: its server copy was missing)"))
        << run.out.toStdString();
    EXPECT_EQ(
        Listing(),
        Manifest("2", "3",
                 {{"a.dat", "1.90001", ""}, {"b.dat", "7", "data\\sub"}, {"c.dat", "x0001", "c"}}));
    EXPECT_EQ(ServerFile(".quelmor-publish-versions"), "0\t1\n1\t2\n");
    ServeServerFolder();
    ASSERT_EQ(RunMain(), "");
    EXPECT_EQ(Read("a.dat"), "NEW");
    EXPECT_EQ(Read("c/c.dat"), "C");
    EXPECT_EQ(server_.CountOf("b.dat"), 0);
}

// One publishing run the tool must refuse: the release files (added after
// prepare ran), the version asked for, words of the reason, and more options.
struct Refusal {
    QStringList files;
    QString version;
    QString reason;
    std::function<void()> prepare = [] {};
    QStringList options = {};
};

TEST_F(PublishTest, RefusalsNameTheFilesAndChangeNothing) {
    const auto firstRelease = [this](std::initializer_list<const char*> names,
                                     const QStringList& options = {}) {
        for (const char* name : names)
            Release(name, name);
        ASSERT_EQ(PublishAs("1", options).status, 0);
    };
    const QString other = hosting_.filePath("other");
    const Refusal table[] = {
        {{"maps/a.dat", "data/a.dat"},
         "1",
         "data/a.dat and maps/a.dat have the same name on the server"},
        {{"maps/Map.dat", "map.DAT"},
         "1",
         "map.DAT and maps/Map.dat have the same name on the server"},
        {{"cfg/INFO.ini"}, "1", "cfg/INFO.ini: on the server it would replace the manifest"},
        {{"Temp.ini"}, "1", "Temp.ini: the updater refuses a file named temp.ini"},
        {{"docs/news.txt"}, "1", "docs/news.txt: on the server it would replace the news"},
        {{"bad."}, "1", "bad.: the updater would refuse the name: the part \"bad.\" ends in a dot"},
        {{"dir /x.dat"},
         "1",
         "dir /x.dat: the updater would refuse its folder: the part \"dir \" ends in"},
        {{"a\\b.dat"}, "1", "a\\b.dat: its name holds a path separator"},
        {{"a#1.dat"}, "1", "a#1.dat: its name holds '#', which cannot stand in a download address"},
        {{" x.dat"}, "1", " x.dat: its name cannot be written to the manifest"},
        {{"carte\u00e9.dat"}, "1", "holds the non-ASCII character"},
        {{"sound/aux.wav"}, "1", "sound/aux.wav: the updater would refuse the name: the part \"aux.wav\" is a name Windows keeps for a device"},
        {{"x/CONIN$.txt"}, "1", "x/CONIN$.txt: the updater would refuse the name"},
        {{"x/info.ini.minisig"}, "1", "on the server it would replace the manifest's signature"},
        {{"Quelmor.exe"},
         "1",
         "Quelmor.exe is the updater itself: every player's updater would replace itself with "
         "it, so a wrong build there breaks every later update; add --include-updater"},
        {{"a.dat"}, "", "the version is empty"},
        {{"a.dat"},
         " 2",
         "the version \" 2\" holds blanks at either end, which an INI reader may misread; give "
         "--version \"2\" instead"},
        {{"a.dat"},
         "1.2 beta;x",
         "the version \"1.2 beta;x\" holds ';', which an INI reader may misread; give --version "
         "\"1.2 beta-x\" instead"},
        {{"a.dat"}, "[1]=\"2\"", "holds '[' and ']' and '=' and '\"', which"},
        {{"a.dat"},
         "1\t2",
         "holds a control character, which an INI reader may misread; give "
         "--version \"1-2\""},
        {{"a.dat"},
         "1",
         "dir: it is a symbolic link, and quelmor-publish never follows links",
         [this] { QFile::link(hosting_.path(), release_.filePath("dir")); }},
        {{"a.dat"},
         "2",
         "the server folder holds a symbolic link, b.dat, and quelmor-publish never follows links",
         [&] {
             firstRelease({"a.dat"});
             QFile::link(release_.filePath("a.dat"), QDir(Server()).filePath("b.dat"));
         }},
        {{"a.dat"},
         "1",
         "the secret key file /nonexistent.key cannot be read",
         [] {},
         {"--sign", "/nonexistent.key"}},
        {{},
         "2",
         "the update is signed (info.ini.minisig is there), and an unsigned info.ini would be "
         "refused",
         [&] {
             firstRelease({"a.dat"}, {"--sign", secret_});
         }},
        {{},
         "2",
         "info.ini.minisig on the server was made by key id",
         [&] {
             firstRelease({"a.dat"}, {"--sign", secret_});
             ASSERT_EQ(Tool({"keygen", other}).status, 0);
         },
         {"--sign", other + "/quelmor.key"}},
        {{},
         "1.0",
         "version 1.0 was published before, as release 1, with other files: players who have it "
         "would never be offered this update; give --version 1.2 (the next free version)",
         [&] {
             for (const char* version : {"1.0", "1.1"}) {
                 Release("a.dat", version);
                 ASSERT_EQ(PublishAs(version).status, 0);
             }
             Release("a.dat", "1.2");
         }},
        {{"a.dat"},
         "2",
         "line 2 of .quelmor-publish-versions is not a release number, a tab and a version; mend "
         "it by hand",
         [&] {
             firstRelease({"a.dat"});
             PutServerFile(".quelmor-publish-versions", "1\t1\nbad\n");
         }},
        {{"Maps", "maps/a.dat"},
         "1",
         "Maps is a file where maps/a.dat needs a folder of that name"},
        {{},
         "1",
         "version 1 is already published, and files changed: players who have it would never "
         "look for the changes; give --version 2 (the next free version)",
         [&] {
             firstRelease({"a.dat"});
             Release("a.dat", "changed");
         }},
        {{},
         "2",
         "entry 2 (b.dat) is no longer in the release and its copy is missing",
         [&] {
             firstRelease({"a.dat", "b.dat"});
             Unrelease("b.dat");
             QFile::remove(QDir(Server()).filePath("b.dat"));
         }},
        {{"levels/1.dat"},
         "2",
         "entry 1 (levels) is a file where levels/1.dat needs a folder of that name",
         [&] {
             firstRelease({"levels"});
             Unrelease("levels");
         }},
        {{"a.dat"},
         "2",
         "the published info.ini must be fixed first: info.ini lists FileName1 but Max is 0",
         [this] {
             PutServerFile("info.ini", Manifest("1", "0", {{"a.dat", "0001", ""}}));
         }},
    };
    for (const Refusal& refusal : table) {
        SCOPED_TRACE(refusal.reason.toStdString());
        QDir(release_.path()).removeRecursively();
        QDir().mkpath(release_.path());
        QDir(Server()).removeRecursively();
        refusal.prepare();
        for (const QString& name : refusal.files)
            Release(name, "bytes");
        const std::string before = Snapshot(Server());
        const ToolRun run = PublishAs(refusal.version, refusal.options);
        EXPECT_EQ(run.status, 1);
        EXPECT_TRUE(run.err.contains(refusal.reason)) << run.err.toStdString();
        EXPECT_TRUE(run.err.contains("nothing was changed")) << run.err.toStdString();
        EXPECT_EQ(Snapshot(Server()), before);
        EXPECT_EQ(run.out.toStdString(), "");
    }
}

TEST_F(PublishTest, EveryReasonToRefuseIsGivenAtOnce) {
    Release("info.ini", "x");
    Release("a/x.dat", "1");
    Release("b/X.dat", "2");
    Release("good.dat", "3");
    const ToolRun run = PublishAs("");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err.count('\n'), 4) << run.err.toStdString(); // the heading and three reasons
    EXPECT_FALSE(QFileInfo::exists(Server()));
}

TEST_F(PublishTest, AServerFolderInsideTheReleaseIsRefused) {
    Release("a.dat", "x");
    const ToolRun run =
        Tool({release_.path(), release_.filePath("srv"), QStringLiteral("--version"), "1"});
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(run.err.contains("lies inside the release folder")) << run.err.toStdString();
    EXPECT_EQ(Snapshot(release_.path()), "a.dat=x\n");
}

TEST_F(PublishTest, TheCommandLineIsRead) {
    const std::pair<QStringList, int> table[] = {
        {{"--help"}, 0},
        {{}, 2},
        {{"rel", "srv"}, 2},
        {{"rel", "srv", "--version"}, 2},
        {{"rel", "srv", "--version", "1", "--version", "2"}, 2},
        {{"rel", "--version", "1"}, 2},
        {{"rel", "srv", "extra", "--version", "1"}, 2},
        {{"rel", "srv", "--version", "1", "--fast"}, 2},
        {{"rel", "srv", "--version", "1", "--news"}, 2},
        {{"--check"}, 2},
        {{"--check", "a", "b"}, 2},
        {{"--check", "a", "--sign", "k"}, 2},
        {{"--check", "a", "--include-updater"}, 2},
        {{"rel", "srv", "--version", "1", "--public-key", "k"}, 2},
        {{"rel", "srv", "--version", "1", "--sign"}, 2},
        {{"rel", "srv", "--version", "1", "--sign="}, 2},
        {{"keygen"}, 2},
        {{"keygen", "a", "b"}, 2},
    };
    for (const auto& [args, status] : table) {
        const ToolRun run = Tool(args);
        EXPECT_EQ(run.status, status) << args.join(' ').toStdString();
        EXPECT_TRUE((status == 0 ? run.out : run.err).contains(PublishUsage()))
            << args.join(' ').toStdString();
    }
    Release("Quelmor", "x");
    EXPECT_EQ(Tool({"--version=7", release_.path(), "--include-updater", Server()}).status, 0);
    EXPECT_EQ(Listing(), Manifest("7", "1", {{"Quelmor", "0001", ""}}));
    const ToolRun badKey = Tool({"--check", Server(), "--public-key", "RWQ"});
    EXPECT_EQ(badKey.status, 2);
    EXPECT_TRUE(badKey.err.contains("--public-key RWQ: it is not a minisign public key"));
    EXPECT_EQ(Tool({"keygen", hosting_.filePath("keys")}).status, 1); // never replaces a key
}

TEST_F(PublishTest, NamesCloseToRefusedOnesArePublishedAndFetched) {
    const QStringList names = {".hidden",      "a b.dat",  "auxiliary.wav",    "maps/temp.ini",
                               "news.txt.bak", "x..y.dat", "cfg/info.ini.old", "con-fig/c.dat",
                               "v1.2/d.dat",   "_/e.dat",  "bin/Quelmor.exe",  ".gitignore",
                               "Thumbs.db.txt"};
    for (const QString& name : names)
        Release(name, name.toStdString());
    const ToolRun run = PublishAs("1");
    ASSERT_EQ(run.status, 0) << run.err.toStdString();
    EXPECT_EQ(CheckReport(), "");
    ServeServerFolder();
    ASSERT_EQ(RunMain(), "");
    for (const QString& name : names)
        EXPECT_EQ(Read(name), name.toStdString());
}

// One way a published (and signed) server folder can be broken: the manifest
// put in place of the sound one (none when empty), what else breakIt does,
// the start of the one problem found, and whether the check is given the key.
struct BrokenServer {
    std::string manifest;
    QString problem;
    std::function<void()> breakIt = [] {};
    bool withKey = false;
};

TEST_F(PublishTest, CheckFindsWhatIsBroken) {
    const auto two = [](const char* max, const Entry& second, const char* version = "1") {
        return Manifest(version, max, {{"a.dat", "0001", ""}, second});
    };
    const Entry b = {"b.dat", "1", "maps"};
    const auto file = [this](const char* name) { return QDir(Server()).filePath(name); };
    // Puts info.ini in place with a valid signature.
    const auto resign = [this](const std::string& manifest) {
        QFile keyFile(secret_);
        ASSERT_TRUE(keyFile.open(QIODevice::ReadOnly));
        MinisignSecretKey key;
        ASSERT_EQ(ParseSecretKey(keyFile.readAll(), {}, key), "");
        PutServerFile("info.ini", manifest);
        PutServerFile("info.ini.minisig",
                      SignPrehashed(key, QByteArray::fromStdString(manifest), "x").toStdString());
    };
    const BrokenServer table[] = {
        {"", "entry 2 (maps\\b.dat): the file b.dat is missing from the server",
         [&] { QFile::remove(file("b.dat")); }},
        {"", "entry 2 (maps\\b.dat): the file on the server has 2 bytes, info.ini says 1",
         [this] { PutServerFile("b.dat", "BB"); }},
        {"",
         "entry 2 (maps\\b.dat): the file on the server has the SHA-256 "
         "6b23c0d5f35d1b11f9b683f0b0a617355deb11277d91ae091d399c655b87940d, info.ini says "
         "df7e70e5021544f4834bbee64a9e3789febc4be81470df629cad6ddb03320a5c",
         [this] { PutServerFile("b.dat", "C"); }},
        {two("2", b) + "FileSize2=1x\r\n",
         "entry 2 (maps\\b.dat): FileSize \"1x\" is not a whole number of bytes"},
        {two("2", b) + "FileSha2562=abc\r\n",
         "entry 2 (maps\\b.dat): FileSha256 \"abc\" is not 64 hex digits"},
        {"[VERSION]\r\nRelease=x\r\n" + two("2", b).substr(11),
         "info.ini has Release=x in [VERSION]; it must be a whole number from 0 to 2147483647"},
        {"", "the server folder holds a symbolic link, b.dat",
         [&] { QFile::remove(file("b.dat")), QFile::link(file("a.dat"), file("b.dat")); }},
        {"", "info.ini.minisig is refused: it does not match the file",
         [this] { PutServerFile("info.ini", ServerFile("info.ini") + "; note\r\n"); }, true},
        {"", "info.ini.minisig is missing: updaters with key id",
         [&] { QFile::remove(file("info.ini.minisig")); }, true},
        {"",
         "entry 2 (maps\\b.dat) has no FileSize or no FileSha256, so updaters with a key refuse it",
         [&] {
             std::string manifest = ServerFile("info.ini");
             const std::size_t at = manifest.find("FileSha2562=");
             resign(manifest.erase(at, manifest.find("\r\n", at) + 2 - at));
         },
         true},
        {two("3", b), "entry 3 has no FileName3, though Max is 3"},
        {two("1000000", b), "entries 3 to 1000000 have no FileName, though Max is 1000000"},
        {two("1", b), "info.ini lists FileName2 but Max is 1: the updater never reads entries"},
        {two("2", {"", "1", "maps"}), "entry 2 has no FileName2, though Max is 2"},
        {two("2", {"A.dat", "1", "maps"}),
         "entry 1 (a.dat) and entry 2 (maps\\A.dat) have the same name on the server",
         [this] { PutServerFile("A.dat", "A"); }},
        {two("2", {"..", "1", "maps"}),
         "entry 2 (maps\\..): the updater would refuse the name: it holds the part \"..\""},
        {two("2", {"b.dat", "1", "C:\\x"}),
         "entry 2 (C:\\x\\b.dat): the updater would refuse its folder: it names a drive"},
        {two("2", {"TEMP.INI", "1", ""}),
         "entry 2 (TEMP.INI): the updater refuses a file named temp.ini"},
        {two("2", b, ""), "info.ini has no Version in [VERSION]"},
        {two("2", b) + "FileName03=c\r\n",
         "info.ini has the key FileName03, which the updater never reads"},
        {"", Server() + " has no info.ini", [&] { QFile::remove(file("info.ini")); }},
    };
    QFile publicFile(public_);
    ASSERT_TRUE(publicFile.open(QIODevice::ReadOnly));
    MinisignPublicKey key;
    ASSERT_EQ(ParsePublicKey(publicFile.readAll(), key), "");
    for (const BrokenServer& broken : table) {
        SCOPED_TRACE(broken.problem.toStdString());
        QDir(release_.path()).removeRecursively();
        QDir(Server()).removeRecursively();
        Release("a.dat", "A");
        Release("maps/b.dat", "B");
        ASSERT_EQ(PublishAs("1", {"--sign", secret_}).status, 0);
        const QStringList withKey = {"--check", Server(), "--public-key", public_};
        const ToolRun sound = Tool(withKey);
        EXPECT_EQ(sound.status, 0);
        EXPECT_EQ(sound.out, "OK: " + Server() + " serves version 1, release 1, with 2 files, " +
                                 "signed by key id " + KeyIdText(key.keyId) + "\n");

        if (!broken.manifest.empty())
            PutServerFile("info.ini", broken.manifest);
        broken.breakIt();
        const QStringList problems = CheckProblems(broken.withKey ? &key : nullptr);
        EXPECT_EQ(problems.size(), 1) << problems.join('\n').toStdString();
        EXPECT_TRUE(problems.value(0).startsWith(broken.problem))
            << problems.value(0).toStdString();
        const ToolRun run = Tool(broken.withKey ? withKey : withKey.mid(0, 2));
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.out, problems.join('\n') + '\n');
    }
}

TEST_F(PublishTest, CheckWarnsAboutTheNews) {
    Release("a.dat", "A");
    const std::pair<std::string, QString> table[] = {
        {"", "quelmor-publish: warning: news.txt is missing: players see an empty news box; "
             "publish with --news FILE\n"},
        {"Caf\xe9 news", "quelmor-publish: warning: news.txt is not valid UTF-8: players may see "
                         "it garbled; save it as UTF-8 and publish it again with --news\n"},
        {"\xEF\xBB\xBF"
         "Caf\xc3\xa9 news",
         ""}};
    for (const auto& [news, warning] : table) {
        QDir(Server()).removeRecursively();
        const QStringList options = {"--news", NewsFile("news.txt", news)};
        ASSERT_EQ(PublishAs("1", news.empty() ? QStringList() : options).status, 0);
        const ToolRun run = Tool({"--check", Server()});
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.err, warning);
    }
}

TEST_F(PublishTest, AFolderThatCannotBeReadIsNamed) {
    Release("a.dat", "A");
    Release("locked/b.dat", "B");
    ASSERT_TRUE(QFile::setPermissions(release_.filePath("locked"), {}));
    // root reads any folder; without its two capabilities for that it reads as others do.
    QStringList command = {QUELMOR_PUBLISH_EXE, release_.path(), Server(), "--version", "1"};
    if (::geteuid() == 0)
        command = QStringList{"setpriv", "--bounding-set=-dac_override,-dac_read_search"} + command;
    QProcess tool;
    tool.start(command[0], command.mid(1));
    ASSERT_TRUE(tool.waitForFinished(60000));
    EXPECT_EQ(tool.exitCode(), 1);
    EXPECT_TRUE(tool.readAllStandardError().contains(
        "locked/: the folder cannot be read: Permission denied"));
    QFile::setPermissions(release_.filePath("locked"),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

} // namespace
