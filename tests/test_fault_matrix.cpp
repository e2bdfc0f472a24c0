// The update run against a server, a manifest and a game folder that
// misbehave. After every case three promises must hold:
//  1. nothing outside the game folder is created, changed or removed;
//  2. every game file holds either its old bytes or the server's whole new
//     bytes, "info.ini" is replaced only once every file has landed, and no
//     temporary file is left;
//  3. a failure ends with a clear message, never with a success message; a
//     server that cannot be reached leaves the installed game playable.
#include "UpdaterTest.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <chrono>
#include <functional>
#include <unistd.h>

#include "publish/SecretKey.h"
#include "ui/Actions.h"
#include "update/Fetch.h"
#include "update/PartFolder.h"

namespace {

const std::string OldGame = "OLD GAME";
const std::string NewGame = "NEW GAME, a little longer";
const std::string OldMap = "OLD MAP";
const std::string NewMap = "NEW MAP";
const std::string Installed =
    Manifest("1", "2", {{"game.dat", "1", ""}, {"level.map", "1", "maps"}});
const std::string Offered = Manifest("2", "2", {{"game.dat", "2", ""}, {"level.map", "2", "maps"}});

class FaultMatrix;

struct Fault {
    const char* name;
    // Changes the server or the folder from the normal update of two files.
    std::function<void(FaultMatrix&)> arrange;
    // A part of the failure message; "" when the run must succeed, "<exit>"
    // when it ends through "Exit", "offline:" and a part of the reason when
    // the game is to be played without updating, "*" when either outcome
    // keeps the promises.
    const char* failure;
    // Further checks of this case, after the run.
    std::function<void(FaultMatrix&)> verify = nullptr;
};

void PrintTo(const Fault& fault, std::ostream* out) {
    *out << fault.name;
}

// Clicks "Exit" from the server's thread: the click reaches the window with
// the next events it handles.
void ClickExitSoon() {
    QMetaObject::invokeMethod(
        qApp, [] { Label1_Click(); }, Qt::QueuedConnection);
}

// An answer to the request, then a click on "Exit" while the updater waits.
TestServer::Handler ExitWhileWaiting(const std::string& body) {
    return [body](const httplib::Request&, httplib::Response& response) {
        ClickExitSoon();
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        response.set_content(body, "application/octet-stream");
    };
}

// A raw answer from a second server, reached through a redirect.
void RawAnswer(FaultMatrix& world, const std::string& name, std::string response,
               bool reset = false);

class FaultMatrix : public UpdaterTest, public ::testing::WithParamInterface<Fault> {
  public:
    using UpdaterTest::Write;
    void Serve(const std::string& name, TestServer::Handler handler) {
        server_.On(name, std::move(handler));
    }
    void Put(const std::string& name, const std::string& body, Serving serving = {}) {
        server_.Put(name, body, serving);
    }
    QString PathOf(const QString& name) const { return Path(name); }
    QString RootPath(const QString& name) const { return root_.filePath(name); }
    // Makes the game folder one the player cannot write to (for the superuser,
    // who writes anywhere, by the file system's "immutable" flag).
    void LockGameFolder() {
        locked_ = true;
        if (::geteuid() == 0)
            ASSERT_EQ(std::system(("chattr +i '" + game_.toStdString() + "'").c_str()), 0);
        else
            QFile::setPermissions(game_, QFile::ReadOwner | QFile::ExeOwner);
    }
    void TearDown() override {
        if (locked_ && ::geteuid() == 0)
            std::system(("chattr -i '" + game_.toStdString() + "'").c_str());
        else if (locked_)
            QFile::setPermissions(game_, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        UpdaterTest::TearDown();
    }
    bool locked_ = false;
    std::string ReadFile(const QString& name) const { return Read(name); }
    TestServer& Server() { return server_; }
    // Leaves the part of game.dat that a killed run would have kept: its first
    // `size` bytes and the record naming `etag` and the whole size `whole`.
    void KeepPart(std::size_t size, const std::string& etag, std::size_t whole) {
        const QString url = server_.baseUrl() + "game.dat";
        QDir().mkpath(PartFolder());
        QFile part(PartFileOf(url));
        ASSERT_TRUE(part.open(QIODevice::WriteOnly));
        part.write(BigGame().data(), static_cast<qint64>(std::min(size, BigGame().size())));
        part.write(std::string(size - std::min(size, BigGame().size()), 'z').c_str());
        part.close();
        QFile record(PartRecordOf(url));
        ASSERT_TRUE(record.open(QIODevice::WriteOnly));
        record.write(
            (url.toStdString() + "\n" + etag + "\n" + std::to_string(whole) + "\n").c_str());
    }
    // A game file of 3 MiB.
    static const std::string& BigGame() {
        static const std::string big = [] {
            std::string bytes(3 << 20, '\0');
            for (std::size_t i = 0; i < bytes.size(); ++i)
                bytes[i] = static_cast<char>((i * 7919) >> 5);
            return bytes;
        }();
        return big;
    }
    std::vector<std::unique_ptr<RawServer>> raw_;

  protected:
    void SetUp() override {
        UpdaterTest::SetUp();
        Write("info.ini", Installed);
        Write("game.dat", OldGame);
        Write("maps/level.map", OldMap);
        server_.Put("/news.txt", "news");
        server_.Put("info.ini", Offered);
        server_.Put("game.dat", NewGame);
        server_.Put("level.map", NewMap);
    }
};

void RawAnswer(FaultMatrix& world, const std::string& name, std::string response, bool reset) {
    world.raw_.push_back(std::make_unique<RawServer>(std::move(response), reset));
    const std::string target = world.raw_.back()->url() + name;
    world.Serve(name, [target](const httplib::Request&, httplib::Response& response) {
        response.set_redirect(target);
    });
}

// manifest with a Release number in its [VERSION] section.
std::string WithRelease(const std::string& manifest, int release) {
    return "[VERSION]\r\nRelease=" + std::to_string(release) + "\r\n" + manifest.substr(11);
}

// The SHA-256 of bytes in hex, as a manifest gives it.
std::string Sha256Of(const std::string& bytes) {
    return QCryptographicHash::hash(QByteArray::fromStdString(bytes), QCryptographicHash::Sha256)
        .toHex()
        .toStdString();
}

// The offered manifest with the size and SHA-256 of both files.
std::string OfferedWithHashes() {
    return Offered + "FileSize1=" + std::to_string(NewGame.size()) +
           "\r\nFileSha256"
           "1=" +
           Sha256Of(NewGame) +
           "\r\nFileSize2=7\r\nFileSha256"
           "2=" +
           Sha256Of(NewMap) + "\r\n";
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

// A signed update: the server offers `manifest` with a signature of `signedBytes`
// by key `signer`; the updater trusts key 0.
std::function<void(FaultMatrix&)> Signed(const std::string& manifest,
                                         const std::string& signedBytes, int signer = 0) {
    return [=](FaultMatrix& w) {
        const MinisignPublicKey trusted = PublicKeyOf(SigningKey(0));
        modUpdate::PublicKey =
            QString::fromLatin1((QByteArray("Ed") + trusted.keyId + trusted.key).toBase64());
        w.Put("info.ini", manifest);
        if (signer >= 0)
            w.Put("info.ini.minisig",
                  SignPrehashed(SigningKey(signer), QByteArray::fromStdString(signedBytes), "test")
                      .toStdString());
    };
}

// A handler that answers with the status and a small error page.
TestServer::Handler Status(int status) {
    return [status](const httplib::Request&, httplib::Response& response) {
        response.status = status;
        response.set_content("<html><body>error page</body></html>", "text/html");
    };
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
    if (expected.empty()) {
        EXPECT_TRUE(succeeded) << message.toStdString() << modUpdate::OfflineReason.toStdString();
    } else if (expected.rfind("offline:", 0) == 0) {
        EXPECT_TRUE(message.isEmpty()) << message.toStdString();
        EXPECT_TRUE(modUpdate::OfflineReason.contains(QString::fromStdString(expected.substr(8))))
            << modUpdate::OfflineReason.toStdString();
        EXPECT_TRUE(frmUpdate::Instance().lblConnect->isEnabled());
    } else if (expected == "<exit>") {
        EXPECT_EQ(message, "<exit>");
    } else if (expected != "*") {
        EXPECT_TRUE(message.contains(QString::fromStdString(expected))) << message.toStdString();
    }
    const QStringList l2 = CaptionsOf("L2");
    const bool saidComplete =
        l2.contains("Update Complete!") || l2.contains("You Have The Latest Version!");
    EXPECT_EQ(saidComplete, succeeded) << message.toStdString();

    // 1. Nothing outside the game folder.
    EXPECT_TRUE(OutsideIsUntouched());

    // 2. Every file old or whole, the manifest replaced only on success, no
    // temporary file.
    const std::string game = Read("game.dat");
    const std::string map = Read("maps/level.map");
    EXPECT_TRUE(game == OldGame || game == NewGame || game == FaultMatrix::BigGame() ||
                (succeeded && game == ""))
        << game.substr(0, 40);
    EXPECT_TRUE(map == OldMap || map == NewMap) << map;
    if (!succeeded) {
        EXPECT_EQ(Read("info.ini"), installed);
    }
    if (fault.verify)
        fault.verify(*this);
    QStringList tree = Tree();
    tree.removeAll("temp.ini"); // stays after a failure; the next run replaces it
    for (const QString& file : tree)
        EXPECT_TRUE(file == "game.dat" || file == "info.ini" || file == "maps/level.map" ||
                    (succeeded && file.startsWith("extra/")) ||
                    (!succeeded && file == ".quelmor-partial/placed") ||
                    (!succeeded && file.startsWith(".quelmor-partial/") &&
                     QFileInfo(Path(file)).size() >= KeptPartBytes) ||
                    (!succeeded && file.endsWith(".record")))
            << file.toStdString();
}

// The name of a case as the test's own name.
std::string CaseName(const ::testing::TestParamInfo<Fault>& info) {
    return info.param.name;
}

// A manifest offering the two files with another "Max" or an odd line.
std::function<void(FaultMatrix&)> OfferManifest(const std::string& text) {
    return [text](FaultMatrix& world) { world.Put("info.ini", text); };
}

const std::string CutAfter4000 = "cut";

INSTANTIATE_TEST_SUITE_P(
    Server, FaultMatrix,
    ::testing::Values(
        Fault{"NormalUpdate", [](FaultMatrix&) {}, ""},
        Fault{"ConnectionRefused",
              [](FaultMatrix&) { modUpdate::SetServerUrlForTests("http://127.0.0.1:1/Quelmor/"); },
              "offline:the server refused the connection"},
        Fault{"HostNotFound",
              [](FaultMatrix&) {
                  modUpdate::SetServerUrlForTests("http://no-such-host.invalid:4444/Quelmor/");
              },
              "offline:the server's host name could not be found"},
        Fault{"News404", [](FaultMatrix& w) { w.Serve("/news.txt", Status(404)); }, ""},
        Fault{"News500", [](FaultMatrix& w) { w.Serve("/news.txt", Status(500)); }, ""},
        Fault{"Manifest404", [](FaultMatrix& w) { w.Serve("info.ini", Status(404)); },
              "Could not download info.ini: the server answered 404 Not Found."},
        Fault{"Manifest500", [](FaultMatrix& w) { w.Serve("info.ini", Status(500)); },
              "Could not download info.ini: the server answered 500"},
        Fault{"GameFile404", [](FaultMatrix& w) { w.Serve("game.dat", Status(404)); },
              "Could not download game.dat: the server answered 404 Not Found."},
        Fault{"SecondFile500", [](FaultMatrix& w) { w.Serve("level.map", Status(500)); },
              "Could not download level.map: the server answered 500"},
        Fault{"FirstFileFailsWhileTheSecondHasArrived",
              [](FaultMatrix& w) {
                  w.Serve("game.dat", [](const httplib::Request&, httplib::Response& response) {
                      std::this_thread::sleep_for(std::chrono::milliseconds(300));
                      Status(404)(httplib::Request(), response);
                  });
              },
              "Could not download game.dat: the server answered 404",
              [](FaultMatrix& w) {
                  EXPECT_EQ(w.Server().CountOf("level.map"), 1);   // fetched ahead...
                  EXPECT_EQ(w.ReadFile("maps/level.map"), OldMap); // ...but never put in place
              }},
        Fault{"BusyThenServed",
              [](FaultMatrix& w) {
                  auto calls = std::make_shared<int>(0);
                  w.Serve("game.dat", [calls](const httplib::Request& r, httplib::Response& s) {
                      if (++*calls < 3) {
                          s.set_header("Retry-After", "0");
                          return Status(503)(r, s);
                      }
                      s.set_content(NewGame, "application/octet-stream");
                  });
              },
              ""},
        Fault{"NoContentIsNoFile", [](FaultMatrix& w) { w.Serve("game.dat", Status(204)); },
              "Could not download game.dat: the server answered 204"},
        Fault{"CompressedBody",
              [](FaultMatrix& w) {
                  w.Serve("game.dat", [](const httplib::Request&, httplib::Response& response) {
                      response.set_header("Content-Encoding", "gzip");
                      response.set_content(NewGame, "application/octet-stream");
                  });
              },
              "Content-Encoding: gzip"},
        Fault{"CutAndResumedInTheSameRun",
              [](FaultMatrix& w) { w.Put("game.dat", FaultMatrix::BigGame(), CutAfter(1500000)); },
              "",
              [](FaultMatrix& w) {
                  EXPECT_EQ(w.ReadFile("game.dat"), FaultMatrix::BigGame());
                  EXPECT_EQ(w.Server().BytesSent("game.dat"), FaultMatrix::BigGame().size());
              }},
        Fault{
            "CutTwiceResumedTwice",
            [](FaultMatrix& w) { w.Put("game.dat", FaultMatrix::BigGame(), CutAfter(1100000, 2)); },
            "",
            [](FaultMatrix& w) {
                EXPECT_EQ(w.Server().BytesSent("game.dat"), FaultMatrix::BigGame().size());
            }},
        Fault{"CutAndTheServerIgnoresRange",
              [](FaultMatrix& w) {
                  w.Put("game.dat", FaultMatrix::BigGame(), CutAfter(1500000, 1, true));
              },
              "",
              [](FaultMatrix& w) { EXPECT_EQ(w.ReadFile("game.dat"), FaultMatrix::BigGame()); }},
        Fault{"KilledAndResumedByTheNextRun",
              [](FaultMatrix& w) {
                  w.Put("game.dat", FaultMatrix::BigGame(), WithEtag("\"v1\""));
                  w.KeepPart(2000000, "\"v1\"", FaultMatrix::BigGame().size());
              },
              "",
              [](FaultMatrix& w) {
                  EXPECT_EQ(w.ReadFile("game.dat"), FaultMatrix::BigGame());
                  EXPECT_EQ(w.Server().BytesSent("game.dat"),
                            FaultMatrix::BigGame().size() - 2000000);
              }},
        Fault{"ValidatorChangedBetweenRuns",
              [](FaultMatrix& w) {
                  w.Put("game.dat", FaultMatrix::BigGame(), WithEtag("\"v2\""));
                  w.KeepPart(2000000, "\"v1\"", FaultMatrix::BigGame().size());
              },
              "",
              [](FaultMatrix& w) {
                  EXPECT_EQ(w.ReadFile("game.dat"), FaultMatrix::BigGame());
                  EXPECT_EQ(w.Server().BytesSent("game.dat"), FaultMatrix::BigGame().size());
              }},
        Fault{"KeptPartLongerThanTheFile",
              [](FaultMatrix& w) {
                  w.Put("game.dat", FaultMatrix::BigGame(), WithEtag("\"v1\""));
                  w.KeepPart(4000000, "\"v1\"", 4000000);
              },
              "",
              [](FaultMatrix& w) { EXPECT_EQ(w.ReadFile("game.dat"), FaultMatrix::BigGame()); }},
        Fault{
            "WrongContentRange",
            [](FaultMatrix& w) {
                w.KeepPart(2000000, "\"v1\"", FaultMatrix::BigGame().size());
                w.Serve("game.dat", [](const httplib::Request& r, httplib::Response& s) {
                    if (!r.has_header("Range"))
                        return s.set_content(FaultMatrix::BigGame(), "application/octet-stream");
                    s.status = 206;
                    s.set_header("ETag", "\"v1\"");
                    s.set_header("Content-Range", "bytes 1000-3145727/3145728");
                    s.set_content(FaultMatrix::BigGame().substr(1000), "application/octet-stream");
                });
            },
            "", [](FaultMatrix& w) { EXPECT_EQ(w.ReadFile("game.dat"), FaultMatrix::BigGame()); }},
        Fault{"RedirectFollowed",
              [](FaultMatrix& w) {
                  w.Serve("game.dat", [](const httplib::Request&, httplib::Response& response) {
                      response.set_redirect("/Quelmor/moved/game.dat");
                  });
                  w.Put("moved/game.dat", NewGame);
              },
              ""},
        Fault{"RedirectLoop",
              [](FaultMatrix& w) {
                  w.Serve("game.dat", [](const httplib::Request&, httplib::Response& response) {
                      response.set_redirect("/Quelmor/game.dat");
                  });
              },
              "redirected the request too many times"},
        Fault{"LengthLargerThanBody",
              [](FaultMatrix& w) {
                  RawAnswer(w, "game.dat",
                            "HTTP/1.1 200 OK\r\nContent-Length: 1000\r\nConnection: close\r\n\r\n"
                            "only a part");
              },
              "Could not download game.dat"},
        Fault{"ResetInTheBody",
              [](FaultMatrix& w) {
                  RawAnswer(w, "game.dat",
                            "HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n" +
                                std::string(3000, 'x'),
                            true);
              },
              "Could not download game.dat"},
        Fault{"ChunkedBody",
              [](FaultMatrix& w) {
                  w.Serve("game.dat", [](const httplib::Request&, httplib::Response& response) {
                      response.set_chunked_content_provider(
                          "application/octet-stream", [](size_t offset, httplib::DataSink& sink) {
                              if (offset == 0)
                                  sink.write(NewGame.data(), NewGame.size());
                              else
                                  sink.done();
                              return true;
                          });
                  });
              },
              ""},
        Fault{"LengthZero", [](FaultMatrix& w) { w.Put("game.dat", ""); }, ""},
        Fault{"LengthNotANumber",
              [](FaultMatrix& w) {
                  RawAnswer(w, "game.dat",
                            "HTTP/1.1 200 OK\r\nContent-Length: abc\r\nConnection: close\r\n\r\n" +
                                NewGame);
              },
              "Could not download game.dat"},
        Fault{"LengthBeyond64Bits",
              [](FaultMatrix& w) {
                  RawAnswer(w, "game.dat",
                            "HTTP/1.1 200 OK\r\nContent-Length: 99999999999999999999999\r\n"
                            "Connection: close\r\n\r\n" +
                                NewGame);
              },
              "Could not download game.dat"},
        Fault{"StallPastTheTimeOut",
              [](FaultMatrix& w) {
                  modUpdate::TimeoutSeconds = 1;
                  w.Serve("game.dat", [](const httplib::Request&, httplib::Response& response) {
                      std::this_thread::sleep_for(std::chrono::milliseconds(2500));
                      response.set_content(NewGame, "application/octet-stream");
                  });
              },
              "the server did not answer for"},
        Fault{"VeryLargeHeader",
              [](FaultMatrix& w) {
                  RawAnswer(w, "game.dat",
                            "HTTP/1.1 200 OK\r\nX-Padding: " + std::string(200000, 'p') +
                                "\r\nContent-Length: " + std::to_string(NewGame.size()) +
                                "\r\nConnection: close\r\n\r\n" + NewGame);
              },
              "*"}),
    CaseName);

INSTANTIATE_TEST_SUITE_P(
    Manifest, FaultMatrix,
    ::testing::Values(
        Fault{"MaxZero", OfferManifest(Manifest("2", "0", {{"game.dat", "2", ""}})), ""},
        Fault{"MaxNegative", OfferManifest(Manifest("2", "-1", {{"game.dat", "2", ""}})), ""},
        Fault{"MaxTwoAndAHalf", OfferManifest(Manifest("2", "2.5", {{"game.dat", "2", ""}})), ""},
        Fault{"MaxThreeAndAHalf",
              OfferManifest(Manifest("2", "3.5", {{"game.dat", "2", ""}, {"level.map", "2", "maps"}})),
              ""},
        Fault{"MaxWithLetters", OfferManifest(Manifest("2", "12abc", {{"game.dat", "2", ""}})), ""},
        Fault{"MaxNotANumber", OfferManifest(Manifest("2", "abc", {{"game.dat", "2", ""}})), ""},
        Fault{"MaxWithABlank", OfferManifest(Manifest("2", "1 2", {{"game.dat", "2", ""}})), ""},
        Fault{"MaxOutOfRange",
              OfferManifest(Manifest("2", "2147483648", {{"game.dat", "2", ""}})),
              "\"Max\" in the server's info.ini is out of range"},
        Fault{"MaxBeyondAnyGame",
              OfferManifest(Manifest("2", "2000000000", {{"game.dat", "2", ""}})),
              "lists 2000000000 files"},
        Fault{"NulInAName",
              OfferManifest(Manifest("2", "1", {{std::string("game.dat\0evil", 12), "2", ""}})),
              ""},
        Fault{"BinaryGarbage", OfferManifest(std::string("\x89PNG\r\n\x1a\n\0\0\xff\xfe[]=\x01", 17)),
              "is not an update"},
        Fault{"TenMegabyteLine",
              OfferManifest(Manifest("2", "1", {{std::string(10 << 20, 'a'), "2", ""}})),
              "Could not"},
        Fault{"NoVersionSection",
              OfferManifest("[FILES]\r\nFileName1=game.dat\r\nFileVersion1=2\r\n"),
              "is not an update"},
        Fault{"EmptyManifest", OfferManifest(""), "is not an update"},
        Fault{"ReplayedOlderRelease",
              [](FaultMatrix& w) {
                  w.Write("info.ini", WithRelease(Installed, 42));
                  w.Put("info.ini", WithRelease(Offered, 41));
              },
              "The server offers release 41, older than the installed 42"},
        Fault{"NewerRelease",
              [](FaultMatrix& w) {
                  w.Write("info.ini", WithRelease(Installed, 9));
                  w.Put("info.ini", WithRelease(Offered, 10));
              },
              ""},
        Fault{"TamperedFile",
              OfferManifest(Offered + "FileSha256" "1=" + Sha256Of("another game") + "\r\n"),
              "game.dat arrived damaged: its SHA-256 is "},
        Fault{"BodyLongerThanItsSize", OfferManifest(Offered + "FileSize1=5\r\n"),
              "game.dat arrived damaged: the server sends"},
        Fault{"VerifiedFiles",
              OfferManifest(Offered + "FileSize1=" + std::to_string(NewGame.size()) +
                            "\r\nFileSha256" "1=" + Sha256Of(NewGame) +
                            "\r\nFileSize2=7\r\nFileSha256" "2=" + Sha256Of(NewMap) + "\r\n"),
              ""},
        Fault{"NotEnoughSpace",
              OfferManifest(Offered + "FileSize1=90000000000000000\r\nFileSize2=7\r\n"),
              "Not enough free space for the update: it needs"},
        Fault{"SizeNotANumber", OfferManifest(Offered + "FileSize1=12kB\r\n"),
              "FileSize1 (\"12kB\") is not a number of bytes"},
        Fault{"DuplicateNames",
              OfferManifest(Manifest("2", "2", {{"game.dat", "2", ""}, {"game.dat", "2", ""}})),
              ""},
        Fault{"NewFileInANewFolder",
              [](FaultMatrix& w) {
                  w.Put("info.ini", Manifest("2", "3",
                                             {{"game.dat", "2", ""},
                                              {"level.map", "2", "maps"},
                                              {"x.dat", "1", "extra\\deep\\"}}));
                  w.Put("x.dat", "X");
              },
              ""}),
    CaseName);

INSTANTIATE_TEST_SUITE_P(
    Signed, FaultMatrix,
    ::testing::Values(
        Fault{"GoodSignature", Signed(OfferedWithHashes(), OfferedWithHashes()), ""},
        Fault{"MissingSignature", Signed(OfferedWithHashes(), "", -1),
              "Could not download info.ini.minisig"},
        Fault{"SignatureByAnotherKey", Signed(OfferedWithHashes(), OfferedWithHashes(), 1),
              "its signature does not hold: it was made by another key"},
        Fault{"SignatureOfAnotherFile", Signed(OfferedWithHashes(), Offered),
              "its signature does not hold"},
        Fault{"TamperedManifest",
              Signed(OfferedWithHashes() + "FileName3=evil.exe\r\n", OfferedWithHashes()),
              "its signature does not hold"},
        Fault{"UnsignedEntry", Signed(Offered, Offered),
              "entry 1 (game.dat) gives no size and SHA-256"},
        Fault{"ReplayedSignedRelease",
              [](FaultMatrix& w) {
                  Signed(WithRelease(OfferedWithHashes(), 3),
                         WithRelease(OfferedWithHashes(), 3))(w);
                  w.Write("info.ini", WithRelease(Installed, 4));
              },
              "The server offers release 3, older than the installed 4"}),
    CaseName);

INSTANTIATE_TEST_SUITE_P(
    Folder, FaultMatrix,
    ::testing::Values(
        Fault{"GameFolderNotWritable", [](FaultMatrix& w) { w.LockGameFolder(); },
              "offline:Could not update the game in"},
        Fault{"UpToDateInAFolderNotWritable",
              [](FaultMatrix& w) {
                  w.Put("info.ini", Installed);
                  w.LockGameFolder();
              },
              ""},
        Fault{"LinkThatLeadsOutside",
              [](FaultMatrix& w) {
                  ASSERT_TRUE(QFile::link(w.RootPath("sentinel"), w.PathOf("linked")));
                  w.Put("info.ini", Manifest("2", "3",
                                             {{"game.dat", "2", ""},
                                              {"level.map", "2", "maps"},
                                              {"x.dat", "1", "linked"}}));
              },
              "is a link that leads outside the game folder"},
        Fault{"FileInTheWayOfAFolder",
              OfferManifest(Manifest("2", "3",
                                     {{"game.dat", "2", ""},
                                      {"level.map", "2", "maps"},
                                      {"x.dat", "1", "maps\\level.map"}})),
              "a file of that name is in the way"},
        Fault{"ReadOnlyGameFile",
              [](FaultMatrix& w) {
                  QFile::setPermissions(w.PathOf("game.dat"), QFile::ReadOwner | QFile::ReadUser);
              },
              ""},
        Fault{"FolderThatCannotBeWritten",
              [](FaultMatrix& w) {
                  if (::geteuid() == 0) // the superuser writes anywhere: simulate with a file
                      w.Serve("level.map", Status(403));
                  QFile::setPermissions(w.PathOf("maps"), QFile::ReadOwner | QFile::ExeOwner |
                                                              QFile::ReadUser | QFile::ExeUser);
              },
              "level.map"}),
    CaseName);

INSTANTIATE_TEST_SUITE_P(
    Exit, FaultMatrix,
    ::testing::Values(
        Fault{"WhileWaitingForTheManifest",
              [](FaultMatrix& w) { w.Serve("info.ini", ExitWhileWaiting(Offered)); }, "<exit>"},
        Fault{"WhileWaitingForTheFirstFile",
              [](FaultMatrix& w) { w.Serve("game.dat", ExitWhileWaiting(NewGame)); }, "<exit>"},
        Fault{"WhileWaitingForTheLastFile",
              [](FaultMatrix& w) { w.Serve("level.map", ExitWhileWaiting(NewMap)); }, "<exit>"},
        Fault{"WhileWaitingForTheNews",
              [](FaultMatrix& w) { w.Serve("/news.txt", ExitWhileWaiting("news")); }, "<exit>"},
        Fault{"WhileAResumablePartArrives",
              [](FaultMatrix& w) {
                  // 1.5 MB of game.dat arrive, then the server stalls and "Exit" comes.
                  w.Serve("game.dat", [](const httplib::Request&, httplib::Response& s) {
                      s.set_header("ETag", "\"v1\"");
                      s.set_content_provider(
                          FaultMatrix::BigGame().size(), "application/octet-stream",
                          [](size_t offset, size_t length, httplib::DataSink& sink) {
                              if (offset < 1500000) {
                                  sink.write(FaultMatrix::BigGame().data() + offset,
                                             std::min<size_t>(length, 1500000 - offset));
                                  return true;
                              }
                              std::this_thread::sleep_for(std::chrono::milliseconds(100));
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

// Entries that would lead outside the game folder are refused before anything
// of theirs is written.
class UnsafeEntries : public UpdaterTest, public ::testing::WithParamInterface<Entry> {};

TEST_P(UnsafeEntries, AreRefused) {
    server_.Put("/news.txt", "");
    server_.Put("info.ini", Manifest("1", "1", {GetParam()}));

    const QString message = RunMain();

    EXPECT_TRUE(message.startsWith("Refused to download")) << message.toStdString();
    EXPECT_EQ(server_.Requests().size(), 2u); // the news and the manifest
    EXPECT_EQ(Tree(), QStringList({"temp.ini"}));
    EXPECT_TRUE(OutsideIsUntouched());
}

INSTANTIATE_TEST_SUITE_P(
    OutsideTheFolder, UnsafeEntries,
    ::testing::Values(Entry{"..\\..\\x.dat", "1", ""}, Entry{"../x.dat", "1", ""},
                      Entry{"x.dat", "1", "maps/../../x"}, Entry{"x.dat", "1", "..\\"},
                      Entry{"/etc/x.dat", "1", ""}, Entry{"x.dat", "1", "\\\\server\\share"},
                      Entry{"x.dat", "1", "//x"}, Entry{"C:\\x.dat", "1", ""},
                      Entry{"x.dat", "1", "C:\\games"}, Entry{"...", "1", ""},
                      Entry{"x.dat", "1", ".. "}, Entry{"x.", "1", ""},
                      Entry{"x.dat", "1", "maps\\.."}, Entry{"info.ini", "1", ""},
                      Entry{"TEMP.INI", "1", "\\"}, Entry{"CON", "1", ""},
                      Entry{"nul.txt", "1", "maps"}, Entry{"x.dat", "1", "data\\Com1"},
                      Entry{"x.dat", "1", "info.ini\\sub"}));

} // namespace
