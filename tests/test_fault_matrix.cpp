// The update run against a server, a manifest and a game folder that
// misbehave, and "Exit" at any moment. After every case three promises hold:
//  1. nothing outside the game folder is created, changed or removed;
//  2. every game file holds either its old bytes or the server's whole new
//     bytes, "info.ini" is replaced only once every file has landed, and no
//     temporary file is left but the parts worth continuing;
//  3. a failure ends with a clear message, never with a success message; a
//     server that cannot be reached leaves the installed game playable.
#include "UpdaterTest.h"

#include <QCoreApplication>
#include <algorithm>
#include <chrono>
#include <functional>
#include <unistd.h>

#include "publish/SecretKey.h"
#include "ui/Actions.h"
#include "update/PartFolder.h"

namespace {

const std::string OldGame = "OLD GAME", NewGame = "NEW GAME, a little longer";
const std::string OldMap = "OLD MAP", NewMap = "NEW MAP";
const std::string Installed = Manifest("1", "2", {"game.dat|1", "level.map|1|maps"});
const std::string Offered = Manifest("2", "2", {"game.dat|2", "level.map|2|maps"});
// The offered manifest with the size and SHA-256 of both files (the first in
// upper-case hex, as some tools print it).
const std::string Verified =
    Offered + "FileSize1=" + std::to_string(NewGame.size()) +
    "\r\nFileSha2561=" + QString::fromStdString(Sha256Of(NewGame)).toUpper().toStdString() +
    "\r\nFileSize2=7\r\nFileSha2562=" + Sha256Of(NewMap) + "\r\n";

// A game file of 3 MiB.
const std::string& BigGame() {
    static const std::string big = [] {
        std::string bytes(3 << 20, '\0');
        for (std::size_t i = 0; i < bytes.size(); ++i)
            bytes[i] = static_cast<char>((i * 7919) >> 5);
        return bytes;
    }();
    return big;
}

class FaultMatrix;
using Arrange = std::function<void(FaultMatrix&)>;

struct Fault {
    const char* name;
    Arrange arrange; // changes the normal update of two files
    // A part of the failure message; "" or "ok:" when the run must succeed,
    // "<exit>" when it ends through "Exit", "offline:" when the installed game
    // is to be played without updating. After "ok:" and "offline:", parts
    // separated by "|" of what the status lines and the reason in full said.
    const char* failure;
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
        if (locked_ && ::geteuid() == 0)
            std::system(("chattr -i '" + game_.toStdString() + "'").c_str());
        else if (locked_)
            QFile::setPermissions(game_, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        UpdaterTest::TearDown();
    }
    // Makes the game folder one the player cannot write to (for the superuser,
    // who writes anywhere, by the file system's "immutable" flag).
    void LockGameFolder() {
        locked_ = true;
        if (::geteuid() == 0)
            ASSERT_EQ(std::system(("chattr +i '" + game_.toStdString() + "'").c_str()), 0);
        else
            QFile::setPermissions(game_, QFile::ReadOwner | QFile::ExeOwner);
    }
    bool locked_ = false;
    std::unique_ptr<TestServer> secure_;
};

// Serves name with body and how it is served.
Arrange Put(const std::string& name, const std::string& body, Serving serving = {}) {
    return [=](FaultMatrix& w) { w.server_.Put(name, body, serving); };
}

// Points the updater at url instead of the test server.
Arrange ServerAt(const QString& url) {
    return [=](FaultMatrix&) { modUpdate::SetServerUrlForTests(url); };
}

// Clicks "Exit" from the server's thread: the click reaches the window once
// it has handled its events `passes` times.
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

// Leaves what a killed run kept of game.dat: its first `size` bytes (of
// BigGame, then "z") and the record naming keptEtag and the whole size; the
// server has BigGame with the ETag etag.
Arrange Kept(std::size_t size, const std::string& keptEtag, std::size_t whole,
             const std::string& etag) {
    return [=](FaultMatrix& w) {
        w.server_.Put("game.dat", BigGame(), {.etag = etag});
        const QString url = w.server_.baseUrl() + "game.dat";
        const std::string part = BigGame().substr(0, size);
        WriteFile(PartFileOf(url), part + std::string(size - part.size(), 'z'));
        WriteFile(PartRecordOf(url),
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

// The offered manifest with a third file, x.dat in folder.
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
        ParseSecretKey(MakeKeyPair()->secretKeyFile, nullptr, key);
        return key;
    };
    static const MinisignSecretKey keys[] = {make(), make()};
    return keys[which];
}

// A signed update: the server offers manifest with a signature of signedBytes
// by key signer (none for -1); the updater trusts key 0.
Arrange Signed(const std::string& manifest, const std::string& signedBytes, int signer = 0) {
    return [=](FaultMatrix& w) {
        const MinisignPublicKey trusted = PublicKeyOf(SigningKey(0));
        modUpdate::PublicKey =
            QString::fromLatin1((QByteArray("Ed") + trusted.keyId + trusted.key).toBase64());
        w.server_.Put("info.ini", manifest);
        if (signer >= 0)
            w.server_.Put(
                "info.ini.minisig",
                SignPrehashed(SigningKey(signer), QByteArray::fromStdString(signedBytes), "test")
                    .toStdString());
    };
}

// A test authority "ca", another one, and certificates by "ca" for 127.0.0.1
// and for other.example, made with the openssl tool once; the folder they are in.
QString Certificates() {
    static QTemporaryDir folder;
    static const bool made = std::system(("cd '" + folder.path().toStdString() + R"(' && (
        new='openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2' &&
        for ca in ca other; do $new -keyout $ca.key -out $ca.pem -subj /CN=$ca || exit; done &&
        for host in IP:127.0.0.1 DNS:other.example; do $new -keyout ${host#*:}.key \
          -out ${host#*:}.pem -subj /CN=x -addext subjectAltName=$host -CA ca.pem -CAkey ca.key \
          || exit; done) 2>/dev/null)")
                                             .c_str()) == 0;
    EXPECT_TRUE(made) << "the openssl tool could not make the test certificates";
    return folder.path() + "/";
}

// The update served over HTTPS with the certificate for host, the updater
// trusting the authority trusted; with redirect, the manifest is sent on to
// the plain server.
Arrange OverHttps(const QString& host, const QString& trusted, bool redirect = false) {
    return [=](FaultMatrix& w) {
        const QString files = Certificates();
        w.secure_ = std::make_unique<TestServer>(0, (files + host + ".pem").toStdString(),
                                                 (files + host + ".key").toStdString());
        ServeUpdate(*w.secure_);
        if (redirect)
            w.secure_->Put("info.ini", "",
                           {.redirect = w.server_.baseUrl().toStdString() + "info.ini"});
        modUpdate::SetServerUrlForTests(w.secure_->baseUrl());
        modUpdate::CaFile = (files + trusted + ".pem").toStdString();
    };
}

// The normal update tells every step in order (the percentages aside) and
// asks for the news with two slashes before its name, then the manifest,
// then the files in any order.
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
    std::sort(asked.begin() + 2, asked.end());
    EXPECT_EQ(asked, std::vector<std::string>({"/Quelmor//news.txt", "/Quelmor/info.ini",
                                               "/Quelmor/game.dat", "/Quelmor/level.map"}));
}

TEST_P(FaultMatrix, KeepsThePromises) {
    const Fault fault = GetParam();
    fault.arrange(*this);
    const std::string installed = Read("info.ini");
    const QString message = RunMain();
    const std::string expected = fault.failure;
    const bool offline = !modUpdate::OfflineReason.isEmpty();
    const bool succeeded = message.isEmpty() && !offline;

    // 3. The outcome and its message.
    const bool ok = expected.empty() || expected.rfind("ok:", 0) == 0;
    if (ok || expected.rfind("offline:", 0) == 0) {
        EXPECT_EQ(message, "");
        EXPECT_EQ(offline, !ok) << modUpdate::OfflineReason.toStdString();
        const QString said = CaptionsOf("L3").join('/') + '/' + CaptionsOf("L2").join('/') + '/' +
                             modUpdate::OfflineReason;
        for (const QString& part : QString::fromStdString(expected).section(':', 1).split('|'))
            EXPECT_TRUE(said.contains(part)) << part.toStdString() << " in " << said.toStdString();
        EXPECT_TRUE(frmUpdate::Instance().lblConnect->isEnabled());
    } else {
        EXPECT_TRUE(message.contains(QString::fromStdString(expected))) << message.toStdString();
    }
    const QStringList l2 = CaptionsOf("L2");
    EXPECT_EQ(l2.contains("Update Complete!") || l2.contains("You Have The Latest Version!"),
              succeeded);

    // 1. Nothing outside the game folder.
    EXPECT_TRUE(OutsideIsUntouched());

    // 2. Every file old or whole, the manifest replaced only on success, no
    // temporary file.
    const std::string game = Read("game.dat"), map = Read("maps/level.map");
    EXPECT_TRUE(game == OldGame || game == NewGame || game == BigGame() ||
                (succeeded && game == ""))
        << game.substr(0, 40);
    EXPECT_TRUE(map == OldMap || map == NewMap) << map;
    if (!succeeded) {
        EXPECT_EQ(Read("info.ini"), installed);
    }
    if (fault.verify)
        fault.verify(*this);
    for (const QString& file : Tree())
        EXPECT_TRUE(file == "game.dat" || file == "info.ini" || file == "maps/level.map" ||
                    file == "temp.ini" || // stays after a failure; the next run replaces it
                    (!succeeded && file == ".quelmor-partial/placed") ||
                    (!succeeded && file.endsWith(".record")) ||
                    (!succeeded && file.startsWith(".quelmor-partial/") &&
                     QFileInfo(Path(file)).size() >= KeptPartBytes))
            << file.toStdString();
}

std::string CaseName(const ::testing::TestParamInfo<Fault>& info) {
    return info.param.name;
}

INSTANTIATE_TEST_SUITE_P(
    Server, FaultMatrix,
    ::testing::Values(
        Fault{"NormalUpdate", [](FaultMatrix&) {}, "", NormalStory},
        Fault{"ConnectionRefused", ServerAt("http://127.0.0.1:1/Quelmor/"),
              "offline:Connection refused|the server refused the connection"},
        Fault{"HostNotFound", ServerAt("http://no-such-host.invalid:4444/Quelmor/"),
              "offline:No connection; trying news.txt again (try 4 of 4)...|Host name not "
              "found|Cannot reach the update server!|the server's host name could not be found"},
        Fault{"News500", Put("/news.txt", "", {.status = 500}), ""},
        Fault{"Manifest404", Put("info.ini", "", {.status = 404}),
              "Could not download info.ini: the server answered 404 Not Found."},
        Fault{"SecondFile500", Put("level.map", "", {.status = 500}),
              "Could not download level.map: the server answered 500",
              [](FaultMatrix& w) { // the next start fetches only what was not placed
                  w.server_.Put("level.map", NewMap);
                  EXPECT_EQ(w.RunMain(), "");
                  EXPECT_EQ(w.server_.CountOf("game.dat"), 1);
              }},
        Fault{"FirstFileFailsWhileTheSecondHasArrived",
              Put("game.dat", "", {.status = 404, .delayMs = 300}),
              "Could not download game.dat: the server answered 404",
              [](FaultMatrix& w) {
                  EXPECT_EQ(w.server_.CountOf("level.map"), 1); // fetched ahead...
                  EXPECT_EQ(w.Read("maps/level.map"), OldMap);  // ...but never put in place
              }},
        Fault{"BusyThenServed",
              Put("game.dat", NewGame, {.status = 429, .times = 2, .header = "Retry-After: 0"}),
              "ok:Server busy (429); trying game.dat again (try 3 of 4)..."},
        // "Exit" while the updater waits the 30 s the server asked for: no second try.
        Fault{"ExitWhileABusyServerAsksToWait",
              Put("game.dat", "",
                  {.status = 503, .before = [] { ClickExitSoon(8); }, .header = "Retry-After: 30"}),
              "<exit>", [](FaultMatrix& w) { EXPECT_EQ(w.server_.CountOf("game.dat"), 1); }},
        Fault{"NoContentIsNoFile", Put("game.dat", "", {.status = 204}),
              "Could not download game.dat: the server answered 204"},
        Fault{"CompressedBody", Put("game.dat", NewGame, {.header = "Content-Encoding: gzip"}),
              "Content-Encoding: gzip"},
        Fault{"RedirectLoop", Put("game.dat", "", {.redirect = "/Quelmor/game.dat"}),
              "redirected the request too many times"},
        Fault{"ChunkedIdentityBody",
              Put("game.dat", NewGame, {.header = "Content-Encoding: identity", .chunked = true}),
              ""},
        Fault{"LengthZero", Put("game.dat", ""), ""},
        Fault{"CutEveryTime", Put("game.dat", NewGame, {.cutAfter = 5, .cuts = 100}),
              "Could not download game.dat: the server closed the connection"},
        Fault{"StallPastTheTimeOut",
              [](FaultMatrix& w) {
                  modUpdate::TimeoutSeconds = 1;
                  w.server_.Put("game.dat", NewGame, {.delayMs = 2500});
              },
              "the server did not answer for"},
        Fault{"ExitWhileWaitingForTheNews", ExitWhileWaitingFor("/news.txt"), "<exit>"},
        Fault{"ExitWhileWaitingForTheManifest", ExitWhileWaitingFor("info.ini"), "<exit>"},
        Fault{"ExitWhileWaitingForTheLastFile", ExitWhileWaitingFor("level.map"), "<exit>"},
        Fault{"HttpsTrusted", OverHttps("127.0.0.1", "ca"), ""},
        Fault{"CertificateOfAnotherAuthority", OverHttps("127.0.0.1", "other"),
              "Could not download news.txt: the server's certificate is not trusted"},
        Fault{"CertificateForAnotherHost", OverHttps("other.example", "ca"),
              "Could not download news.txt: the server's certificate is not trusted"},
        Fault{"RedirectFromHttpsToHttp", OverHttps("127.0.0.1", "ca", true),
              "Could not download info.ini: the server sent the request to an address the "
              "updater does not follow",
              [](FaultMatrix& w) { EXPECT_EQ(w.server_.CountOf("info.ini"), 0); }}),
    CaseName);

// A cut transfer continues where it stopped: in the same run or the next one.
INSTANTIATE_TEST_SUITE_P(
    Resume, FaultMatrix,
    ::testing::Values(
        // Three cuts: the fourth and last try brings the rest.
        Fault{"CutThriceResumedThrice", Put("game.dat", BigGame(), {.cutAfter = 800000, .cuts = 3}),
              "ok:Connection lost; resuming game.dat (try 4 of 4)...", Expect(BigGame().size())},
        Fault{"CutAndTheServerIgnoresRange",
              Put("game.dat", BigGame(), {.cutAfter = 1500000, .cuts = 1, .ignoreRange = true}), "",
              Expect(-1)},
        Fault{"KilledAndResumedByTheNextRun", Kept(1 << 20, "\"v1\"", BigGame().size(), "\"v1\""),
              "", Expect(BigGame().size() - (1 << 20))},
        Fault{"ValidatorChangedBetweenRuns", Kept(2000000, "\"v1\"", BigGame().size(), "\"v2\""),
              "", Expect(BigGame().size())},
        Fault{"KeptPartLongerThanTheFile", Kept(4000000, "\"v1\"", 4000000, "\"v1\""), "",
              Expect(BigGame().size())},
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
              "", Expect(-1)},
        Fault{"ExitWhileAResumablePartArrives",
              // 1.5 MB of game.dat arrive, then the server stalls and "Exit" comes.
              [](FaultMatrix& w) {
                  w.server_.On("game.dat", [](const httplib::Request&, httplib::Response& r) {
                      r.set_header("ETag", "\"v1\"");
                      r.set_content_provider(
                          BigGame().size(), "application/octet-stream",
                          [](size_t offset, size_t length, httplib::DataSink& sink) {
                              if (offset < 1500000)
                                  return sink.write(BigGame().data() + offset,
                                                    std::min<size_t>(length, 1500000 - offset));
                              ClickExitSoon();
                              std::this_thread::sleep_for(std::chrono::milliseconds(300));
                              return false;
                          });
                  });
              },
              "<exit>",
              [](FaultMatrix&) {
                  // What arrived of the cut file stays, to be continued by the next start.
                  EXPECT_EQ(QDir(PartFolder()).entryList(QDir::Files).size(), 2)
                      << QDir(PartFolder()).entryList(QDir::Files).join(' ').toStdString();
              }}),
    CaseName);

INSTANTIATE_TEST_SUITE_P(
    Manifest, FaultMatrix,
    ::testing::Values(
        Fault{"MaxOutOfRange", Put("info.ini", Manifest("2", "2147483648", {})),
              "\"Max\" in the server's info.ini is out of range"},
        Fault{"MaxBeyondAnyGame", Put("info.ini", Manifest("2", "2000000000", {})),
              "lists 2000000000 files"},
        Fault{"NoVersionSection", Put("info.ini", "[FILES]\r\nFileName1=game.dat\r\n"),
              "is not an update"},
        Fault{"ReplayedOlderRelease", Releases(42, 41),
              "The server offers release 41, older than the installed 42"},
        Fault{"SameRelease", Releases(10, 10), ""},
        Fault{"TamperedFile",
              Put("info.ini", Offered + "FileSha2561=" + Sha256Of("other") + "\r\n"),
              "game.dat arrived damaged: its SHA-256 is "},
        Fault{"EndlessBodyCutAtItsSize",
              [](FaultMatrix& w) {
                  w.server_.Put("game.dat", BigGame(), {.chunked = true});
                  w.server_.Put("info.ini", Offered + "FileSize1=5\r\n");
              },
              "game.dat arrived damaged: the server sends more than the 5 bytes"},
        Fault{"NotEnoughSpace",
              Put("info.ini", Offered + "FileSize1=90000000000000000\r\nFileSize2=7\r\n"),
              "Not enough free space for the update: it needs"},
        Fault{"SizeNotANumber", Put("info.ini", Offered + "FileSize1=12kB\r\n"),
              "FileSize1 (\"12kB\") is not a number of bytes"},
        Fault{"GoodSignature", Signed(Verified, Verified), ""},
        Fault{"MissingSignature", Signed(Verified, "", -1), "Could not download info.ini.minisig"},
        Fault{"SignatureByAnotherKey", Signed(Verified, Verified, 1),
              "its signature does not hold: it was made by another key"},
        Fault{"SignatureOfAnotherFile", Signed(Verified, Offered), "its signature does not hold"},
        Fault{"TamperedManifest", Signed(Verified + "FileName3=evil.exe\r\n", Verified),
              "its signature does not hold"},
        Fault{"UnsignedEntry", Signed(Offered, Offered),
              "entry 1 (game.dat) gives no size and SHA-256"},
        Fault{"ReplayedSignedRelease",
              [](FaultMatrix& w) {
                  Signed(WithRelease(Verified, 3), WithRelease(Verified, 3))(w);
                  w.Write("info.ini", WithRelease(Installed, 4));
              },
              "The server offers release 3, older than the installed 4"}),
    CaseName);

INSTANTIATE_TEST_SUITE_P(
    Folder, FaultMatrix,
    ::testing::Values(Fault{"GameFolderNotWritable", [](FaultMatrix& w) { w.LockGameFolder(); },
                            "offline:Cannot update: the game folder is not writable!|Could not "
                            "update the game in"},
                      Fault{"UpToDateInAFolderNotWritable",
                            [](FaultMatrix& w) {
                                w.server_.Put("info.ini", Installed);
                                w.LockGameFolder();
                            },
                            ""},
                      Fault{"LinkThatLeadsOutside",
                            [](FaultMatrix& w) {
                                ASSERT_TRUE(
                                    QFile::link(w.root_.filePath("sentinel"), w.Path("linked")));
                                w.server_.Put("info.ini", WithThird("linked"));
                            },
                            "is a link that leads outside the game folder"},
                      Fault{"FileInTheWayOfAFolder", Put("info.ini", WithThird("maps\\level.map")),
                            "a file of that name is in the way"}),
    CaseName);

// Entries that would lead outside the game folder, or take the place of the
// updater's own files, are refused before anything of theirs is asked for.
TEST_F(UpdaterTest, UnsafeEntriesAreRefused) {
    server_.Put("/news.txt", "");
    const std::string unsafe[] = {
        "../x.dat|1",  "x.dat|1|maps/../../x", "/etc/x.dat|1",       "x.dat|1|\\\\server\\share",
        "x.dat|1|//x", "C:\\x.dat|1",          "x.dat|1|C:\\games",  "x.dat|1|.. ",
        "x.|1",        "x.dat|1|maps\\..",     "info.ini|1",         "TEMP.INI|1|\\",
        "CON|1",       "nul.txt|1|maps",       "x.dat|1|data\\Com1", "x.dat|1|info.ini\\sub"};
    for (const std::string& entry : unsafe) {
        SCOPED_TRACE(entry);
        server_.Put("info.ini", Manifest("1", "1", {entry}));
        modUpdate::InstalledVersion.clear();
        const std::size_t asked = server_.Requests().size();
        EXPECT_TRUE(RunMain().startsWith("Refused to download"));
        EXPECT_EQ(server_.Requests().size(), asked + 2); // the news and the manifest
        EXPECT_EQ(Tree(), QStringList({"temp.ini"}));
        EXPECT_TRUE(OutsideIsUntouched());
    }
}

} // namespace
