// quelmor-publish against the real updater: releases published, served and fetched;
// refusals that change nothing; checks of broken server folders.
#include "UpdaterTest.h"

#include <QProcess>
#include <QRegularExpression>
#include <QTextStream>
#include <algorithm>
#include <csignal>
#include <functional>
#include <map>
#include <random>

#ifndef _WIN32
#include <sys/resource.h>
#endif

#include "publish/Check.h"
#include "publish/Publish.h"
#include "publish/PublishPlan.h"
#include "publish/SecretKey.h"
#include "publish/Versions.h"
#include "update/Patch.h"

using namespace modUpdate;
using namespace publish;

namespace {

// What one run of the tool printed and returned.
struct ToolRun {
    int status = -1;
    QString out, err;
};

// Every file below folder with its bytes, one "path=bytes" a line, sorted.
std::string Snapshot(const QString& folder) {
    std::string text;
    for (const QString& name : Tree(folder))
        text += name.toStdString() + "=" + ReadFile(QDir(folder).filePath(name)) + "\n";
    return text;
}

// n bytes that do not compress, drawn from seed.
std::string Noise(std::int64_t n, unsigned seed) {
    std::mt19937 random(seed);
    std::string bytes(static_cast<std::size_t>(n), '\0');
    for (char& byte : bytes)
        byte = static_cast<char>(random());
    return bytes;
}

// Writes mark over bytes from at on (copied, not replaced: GCC 12 at -O3
// misreads a replace of a few bytes as an overlapping copy).
void Mark(std::string& bytes, std::size_t at, std::initializer_list<char> mark) {
    std::copy(mark.begin(), mark.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at));
}

class PublishTest : public UpdaterTest {
  public:
    void SetUp() override {
        UpdaterTest::SetUp();
        ASSERT_TRUE(release_.isValid() && hosting_.isValid());
        ASSERT_EQ(Tool({"keygen", hosting_.filePath("keys")}).status, 0);
    }
    // Puts a file into the release, or files (separated by blanks) holding their names.
    void Release(const QString& name, const std::string& bytes) {
        WriteFile(release_.filePath(name), bytes);
    }
    void Release(const QString& names) {
        for (const QString& name : names.split(' '))
            Release(name, name.toStdString());
    }
    void Unrelease(const QString& name) { ASSERT_TRUE(QFile::remove(release_.filePath(name))); }
    // The server folder (the first publishing run makes it) and its files.
    QString Server(const QString& name = {}) const {
        return hosting_.filePath(name.isEmpty() ? "srv" : "srv/" + name);
    }
    std::string ServerFile(const QString& name) const { return ReadFile(Server(name)); }
    ToolRun Tool(const QStringList& args) {
        ToolRun run;
        QTextStream out(&run.out), err(&run.err);
        run.status = RunPublish(args, out, err);
        return run;
    }
    ToolRun PublishAs(const QString& version, const QStringList& more = {}) {
        return Tool(QStringList{release_.path(), Server(), "--version", version} + more);
    }
    // The server's info.ini without its Release, ByHash, FileSize and FileSha256 lines.
    std::string Listing() const {
        std::string text;
        for (const QString& line : QString::fromStdString(ServerFile("info.ini")).split("\r\n"))
            if (!line.isEmpty() && !line.startsWith("Release=") && !line.startsWith("FileS") &&
                !line.startsWith("ByHash="))
                text += line.toStdString() + "\r\n";
        return text;
    }
    // Serves the server folder and runs the updater; the requests it made, sorted, an
    // object of by-hash/ named as the flat file of its bytes.
    std::vector<std::string> Update() {
        std::map<std::string, std::string> flat;
        for (const QString& name : ::Tree(Server())) {
            server_.Put(name == "news.txt" ? "/news.txt" : name.toStdString(), ServerFile(name));
            if (!name.contains('/'))
                flat["/Quelmor/by-hash/" + Sha256Of(ServerFile(name))] =
                    "/Quelmor/" + name.toStdString();
        }
        const std::size_t before = server_.Requests().size();
        EXPECT_EQ(RunMain(), "");
        std::vector<std::string> asked = server_.Requests();
        asked.erase(asked.begin(), asked.begin() + static_cast<std::ptrdiff_t>(before));
        for (std::string& request : asked)
            request = flat.count(request) != 0 ? flat[request] : request;
        std::sort(asked.begin(), asked.end());
        return asked;
    }

    // Every line is in the tool's output.
    static void ExpectSaid(const ToolRun& run, std::initializer_list<const char*> lines) {
        for (const char* line : lines)
            EXPECT_TRUE(run.out.contains(line)) << line << "\n" << run.out.toStdString();
    }

    QTemporaryDir release_, hosting_;
    const QString secret_ = hosting_.filePath("keys/quelmor.key");
    const QString public_ = hosting_.filePath("keys/quelmor.pub");
};

TEST_F(PublishTest, ReleasesReachTheGameFolderThroughTheUpdater) {
    Release(
        "game.exe readme.txt maps/m1.dat maps/old.dat data/sub/deep.dat .git/HEAD maps/Thumbs.db");
    // News in UTF-8 with a byte-order mark, then in Latin-1, which --check warns about.
    const QString news = hosting_.filePath("news.txt");
    WriteFile(news, "\uFEFFCaf\u00e9");
    ToolRun first = PublishAs("1.0", {"--news", news});
    ASSERT_EQ(first.status, 0) << first.err.toStdString();
    ExpectSaid(first, {"Published version 1.0, release 1, to", "Added: 5",
                       "Left out: 2\n  (system and version-control files players never "
                       "need)\n  .git/\n  maps/Thumbs.db\n",
                       "Copied to the server: 5 file(s), news.txt"});
    const ToolRun checked = Tool({"--check", Server()});
    EXPECT_EQ(checked.status, 0);
    EXPECT_EQ(checked.err, "");
    Update();
    EXPECT_EQ(Read("data/sub/deep.dat"), "data/sub/deep.dat");

    // One changed, one moved, one new in a new folder, one removed, the rest as they were.
    Release("game.exe", "GAME 2");
    Unrelease("maps/m1.dat");
    Release("levels/m1.dat", "maps/m1.dat");
    Release("extra/new.dat", "NEW");
    Unrelease("maps/old.dat");
    WriteFile(news, "Caf\xe9 news");
    ToolRun second = PublishAs("1.1", {"--news=" + news});
    ASSERT_EQ(second.status, 0) << second.err.toStdString();
    ExpectSaid(second, {"Added: 1\n  extra/new.dat (0001)",
                        "Changed: 2\n  game.exe (0001 -> 0002: new bytes)",
                        "levels/m1.dat (0001 -> 0002: moved from \"maps\")", "Unchanged: 2",
                        "Kept, no longer in the release: 1", "entry 5 (maps\\old.dat) (0001)",
                        "Copied to the server: 2 file(s), news.txt"});
    // Positions stay; the new file comes last; folders are written with "\".
    EXPECT_EQ(Listing(),
              Manifest("1.1", "6",
                       {"game.exe|0002", "readme.txt|0001", "deep.dat|0001|data\\sub",
                        "m1.dat|0002|levels", "old.dat|0001|maps", "new.dat|0001|extra"}));
    // The manifest comes compressed, as release.ini names it.
    const std::string object = "/Quelmor/by-hash/" + Sha256Of(ServerFile("info.ini")) + ".zst";
    EXPECT_EQ(Update(), std::vector<std::string>({"/Quelmor//news.txt", object, "/Quelmor/game.exe",
                                                  "/Quelmor/m1.dat", "/Quelmor/new.dat",
                                                  "/Quelmor/release.ini"}));
    // The updater never deletes: the old copies stay where they were.
    EXPECT_EQ(Tree(), QStringList({".quelmor-release.ini", "data/sub/deep.dat", "extra/new.dat",
                                   "game.exe", "info.ini", "levels/m1.dat", "maps/m1.dat",
                                   "maps/old.dat", "readme.txt"}));
    EXPECT_EQ(Read("game.exe"), "GAME 2");
    EXPECT_EQ(Read("info.ini"), ServerFile("info.ini"));
    EXPECT_EQ(CaptionsOf("news"),
              QStringList({"Caf\u00e9", QString::fromLocal8Bit("Caf\xe9 news")}));
    const ToolRun warned = Tool({"--check", Server()}); // no problem, one warning
    EXPECT_EQ(warned.status, 0);
    EXPECT_EQ(warned.err,
              "quelmor-publish: warning: news.txt is not valid UTF-8: players may see it garbled; "
              "save it as UTF-8 and publish it again with --news\n");
    EXPECT_EQ(ServerFile(".quelmor-publish-versions"), "1\t1.0\n2\t1.1\n");
}

TEST_F(PublishTest, AnUnfinishedRunStillRaisesTheVersionsOfWhatItReplaced) {
    Release("game.exe", "GAME 1");
    ASSERT_EQ(PublishAs("1", {"--sign", secret_}).status, 0);
    Update();
    const std::string firstManifest = ServerFile("info.ini") + ServerFile("info.ini.minisig");

    // The run stops after game.exe is copied: new.dat changed after it was hashed.
    Release("game.exe", "GAME 2");
    Release("z/new.dat", "NEW");
    QStringList refusals;
    const PublishPlan plan = PlanPublish({release_.path(), Server(), "2", "", secret_}, refusals);
    ASSERT_EQ(refusals, QStringList());
    Release("z/new.dat", "NEWER");
    bool published = true;
    EXPECT_TRUE(
        ApplyPlan(plan, published).why().endsWith("new.dat changed while it was being published"));
    EXPECT_FALSE(published);
    EXPECT_EQ(ServerFile("game.exe"), "GAME 2");
    EXPECT_EQ(ServerFile("new.dat"), "<missing>");
    EXPECT_EQ(ServerFile("info.ini") + ServerFile("info.ini.minisig"), firstManifest);
    const QString problems = ServerFolderProblems(Server()).join('\n');
    EXPECT_TRUE(problems.startsWith("entry 1 (game.exe): the file on the server has the SHA-256"));
    EXPECT_TRUE(problems.endsWith("\n.quelmor-publish-pending is there: a publishing run did not "
                                  "finish; run quelmor-publish again"));

    // The server copy now equals the release, yet the version must still rise.
    Release("z/new.dat", "NEW");
    ToolRun rerun = PublishAs("2", {"--sign", secret_});
    ASSERT_EQ(rerun.status, 0) << rerun.err.toStdString();
    EXPECT_EQ(Listing(), Manifest("2", "2", {"game.exe|0002", "new.dat|0001|z"}));
    EXPECT_EQ(Tool({"--check", Server(), "--public-key", public_}).status, 0);
    Update();
    EXPECT_EQ(Read("game.exe"), "GAME 2");
}

TEST_F(PublishTest, AServerCopyThatNoLongerMatchesTheManifestGetsTheNextVersion) {
    Release("a.dat b.dat c.dat");
    ASSERT_EQ(PublishAs("1").status, 0);
    Update();
    // Replaced by hand on the server: a.dat also in the release, b.dat gone from it.
    for (const char* name : {"a.dat", "b.dat"})
        WriteFile(Server(name), "new");
    Release("a.dat", "new");
    Unrelease("b.dat");
    ExpectSaid(PublishAs("2"), {"a.dat (0001 -> 0002: its server copy no longer matched the "
                                "size or SHA-256 in info.ini)",
                                "(b.dat) (0001 -> 0002: its server copy no longer matched",
                                "Unchanged: 1\n  c.dat (0001)"});
    Update();
    EXPECT_EQ(Read("a.dat") + Read("b.dat") + Read("c.dat"), "newnewc.dat");
}

TEST_F(PublishTest, LargeFilesGetPatchesFromTheLastThreeReleases) {
    // big.pak (1 MiB) and edge.pak (a byte less) change a few bytes a release, half.pak its
    // second half; s.txt holds the release.
    std::string big = Noise(SmallestPatchedFile, 1), edge = Noise(SmallestPatchedFile - 1, 2);
    std::vector<std::string> bigs;
    const auto publish = [&](int n, bool all = true) {
        if (all) {
            Mark(big, std::size_t(n) * 9000, {'v', static_cast<char>('0' + n), '!'});
            Mark(edge, std::size_t(n) * 9000, {'e'});
            Release("half.pak",
                    Noise(SmallestPatchedFile / 2, 3) + Noise(SmallestPatchedFile / 2, 10 + n));
            Release("big.pak", big);
            Release("edge.pak", edge);
            bigs.push_back(big);
        }
        Release("s.txt", std::to_string(n));
        return PublishAs(QString::number(n));
    };
    ASSERT_EQ(publish(1).status, 0);
    // As the tool left a folder before it kept objects.
    for (const char* folder : {"by-hash", ".quelmor-publish-manifests"})
        QDir(Server(folder)).removeRecursively();
    WriteFile(Server("info.ini"),
              QString::fromStdString(ServerFile("info.ini")).remove("ByHash=1\r\n").toStdString());
    ExpectSaid(publish(2),
               {"Patches: 1 made (big.pak from release 1: ",
                "), 0 reused, 1 not kept, larger than half the file (half.pak from release 1)\n"});
    ExpectSaid(publish(3),
               {"Patches: 2 made (big.pak from release 2: ", ", big.pak from release 1: "});
    ExpectSaid(publish(4, false), {"Patches: 0 made, 2 reused, 2 not kept",
                                   "Removed from by-hash/ and patches/: 3 file(s)"});
    // Only big.pak has patches, from the newest base on, right after its other keys.
    const std::string ini = ServerFile("info.ini"), to = Sha256Of(big);
    for (const int k : {1, 2}) {
        const std::string base = Sha256Of(bigs[std::size_t(2 - k)]),
                          nk = "1." + std::to_string(k) + "=";
        EXPECT_NE(ini.find((k == 1 ? "FileSha2561=" + to : "") + "\r\nPatchBase" + nk + base +
                           "\r\nPatchName" + nk + base + "-" + to + ".zst\r\nPatchSize" + nk),
                  std::string::npos)
            << k;
    }
    EXPECT_EQ(QString::fromStdString(ini).count("\r\nPatch"), 8);
    EXPECT_EQ(Tool({"--check", Server()}).out.left(3), "OK:");
    // Kept: what the manifests of releases 2 to 4 name, big.pak of release 1 as a base.
    EXPECT_EQ(::Tree(Server(".quelmor-publish-manifests")),
              QStringList({"2.ini", "3.ini", "4.ini"}));
    EXPECT_EQ(::Tree(Server("patches")).size(), 3);
    EXPECT_EQ(::Tree(Server("by-hash")).size(), 16); // and 3 compressed manifests
    EXPECT_EQ(ServerFile("by-hash/" + QString::fromStdString(Sha256Of(bigs[0]))), bigs[0]);
    EXPECT_EQ(ServerFile("by-hash/" + QString::fromStdString(Sha256Of("1"))) +
                  ServerFile("by-hash/" + QString::fromStdString(Sha256Of("2"))),
              "<missing>2");
}

TEST_F(PublishTest, OldAndNewUpdatersAndAStaleCacheGetTheRightBytes) {
    std::string big = Noise(2 * SmallestPatchedFile, 5);
    std::vector<std::string> bytes, manifests; // of releases 1 to 3
    for (int n = 1; n <= 3; ++n) {
        Mark(big, std::size_t(n) * 50000, {'r', 'e', 'l', static_cast<char>('0' + n)});
        Release("big.pak", big);
        ASSERT_EQ(PublishAs(QString::number(n)).status, 0);
        bytes.push_back(big), manifests.push_back(ServerFile("info.ini"));
    }
    // A player at release 1, offered `manifest` by the server folder of release 3.
    const auto update = [&](const std::string& manifest) {
        Write("info.ini", manifests[0]);
        Write("big.pak", bytes[0]);
        WriteFile(Server("info.ini"), manifest);
        return Update();
    };
    // This updater: a patch, fetched by hash.
    const std::vector<std::string> patched = update(manifests[2]);
    EXPECT_EQ(std::count(patched.begin(), patched.end(), "/Quelmor/big.pak"), 0);
    EXPECT_EQ(patched.size(), 4u); // the news, release.ini, the manifest and the patch
    EXPECT_TRUE(Read("big.pak") == bytes[2]);
    EXPECT_EQ(Read("info.ini"), manifests[2]);
    // Updaters in the field read info.ini alone, as one that never met release.ini does.
    QFile::remove(Server("release.ini"));
    server_.Drop("release.ini");
    QFile::remove(Path(".quelmor-release.ini"));
    // An updater that knows neither by-hash/ nor patches: the flat file.
    QString plain = QString::fromStdString(manifests[2]);
    plain.remove(QRegularExpression("(ByHash|Patch[A-Za-z0-9]+\\.[0-9]+)=[^\r]*\r\n"));
    EXPECT_EQ(update(plain.toStdString()),
              std::vector<std::string>({"/Quelmor//news.txt", "/Quelmor/big.pak",
                                        "/Quelmor/info.ini", "/Quelmor/release.ini"}));
    EXPECT_TRUE(Read("big.pak") == bytes[2]);
    // A cache still serving release 2's manifest: release 2's bytes, nothing refused.
    update(manifests[1]);
    EXPECT_TRUE(Read("big.pak") == bytes[1]);
    EXPECT_EQ(CaptionsOf("stdout"), QStringList());
}

TEST(PublishPatches, NoPatchFromOrToAFileOf2GiB) {
    QTemporaryDir dir;
    const QString huge = dir.filePath("huge"), small = dir.filePath("small");
    QFile file(huge); // sparse: nothing is written
    ASSERT_TRUE(file.open(QIODevice::WriteOnly) && file.resize(PatchedFileLimit));
    file.close();
    WriteFile(small, Noise(SmallestPatchedFile, 4));
    for (const auto& [base, target] : {std::pair{huge, small}, {small, huge}}) {
        QByteArray patch;
        EXPECT_TRUE(
            MakePatch(base, target, SmallestPatchedFile, patch).why().contains("2 GiB or larger"));
        EXPECT_TRUE(patch.isEmpty());
    }
}

TEST(PublishVersions, NextVersionOrdersAfterByCharacterCodes) {
    const std::pair<const char*, const char*> table[] = {
        {"", "0001"},           {"0001", "0002"}, {"0009", "0010"},       {"0099", "0100"},
        {"9999", "99990001"},   {"1.10", "1.11"}, {"1.9", "1.90001"},     {"beta", "beta0001"},
        {"v2-0041", "v2-0042"}, {"19", "20"},     {"0001x", "0001x0001"}, {"a9z", "a9z0001"}};
    for (const auto& [version, next] : table) {
        EXPECT_EQ(NextFileVersion(version), next) << version;
        EXPECT_TRUE(VersionIsGreater(NextFileVersion(version), version)) << version;
    }
}

TEST(PublishRules, NamesFoldersAndVersionsAnUpdaterWouldMisreadAreRefused) {
    // Windows reads its 8-bit code page, which cannot read a non-ASCII name back at all.
#ifdef _WIN32
    const char* nonAscii = "its name cannot be written to the manifest";
#else
    const char* nonAscii = "its name holds the non-ASCII character";
#endif
    const std::tuple<QString, QString, QString> names[] = {
        {"Temp.ini", "", "temp.ini at the top of the game folder is one of the updater's own"},
        {".Quelmor-Partial", "", "the updater keeps the files it is fetching there"},
        {"quelmor.OLD", "", "an updater that replaces itself moves its old executable there"},
        {"INFO.ini", "cfg", "on the server it would replace the manifest info.ini"},
        {"info.ini.minisig", "x", "on the server it would replace the manifest's signature"},
        {"news.txt", "docs", "on the server it would replace the news"},
        {"Keys-12.ini", "cfg", "on the server it would replace the release statement or a key"},
        {"Release.INI", "cfg", "on the server it would replace the release statement or a key"},
        {".quelmor-release.ini", "", "the updater keeps the last release statement it trusted"},
        {"b.dat", "C:\\x", "the updater would refuse its folder: it names a drive"},
        {"a\\b.dat", "", "its name holds a path separator"},
        {"a#1.dat", "", "its name holds '#', which cannot stand in a download address"},
        {"50%.dat", "", "its name holds '%'"},
        {" x.dat", "", "its name cannot be written to the manifest"},
        {"carte\u00e9.dat", "", nonAscii},
        {"aux.wav", "sound", "the part \"aux.wav\" is a name Windows keeps for a device"},
        {"By-Hash", "x", "on the server it would stand where the publishing tool keeps its folder"},
    };
    for (const auto& [name, folder, problem] : names)
        EXPECT_TRUE((NameProblem(name, folder) + FolderProblem(folder)).contains(problem))
            << problem.toStdString();
    // Each refusal names the fix.
    const std::pair<QString, QString> versions[] = {
        {"", "the version is empty: give --version a value players have not had yet"},
        {" 2", "holds blanks at either end, which an INI reader may misread; give --version \"2\""},
        {"1.2 beta;x", "holds ';', which an INI reader may misread; give --version \"1.2 beta-x\""},
        {"[1]=\"2\"", "holds '[' and ']' and '=' and '\"', which an INI reader may misread"},
        {"1\t2",
         "holds a control character, which an INI reader may misread; give --version \"1-2\""},
        {"1.0", ""}};
    for (const auto& [version, problem] : versions)
        EXPECT_TRUE(problem.isEmpty() ? VersionProblem(version).isEmpty()
                                      : VersionProblem(version).contains(problem))
            << VersionProblem(version).toStdString();
}

// A run the tool must refuse: the version, words of the reason, what prepare
// does first, and more options.
struct Refusal {
    QString version, reason;
    std::function<void()> prepare;
    QStringList options = {};
};

TEST_F(PublishTest, RefusalsNameTheFilesAndChangeNothing) {
    const auto first = [&](const QStringList& options = {}) {
        Release("a.dat");
        ASSERT_EQ(PublishAs("1", options).status, 0);
    };
    const QString other = hosting_.filePath("other");
    const QStringList otherKey = {"--sign", other + "/quelmor.key"}, keygen = {"keygen", other};
    const QStringList signing = {"--sign", secret_}, missingKey = {"--sign", "/nonexistent.key"};
    bool unusable = false; // the row cannot be set up here: no links, or no letter case in names
    const auto link = [&](const QString& target, const QString& path) {
        unusable = !MakeLink(target, path);
    };
    const Refusal table[] = {
        {"1", "quelmor.old/a: it needs a folder named Quelmor.old at the top of the game folder",
         [&] { Release("quelmor.old/a"); }},
        {"1", "data/a.dat and maps/a.dat have the same name on the server",
         [&] { Release("maps/a.dat data/a.dat"); }},
        {"1", "Maps is a file where maps/a.dat needs a folder",
         [&] {
             Release("Maps");
             unusable = QFileInfo::exists(release_.filePath("mAPS"));
             if (!unusable)
                 Release("maps/a.dat");
         }},
        {"1.2 beta;x", "the version \"1.2 beta;x\" holds ';'", [&] { Release("a.dat"); }},
        {"1",
         "Quelmor.exe is the updater itself: every player's updater would replace itself with "
         "it, so a wrong build there breaks every later update; add --include-updater",
         [&] { Release("Quelmor.exe"); }},
        {"1", "dir: it is a symbolic link, and quelmor-publish never follows links",
         [&] {
             Release("a.dat");
             link(hosting_.path(), release_.filePath("dir"));
         }},
        {"2", "the server folder holds a symbolic link, b.dat, and quelmor-publish never follows",
         [&] {
             first();
             link(release_.filePath("a.dat"), Server("b.dat"));
         }},
        {"1", "the secret key file /nonexistent.key cannot be read", [&] { Release("a.dat"); },
         missingKey},
        {"2", "the update is signed (info.ini.minisig is there), and an unsigned info.ini would",
         [&] { first(signing); }},
        {"2", "info.ini.minisig on the server was made by key id",
         [&] {
             first(signing);
             Tool(keygen);
         },
         otherKey},
        {"1.0",
         "version 1.0 was published before, as release 1, with other files: players who "
         "have it would never be offered this update; give --version 1.2 (the next free",
         [&] {
             Release("a.dat", "1.0");
             PublishAs("1.0");
             Release("a.dat", "1.1");
             PublishAs("1.1");
             Release("a.dat", "1.2");
         }},
        {"1",
         "version 1 is already published, and files changed: players who have it would "
         "never look for the changes; give --version 2 (the next free version)",
         [&] {
             first();
             Release("a.dat", "changed");
         }},
        {"2",
         "by-hash/" +
             QString::fromStdString(Sha256Of("new") + " has the SHA-256 " + Sha256Of("old")),
         [&] {
             first();
             Release("a.dat", "new");
             WriteFile(Server("by-hash/" + QString::fromStdString(Sha256Of("new"))), "old");
         }},
        {"2", "line 2 of .quelmor-publish-versions is not a release number, a tab and a version",
         [&] {
             first();
             WriteFile(Server(".quelmor-publish-versions"), "1\t1\nbad\n");
         }},
        {"2", "entry 2 (b.dat) is no longer in the release and its copy is missing",
         [&] {
             Release("b.dat");
             first();
             Unrelease("b.dat");
             QFile::remove(Server("b.dat"));
         }},
        {"2", "entry 1 (levels) is a file where levels/1.dat needs a folder",
         [&] {
             Release("levels");
             PublishAs("1");
             Unrelease("levels");
             Release("levels/1.dat");
         }},
        {"2", "the published info.ini must be fixed first: info.ini lists FileName1 but Max is 0",
         [&] {
             Release("a.dat");
             WriteFile(Server("info.ini"), Manifest("1", "0", {"a.dat|0001"}));
         }}};
    for (const Refusal& refusal : table) {
        SCOPED_TRACE(refusal.reason.toStdString());
        QDir(release_.path()).removeRecursively();
        QDir().mkpath(release_.path());
        QDir(Server()).removeRecursively();
        refusal.prepare();
        if (std::exchange(unusable, false))
            continue;
        const std::string before = Snapshot(Server());
        const ToolRun run = PublishAs(refusal.version, refusal.options);
        EXPECT_EQ(run.status, 1);
        EXPECT_TRUE(run.err.contains(refusal.reason)) << run.err.toStdString();
        EXPECT_TRUE(run.err.contains("nothing was changed")) << run.err.toStdString();
        EXPECT_EQ(Snapshot(Server()), before);
        EXPECT_EQ(run.out, "");
    }
    // Every reason to refuse is given at once: the heading and three reasons.
    QDir(release_.path()).removeRecursively();
    QDir(Server()).removeRecursively();
    Release("info.ini a/x.dat b/X.dat good.dat");
    EXPECT_EQ(PublishAs("").err.count('\n'), 4);
    const ToolRun inside = Tool({release_.path(), release_.filePath("srv"), "--version", "1"});
    EXPECT_TRUE(inside.err.contains("lies inside the release folder")) << inside.err.toStdString();
    EXPECT_FALSE(QFileInfo::exists(Server()) || QFileInfo::exists(release_.filePath("srv")));
}

TEST_F(PublishTest, TheCommandLineIsRead) {
    EXPECT_TRUE(Tool({"--help"}).out.contains(PublishUsage()));
    const QStringList wrong[] = {{},
                                 {"rel", "srv"},
                                 {"rel", "srv", "extra", "--version", "1"},
                                 {"rel", "srv", "--version", "1", "--fast"},
                                 {"--check", "a", "--sign", "k"}};
    for (const QStringList& args : wrong) {
        const ToolRun run = Tool(args);
        EXPECT_EQ(run.status, 2) << args.join(' ').toStdString();
        EXPECT_TRUE(run.err.contains(PublishUsage())) << args.join(' ').toStdString();
    }
    Release("Quelmor", "x");
    EXPECT_EQ(Tool({"--version=7", release_.path(), Server()}).status, 1); // the updater itself
    EXPECT_EQ(Tool({"--version=7", release_.path(), "--include-updater", Server()}).status, 0);
    EXPECT_EQ(Listing(), Manifest("7", "1", {"Quelmor|0001"}));
    const ToolRun badKey = Tool({"--check", Server(), "--public-key", "RWQ"});
    EXPECT_EQ(badKey.status, 2);
    EXPECT_TRUE(badKey.err.contains("--public-key RWQ: it is not a minisign public key"));
    EXPECT_EQ(Tool({"keygen", hosting_.filePath("keys")}).status, 1); // never replaces a key
}

TEST_F(PublishTest, NamesCloseToRefusedOnesArePublishedAndFetched) {
    const QStringList names = {
        ".hidden",       "a b.dat",       "auxiliary.wav",      "maps/temp.ini",
        "news.txt.bak",  "x..y.dat",      "cfg/info.ini.old",   "con-fig/c.dat",
        "v1.2/d.dat",    "_/e.dat",       "bin/Quelmor.exe",    ".gitignore",
        "Thumbs.db.txt", "_/Quelmor.old", "m/.quelmor-partial", "Quelmor.older"};
    for (const QString& name : names)
        Release(name, name.toStdString());
    const ToolRun run = PublishAs("1");
    ASSERT_EQ(run.status, 0) << run.err.toStdString();
    const ToolRun checked = Tool({"--check", Server()});
    EXPECT_EQ(checked.status, 0);
    EXPECT_EQ(checked.err, "quelmor-publish: warning: news.txt is missing: players see an empty "
                           "news box; publish with --news FILE\n");
    Update();
    for (const QString& name : names)
        EXPECT_EQ(Read(name), name.toStdString());
}

// A broken signed server folder: the manifest put in place ("" for none), the
// start of the one problem found, what else breakIt does, whether the key is given.
struct BrokenServer {
    std::string manifest;
    QString problem;
    std::function<void()> breakIt = [] {};
    bool withKey = false;
};

TEST_F(PublishTest, CheckFindsWhatIsBroken) {
    const auto two = [](const char* max, const char* second, const char* version = "1") {
        return Manifest(version, max, {"a.dat|0001", second});
    };
    const char* b = "b.dat|1|maps";
    bool manifestPut = false;
    const auto put = [&](const QString& name, const std::string& bytes) {
        manifestPut = manifestPut || name == "info.ini";
        WriteFile(Server(name), bytes);
    };
    const auto drop = [this](const QString& name) { QFile::remove(Server(name)); };
    // big.pak changes once: release 3 offers one patch, from release 2.
    const std::string big = Noise(SmallestPatchedFile, 1), base = Sha256Of(big);
    std::string changed = big;
    Mark(changed, 0, {'x'});
    const QString patch = QString::fromStdString(base + "-" + Sha256Of(changed) + ".zst");
    const auto patched = [&] {
        Release("big.pak", big), PublishAs("2", {"--sign", secret_});
        Release("big.pak", changed), PublishAs("3", {"--sign", secret_});
    };
    const QString baseObject = "by-hash/" + QString::fromStdString(base);
    MinisignSecretKey secret;
    ASSERT_TRUE(ParseSecretKey(QByteArray::fromStdString(ReadFile(secret_)), {}, secret));
    const MinisignPublicKey key = PublicKeyOf(secret);
    bool noLink = false; // the row needs a symbolic link, and this system makes none
    const BrokenServer table[] = {
        {"", "entry 2 (maps\\b.dat): the file b.dat is missing from the server",
         [&] { drop("b.dat"); }},
        {"", "entry 2 (maps\\b.dat): the file on the server has 2 bytes, info.ini says 1",
         [&] { put("b.dat", "BB"); }},
        {"", "entry 2 (maps\\b.dat): the file on the server has the SHA-256 6b23c0d5f35d1b11f9b",
         [&] { put("b.dat", "C"); }},
        {"", "the server folder holds a symbolic link, b.dat",
         [&] { drop("b.dat"), noLink = !MakeLink(Server("a.dat"), Server("b.dat")); }},
        {"", "info.ini.minisig is refused: it does not match the file",
         [&] { put("info.ini", ServerFile("info.ini") + "; note\r\n"); }, true},
        {"", "info.ini.minisig is missing: updaters with key id", [&] { drop("info.ini.minisig"); },
         true},
        {"", "entry 2 (maps\\b.dat) has no FileSize or no FileSha256, so updaters with a key",
         [&] {
             std::string manifest = ServerFile("info.ini");
             const std::size_t at = manifest.find("FileSha2562=");
             put("info.ini", manifest.erase(at, manifest.find("\r\n", at) + 2 - at));
             put("info.ini.minisig", SignPrehashed(secret, manifest.c_str(), "x").toStdString());
         },
         true},
        {"",
         "entry 1 (a.dat): its object by-hash/" + QString::fromStdString(Sha256Of("A")) +
             " is missing",
         [&] { drop("by-hash/" + QString::fromStdString(Sha256Of("A"))); }},
        {"", "entry 3 (big.pak), patch 3.1: patches/" + patch + " has 4 bytes, not",
         [&] { patched(), drop("patches/" + patch), put("patches/" + patch, "zstd"); }},
        {"",
         "entry 3 (big.pak), patch 3.1: applied to by-hash/" + QString::fromStdString(base) +
             " it does not give the file",
         [&] { patched(), drop(baseObject), put(baseObject, Noise(SmallestPatchedFile, 2)); }},
        {"", "entry 3 (big.pak), patch 3.1: PatchName3.1 is \"x.zst\", not \"" + patch,
         [&] {
             patched();
             put("info.ini", QString::fromStdString(ServerFile("info.ini"))
                                 .replace(patch, "x.zst")
                                 .toStdString());
         }},
        {two("3", b), "entry 3 has no FileName3, though Max is 3"},
        {two("1", b), "info.ini lists FileName2 but Max is 1: the updater never reads entries"},
        {two("2", b, ""), "info.ini has no Version in [VERSION]"},
        {"", Server() + " has no info.ini", [&] { drop("info.ini"); }}};
    const QStringList check = {"--check", Server(), "--public-key", public_};
    const QString sound = "OK: " + QDir::toNativeSeparators(Server()) +
                          " serves version 1, release 1, with 2 files, " + "signed by key id " +
                          KeyIdText(key.keyId) + "\n  release.ini states release 1, expires ";
    for (const BrokenServer& broken : table) {
        SCOPED_TRACE(broken.problem.toStdString());
        QDir(Server()).removeRecursively();
        QFile::remove(release_.filePath("big.pak"));
        Release("a.dat", "A");
        Release("maps/b.dat", "B");
        ASSERT_EQ(PublishAs("1", {"--sign", secret_}).status, 0);
        ASSERT_TRUE(Tool(check).out.startsWith(sound));
        if (!broken.manifest.empty())
            put("info.ini", broken.manifest);
        broken.breakIt();
        if (std::exchange(noLink, false))
            continue;
        QStringList problems = ServerFolderProblems(Server(), broken.withKey ? &key : nullptr);
        const QString said = problems.join('\n') + '\n';
        // A manifest changed after publishing is not the one release.ini names.
        if (std::exchange(manifestPut, false)) {
            EXPECT_EQ(problems.takeLast(), "release.ini names a manifest other than info.ini; "
                                           "publish again");
        }
        EXPECT_EQ(problems.size(), 1) << problems.join('\n').toStdString();
        EXPECT_TRUE(problems.value(0).startsWith(broken.problem))
            << problems.value(0).toStdString();
        const ToolRun run = Tool(broken.withKey ? check : check.mid(0, 2));
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.out, said);
    }
}

#ifndef _WIN32
TEST_F(PublishTest, ACopyCutShortIsNotPublished) {
    // A file size limit (as a full quota would) stops b.dat's copy at 1 KiB, without an error.
    Release("a.dat", "A");
    Release("b.dat", std::string(4000, 'b'));
    rlimit old{}, limited{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
    limited = {1024, old.rlim_max};
    const auto signal = std::signal(SIGXFSZ, SIG_IGN);
    ::setrlimit(RLIMIT_FSIZE, &limited);
    const ToolRun run = PublishAs("1");
    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, signal);
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(run.err.contains("only part of its 4000 bytes reached the disk"))
        << run.err.toStdString();
    EXPECT_FALSE(QFileInfo::exists(Server("info.ini")));
}
#endif

TEST_F(PublishTest, AFolderThatCannotBeReadIsNamed) {
    if (UnderWine())
        GTEST_SKIP() << "Wine knows no access rights: every folder can be read";
    Release("a.dat", "A");
    Release("locked/b.dat", "B");
    ASSERT_TRUE(QFile::setPermissions(release_.filePath("locked"), {}));
    // root reads any folder; without its two capabilities for that it reads as others do.
    QStringList command = {QUELMOR_PUBLISH_EXE, release_.path(), Server(), "--version", "1"};
    if (IsSuperuser())
        command = QStringList{"setpriv", "--bounding-set=-dac_override,-dac_read_search"} + command;
    QProcess tool;
    tool.start(command[0], command.mid(1));
    ASSERT_TRUE(tool.waitForFinished(60000));
    EXPECT_EQ(tool.exitCode(), 1);
    EXPECT_TRUE(tool.readAllStandardError().contains(
        "locked/: the folder cannot be read: Permission denied"));
    QFile::setPermissions(release_.filePath("locked"), QFile::Permissions(0x7000));
}

} // namespace
