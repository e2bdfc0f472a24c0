// The signed release statement and key list between the publishing tool and the
// real updater: what each start fetches, and every statement it must refuse.
#include "UpdaterTest.h"

#include <QDateTime>
#include <QTextStream>
#include <functional>

#include "publish/Publish.h"
#include "publish/ReleaseFile.h"
#include "publish/SecretKey.h"
#include "update/Fetch.h"
#include "update/ManifestObject.h"
#include "update/Statement.h"

using namespace publish;

namespace {

class StatementTest : public UpdaterTest {
  public:
    void SetUp() override {
        UpdaterTest::SetUp();
        ASSERT_TRUE(studio_.isValid());
        for (const char* name : {"k", "s", "r", "q"})
            ASSERT_EQ(Tool({"keygen", studio_.filePath(name)}), 0);
        settings_.publicKey = QString::fromLatin1(PublicLine("k"));
    }
    QString Studio(const QString& name) const { return studio_.filePath(name); }
    QString Server(const QString& name = {}) const { return Studio("srv/" + name); }
    QString SecretOf(const char* key) const { return Studio(QString(key) + "/quelmor.key"); }
    QString PublicOf(const char* key) const { return Studio(QString(key) + "/quelmor.pub"); }
    QByteArray PublicLine(const char* key) const {
        return QByteArray::fromStdString(ReadFile(PublicOf(key))).split('\n').value(1);
    }
    MinisignSecretKey Secret(const char* key) const {
        MinisignSecretKey secret;
        EXPECT_TRUE(ParseSecretKey(QByteArray::fromStdString(ReadFile(SecretOf(key))), {}, secret));
        return secret;
    }
    int Tool(const QStringList& args) {
        QString out;
        QTextStream to(&out), err(&said_);
        return RunPublish(args, to, err);
    }
    // Publishes game.dat holding version as that version, signed by key.
    void Publish(const char* version, const char* key = "k") {
        WriteFile(Studio("release/game.dat"), version);
        ASSERT_EQ(
            Tool({Studio("release"), Server(), "--version", version, "--sign", SecretOf(key)}), 0)
            << said_.toStdString();
    }
    // Serves the server folder as it is now.
    void Serve() {
        server_.Drop("release.ini");
        for (const QString& name : ::Tree(Server()))
            server_.Put(name == "news.txt" ? "/news.txt" : name.toStdString(),
                        ReadFile(Server(name)));
    }
    // Rewrites release.ini as change makes it, signed by key.
    void Restate(const std::function<void(ReleaseStatement&)>& change, const char* key = "k") {
        ReleaseStatement statement;
        ASSERT_TRUE(
            ReadUnchecked(QByteArray::fromStdString(ReadFile(Server("release.ini"))), statement));
        change(statement);
        const MinisignSecretKey secret = Secret(key);
        WriteFile(Server("release.ini"),
                  SignedText(StatementText(statement), &secret, "release.ini").toStdString());
    }
    // Key list 1: k hands the roots to r and q, both needed; key list 2: they name s.
    void HandRootsToRAndQ() {
        ASSERT_EQ(Tool({"keys", Server(), "--root",
                        SecretOf("k") + "," + SecretOf("r") + "," + SecretOf("q"), "--signing",
                        SecretOf("k"), "--new-roots", PublicOf("r") + "," + PublicOf("q"),
                        "--threshold", "2"}),
                  0)
            << said_.toStdString();
        ASSERT_EQ(Tool({"keys", Server(), "--root", SecretOf("r") + "," + SecretOf("q"),
                        "--signing", SecretOf("s")}),
                  0);
    }
    // The requests of the run, after the first `before`.
    std::vector<std::string> AskedSince(std::size_t before) const {
        std::vector<std::string> asked = server_.Requests();
        return {asked.begin() + static_cast<std::ptrdiff_t>(before), asked.end()};
    }

    QTemporaryDir studio_;
    QString said_;
};

// A start after release 1 was installed: what the server holds (arrange), and
// the failure the start ends with ("" for none), or, for none, the release
// it installs.
struct StatementRow {
    const char* name;
    std::function<void(StatementTest&)> arrange;
    QString failure;
    const char* installed = "2";
    const char* player = ""; // the start of what the second status line tells the player
};

const std::int64_t Now = QDateTime::currentSecsSinceEpoch();

const StatementRow Rows[] = {
    {"Newer", [](StatementTest& t) { t.Publish("2"); }, ""},
    {"Expired",
     [](StatementTest& t) {
         t.Publish("2");
         t.Restate([](ReleaseStatement& s) { s.signedAt = Now - 9 * 86400, s.expires = Now - 60; });
     },
     "it expired at", "1", "The update server's release is out of date."},
    {"FromTheFuture",
     [](StatementTest& t) {
         t.Publish("2");
         t.Restate([](ReleaseStatement& s) {
             s.signedAt = Now + 2 * 86400, s.expires = Now + 9 * 86400;
         });
     },
     "seconds after this computer's time", "1", "This computer's clock seems to be wrong."},
    {"OlderThanTheLastTrusted",
     [](StatementTest& t) { t.Restate([](ReleaseStatement& s) { s.signedAt -= 100; }); },
     "older than the release 1 signed at", "1", "The server offers an older release."},
    {"AnOlderReleaseSignedLater",
     [](StatementTest& t) {
         t.Restate([](ReleaseStatement& s) { s.release = 0, s.signedAt += 1; });
     },
     "older than the release 1 signed at", "1"},
    {"AlteredAfterSigning",
     [](StatementTest& t) {
         t.Publish("2");
         std::string text = ReadFile(t.Server("release.ini"));
         WriteFile(t.Server("release.ini"), text.replace(text.find("Version=2"), 9, "Version=3"));
     },
     "no key this updater trusts signed it", "1"},
    {"SignedByAnotherKey",
     [](StatementTest& t) {
         t.Publish("2");
         t.Restate([](ReleaseStatement&) {}, "q");
     },
     "no key this updater trusts signed it", "1"},
    {"ManifestObjectDoesNotMatch",
     [](StatementTest& t) {
         t.Publish("2");
         std::string manifest = ReadFile(t.Server("info.ini"));
         const QString object =
             t.Server(QString::fromStdString("by-hash/" + Sha256Of(manifest) + ".zst"));
         // As long, one digit of game.dat's hash other.
         const std::size_t at = manifest.find("FileSha2561=") + 12;
         manifest[at] = manifest[at] == '0' ? '1' : '0';
         WriteFile(object, CompressManifest(QByteArray::fromStdString(manifest)).toStdString());
     },
     "not what release.ini states", "1"},
    {"StatementGone",
     [](StatementTest& t) {
         t.Publish("2");
         QFile::remove(t.Server("release.ini"));
     },
     "The server has no release.ini", "1"},
    {"SigningKeyRotated",
     [](StatementTest& t) {
         ASSERT_EQ(
             t.Tool({"keys", t.Server(), "--root", t.SecretOf("k"), "--signing", t.SecretOf("s")}),
             0);
         t.Publish("2", "s");
     },
     ""},
    {"OldKeyAfterRotation",
     [](StatementTest& t) {
         ASSERT_EQ(
             t.Tool({"keys", t.Server(), "--root", t.SecretOf("k"), "--signing", t.SecretOf("s")}),
             0);
         t.Publish("2", "s");
         t.Restate([](ReleaseStatement& s) { s.signedAt += 1; }, "k");
     },
     "no key this updater trusts signed it", "1"},
    {"RootRotationChain",
     [](StatementTest& t) {
         t.HandRootsToRAndQ();
         t.Publish("2", "s");
     },
     ""},
    {"KeyListNotSignedByTheRootInForce",
     [](StatementTest& t) {
         // q names itself root and s the signing key: the updater trusts k alone.
         KeyList list;
         list.version = 1, list.roots = {PublicKeyOf(t.Secret("q"))};
         list.signing = {PublicKeyOf(t.Secret("s"))};
         const MinisignSecretKey q = t.Secret("q");
         WriteFile(t.Server("keys.ini"),
                   SignedText(KeyListText(list), &q, "keys.ini").toStdString());
         t.Publish("2", "s");
     },
     "0 of the 1 trusted root keys signed it", "1"},
    {"NewRootsBelowTheirOwnThreshold",
     [](StatementTest& t) {
         // k hands the roots to r and q, both needed, but q does not sign.
         KeyList list;
         list.version = 1, list.threshold = 2, list.signing = {PublicKeyOf(t.Secret("s"))};
         list.roots = {PublicKeyOf(t.Secret("r")), PublicKeyOf(t.Secret("q"))};
         const QByteArray text = KeyListText(list);
         const MinisignSecretKey k = t.Secret("k"), r = t.Secret("r");
         WriteFile(t.Server("keys.ini"), (SignedText(text, &k, "keys.ini") +
                                          SignedText(text, &r, "keys.ini").sliced(text.size()))
                                             .toStdString());
         t.Publish("2", "s");
     },
     "and 1 of its own 2 (2 needed)", "1"},
    {"SignedBelowTheThreshold",
     [](StatementTest& t) {
         t.HandRootsToRAndQ();
         // keys-2.ini as r alone would sign it.
         QByteArray list = QByteArray::fromStdString(ReadFile(t.Server("keys.ini")));
         list.truncate(list.indexOf("untrusted comment:"));
         const MinisignSecretKey r = t.Secret("r");
         const std::string one = SignedText(list, &r, "keys.ini").toStdString();
         WriteFile(t.Server("keys.ini"), one), WriteFile(t.Server("keys-2.ini"), one);
         t.Publish("2", "s");
     },
     "1 of the 2 trusted root keys signed it (2 needed)", "1"},
};

class StatementRows : public StatementTest, public ::testing::WithParamInterface<StatementRow> {};

TEST_P(StatementRows, AStartChecksTheStatementFirst) {
    const StatementRow& row = GetParam();
    Publish("1");
    Serve();
    ASSERT_EQ(RunMain(), "");
    const std::string first = Read("info.ini");
    ASSERT_EQ(first, ReadFile(Server("info.ini")));
    row.arrange(*this);
    if (HasFatalFailure())
        return;
    Serve();
    const std::size_t before = server_.Requests().size();
    const QString failure = RunMain();
    if (row.failure.isEmpty()) {
        EXPECT_EQ(failure, "");
        EXPECT_TRUE(CaptionsOf("L2").endsWith("Update Complete!"));
        EXPECT_EQ(Read("info.ini"), ReadFile(Server("info.ini")));
    } else {
        EXPECT_TRUE(failure.contains(row.failure)) << failure.toStdString();
        EXPECT_TRUE(frmUpdate::Instance().lblConnect->isEnabled()); // the game plays
        EXPECT_EQ(Read("info.ini"), first);
        EXPECT_TRUE(CaptionsOf("L3").last().startsWith(row.player));
        // The manifest is never fetched for a statement refused.
        for (const std::string& asked : AskedSince(before))
            EXPECT_EQ(asked.find("info.ini"), std::string::npos) << asked;
    }
    EXPECT_EQ(Read("game.dat"), row.installed);
}

INSTANTIATE_TEST_SUITE_P(Server, StatementRows, ::testing::ValuesIn(Rows),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(StatementTest, AnUpToDateStartFetchesTheStatementAlone) {
    Publish("1");
    Serve();
    ASSERT_EQ(RunMain(), "");
    const std::size_t before = server_.Requests().size();
    ASSERT_EQ(RunMain(), "");
    EXPECT_TRUE(CaptionsOf("L2").endsWith("You Have The Latest Version!"));
    EXPECT_EQ(AskedSince(before),
              std::vector<std::string>(
                  {"/Quelmor//news.txt", "/Quelmor/keys.ini", "/Quelmor/release.ini"}));
    EXPECT_EQ(Read("game.dat"), "1");
    EXPECT_EQ(Read("info.ini"), ReadFile(Server("info.ini")));
    EXPECT_LE(ReadFile(Server("release.ini")).size(), std::size_t(StatementGoal));
    // Renewed by refresh: still up to date, and the older statement is refused from then on.
    const std::string old = ReadFile(Server("release.ini"));
    Restate([](ReleaseStatement& s) { s.signedAt -= 5; }); // as signed a moment earlier
    const std::string earlier = ReadFile(Server("release.ini"));
    WriteFile(Server("release.ini"), old);
    ASSERT_EQ(Tool({"refresh", Server(), "--sign", SecretOf("k"), "--lifetime", "2"}), 0);
    Serve();
    ASSERT_EQ(RunMain(), "");
    EXPECT_TRUE(CaptionsOf("L2").endsWith("You Have The Latest Version!"));
    WriteFile(Server("release.ini"), earlier);
    Serve();
    EXPECT_TRUE(RunMain().contains("older than the release 1"));
}

TEST(SpreadPause, DrawsBetweenTheValueAndTwiceIt) {
    int least = 1 << 30, most = 0;
    for (int i = 0; i < 300; ++i) {
        const int pause = SpreadPause(3000);
        least = std::min(least, pause), most = std::max(most, pause);
    }
    EXPECT_GE(least, 3000);
    EXPECT_LE(most, 6000);
    EXPECT_GT(most - least, 2000); // 30 players refused at once come back over seconds
}

} // namespace
