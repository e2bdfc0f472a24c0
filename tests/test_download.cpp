// One download: the percentage, the closing caption and the target folder.
#include "UpdaterTest.h"

#include "update/Fetch.h"

namespace {

TEST(DownloadPercent, IsTheFloorOfTheShareOfBlocksReceived) {
    struct Case {
        qint64 received, expected;
        int percent;
    };
    for (const Case& c :
         {Case{1024, 3000, 34}, Case{2048, 3000, 68}, Case{3000, 3000, 100}, Case{1024, 1025, 99},
          Case{29696, 51200, 57}, Case{1024, 4LL << 30, 0}, Case{3LL << 30, 4LL << 30, 75}})
        EXPECT_EQ(PercentOf(c.received, c.expected), c.percent) << c.received << "/" << c.expected;
}

class Download : public UpdaterTest {
  protected:
    void SetUp() override {
        UpdaterTest::SetUp();
        modUpdate::ServerUrl = server_.baseUrl();
        modUpdate::CurrentFolder.clear();
        modUpdate::Inet = std::make_unique<transfer::Transfers>();
    }
    void TearDown() override {
        EndTransfers();
        modUpdate::Inet.reset();
        UpdaterTest::TearDown();
    }
};

TEST_F(Download, ShowsWholeBlockPercentagesAndClosesWithTheRemoteName) {
    server_.Put("info.ini", std::string(51200, 'i'));
    modUpdate::DownloadFile("info.ini", "temp.ini");

    EXPECT_EQ(Read("temp.ini"), std::string(51200, 'i'));
    EXPECT_EQ(CaptionsOf("L3"), QStringList({"Downloaded info.ini!"}));
    // Every percentage shown is one a whole number of 1024-byte blocks gives,
    // rising, and the last is 100%.
    const QStringList shown = CaptionsOf("lblPercent");
    ASSERT_FALSE(shown.isEmpty());
    EXPECT_EQ(shown.last(), "100%");
    int previous = -1;
    for (const QString& text : shown) {
        const int percent = text.chopped(1).toInt();
        EXPECT_GT(percent, previous);
        bool reachable = percent == 100;
        for (qint64 blocks = 1; blocks < 50 && !reachable; ++blocks)
            reachable = PercentOf(blocks * 1024, 51200) == percent;
        EXPECT_TRUE(reachable) << text.toStdString();
        previous = percent;
    }
}

TEST_F(Download, ABlankLocalNameDoesNothing) {
    for (const QString& blank : {QString(), QString("   ")}) {
        modUpdate::DownloadFile("game.dat", blank);
        EXPECT_TRUE(server_.Requests().empty());
        EXPECT_TRUE(captions_.isEmpty());
        EXPECT_TRUE(Tree().isEmpty());
    }
}

TEST_F(Download, OneSeparatorIsDroppedAtEachEndOfTheFolder) {
    struct Case {
        QString folder, trimmed, stored;
    };
    server_.Put("f.dat", "F");
    for (const Case& c :
         {Case{"\\maps\\", "maps", "maps/f.dat"}, Case{"/maps/", "maps", "maps/f.dat"},
          Case{"maps\\sub\\", "maps\\sub", "maps/sub/f.dat"}, Case{"/", "", "f.dat"}}) {
        modUpdate::CurrentFolder = c.folder;
        modUpdate::DownloadFile("f.dat", "f.dat");
        EXPECT_EQ(modUpdate::CurrentFolder, c.trimmed);
        EXPECT_EQ(Read(c.stored), "F") << c.folder.toStdString();
    }
}

TEST_F(Download, AFileInTheWayOfAFolderFailsClearly) {
    Write("maps", "not a folder");
    server_.Put("f.dat", "F");
    modUpdate::CurrentFolder = "maps";
    try {
        modUpdate::DownloadFile("f.dat", "f.dat");
        ADD_FAILURE() << "the download should have failed";
    } catch (const UpdateFailure& failure) {
        EXPECT_TRUE(failure.message().contains("a file of that name is in the way"))
            << failure.message().toStdString();
    }
    EXPECT_EQ(server_.Requests().size(), 0u);
}

TEST_F(Download, ALargeFileArrivesExactly) {
    std::string body(5 * 1024 * 1024 + 17, '\0');
    for (size_t i = 0; i < body.size(); ++i)
        body[i] = static_cast<char>((i * 7919) >> 3);
    server_.Put("big.pak", body);
    modUpdate::DownloadFile("big.pak", "big.pak");
    EXPECT_EQ(Read("big.pak"), body);
}

} // namespace
