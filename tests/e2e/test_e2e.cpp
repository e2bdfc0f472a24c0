// End-to-end test of what only a real window shows: the real Quelmor
// executable in a real X server (Xvfb), clicked with xdotool, against an update
// server on 127.0.0.1:4444, each scenario in a fresh game folder.
#include <gtest/gtest.h>
#include <sys/prctl.h>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QPoint>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <optional>

#include "../TestServer.h"

namespace {

const QPoint kExit(91, 279), kContinue(213, 279); // label centres in the window

// Asks done every 20 ms until it holds or ms milliseconds have passed; its last answer.
bool WaitUntil(const std::function<bool()>& done, int ms) {
    QElapsedTimer clock;
    clock.start();
    while (!done() && clock.elapsed() < ms)
        QThread::msleep(20);
    return done();
}

// A manifest of one version whose entries {name, version} lie in the game folder.
std::string Manifest(const std::string& version,
                     const std::vector<std::pair<std::string, std::string>>& entries) {
    std::string text = "[VERSION]\r\nVersion=" + version +
                       "\r\nMax=" + std::to_string(entries.size()) + "\r\n[FILES]\r\n";
    for (size_t i = 0; i < entries.size(); ++i) {
        const std::string n = std::to_string(i + 1);
        text += "FileName" + n + "=" + entries[i].first + "\r\nFileVersion" + n + "=" +
                entries[i].second + "\r\nFilePath" + n + "=\r\n";
    }
    return text;
}

// Starts program with args; it ends with the test program (SIGTERM lets Xvfb
// remove its lock file). With a display, it runs on it.
void Start(QProcess& process, const QString& program, const QStringList& args,
           const QString& display = {}) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    if (!display.isEmpty())
        env.insert("DISPLAY", display);
    env.insert("QT_QPA_PLATFORM", "xcb"); // a real window, whatever the test runner says
    process.setProcessEnvironment(env);
    process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
    process.start(program, args);
}

// Runs a tool on display; its standard output, or nothing when it failed or
// ran past 10 s.
std::optional<QString> RunTool(const QString& display, const QString& program,
                               const QStringList& args) {
    QProcess tool;
    Start(tool, program, args, display);
    if (!tool.waitForFinished(10000)) {
        tool.kill();
        tool.waitForFinished(5000);
        return std::nullopt;
    }
    if (tool.exitStatus() != QProcess::NormalExit || tool.exitCode() != 0)
        return std::nullopt;
    return QString::fromUtf8(tool.readAllStandardOutput());
}

class EndToEnd : public ::testing::Test {
  protected:
    // Starts Xvfb, once for all scenarios: it picks a free display and
    // writes its number once it takes clients.
    static void SetUpTestSuite() {
        for (const char* tool : {"Xvfb", "xdotool", "import", "compare"})
            if (QStandardPaths::findExecutable(tool).isEmpty())
                missing_ += QString(" ") + tool;
        xvfb_ = new QProcess;
        // -noreset: the server would refuse connections for a moment
        // whenever its last client leaves.
        Start(*xvfb_, "Xvfb",
              {"-displayfd", "1", "-screen", "0", "1024x768x24", "-nolisten", "tcp", "-noreset"});
        if (missing_.isEmpty() && xvfb_->waitForReadyRead(15000))
            display_ = ":" + QString::fromLatin1(xvfb_->readLine()).trimmed();
    }
    static void TearDownTestSuite() {
        xvfb_->terminate();
        xvfb_->waitForFinished(5000);
        delete xvfb_;
    }

    // Puts the updater into the game folder and starts the server with the news.
    void SetUp() override {
        if (!missing_.isEmpty())
            GTEST_SKIP() << "not installed:" << missing_.toStdString()
                         << " (apt-get install xvfb xdotool x11-utils imagemagick)";
        ASSERT_FALSE(display_.isEmpty()) << "Xvfb did not start";
        ASSERT_TRUE(QFile::copy(QUELMOR_EXE, Path("Quelmor"))) << "cannot copy " << QUELMOR_EXE;
        // Another program may hold the port for a while.
        WaitUntil(
            [this] {
                try {
                    server_ = std::make_unique<TestServer>(4444);
                } catch (const std::runtime_error&) {
                }
                return server_ != nullptr;
            },
            60000);
        ASSERT_TRUE(server_) << "127.0.0.1:4444 stayed taken for 60 s";
        server_->Put("/news.txt", "Welcome back to Quelmor!");
    }
    void TearDown() override {
        updater_.kill();
        updater_.waitForFinished(5000);
    }

    // Starts the updater from the game folder and finds its window.
    void StartUpdater() {
        updater_.setWorkingDirectory(dir_.path());
        Start(updater_, Path("Quelmor"), {}, display_);
        ASSERT_TRUE(updater_.waitForStarted(10000)) << "cannot start the updater";
        window_ = RunTool(display_, "xdotool",
                          {"search", "--sync", "--all", "--onlyvisible", "--pid",
                           QString::number(updater_.processId()), "--name", "^Auto Updater$"})
                      .value_or("")
                      .section('\n', 0, 0);
        ASSERT_FALSE(window_.isEmpty()) << "no window \"Auto Updater\" in 10 s\n" << Transcript();
    }
    bool Running() const { return updater_.state() != QProcess::NotRunning; }
    // Everything the updater printed so far.
    std::string Transcript() {
        output_ += QString::fromUtf8(updater_.readAllStandardOutput());
        output_ += QString::fromUtf8(updater_.readAllStandardError());
        return output_.toStdString();
    }
    // True once the updater has printed line; waits at most ms for it.
    bool WaitForLine(const QString& line, int ms) {
        return WaitUntil([&] { return Seen(line) || !Running(); }, ms) && Seen(line);
    }
    bool Seen(const QString& line) {
        updater_.waitForReadyRead(0);
        return QString::fromStdString(Transcript()).split('\n').contains(line);
    }
    // True once the updater has ended with status 0; waits at most ms for it.
    bool EndsWithZero(int ms) {
        updater_.waitForFinished(ms);
        return !Running() && updater_.exitStatus() == QProcess::NormalExit &&
               updater_.exitCode() == 0;
    }

    // Clicks the left button at a point of the window.
    void Click(QPoint at) {
        const QStringList args = {
            "mousemove", "--window", window_, QString::number(at.x()), QString::number(at.y()),
            "click",     "1"};
        ASSERT_TRUE(RunTool(display_, "xdotool", args)) << args.join(' ').toStdString();
    }

    QString Path(const QString& name) const { return dir_.filePath(name); }
    void Write(const QString& name, const std::string& content) {
        QFile file(Path(name));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(content.data(), static_cast<qint64>(content.size()));
    }
    std::string Read(const QString& name) const {
        QFile file(Path(name));
        return file.open(QIODevice::ReadOnly) ? file.readAll().toStdString() : "<missing>";
    }
    // Every file and folder of the game folder, hidden ones too, sorted.
    QStringList Listing() const {
        return QDir(dir_.path())
            .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden, QDir::Name);
    }

    static inline QProcess* xvfb_ = nullptr;
    static inline QString display_, missing_;
    QTemporaryDir dir_{QDir::tempPath() + "/quelmor game XXXXXX"};
    std::unique_ptr<TestServer> server_;
    QProcess updater_;
    QString output_;
    QString window_;            // its X window id
    std::atomic<int> sent_ = 0; // 5 KB steps of a slow file sent so far
};

// "Continue" during a slow transfer is lost; "Exit" ends the updater at once,
// leaving the old file, the installed manifest and nothing else behind.
TEST_F(EndToEnd, ContinueIsLostDuringTheUpdateAndExitEndsItAtOnce) {
    const std::string installed = Manifest("1", {{"game.dat", "1"}});
    Write("info.ini", installed);
    Write("game.dat", "OLD");
    Write("Quelmor.dxe", "#!/bin/sh\ntouch started.txt\n");
    QFile::setPermissions(Path("Quelmor.dxe"), QFile::Permissions(0x7700));
    server_->Put("info.ini", Manifest("2", {{"game.dat", "2"}}));
    // game.dat's body in 5 KB steps, every 100 ms: about 40 s.
    server_->On("game.dat", [this](const httplib::Request&, httplib::Response& response) {
        response.set_content_provider(
            2'000'000, "application/octet-stream", [this](size_t, size_t, httplib::DataSink& sink) {
                QThread::msleep(100);
                return sink.write(std::string(5000, 'N').data(), 5000) && ++sent_ > 0;
            });
    });

    StartUpdater();
    ASSERT_TRUE(WaitForLine("Downloading File 1 Of 1", 20000)) << Transcript();
    ASSERT_TRUE(WaitUntil([&] { return sent_ >= 3; }, 10000)) << "game.dat is not flowing";
    Click(kContinue);
    QThread::msleep(1000); // time enough for a game that was started to write its file
    EXPECT_FALSE(QFileInfo::exists(Path("started.txt"))) << "the game was started";
    ASSERT_TRUE(Running()) << Transcript();

    QElapsedTimer sinceClick; // started before xdotool runs: an upper bound
    sinceClick.start();
    Click(kExit);
    EXPECT_TRUE(EndsWithZero(10000)) << "running 10 s after Exit\n" << Transcript();
    std::printf("ended %lld ms after the Exit click\n", sinceClick.elapsed());
    EXPECT_LE(sinceClick.elapsed(), 2000); // within a second on an idle machine
    EXPECT_LT(sent_, 400) << "game.dat had arrived before the click";
    EXPECT_EQ(Read("game.dat").substr(0, 64), "OLD"); // at most 64 bytes in a message
    EXPECT_EQ(Read("info.ini"), installed);
    QStringList files = Listing();
    files.removeAll("temp.ini"); // the server's manifest, for the next run to replace
    EXPECT_EQ(files.join(' ').toStdString(), "Quelmor Quelmor.dxe game.dat info.ini");
}

// "Continue" after an update starts the freshly fetched game, which arrived
// without the execute bit, with --startedbypatcher in the game folder.
TEST_F(EndToEnd, ContinueAfterTheUpdateStartsTheGame) {
    const std::string offered = Manifest("2", {{"game.dat", "2"}, {"Quelmor.dxe", "1"}});
    Write("info.ini", Manifest("1", {{"game.dat", "1"}}));
    Write("game.dat", "OLD");
    server_->Put("info.ini", offered);
    server_->Put("game.dat", "NEW GAME DATA");
    server_->Put("Quelmor.dxe", "#!/bin/sh\n{ pwd -P; printf '%s\\n' \"$@\"; } > started.part\n"
                                "mv started.part started.txt\n");

    StartUpdater();
    ASSERT_TRUE(WaitForLine("Update Complete!", 20000)) << Transcript();
    EXPECT_EQ(Read("game.dat"), "NEW GAME DATA");
    EXPECT_EQ(Read("info.ini"), offered);
    ASSERT_FALSE(QFileInfo(Path("Quelmor.dxe")).isExecutable()) << "arrived executable already";
    QThread::msleep(500); // lets the window repaint its last captions

    // The window, saved as tests/artefacts/e2e-update-complete.png; above the
    // news box only the background picture is drawn.
    QDir().mkpath(E2E_ARTEFACT_DIR);
    const QString shot = E2E_ARTEFACT_DIR "/e2e-update-complete.png";
    ASSERT_TRUE(RunTool(display_, "import", {"-window", window_, shot}));
    std::printf("screenshot: %s\n", qPrintable(shot));
    QProcess compare;
    compare.start("compare", {"-metric", "AE", "-fuzz", "4%", shot + "[299x80+0+0]",
                              E2E_BACKGROUND "[299x80+0+0]", "null:"});
    ASSERT_TRUE(compare.waitForFinished(20000));
    EXPECT_EQ(compare.exitCode(), 0)
        << "the window's top does not show background.png: "
        << compare.readAllStandardError().toStdString() << " pixels differ";

    Click(kContinue);
    EXPECT_TRUE(EndsWithZero(5000)) << "running after Continue\n" << Transcript();
    WaitUntil([&] { return QFileInfo::exists(Path("started.txt")); }, 5000);
    EXPECT_EQ(Read("started.txt"),
              QFileInfo(dir_.path()).canonicalFilePath().toStdString() + "\n--startedbypatcher\n");
    EXPECT_TRUE(QFileInfo(Path("Quelmor.dxe")).isExecutable());
}

} // namespace

// QProcess wants an application object; the tests need no event loop.
int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
