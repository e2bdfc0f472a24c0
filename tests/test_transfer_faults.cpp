// A server that misbehaves: every failure ends the run with a clear message,
// the file that failed keeps its old content and "info.ini" is not replaced.
#include "UpdaterTest.h"

#include <chrono>

namespace {

class TransferFaults : public UpdaterTest {
  protected:
    void SetUp() override {
        UpdaterTest::SetUp();
        Write("info.ini", installed_);
        Write("game.dat", "OLD GAME");
        server_.Put("/news.txt", "news");
        server_.Put("info.ini", Manifest("2", "1", {{"game.dat", "2", ""}}));
    }

    // The run failed with a message containing `expected`; the installed
    // files are as they were and no temporary file is left.
    void ExpectFailureKeepingTheInstall(const QString& expected) {
        const QString message = RunMain();
        EXPECT_TRUE(message.contains(expected)) << message.toStdString();
        EXPECT_EQ(Read("game.dat"), "OLD GAME");
        EXPECT_EQ(Read("info.ini"), installed_);
        QStringList tree = Tree();
        tree.removeAll("temp.ini");
        EXPECT_EQ(tree, QStringList({"game.dat", "info.ini"}));
        EXPECT_FALSE(CaptionsOf("L2").contains("Update Complete!"));
    }

    const std::string installed_ = Manifest("1", "1", {{"game.dat", "1", ""}});
};

TEST_F(TransferFaults, AnErrorStatusIsNeverStored) {
    ExpectFailureKeepingTheInstall(
        "Could not download game.dat: the server answered 404 Not Found.");
}

TEST_F(TransferFaults, AServerErrorForTheManifestEndsTheRun) {
    server_.On("info.ini", [](const httplib::Request&, httplib::Response& response) {
        response.status = 500;
        response.set_content("oops", "text/plain");
    });
    ExpectFailureKeepingTheInstall("Could not download info.ini: the server answered 500");
    EXPECT_FALSE(QFile::exists(Path("temp.ini")));
}

TEST_F(TransferFaults, MissingNewsLeavesTheNewsBoxEmptyAndTheRunGoesOn) {
    server_.On("/news.txt", [](const httplib::Request&, httplib::Response& response) {
        response.status = 404;
        response.set_content("<html>not here</html>", "text/html");
    });
    server_.Put("game.dat", "NEW GAME");

    ASSERT_EQ(RunMain(), "");
    EXPECT_EQ(CaptionsOf("news"), QStringList({""}));
    EXPECT_EQ(Read("game.dat"), "NEW GAME");
}

TEST_F(TransferFaults, AnUnreachableServerEndsTheRunAtTheNews) {
    modUpdate::SetServerUrlForTests("http://127.0.0.1:1/Quelmor/");
    ExpectFailureKeepingTheInstall(
        "Could not download news.txt: the server refused the connection");
}

TEST_F(TransferFaults, ABodyCutShortOfItsLengthIsNotStored) {
    server_.On("game.dat", [](const httplib::Request&, httplib::Response& response) {
        response.set_content_provider(10000, "application/octet-stream",
                                      [](size_t offset, size_t length, httplib::DataSink& sink) {
                                          if (offset >= 4000)
                                              return false; // the connection breaks
                                          const std::string block(std::min<size_t>(length, 1000),
                                                                  'x');
                                          sink.write(block.data(), block.size());
                                          return true;
                                      });
    });
    ExpectFailureKeepingTheInstall("Could not download game.dat:");
}

TEST_F(TransferFaults, AStalledResponseTimesOut) {
    frmUpdate::Instance().Inet.RequestTimeoutMs = 300;
    server_.On("game.dat", [](const httplib::Request&, httplib::Response& response) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        response.set_content("late", "application/octet-stream");
    });
    ExpectFailureKeepingTheInstall("Could not download game.dat: the server did not answer");
}

TEST_F(TransferFaults, AChunkedBodyIsStoredWhole) {
    server_.On("game.dat", [](const httplib::Request&, httplib::Response& response) {
        response.set_chunked_content_provider(
            "application/octet-stream", [](size_t offset, httplib::DataSink& sink) {
                if (offset < 5000) {
                    const std::string block(1000, static_cast<char>('a' + offset / 1000));
                    sink.write(block.data(), block.size());
                } else {
                    sink.done();
                }
                return true;
            });
    });
    ASSERT_EQ(RunMain(), "");
    EXPECT_EQ(Read("game.dat"), std::string(1000, 'a') + std::string(1000, 'b') +
                                    std::string(1000, 'c') + std::string(1000, 'd') +
                                    std::string(1000, 'e'));
}

TEST_F(TransferFaults, AnEmptyBodyReplacesTheFile) {
    server_.Put("game.dat", "");
    ASSERT_EQ(RunMain(), "");
    EXPECT_EQ(Read("game.dat"), "");
}

TEST_F(TransferFaults, ARedirectIsFollowed) {
    server_.On("game.dat", [](const httplib::Request&, httplib::Response& response) {
        response.set_redirect("/Quelmor/elsewhere/game.dat");
    });
    server_.Put("elsewhere/game.dat", "MOVED GAME");
    ASSERT_EQ(RunMain(), "");
    EXPECT_EQ(Read("game.dat"), "MOVED GAME");
}

// Entries that would lead outside the game folder are refused before anything
// of theirs is written.
class UnsafeEntries : public UpdaterTest, public ::testing::WithParamInterface<Entry> {};

TEST_P(UnsafeEntries, AreRefused) {
    const Entry entry = GetParam();
    server_.Put("/news.txt", "");
    server_.Put("info.ini", Manifest("1", "1", {entry}));

    const QString message = RunMain();

    EXPECT_TRUE(message.startsWith("Refused to download")) << message.toStdString();
    EXPECT_EQ(Tree(), QStringList({"temp.ini"}));
    EXPECT_FALSE(QFile::exists(Path("info.ini")));
}

INSTANTIATE_TEST_SUITE_P(
    OutsideTheFolder, UnsafeEntries,
    ::testing::Values(Entry{"..\\..\\x.dat", "1", ""}, Entry{"../x.dat", "1", ""},
                      Entry{"x.dat", "1", "maps/../../x"}, Entry{"x.dat", "1", "..\\"},
                      Entry{"/etc/x.dat", "1", ""}, Entry{"x.dat", "1", "\\\\server\\share"},
                      Entry{"x.dat", "1", "//x"}, Entry{"C:\\x.dat", "1", ""},
                      Entry{"x.dat", "1", "C:\\games"}, Entry{"...", "1", ""},
                      Entry{"x.dat", "1", ".. "}, Entry{"info.ini", "1", ""},
                      Entry{"TEMP.INI", "1", "\\"}));

} // namespace
