// The whole update run against a server on loopback: status lines and files on disk.
#include "UpdaterTest.h"

#include <QFileInfo>
#include <QRegularExpression>
#include <algorithm>

#include "update/Fetch.h"

using namespace modUpdate;

namespace {

TEST(DownloadPercent, IsTheFloorOfTheShareReceived) {
    const std::tuple<qint64, qint64, int> table[] = {
        {1024, 3000, 34},   {2048, 3000, 68},     {3000, 3000, 100},         {1024, 1025, 99},
        {29696, 51200, 57}, {1024, 4LL << 30, 0}, {3LL << 30, 4LL << 30, 75}};
    for (const auto& [received, expected, percent] : table)
        EXPECT_EQ(PercentOf(received, expected), percent) << received << "/" << expected;
}

using UpdateRun = UpdaterTest;

// One run: the manifests, the files before and after ("path=bytes", info.ini left
// out; served files hold their names), and the non-blank L2 and "Downloading File"
// lines after "Getting Information...".
struct Case {
    const char* name;
    std::string installed, offered; // "" for no installed manifest
    QStringList before, status, after;
};

TEST_F(UpdateRun, ComparesByPositionAndFetchesWhatIsNewer) {
    // Entries compared by position and character codes (1.9 > 1.10, 10 < 2, 1.0B <
    // 1.0a); a nameless installed entry is not installed; the count runs past the total.
    const std::string installed =
        Manifest("1", "6", {"a.dat|1.10", "b.dat|2", "c.dat|1.0a", "d.dat|5", "|9"});
    const std::string offered = Manifest(
        "1a", "6", {"a.dat|1.9", "b.dat|10", "c.dat|1.0B", "other.dat|5", "e.dat|1", "f.dat|1"});
    // Folders found in any letter case; one separator dropped at each end; every
    // name asked for as one URL segment, "/", "#" and "%" included.
    const std::string folders = Manifest("1", "5",
                                         {"a.dat|1|  maps  ", "b.dat|1|/levels/one/two/",
                                          "c.dat|1|\\", "Data/x.pak|1", "a#1 %.dat|1"});
    const QString deep = QString(100, 'd') + "/" + QString(100, 'e');
    const Case table[] = {
        {"equal versions touch nothing",
         Manifest("2.0", "1", {"game.dat|1"}),
         Manifest("2.0", "1", {"game.dat|9"}),
         {"game.dat=OLD"},
         {"You Have The Latest Version!"},
         {"game.dat=OLD"}},
        {"entries compared by position and character codes",
         installed,
         offered,
         {},
         {"Checking File Versions...", "Downloading File 1 Of 2",
          "Updating a.dat From Version 1.10 To 1.9...", "File Already Up To Date!",
          "Downloading e.dat...", "Downloading File 2 Of 2", "Downloading f.dat...",
          "Downloading File 3 Of 2", "Update Complete!"},
         {"a.dat=a.dat", "e.dat=e.dat", "f.dat=f.dat"}},
        {"entries without version or name count as fetches",
         "",
         Manifest("1", "3", {"x.dat|", "|1", "y.dat|1"}),
         {},
         {"Checking File Versions...", "Downloading x.dat...", "Downloading File 1 Of 2",
          "Downloading ...", "Downloading File 2 Of 2", "Downloading y.dat...",
          "Downloading File 3 Of 2", "Update Complete!"},
         {"x.dat=x.dat", "y.dat=y.dat"}},
        {"folders and names",
         "",
         folders,
         {"Maps/m=m", "data/d=d"},
         {"Checking File Versions...", "Downloading a.dat...", "Downloading File 1 Of 5",
          "Downloading b.dat...", "Downloading File 2 Of 5", "Downloading c.dat...",
          "Downloading File 3 Of 5", "Downloading Data/x.pak...", "Downloading File 4 Of 5",
          "Downloading a#1 %.dat...", "Downloading File 5 Of 5", "Update Complete!"},
         {"Maps/a.dat=a.dat", "Maps/m=m", "a#1 %.dat=a#1 %.dat", "c.dat=c.dat", "data/d=d",
          "data/x.pak=Data/x.pak", "levels/one/two/b.dat=b.dat"}},
        // Beyond the 260 characters of a path Windows once allowed.
        {"a long path",
         "",
         Manifest("1", "1", {std::string(90, 'n') + "|1|" + deep.toStdString()}),
         {},
         {"Checking File Versions...", "Downloading " + QString(90, 'n') + "...",
          "Downloading File 1 Of 1", "Update Complete!"},
         {deep + "/" + QString(90, 'n') + "=" + QString(90, 'n')}}};
    for (const Case& run : table) {
        SCOPED_TRACE(run.name);
        QDir(game_).removeRecursively();
        QDir().mkpath(game_);
        captions_.clear();
        if (!run.installed.empty())
            Write("info.ini", run.installed);
        for (const QString& file : run.before)
            Write(file.section('=', 0, 0), file.section('=', 1).toStdString());
        server_.Put("/news.txt", "");
        server_.Put("info.ini", run.offered);
        static const QRegularExpression name("FileName\\d+=(.+)\r\n");
        for (const auto& match : name.globalMatch(QString::fromStdString(run.offered)))
            server_.Put(match.captured(1).toStdString(), match.captured(1).toStdString());

        ASSERT_EQ(RunMain(), "");
        EXPECT_TRUE(!run.installed.empty() || CaptionsOf("Label2").value(0) == "Version 0.0");

        QStringList status;
        for (const QString& entry :
             captions_.mid(captions_.indexOf("L2=Getting Information...") + 1))
            if ((entry.startsWith("L2=") || entry.startsWith("L3=Downloading File")) &&
                entry.size() > 3)
                status << entry.mid(3);
        EXPECT_EQ(status, run.status);
        QStringList after;
        for (const QString& file : Tree())
            if (file != "info.ini")
                after << file + "=" + QString::fromStdString(Read(file));
        EXPECT_EQ(after, run.after);
        const bool updated = run.status.last() == "Update Complete!";
        EXPECT_EQ(Read("info.ini"), updated || run.installed.empty() ? run.offered : run.installed);
    }
}

TEST_F(UpdateRun, WithoutAServerAddressNothingIsRequested) {
    settings_.servers.clear();
    Write("temp.ini", "left over");

    ASSERT_EQ(RunMain(), "");

    EXPECT_EQ(CaptionsOf("L2"), QStringList({"Please Input The Correct Web URL!"}));
    EXPECT_TRUE(frmUpdate::Instance().lblConnect->isEnabled());
    EXPECT_TRUE(server_.Requests().empty());
    EXPECT_EQ(Read("temp.ini"), "left over");
}

TEST_F(UpdateRun, RepairFetchesWhatIsMissingOrDamagedAndNothingElse) {
    const std::string manifest = Sized(Manifest("1", "3", {"a.dat|1", "b.dat|1", "c.dat|1|sub"}),
                                       {"1", "1", "1"}, {"A", "B", "C"});
    for (const char* name : {"a", "b", "c"})
        server_.Put(name + std::string(".dat"), QString(name).toUpper().toStdString());
    Write("info.ini", manifest);
    Write("a.dat", "A");
    Write("b.dat", "X"); // damaged; sub/c.dat is missing
    server_.Put("/news.txt", "");
    server_.Put("info.ini", manifest);
    settings_.repair = true;

    ASSERT_EQ(RunMain(), "");
    EXPECT_TRUE(CaptionsOf("L2").endsWith("Update Complete!"));
    EXPECT_EQ(Read("b.dat"), "B");
    EXPECT_EQ(Read("sub/c.dat"), "C");
    EXPECT_EQ(server_.CountOf("a.dat"), 0);
    EXPECT_TRUE(CaptionsOf("L3").contains("Downloading File 2 Of 2"));
    EXPECT_TRUE(CaptionsOf("L3").contains("Checking a.dat..."));

    // Nothing damaged: nothing fetched.
    const std::size_t before = server_.Requests().size();
    ASSERT_EQ(RunMain(), "");
    EXPECT_TRUE(CaptionsOf("L2").endsWith("You Have The Latest Version!"));
    EXPECT_EQ(server_.Requests().size(), before + 3); // the news, release.ini and info.ini
}

} // namespace
