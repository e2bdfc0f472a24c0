// The update run against a misbehaving server, manifest or game folder, and
// "Exit" at any moment. After every case: 1. nothing outside the game folder
// changed; 2. the game folder holds the server's release whole after an
// update and the installed one otherwise, only parts worth continuing are
// left; 3. the run ends as the row expects and says so clearly, and an
// unreachable server leaves the installed game playable.
#include "UpdaterTest.h"

#include <QCoreApplication>
#include <QRegularExpression>
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <random>

#include "publish/SecretKey.h"
#include "ui/Actions.h"
#include "update/Journal.h"
#include "update/PartFolder.h"
#include "update/Patch.h"

using namespace modUpdate;
using namespace publish;

namespace {

const std::string OldGame = "OLD GAME", NewGame = "NEW GAME, a little longer";
const std::string OldMap = "OLD MAP", NewMap = "NEW MAP";
const std::string Installed = Manifest("1", "2", {"game.dat|1", "level.map|1|maps"});
const std::string Offered = Manifest("2", "2", {"game.dat|2", "level.map|2|maps"});
// Offered with sizes and SHA-256s (the first in upper-case hex, as some tools print it).
const std::string Verified =
    Offered + "FileSize1=" + std::to_string(NewGame.size()) +
    "\r\nFileSha2561=" + QString::fromStdString(Sha256Of(NewGame)).toUpper().toStdString() +
    "\r\nFileSize2=7\r\nFileSha2562=" + Sha256Of(NewMap) + "\r\n";

// A game file of 3 MiB, without repeats (a patch can only come from its base).
const std::string& BigGame() {
    static const std::string big = [] {
        std::string bytes(3 << 20, '\0');
        std::minstd_rand random(7919);
        for (char& byte : bytes)
            byte = static_cast<char>(random() >> 8);
        return bytes;
    }();
    return big;
}

class FaultMatrix;
using Arrange = std::function<void(FaultMatrix&)>;

// How a run ends.
enum class End { Updated, UpToDate, Offline, Failed, Exit, Running };

// What a row expects: how the run ends, parts of what it says (the status
// lines, the reason for playing without an update, the failure's message)
// and, for a failure, the start of the player's text.
struct Expected {
    End end;
    QStringList said = {};
    QString told = {};
};

struct Fault {
    const char* name;
    Arrange arrange; // changes the normal update of two files
    Expected expected;
    Arrange verify = nullptr; // further checks after the run
};

void PrintTo(const Fault& fault, std::ostream* out) {
    *out << fault.name;
}

// Puts the normal update on a server: the news, the offered manifest, two files.
void ServeUpdate(TestServer& server) {
    server.Put("/news.txt", "news");
    server.Put("info.ini", Offered);
    server.Put("game.dat", NewGame);
    server.Put("level.map", NewMap);
}

class FaultMatrix : public UpdaterTest, public ::testing::WithParamInterface<Fault> {
  public:
    void SetUp() override {
        UpdaterTest::SetUp();
        Write("info.ini", Installed);
        Write("game.dat", OldGame);
        Write("maps/level.map", OldMap);
        ServeUpdate(server_);
    }
    void TearDown() override {
        qunsetenv("http_proxy"); // the suite's servers are reached without a proxy
        Unblock();
        AfterInstallStep = nullptr;
        if (mounted_) {
            EXPECT_EQ(std::system(("umount -l '" + game_.toStdString() + "'").c_str()), 0);
        }
        if (!locked_.isEmpty() && IsSuperuser())
            std::system(("chattr -i '" + locked_.toStdString() + "'").c_str());
        else if (!locked_.isEmpty())
            QFile::setPermissions(locked_, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        UpdaterTest::TearDown();
    }
    // Makes a game folder unwritable (for the superuser: the "immutable" flag).
    void LockFolder(const QString& name = "") {
        if (UnderWine())
            GTEST_SKIP() << "Wine knows no access rights: a folder cannot be made unwritable";
        locked_ = Path(name);
        if (IsSuperuser())
            ASSERT_EQ(std::system(("chattr +i '" + locked_.toStdString() + "'").c_str()), 0);
        else
            QFile::setPermissions(locked_, QFile::ReadOwner | QFile::ExeOwner);
    }
    // Makes the file impossible to replace: held open unshared on Windows, else
    // in an unwritable folder.
    void BlockReplacing(const QString& name) {
#ifdef _WIN32
        held_ = CreateFileW(QDir::toNativeSeparators(Path(name)).toStdWString().c_str(),
                            GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
#else
        LockFolder(QFileInfo(name).path());
#endif
    }
    // Puts the game folder on a disk of its own of `mib` MiB (a tmpfs), with
    // what was installed in it.
    void SmallDisk(int mib) {
        if (mounted_)
            return;
        if (UnderWine() || !IsSuperuser())
            GTEST_SKIP() << "a small disk of its own is a tmpfs, which only the superuser mounts";
        const std::map<QString, std::string> files{{"info.ini", Read("info.ini")},
                                                   {"game.dat", Read("game.dat")},
                                                   {"maps/level.map", OldMap}};
        const std::string folder = game_.toStdString();
        ASSERT_EQ(std::system(
                      ("mount -t tmpfs -o size=" + std::to_string(mib) + "m tmpfs '" + folder + "'")
                          .c_str()),
                  0);
        mounted_ = true;
        for (const auto& [name, bytes] : files)
            Write(name, bytes);
    }
    // Fills the game folder's small disk until about `left` bytes are free.
    void Fill(std::uintmax_t left) {
        ASSERT_TRUE(mounted_);
        const std::uintmax_t free = std::filesystem::space(game_.toStdString()).available;
        WriteFile(Path("filler"), std::string(free > left ? free - left : 0, 'f'));
    }
    // The release one of the row's servers serves is installed whole: info.ini
    // is its manifest, and every file it names has the bytes served for it.
    void ExpectTheServedRelease() const {
        const std::string manifest = Read("info.ini");
        const TestServer* from = nullptr;
        const TestServer* servers[] = {&server_, mirror_.get(), secure_.get()};
        for (const TestServer* server : servers)
            from = server != nullptr && server->BodyOf("info.ini") == manifest ? server : from;
        ASSERT_NE(from, nullptr) << "info.ini is no server's manifest";
        const ProfileSections sections = ParseProfile(QByteArray::fromStdString(manifest));
        const auto value = [&](const char* key, int i) {
            return ProfileValue(sections, "FILES", QString::fromLatin1(key) + QString::number(i));
        };
        const bool byHash = ProfileValue(sections, "VERSION", "ByHash") == "1";
        for (int i = 1; i <= 9; ++i) {
            const QString name = value("FileName", i),
                          folder = TrimOneSeparator(value("FilePath", i));
            const QString sha = value("FileSha256", i).toLower();
            const std::string served =
                byHash && !sha.isEmpty() ? "by-hash/" + sha.toStdString() : name.toStdString();
            if (!name.isEmpty()) {
                EXPECT_TRUE(Read(folder.isEmpty() ? name : folder + '/' + name) ==
                            from->BodyOf(served))
                    << name.toStdString();
            }
        }
    }
    // Makes room again, then the next start updates.
    static void UpdatesOnceThereIsRoom(FaultMatrix& w) {
        AfterInstallStep = nullptr;
        QFile::remove(w.Path("filler"));
        EXPECT_EQ(w.RunMain(), "");
        w.ExpectTheServedRelease();
    }
    void Unblock() {
#ifdef _WIN32
        if (held_ != INVALID_HANDLE_VALUE)
            CloseHandle(std::exchange(held_, INVALID_HANDLE_VALUE));
#endif
    }
    QString locked_;
    bool mounted_ = false;
#ifdef _WIN32
    HANDLE held_ = INVALID_HANDLE_VALUE;
#endif
    std::unique_ptr<TestServer> secure_, mirror_;
};

Arrange Put(const std::string& name, const std::string& body, Serving serving = {}) {
    return [=](FaultMatrix& w) { w.server_.Put(name, body, serving); };
}

// An update server that refuses every connection.
const QString kClosedPort = QStringLiteral("http://127.0.0.1:1/Quelmor/");

// The update through http_proxy with credentials: the test server stands as a
// proxy asking for Digest "player:secret", in front of a server only it knows.
Arrange ThroughProxy(const QString& credentials) {
    return [=](FaultMatrix& w) {
        if (UnderWine())
            GTEST_SKIP() << "curl on Windows logs in by Digest through the system's security "
                            "packages, and Wine's have no Digest";
        w.server_.RequireProxyLogin("player", "secret");
        const QString port = w.server_.baseUrl().section(':', 2).section('/', 0, 0);
        qputenv("http_proxy", ("http://" + credentials + "@127.0.0.1:" + port).toUtf8());
        w.settings_.servers = {"http://quelmor-update.invalid/Quelmor/"};
    };
}

Arrange ServerAt(const QString& url) {
    return [=](FaultMatrix& w) { w.settings_.servers = {url}; };
}

// A mirror serving the normal update (503 for the manifest with mirrorFails)
// after the update server (at mainUrl if given), harmed by main.
Arrange WithMirror(Arrange main, const QString& mainUrl = "", bool mirrorFails = false) {
    return [=](FaultMatrix& w) {
        w.mirror_ = std::make_unique<TestServer>();
        ServeUpdate(*w.mirror_);
        if (mirrorFails)
            w.mirror_->Put("info.ini", "", {.status = 503});
        main(w);
        w.settings_.servers = {mainUrl.isEmpty() ? w.server_.baseUrl() : mainUrl,
                               w.mirror_->baseUrl()};
    };
}

void FromTheMirror(FaultMatrix& w) {
    EXPECT_EQ(w.mirror_->CountOf("game.dat") + w.mirror_->CountOf("level.map"), 2);
    EXPECT_EQ(w.server_.CountOf("game.dat") + w.server_.CountOf("level.map"), 0);
}

// Clicks "Exit" from the server's thread, after `passes` passes of the window's events.
void ClickExitSoon(int passes = 1) {
    QMetaObject::invokeMethod(
        qApp, [=] { passes > 1 ? ClickExitSoon(passes - 1) : Label1_Click(); },
        Qt::QueuedConnection);
}

// Clicks "Exit" while the updater waits for the answer to name.
Arrange ExitWhileWaitingFor(const std::string& name) {
    return [=](FaultMatrix& w) {
        w.server_.Put(name, name == "info.ini" ? Offered : "bytes",
                      {.before = [] { ClickExitSoon(); }, .delayMs = 300});
    };
}

// Leaves a killed run's part of game.dat (`size` bytes of BigGame, then "z")
// and its record (keptEtag, whole); the server has BigGame with ETag etag.
Arrange Kept(std::size_t size, const std::string& keptEtag, std::size_t whole,
             const std::string& etag, bool hashed = false) {
    return [=](FaultMatrix& w) {
        w.server_.Put("game.dat", BigGame(), {.etag = etag});
        const QString url = w.server_.baseUrl() + "game.dat";
        const std::string sha = hashed ? Sha256Of(BigGame()) : "";
        if (hashed)
            w.server_.Put("info.ini",
                          Sized(Offered, {std::to_string(BigGame().size())}, {BigGame()}));
        const QString key =
            PartKeyOf(url, hashed ? qint64(BigGame().size()) : -1, QString::fromStdString(sha));
        const std::string part = BigGame().substr(0, size);
        WriteFile(PartFileOf(key), part + std::string(size - part.size(), 'z'));
        WriteFile(PartRecordOf(key),
                  url.toStdString() + "\n" + keptEtag + "\n" + std::to_string(whole) + "\n");
    };
}

// game.dat holds BigGame, of which `sent` bytes were sent (-1: any number).
Arrange Expect(long sent) {
    return [=](FaultMatrix& w) {
        EXPECT_TRUE(w.Read("game.dat") == BigGame()); // not printed: 3 MiB
        if (sent >= 0) {
            EXPECT_EQ(w.server_.BytesSent("game.dat"), static_cast<std::size_t>(sent));
        }
    };
}

// The installed game.dat of the patch rows: BigGame with 64 KiB changed.
const std::string& BigBase() {
    static const std::string base = BigGame().substr(0, 1 << 20) + std::string(1 << 16, 'b') +
                                    BigGame().substr((1 << 20) + (1 << 16));
    return base;
}

// The patch from BigBase to BigGame, as the publisher makes it.
const std::string& BigPatch() {
    static const std::string patch = [] {
        QTemporaryDir dir;
        WriteFile(dir.filePath("base"), BigBase());
        WriteFile(dir.filePath("new"), BigGame());
        QByteArray bytes;
        EXPECT_TRUE(MakePatch(dir.filePath("base"), dir.filePath("new"), 1 << 20, bytes));
        return bytes.toStdString();
    }();
    return patch;
}

// game.dat installed as BigBase (changed locally after that with `changed`),
// BigGame offered with a patch from BigBase: by hash, or by name; the patch
// served as `harm` leaves it.
Arrange Patched(bool byHash, bool changed = false, std::function<void(std::string&)> harm = nullptr,
                Serving serving = {}) {
    return [=](FaultMatrix& w) {
        const std::string size = std::to_string(BigGame().size());
        const std::string base = Sha256Of(BigBase()), sha = Sha256Of(BigGame());
        const std::string name = base + "-" + sha + ".zst";
        w.Write("info.ini", Sized(Installed, {std::to_string(BigBase().size())}, {BigBase()}));
        std::string installed = BigBase();
        installed[5] = static_cast<char>(installed[5] ^ (changed ? 1 : 0));
        w.Write("game.dat", installed);
        const std::string offered = Sized(Offered, {size}, {BigGame()}) + "PatchBase1.1=" + base +
                                    "\r\nPatchName1.1=" + name +
                                    "\r\nPatchSize1.1=" + std::to_string(BigPatch().size()) +
                                    "\r\nPatchSha2561.1=" + Sha256Of(BigPatch()) + "\r\n";
        w.server_.Put("info.ini",
                      byHash ? "[VERSION]\r\nByHash=1\r\n" + offered.substr(11) : offered);
        std::string patch = BigPatch();
        if (harm)
            harm(patch);
        w.server_.Put(byHash ? "by-hash/" + sha : "game.dat", BigGame());
        w.server_.Put(byHash ? "by-hash/" + Sha256Of(BigPatch()) : "patches/" + name, patch,
                      serving);
    };
}

// game.dat became BigGame, from the patch alone (with patched) or whole after
// the line that says why.
Arrange PatchedStory(bool patched) {
    return [=](FaultMatrix& w) {
        Expect(-1)(w);
        const std::string whole =
            w.server_.CountOf("game.dat") ? "game.dat" : "by-hash/" + Sha256Of(BigGame());
        EXPECT_EQ(w.server_.BytesSent(whole), patched ? 0 : BigGame().size());
        const QStringList said = w.CaptionsOf("stdout");
        EXPECT_EQ(said.size(), patched ? 0 : 1) << said.join('\n').toStdString();
        EXPECT_TRUE(patched || said.value(0).endsWith("; downloading the whole file."));
    };
}

// The installed game.dat swapped while its patch arrives: for a link to a file
// outside, or for another file with the same bytes.
Arrange SwapBase(bool link) {
    return [=](FaultMatrix& w) {
        if (link && UnderWine())
            GTEST_SKIP() << "Wine makes no symbolic links";
        Patched(true)(w);
        w.server_.Put("by-hash/" + Sha256Of(BigPatch()), BigPatch(), {.before = [&w, link] {
                          QFile::remove(w.Path("game.dat"));
                          if (!link ||
                              !MakeLink(w.root_.filePath("sentinel/keep.txt"), w.Path("game.dat")))
                              WriteFile(w.Path("game.dat"), BigBase());
                      }});
    };
}

// Neither is read: the whole file comes instead, and the line says why.
Arrange BaseNotRead(const char* why) {
    return [=](FaultMatrix& w) {
        PatchedStory(false)(w);
        EXPECT_TRUE(w.CaptionsOf("stdout").value(0).contains(why)) << why;
    };
}

// The game folder on a disk of `mib` MiB that fills up (about `left` bytes
// left) when the server is asked for name.
Arrange FullAt(const std::string& name, int mib = 4, std::uintmax_t left = 0) {
    return [=](FaultMatrix& w) {
        w.SmallDisk(mib);
        auto filled = std::make_shared<bool>(false);
        w.server_.Put(name, w.server_.BodyOf(name), {.before = [&w, left, filled] {
                          if (!std::exchange(*filled, true))
                              w.Fill(left);
                      }});
    };
}

std::string WithThird(const std::string& folder) {
    return Manifest("2", "3", {"game.dat|2", "level.map|2|maps", "x.dat|1|" + folder});
}

// The manifest with a Release number in its [VERSION] section.
std::string WithRelease(const std::string& manifest, int release) {
    return "[VERSION]\r\nRelease=" + std::to_string(release) + "\r\n" + manifest.substr(11);
}

// The installed manifest of release installed, the offered one of release offered.
Arrange Releases(int installed, int offered) {
    return [=](FaultMatrix& w) {
        w.Write("info.ini", WithRelease(Installed, installed));
        w.server_.Put("info.ini", WithRelease(Offered, offered));
    };
}

// Two signing keys: the one the updater trusts and another.
const MinisignSecretKey& SigningKey(int which) {
    static const auto make = [] {
        MinisignSecretKey key;
        EXPECT_TRUE(ParseSecretKey(MakeKeyPair()->secretKeyFile, nullptr, key));
        return key;
    };
    static const MinisignSecretKey keys[] = {make(), make()};
    return keys[which];
}

// The server offers manifest signed over signedBytes by key signer (-1: unsigned);
// the updater trusts key 0.
Arrange Signed(const std::string& manifest, const std::string& signedBytes, int signer = 0) {
    return [=](FaultMatrix& w) {
        const MinisignPublicKey trusted = PublicKeyOf(SigningKey(0));
        w.settings_.publicKey =
            QString::fromLatin1((QByteArray("Ed") + trusted.keyId + trusted.key).toBase64());
        w.server_.Put("info.ini", manifest);
        if (signer >= 0)
            w.server_.Put(
                "info.ini.minisig",
                SignPrehashed(SigningKey(signer), QByteArray::fromStdString(signedBytes), "test")
                    .toStdString());
    };
}

// The update over HTTPS with host's certificate, trusting authority trusted;
// with redirect, the manifest redirects to the plain server.
Arrange OverHttps(const QString& host, const QString& trusted, bool redirect = false) {
    return [=](FaultMatrix& w) {
        const QString files = TEST_CERTIFICATES;
        w.secure_ = std::make_unique<TestServer>(0, (files + host + ".pem").toStdString(),
                                                 (files + host + ".key").toStdString());
        ServeUpdate(*w.secure_);
        if (redirect)
            w.secure_->Put("info.ini", "",
                           {.redirect = w.server_.baseUrl().toStdString() + "info.ini"});
        w.settings_.servers = {w.secure_->baseUrl()};
        w.settings_.caFile = (files + trusted + ".pem").toStdString();
    };
}

// Every step told in order; the news asked for with "//" before its name.
void NormalStory(FaultMatrix& w) {
    QStringList story = w.captions_;
    story.removeIf([](const QString& entry) { return entry.startsWith("lblPercent="); });
    EXPECT_EQ(story.join(" | "),
              "Label2=Version 1 | lblConnect=disabled | L2=Getting News... | news=news | "
              "L2=Getting Information... | L3=Downloaded info.ini! | "
              "L2=Checking File Versions... | L2= | L3=Checking Files... | "
              "L3=Downloading File 1 Of 2 | L2=Updating game.dat From Version 1 To 2... | "
              "L3=Downloaded game.dat! | L3=Checking Files... | L3=Downloading File 2 Of 2 | "
              "L2=Updating level.map From Version 1 To 2... | L3=Downloaded level.map! | "
              "lblConnect=enabled | L2=Update Complete! | L3= | Label2=Version 2");
    EXPECT_TRUE(w.CaptionsOf("lblPercent").endsWith("100%"));
    std::vector<std::string> asked = w.server_.Requests();
    std::sort(asked.begin() + 3, asked.end());
    EXPECT_EQ(asked, std::vector<std::string>({"/Quelmor//news.txt", "/Quelmor/release.ini",
                                               "/Quelmor/info.ini", "/Quelmor/game.dat",
                                               "/Quelmor/level.map"}));
}

TEST_P(FaultMatrix, KeepsThePromises) {
    const Fault fault = GetParam();
    fault.arrange(*this);
    if (IsSkipped())
        return;
    const std::string installed = Read("info.ini"), installedGame = Read("game.dat");
    const QString message = RunMain();
    Unblock();
    const QStringList l2 = CaptionsOf("L2");
    const QString offline = modUpdate::Window.OfflineReason;

    // 3. The outcome, what is said of it, and Continue enabled unless the updater ends.
    const End end = message == "<exit>"               ? End::Exit
                    : message == "<running>"          ? End::Running
                    : !message.isEmpty()              ? End::Failed
                    : !offline.isEmpty()              ? End::Offline
                    : l2.contains("Update Complete!") ? End::Updated
                                                      : End::UpToDate;
    EXPECT_EQ(end, fault.expected.end) << message.toStdString() << offline.toStdString();
    const QString said =
        CaptionsOf("L3").join('/') + '/' + l2.join('/') + '/' + offline + '/' + message;
    for (const QString& part : fault.expected.said)
        EXPECT_TRUE(said.contains(part)) << part.toStdString() << " in " << said.toStdString();
    EXPECT_TRUE(end == End::Exit || end == End::Running ||
                frmUpdate::Instance().lblConnect->isEnabled());
    if (end == End::Failed) {
        // The player is told what happened (as on L3) and what to do, in plain words.
        ASSERT_EQ(told_.size(), 1);
        const QString told = told_.constFirst();
        EXPECT_TRUE(told.startsWith(CaptionsOf("L3").constLast() + ' ') &&
                    told.startsWith(fault.expected.told))
            << told.toStdString();
        static const QRegularExpression advice("([Tt]ry again|tell the studio|Check the |Free .* "
                                               "then start again|Close the game|Start the "
                                               "updater again|Ask the studio|log in)");
        static const QRegularExpression technical(
            "[0-9A-Fa-f]{8}|SSL|curl|info\\.ini|SHA|answered|[Kk]ey id");
        EXPECT_TRUE(advice.match(told).hasMatch()) << told.toStdString();
        EXPECT_FALSE(technical.match(told).hasMatch()) << told.toStdString();
    }

    // 1. Nothing outside the game folder.
    EXPECT_TRUE(OutsideIsUntouched());

    // 2. After an update, the server's release whole; otherwise the one before.
    if (end == End::Updated) {
        ExpectTheServedRelease();
    } else {
        EXPECT_EQ(Read("info.ini"), installed);
        EXPECT_TRUE(Read("game.dat") == installedGame) << Read("game.dat").substr(0, 40);
        EXPECT_EQ(Read("maps/level.map"), OldMap);
    }
    if (fault.verify)
        fault.verify(*this);
    // No temporary file; only parts worth continuing after a failure.
    const bool succeeded = end == End::Updated || end == End::UpToDate;
    for (const QString& file : Tree()) {
        if (file.startsWith(".quelmor-partial/"))
            EXPECT_TRUE(!succeeded && (file.endsWith(".record") ||
                                       Tree().contains(QString(file).replace(".part", ".record"))))
                << file.toStdString();
        else
            EXPECT_TRUE(succeeded
                            ? file != "temp.ini"
                            : file == "game.dat" || file == "info.ini" || file == "maps/level.map")
                << file.toStdString();
    }
}

// A link where the updater writes or deletes, leading outside the game folder.
Arrange Link(const char* name, const char* to = "sentinel/keep.txt") {
    return [=](FaultMatrix& w) {
        QFile::remove(w.Path(name));
        if (!MakeLink(w.root_.filePath(to), w.Path(name)))
            GTEST_SKIP() << "this system makes no symbolic links";
    };
}

std::string CaseName(const ::testing::TestParamInfo<Fault>& info) {
    return info.param.name;
}

INSTANTIATE_TEST_SUITE_P(
    Server, FaultMatrix,
    ::testing::Values(
        Fault{"NormalUpdate", [](FaultMatrix&) {}, {End::Updated}, NormalStory},
        Fault{"ConnectionRefused", ServerAt(kClosedPort), {End::Offline, {"Connection refused", "the server refused the connection"}}},
        Fault{"HostNotFound", ServerAt("http://no-such-host.invalid:4444/Quelmor/"), {End::Offline, {"No connection; trying news.txt again (try 4 of 4)...", "Host name not found", "Cannot reach the update server!", "the server's host name could not be found"}}},
        Fault{"News500", Put("/news.txt", "", {.status = 500}), {End::Updated}},
        // An object store that may not be listed answers 403 for a name it lacks.
        Fault{"NoStatementAnswered403", Put("release.ini", "", {.status = 403}), {End::Updated}},
        Fault{"Statement500", Put("release.ini", "", {.status = 500}), {End::Failed, {"Could not download release.ini: the server answered 500"}}},
        Fault{"Manifest404", Put("info.ini", "", {.status = 404}), {End::Failed, {"Could not download info.ini: the server answered 404 Not Found."}, "The update server is not working properly. Try again later"}},
        Fault{"SecondFile500", Put("level.map", "", {.status = 500}), {End::Failed, {"Could not download level.map: the server answered 500"}},
              [](FaultMatrix& w) { // the next start fetches only what has not arrived
                  w.server_.Put("level.map", NewMap);
                  EXPECT_EQ(w.RunMain(), "");
                  EXPECT_EQ(w.server_.BytesSent("game.dat"), NewGame.size());
              }},
        Fault{"FirstFileFailsWhileTheSecondHasArrived",
              Put("game.dat", "", {.status = 404, .delayMs = 300}), {End::Failed, {"Could not download game.dat: the server answered 404"}},
              [](FaultMatrix& w) {
                  EXPECT_EQ(w.server_.CountOf("level.map"), 1); // fetched ahead...
                  EXPECT_EQ(w.Read("maps/level.map"), OldMap);  // ...but never put in place
              }},
        Fault{"BusyThenServed",
              Put("game.dat", NewGame, {.status = 429, .times = 2, .header = "Retry-After: 0"}), {End::Updated, {"Server busy (429); trying game.dat again (try 3 of 4)..."}}},
        // "Exit" while the updater waits the 30 s the server asked for: no second try.
        Fault{"ExitWhileABusyServerAsksToWait",
              Put("game.dat", "",
                  {.status = 503, .before = [] { ClickExitSoon(8); }, .header = "Retry-After: 30"}), {End::Exit}, [](FaultMatrix& w) { EXPECT_EQ(w.server_.CountOf("game.dat"), 1); }},
        Fault{"NoContentIsNoFile", Put("game.dat", "", {.status = 204}), {End::Failed, {"Could not download game.dat: the server answered 204"}}},
        Fault{"CompressedBody", Put("game.dat", NewGame, {.header = "Content-Encoding: gzip"}), {End::Failed, {"Content-Encoding: gzip"}}},
        Fault{"RedirectLoop", Put("game.dat", "", {.redirect = "/Quelmor/game.dat"}), {End::Failed, {"redirected the request too many times"}}},
        Fault{"ChunkedIdentityBody",
              Put("game.dat", NewGame, {.header = "Content-Encoding: identity", .chunked = true}), {End::Updated}},
        Fault{"LengthZero", Put("game.dat", ""), {End::Updated}},
        Fault{"AlwaysBusy", Put("game.dat", "", {.status = 503}), {End::Failed, {"the server answered 503"}, "The update server is busy."}},
        Fault{"CutEveryTime", Put("game.dat", NewGame, {.cutAfter = 5, .cuts = 100}), {End::Failed, {"Could not download game.dat: the server closed the connection"}, "The connection to the update server broke off. Check your internet connection"}},
        Fault{"StallPastTheTimeOut",
              [](FaultMatrix& w) {
                  w.settings_.timeoutSeconds = 1;
                  w.server_.Put("game.dat", NewGame, {.delayMs = 2500});
              }, {End::Failed, {"the server did not answer for"}}},
        Fault{"ExitWhileWaitingForTheNews", ExitWhileWaitingFor("/news.txt"), {End::Exit}},
        Fault{"ExitWhileWaitingForTheManifest", ExitWhileWaitingFor("info.ini"), {End::Exit}},
        Fault{"ExitWhileWaitingForTheLastFile", ExitWhileWaitingFor("level.map"), {End::Exit}},
        Fault{"HttpsTrusted", OverHttps("127.0.0.1", "ca"), {End::Updated}},
        Fault{"CertificateOfAnotherAuthority",
              [](FaultMatrix& w) {
                  if (UnderWine())
                      GTEST_SKIP() << "Wine's Schannel takes a certificate of any authority";
                  OverHttps("127.0.0.1", "other")(w);
              }, {End::Failed, {"Could not download news.txt: the server's certificate is not trusted"}}},
        Fault{"CertificateForAnotherHost", OverHttps("other.example", "ca"), {End::Failed, {"Could not download news.txt: the server's certificate is not trusted"}, "The update server's certificate is not trusted. Check the date and time"}},
        Fault{"NewsNeverAnswers",
              [](FaultMatrix& w) {
                  w.settings_.newsSeconds = 1;
                  w.server_.Put("/news.txt", "news", {.delayMs = 2500});
              }, {End::Offline, {"the server did not answer"}}},
        Fault{"NewsTricklesPastItsDeadline",
              [](FaultMatrix& w) {
                  w.settings_.newsSeconds = 1;
                  w.server_.On("/news.txt", [](const httplib::Request&, httplib::Response& r) {
                      r.set_content_provider(
                          100, "text/plain", [](size_t, size_t, httplib::DataSink& sink) {
                              std::this_thread::sleep_for(std::chrono::milliseconds(400));
                              return sink.write("n", 1);
                          });
                  });
              }, {End::Updated}, [](FaultMatrix& w) { EXPECT_TRUE(w.CaptionsOf("news").isEmpty()); }},
        // Under a speed cap the news misses its deadline and is left out.
        Fault{"NewsSlowedPastItsDeadlineByTheSpeedCap",
              [](FaultMatrix& w) {
                  w.settings_.newsSeconds = 1;
                  w.settings_.limitRate = 256 << 10;
                  w.server_.Put("/news.txt", std::string(1 << 20, 'n'));
              }, {End::Updated}, [](FaultMatrix& w) { EXPECT_TRUE(w.CaptionsOf("news").isEmpty()); }},
        Fault{"NewsCutAfterItsHeaders", Put("/news.txt", "news", {.cutAfter = 0, .cuts = 100}), {End::Updated}},
        // Mirrors: taken when the update server fails before its update is accepted.
        Fault{"MirrorAfterARefusedConnection", WithMirror([](FaultMatrix&) {}, kClosedPort), {End::Updated, {"Trying mirror 1 of 1...", "Update Complete!"}}, FromTheMirror},
        Fault{"MirrorAfter503", WithMirror(Put("info.ini", "", {.status = 503})), {End::Updated, {"Trying mirror 1 of 1...", "Update Complete!"}}, FromTheMirror},
        Fault{"MirrorAfterARefusedManifest", WithMirror(Releases(3, 2)), {End::Updated, {"Trying mirror 1 of 1...", "Update Complete!"}}, FromTheMirror},
        // A mirror's release by hash: its objects come from the mirror too.
        Fault{"ObjectsFromTheMirrorThatOffered",
              [](FaultMatrix& w) {
                  WithMirror(Put("info.ini", "", {.status = 503}))(w);
                  w.mirror_->Put("info.ini", "[VERSION]\r\nByHash=1\r\n" + Verified.substr(11));
                  for (const std::string& bytes : {NewGame, NewMap})
                      w.mirror_->Put("by-hash/" + Sha256Of(bytes), bytes);
              },
              {End::Updated, {"Trying mirror 1 of 1..."}}},
        Fault{"MirrorFailsToo", WithMirror(Releases(3, 2), "", true), {End::Failed, {"The server offers release 2, older than the installed 3."}}},
        // A server that takes the request for the manifest and never answers.
        Fault{"MirrorAfterAManifestNeverAnswered",
              WithMirror([](FaultMatrix& w) {
                  w.settings_.answerSeconds = 1;
                  Put("info.ini", Offered, {.delayMs = 2000})(w);
              }), {End::Updated, {"Trying mirror 1 of 1...", "Update Complete!"}}, FromTheMirror},
        Fault{"NoServerReached",
              [](FaultMatrix& w) {
                  w.settings_.servers = {kClosedPort, "http://127.0.0.1:2/Quelmor/"};
              }, {End::Offline, {"Trying mirror 1 of 1...", "Connection refused", "Cannot reach the update server!"}}},
        Fault{"ThroughAProxyAskingForDigest", ThroughProxy("player:secret"), {End::Updated}},
        Fault{"ProxyRefusesTheCredentials", ThroughProxy("player:wrong"), {End::Failed, {"Could not download release.ini: the server answered 407"}, "The network's proxy refused the login."}},
        Fault{"RedirectFromHttpsToHttp", OverHttps("127.0.0.1", "ca", true), {End::Failed, {"Could not download info.ini: the server sent the request to an address the updater does not follow"}},
              [](FaultMatrix& w) { EXPECT_EQ(w.server_.CountOf("info.ini"), 0); }}),
    CaseName);

// A cut transfer continues where it stopped: in the same run or the next one.
INSTANTIATE_TEST_SUITE_P(
    Resume, FaultMatrix,
    ::testing::Values(
        // Three cuts: the fourth and last try brings the rest.
        Fault{"CutThriceResumedThrice",
              Put("game.dat", BigGame(), {.cutAfter = 800000, .cuts = 3}),
              {End::Updated, {"Connection lost; resuming game.dat (try 4 of 4)..."}},
              Expect(BigGame().size())},
        Fault{"CutAndTheServerIgnoresRange",
              Put("game.dat", BigGame(), {.cutAfter = 1500000, .cuts = 1, .ignoreRange = true}),
              {End::Updated},
              Expect(-1)},
        Fault{"KilledAndResumedByTheNextRun",
              Kept(1 << 20, "\"v1\"", BigGame().size(), "\"v1\""),
              {End::Updated},
              Expect(BigGame().size() - (1 << 20))},
        Fault{"ValidatorChangedBetweenRuns",
              Kept(2000000, "\"v1\"", BigGame().size(), "\"v2\""),
              {End::Updated},
              Expect(BigGame().size())},
        Fault{"KeptPartLongerThanTheFile",
              Kept(4000000, "\"v1\"", BigGame().size(), "\"v1\""),
              {End::Updated},
              [](FaultMatrix& w) {
                  Expect(BigGame().size())(w);
                  EXPECT_EQ(w.server_.CountOf("game.dat"), 1); // never asked to continue it
              }},
        // A whole part: answered 416 with a page (as nginx does), or checked on disk.
        Fault{"WholePartAnswered416",
              Kept(BigGame().size(), "\"v1\"", BigGame().size(), "\"v1\""),
              {End::Updated},
              Expect(0)},
        Fault{"WholePartCheckedOnDisk",
              Kept(BigGame().size(), "", BigGame().size(), "\"v1\"", true),
              {End::Updated},
              [](FaultMatrix& w) {
                  Expect(0)(w);
                  EXPECT_EQ(w.server_.CountOf("game.dat"), 0);
              }},
        Fault{"WeakEtagStartsOver",
              Put("game.dat", BigGame(), {.cutAfter = 1500000, .cuts = 1, .etag = "W/\"v1\""}),
              {End::Updated},
              Expect(1500000 + BigGame().size())},
        Fault{"WrongContentRange",
              [](FaultMatrix& w) {
                  Kept(2000000, "\"v1\"", BigGame().size(), "\"v1\"")(w);
                  w.server_.On("game.dat", [](const httplib::Request& q, httplib::Response& r) {
                      if (q.has_header("Range")) {
                          r.status = 206;
                          r.set_header("Content-Range", "bytes 1000-3145727/3145728");
                      }
                      r.set_content(BigGame().substr(q.has_header("Range") ? 1000 : 0),
                                    "application/octet-stream");
                  });
              },
              {End::Updated},
              Expect(-1)},
        // Patches: applied, or given up for the whole file.
        Fault{"PatchFetchedByHash", Patched(true), {End::Updated}, PatchedStory(true)},
        Fault{"PatchFetchedByName", Patched(false), {End::Updated}, PatchedStory(true)},
        Fault{"PatchCutAndResumed",
              Patched(true, false, nullptr, {.cutAfter = 30000, .cuts = 1}),
              {End::Updated, {"Connection lost; resuming game.dat (try 2 of 4)..."}},
              PatchedStory(true)},
        Fault{
            "PatchOfABaseChangedLocally", Patched(true, true), {End::Updated}, PatchedStory(false)},
        Fault{"PatchDamaged",
              Patched(true, false, [](std::string& p) { p[p.size() / 2] ^= 1; }),
              {End::Updated},
              PatchedStory(false)},
        Fault{"PatchBaseSwappedForALink", SwapBase(true), {End::Updated}, BaseNotRead("a link")},
        Fault{"PatchBaseSwappedForACopy",
              SwapBase(false),
              {End::Updated},
              BaseNotRead("no longer the file")},
        Fault{"ExitWhileAResumablePartArrives",
              // 1 MiB of game.dat arrives, then the server stalls and "Exit" comes.
              [](FaultMatrix& w) {
                  w.server_.On("game.dat", [](const httplib::Request&, httplib::Response& r) {
                      r.set_header("ETag", "\"v1\"");
                      r.set_content_provider(
                          BigGame().size(), "application/octet-stream",
                          [](size_t offset, size_t length, httplib::DataSink& sink) {
                              if (offset < KeptPartBytes)
                                  return sink.write(
                                      BigGame().data() + offset,
                                      std::min<size_t>(length, KeptPartBytes - offset));
                              ClickExitSoon();
                              std::this_thread::sleep_for(std::chrono::milliseconds(300));
                              return false;
                          });
                  });
              },
              {End::Exit},
              [](FaultMatrix& w) {
                  // What arrived of the cut file stays for the next start, with its record.
                  const QString key = PartKeyOf(w.server_.baseUrl() + "game.dat", -1, "");
                  EXPECT_EQ(QFileInfo(PartFileOf(key)).size(), KeptPartBytes);
                  EXPECT_TRUE(QFileInfo::exists(PartRecordOf(key)));
              }}),
    CaseName);

INSTANTIATE_TEST_SUITE_P(
    Manifest, FaultMatrix,
    ::testing::Values(
        Fault{"MaxOutOfRange", Put("info.ini", Manifest("2", "2147483648", {})), {End::Failed, {"\"Max\" in the server's info.ini is out of range"}}},
        Fault{"MaxBeyondAnyGame", Put("info.ini", Manifest("2", "2000000000", {})), {End::Failed, {"lists 2000000000 files"}}},
        Fault{"NoVersionSection", Put("info.ini", "[FILES]\r\nFileName1=game.dat\r\n"), {End::Failed, {"is not an update"}}},
        Fault{"SameRelease", Releases(10, 10), {End::Updated}},
        Fault{"TamperedFile",
              Put("info.ini", Offered + "FileSha2561=" + Sha256Of("other") + "\r\n"), {End::Failed, {"game.dat arrived damaged: its SHA-256 is "}, "The update server sent a damaged file."}},
        Fault{"EndlessBodyCutAtItsSize",
              [](FaultMatrix& w) {
                  w.server_.Put("game.dat", BigGame(), {.chunked = true});
                  w.server_.Put("info.ini", Offered + "FileSize1=5\r\n");
              }, {End::Failed, {"game.dat arrived damaged: the server sends more than the 5 bytes"}}},
        Fault{"NotEnoughSpace",
              Put("info.ini", Offered + "FileSize1=90000000000000000\r\nFileSize2=7\r\n"), {End::Failed, {"Not enough free space for the update: it needs"}, "Not enough free space on the disk. Free "}},
        Fault{"SizeNotANumber", Put("info.ini", Offered + "FileSize1=12kB\r\n"), {End::Failed, {"FileSize1 (\"12kB\") is not a number of bytes"}}},
        Fault{"GoodSignature", Signed(Verified, Verified), {End::Updated}},
        Fault{"MissingSignature", Signed(Verified, "", -1), {End::Failed, {"Could not download info.ini.minisig"}}},
        Fault{"SignatureByAnotherKey", Signed(Verified, Verified, 1), {End::Failed, {"its signature does not hold: it was made by another key"}, "The update is not signed by the studio. Nothing was installed."}},
        Fault{"TamperedManifest", Signed(Verified + "FileName3=evil.exe\r\n", Verified), {End::Failed, {"its signature does not hold"}}},
        Fault{"UnsignedEntry", Signed(Offered, Offered), {End::Failed, {"entry 1 (game.dat) gives no size and SHA-256"}}},
        Fault{"TinyManifestHugeMax", Put("info.ini", Manifest("2", "10000000", {})), {End::Updated},
              [](FaultMatrix& w) { EXPECT_LT(w.captions_.size(), 30); }},
        Fault{"OneFileTwoHashes",
              Put("info.ini", Sized(Manifest("2", "3", {"game.dat|2", "level.map|2|maps",
                                                        "game.dat|2|maps"}),
                                    {}, {NewGame, NewMap, "other"})), {End::Failed, {"entries 1 and 3 name the file game.dat with different sizes or SHA-256"}}},
        Fault{"OneFileInTwoFolders",
              Put("info.ini", Sized(Manifest("2", "3", {"game.dat|2", "level.map|2|maps",
                                                        "game.dat|2|maps"}),
                                    {}, {NewGame, NewMap, NewGame})), {End::Updated},
              [](FaultMatrix& w) {
                  EXPECT_EQ(w.Read("maps/game.dat"), NewGame);
                  EXPECT_EQ(w.server_.CountOf("game.dat"), 1);
              }},
        Fault{"AFileWhereAFolderIsNeeded",
              Put("info.ini", Manifest("2", "4",
                                       {"game.dat|2", "level.map|2|maps", "data|2", "x.dat|2|data"})), {End::Failed, {"entry 3 puts the file data where entry 4 needs a folder"}}},
        Fault{"SignedWithoutReleaseOverARelease",
              [](FaultMatrix& w) {
                  Signed(Verified, Verified)(w);
                  w.Write("info.ini", WithRelease(Installed, 4));
              }, {End::Failed, {"it gives no Release, while the installed one is release 4"}}},
        Fault{"RepairRefusesAnEntryOutsideBeforeReading",
              [](FaultMatrix& w) {
                  w.settings_.repair = true;
                  w.server_.Put("info.ini", Sized(Manifest("1", "3",
                                                           {"game.dat|1", "level.map|1|maps",
                                                            "keep.txt|1|../sentinel"}),
                                                  {"8", "7", "8"}, {OldGame, OldMap, "sentinel"}));
              }, {End::Failed, {"Refused to download keep.txt"}}},
        Fault{"ReplayedSignedRelease",
              [](FaultMatrix& w) {
                  Signed(WithRelease(Verified, 3), WithRelease(Verified, 3))(w);
                  w.Write("info.ini", WithRelease(Installed, 4));
              }, {End::Failed, {"The server offers release 3, older than the installed 4"}}}),
    CaseName);

INSTANTIATE_TEST_SUITE_P(
    Folder, FaultMatrix,
    ::testing::Values(
        // An unwritable folder, links, another updater, a failing install.
        Fault{
            "GameFolderNotWritable",
            [](FaultMatrix& w) { w.LockFolder(); },
            {End::Offline,
             {"Cannot update: the game folder is not writable!", "Could not update the game in"}}},
        Fault{"UpToDateInAFolderNotWritable",
              [](FaultMatrix& w) {
                  w.server_.Put("info.ini", Installed);
                  w.LockFolder();
              },
              {End::UpToDate}},
        Fault{"LinkThatLeadsOutside",
              [](FaultMatrix& w) {
                  Link("linked", "sentinel")(w);
                  w.server_.Put("info.ini", WithThird("linked"));
              },
              {End::Failed, {"is a link that leads outside the game folder"}}},
        Fault{"FileInTheWayOfAFolder",
              [](FaultMatrix& w) {
                  w.Write("maps/notes", "the player's");
                  w.server_.Put("info.ini", WithThird("maps\\notes"));
              },
              {End::Failed, {"a file of that name is in the way"}},
              [](FaultMatrix& w) { QFile::remove(w.Path("maps/notes")); }},
        Fault{"PartFolderIsALinkOutside", Link(".quelmor-partial", "sentinel"), {End::Updated}},
        Fault{"PartFolderIsALinkAndTheServerIsDown",
              [](FaultMatrix& w) {
                  Link(".quelmor-partial", "sentinel")(w);
                  ServerAt(kClosedPort)(w);
              },
              {End::Offline, {"refused"}}},
        Fault{"LinksInsideThePartFolder",
              [](FaultMatrix& w) {
                  QDir().mkpath(w.Path(".quelmor-partial"));
                  for (const char* name : {"placed", "lock", "x.part"})
                      Link((".quelmor-partial/" + std::string(name)).c_str())(w);
                  Link(".quelmor-partial/sub", "sentinel")(w);
              },
              {End::Updated}},
        Fault{"TempIniIsALink", Link("temp.ini"), {End::Updated}},
        Fault{"InfoIniIsALink", Link("info.ini"), {End::Updated}},
        Fault{"GameFileIsALink",
              Link("game.dat"),
              {End::Updated},
              [](FaultMatrix& w) { EXPECT_FALSE(IsLink(w.Path("game.dat"))); }},
        // The lock file of an updater that died, here or on another machine.
        Fault{
            "LockFileLeftBehind",
            [](FaultMatrix& w) { w.Write(".quelmor-partial/lock", "4242\nQuelmor\nanother-pc\n"); },
            {End::Updated}},
        // A replaced file's second name that cannot be flushed (a link swapped in).
        Fault{"AFlushThatFails",
              [](FaultMatrix& w) {
                  if (UnderWine())
                      GTEST_SKIP() << "Wine makes no symbolic links";
                  AfterInstallStep = [&w](const QString& step) {
                      const QString kept = w.Path(".quelmor-partial/kept-1");
                      if (step == "kept game.dat" && QFile::remove(kept))
                          MakeLink(w.root_.filePath("sentinel/keep.txt"), kept);
                  };
              },
              {End::Failed, {"Could not make the update durable"}}},
        Fault{"InstallFailsHalfWayAndTakesTheUpdaterBack",
              // game.dat stands for the updater; level.map cannot be replaced.
              [](FaultMatrix& w) {
                  w.settings_.ownName = "game.dat";
                  w.server_.Put("level.map", NewMap,
                                {.before = [&w] { w.BlockReplacing("maps/level.map"); }});
              },
              {End::Failed, {"Could not replace"}}}),
    CaseName);

// A disk too small for the update, or one that fills up at a stage of it:
// refused before anything is fetched, or a failure like any other (never a
// crash), and the next start, with room made, updates.
// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Disk, FaultMatrix,
    ::testing::Values(
        Fault{"FullBeforeTheManifest", FullAt("info.ini"), {End::Failed, {"No space left on device"}},
              FaultMatrix::UpdatesOnceThereIsRoom},
        Fault{"FullWhileAFileArrives", FullAt("game.dat"),
              {End::Failed, {"No space left on device"}, "The game folder could not be written."},
              FaultMatrix::UpdatesOnceThereIsRoom},
        Fault{"FullForThePatchedFile",
              [](FaultMatrix& w) {
                  w.SmallDisk(12);
                  Patched(true)(w);
                  FullAt("by-hash/" + Sha256Of(BigPatch()), 12, BigPatch().size() + 65536)(w);
              },
              {End::Failed, {"No space left on device"}}, FaultMatrix::UpdatesOnceThereIsRoom},
        Fault{"FullBeforeTheJournal",
              [](FaultMatrix& w) {
                  w.SmallDisk(4);
                  AfterInstallStep = [&w](const QString& step) { if (step == "staged") w.Fill(0); };
              },
              {End::Failed, {"No space left on device"}}, FaultMatrix::UpdatesOnceThereIsRoom},
        Fault{"NoRoomForTheCopies",
              [](FaultMatrix& w) {
                  const std::string size = std::to_string(BigGame().size());
                  w.SmallDisk(5);
                  w.server_.Put("game.dat", BigGame());
                  w.server_.Put("info.ini", Sized(Manifest("2", "3", {"game.dat|2", "level.map|2|maps", "game.dat|2|maps"}),
                                                  {size, "7", size}, {BigGame(), NewMap, BigGame()}));
              },
              {End::Failed, {"Not enough free space for the update"}},
              [](FaultMatrix& w) { EXPECT_EQ(w.server_.BytesSent("game.dat"), 0); }},
        Fault{"NoRoomForThePatchAndItsFile",
              [](FaultMatrix& w) {
                  w.SmallDisk(8);
                  if (!w.IsSkipped()) { Patched(true)(w); w.Fill(BigGame().size() + BigPatch().size() / 2); }
              },
              {End::Failed, {"Not enough free space for the update"}},
              [](FaultMatrix& w) {
                  EXPECT_EQ(w.server_.BytesSent("by-hash/" + Sha256Of(BigPatch())), 0);
                  QFile::remove(w.Path("filler"));
              }}),
    CaseName);
// clang-format on

// Entries leading outside the game folder or onto the updater's own files are
// refused before anything is fetched.
TEST_F(UpdaterTest, UnsafeEntriesAreRefused) {
    server_.Put("/news.txt", "");
    // Entries "FileName|FileVersion|FilePath", one after the other.
    const QStringList entries =
        QStringLiteral(
            "../x.dat|1;x.dat|1|maps/../../x;/etc/x.dat|1;x.dat|1|\\\\server\\share;x.dat|1|//x;"
            "C:\\x.dat|1;x.dat|1|C:\\games;x.dat|1|.. ;x.|1;x.dat|1|maps\\..;info.ini|1;"
            "TEMP.INI|1|\\;CON|1;nul.txt|1|maps;x.dat|1|data\\Com1;x.dat|1|info.ini\\sub;"
            "Quelmor.old|1;.quelmor-partial|1;.Quelmor-Release.ini|1;x.dat|1|.Quelmor-Partial;a?."
            "dat|1;x*.dat|1|maps;"
            "x.dat|1|d<e>;q\".dat|1;COM\u00b9|1;x.dat|1|LPT\u00b2.txt;CON .txt|1;x.dat|1|CONOUT$;"
            "x.dat|1|sub \\a")
            .split(u';');
    for (const QString& entry : entries) {
        SCOPED_TRACE(entry.toStdString());
        // Written in the system's 8-bit encoding, which the updater reads manifests in.
        server_.Put("info.ini", QString::fromStdString(Manifest("1", "1", {entry.toStdString()}))
                                    .toLocal8Bit()
                                    .toStdString());
        const std::size_t asked = server_.Requests().size();
        EXPECT_TRUE(RunMain().startsWith("Refused to download"));
        EXPECT_EQ(server_.Requests().size(), asked + 3); // the news, release.ini and info.ini
        EXPECT_EQ(Tree(), QStringList());
        EXPECT_TRUE(OutsideIsUntouched());
    }
}

} // namespace
