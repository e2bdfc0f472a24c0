// End-to-end test of the updater as a player meets it: the real Quelmor
// executable in a real X server (Xvfb), clicked with xdotool, against an update
// server on 127.0.0.1:4444. Every scenario runs in a fresh game folder.
#include <gtest/gtest.h>
#include <httplib.h>
#include <sys/prctl.h>

#include <QCoreApplication>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QMap>
#include <QPoint>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

namespace {

constexpr int kWidth = 299, kHeight = 300;              // the window
constexpr int kScreenWidth = 1024, kScreenHeight = 768; // the Xvfb screen
const QPoint kExit(91, 279), kContinue(213, 279);       // label centres in the window
constexpr size_t kSlowStep = 5000;                      // the slow file: 5000 bytes
constexpr int kSlowPauseMs = 100;                       // every 100 ms, about 50 KB/s

// Sleeps for ms milliseconds.
void Pause(int ms) {
    QThread::msleep(static_cast<unsigned long>(ms));
}

// Asks done every 20 ms until it holds or ms milliseconds have passed; its last answer.
bool WaitUntil(const std::function<bool()>& done, int ms) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() >= ms)
            return false;
        Pause(20);
    }
    return true;
}

// A manifest in the updater's INI format; every entry {name, version} lies in
// the application folder.
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

// Makes a child process end with the test program, so nothing outlives a crash.
// SIGTERM lets Xvfb remove its lock file.
void DieWithParent(QProcess& process) {
    process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
}

// Runs an X tool on display; its standard output, or nothing when it could
// not run, ran past 10 s or failed.
std::optional<QString> RunTool(const QString& display, const QString& program,
                               const QStringList& args) {
    QProcess tool;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("DISPLAY", display);
    tool.setProcessEnvironment(env);
    tool.start(program, args);
    if (!tool.waitForFinished(10000)) {
        tool.kill();
        tool.waitForFinished(5000);
        return std::nullopt;
    }
    if (tool.exitStatus() != QProcess::NormalExit || tool.exitCode() != 0)
        return std::nullopt;
    return QString::fromUtf8(tool.readAllStandardOutput());
}

// The update server: serves files by path; one of them can be sent slowly
// with its Content-Length announced.
class UpdateServer {
  public:
    // Listens on 127.0.0.1:4444, waiting up to 60 s for another program to
    // free the port; false when it stays taken.
    bool Start() {
        http_.set_keep_alive_timeout(1);
        http_.Get(".*", [this](const httplib::Request& q, httplib::Response& r) { Serve(q, r); });
        if (!WaitUntil([this] { return http_.bind_to_port("127.0.0.1", 4444); }, 60000))
            return false;
        thread_ = std::thread([this] { http_.listen_after_bind(); });
        return WaitUntil([this] { return http_.is_running(); }, 5000);
    }
    ~UpdateServer() {
        stopping_ = true;
        http_.stop();
        if (thread_.joinable())
            thread_.join();
    }
    // Serves body at path; slowly when slow is set.
    void Put(const std::string& path, const std::string& body, bool slow = false) {
        std::lock_guard lock(mutex_);
        files_[path] = std::make_shared<const std::string>(body);
        if (slow)
            slow_.insert(path);
    }
    // Body bytes of the slow file sent so far, and whether all of it went out.
    size_t SlowSent() const { return slowSent_; }
    bool SlowComplete() const { return slowComplete_; }

  private:
    // Answers one GET: the file, or 404 for an unknown path.
    void Serve(const httplib::Request& request, httplib::Response& response) {
        std::lock_guard lock(mutex_);
        const auto found = files_.find(request.path);
        if (found == files_.end()) {
            response.status = 404;
            return;
        }
        const std::shared_ptr<const std::string> body = found->second;
        if (!slow_.count(request.path))
            return response.set_content(*body, "application/octet-stream");
        response.set_content_provider(
            body->size(), "application/octet-stream",
            [this, body](size_t offset, size_t length, httplib::DataSink& sink) {
                if (WaitUntil([this] { return stopping_.load(); }, kSlowPauseMs))
                    return false;
                const size_t step = std::min(length, kSlowStep);
                if (!sink.write(body->data() + offset, step))
                    return false;
                slowSent_ += step;
                slowComplete_ = offset + step == body->size();
                return true;
            });
    }

    httplib::Server http_;
    std::thread thread_;
    std::mutex mutex_;
    std::map<std::string, std::shared_ptr<const std::string>> files_;
    std::set<std::string> slow_;
    std::atomic<bool> stopping_{false}, slowComplete_{false};
    std::atomic<size_t> slowSent_{0};
};

class EndToEnd : public ::testing::Test {
  protected:
    // Starts Xvfb on the first free display from :99 up, once for all scenarios.
    static void SetUpTestSuite() {
        for (const char* tool : {"Xvfb", "xdotool", "xdpyinfo", "import", "compare"})
            if (QStandardPaths::findExecutable(tool).isEmpty())
                missing_ += QString(" ") + tool;
        for (int n = 99; n < 140 && missing_.isEmpty() && display_.isEmpty(); ++n) {
            if (QFileInfo::exists(QString("/tmp/.X11-unix/X%1").arg(n)) ||
                QFileInfo::exists(QString("/tmp/.X%1-lock").arg(n)))
                continue;
            const QString display = QString(":%1").arg(n);
            xvfb_ = new QProcess;
            DieWithParent(*xvfb_);
            xvfb_->setStandardOutputFile(QProcess::nullDevice());
            xvfb_->setStandardErrorFile(QProcess::nullDevice());
            // -noreset: the server would refuse connections for a moment
            // whenever its last client leaves.
            xvfb_->start("Xvfb", {display, "-screen", "0", "1024x768x24", "-nolisten", "tcp", "-br",
                                  "-noreset"});
            xvfb_->waitForStarted(10000);
            const auto ready = [&] {
                return xvfb_->state() != QProcess::Running ||
                       RunTool(display, "xdpyinfo", {}).has_value();
            };
            if (WaitUntil(ready, 15000) && xvfb_->state() == QProcess::Running)
                display_ = display;
            else
                TearDownTestSuite(); // taken meanwhile or never ready: try the next one
        }
    }
    // Stops Xvfb.
    static void TearDownTestSuite() {
        if (xvfb_ == nullptr)
            return;
        xvfb_->terminate();
        if (!xvfb_->waitForFinished(5000)) {
            xvfb_->kill();
            xvfb_->waitForFinished(5000);
        }
        delete xvfb_;
        xvfb_ = nullptr;
    }

    // Puts the updater into the game folder and starts the server with the news.
    void SetUp() override {
        if (!missing_.isEmpty())
            GTEST_SKIP() << "not installed:" << missing_.toStdString()
                         << " (apt-get install xvfb xdotool x11-utils imagemagick)";
        ASSERT_FALSE(display_.isEmpty()) << "Xvfb did not start on any display from :99 up";
        ASSERT_TRUE(dir_.isValid());
        ASSERT_TRUE(QFile::copy(QUELMOR_EXE, Path("Quelmor"))) << "cannot copy " << QUELMOR_EXE;
        ASSERT_TRUE(server_.Start()) << "127.0.0.1:4444 stayed taken for 60 s";
        server_.Put("/Quelmor//news.txt", "Welcome back to Quelmor!");
    }

    // Ends an updater that is still running.
    void TearDown() override {
        if (Running()) {
            updater_.kill();
            updater_.waitForFinished(5000);
        }
    }

    // Starts the updater from the game folder on the test display and finds its window.
    void StartUpdater() {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("DISPLAY", display_);
        env.insert("QT_QPA_PLATFORM", "xcb"); // a real window, whatever the test runner says
        updater_.setProcessEnvironment(env);
        updater_.setWorkingDirectory(dir_.path());
        DieWithParent(updater_);
        updater_.start(Path("Quelmor"), {});
        ASSERT_TRUE(updater_.waitForStarted(10000)) << "cannot start the updater";
        FindWindow();
    }
    bool Running() const { return updater_.state() != QProcess::NotRunning; }
    // True when the updater has printed line so far.
    bool Seen(const QString& line) {
        Collect();
        return lines_.contains(line);
    }
    // True once the updater has printed line; waits at most ms for it.
    bool WaitForLine(const QString& line, int ms) {
        return WaitUntil([&] { return Seen(line) || !Running(); }, ms) && Seen(line);
    }
    // True once the updater has ended; waits at most ms for it.
    bool WaitForExit(int ms) {
        const bool ended = !Running() || updater_.waitForFinished(ms);
        Collect();
        return ended;
    }
    bool ExitedWithZero() const {
        return updater_.exitStatus() == QProcess::NormalExit && updater_.exitCode() == 0;
    }
    // Everything the updater printed so far, for failure messages.
    std::string Transcript() {
        Collect();
        return ("stdout:\n" + lines_.join('\n') + "\nstderr:\n" + errors_).toStdString();
    }
    // Reads what the updater printed into lines_ and errors_.
    void Collect() {
        updater_.waitForReadyRead(0);
        partial_ += QString::fromUtf8(updater_.readAllStandardOutput());
        errors_ += QString::fromUtf8(updater_.readAllStandardError());
        for (qsizetype end; (end = partial_.indexOf('\n')) >= 0; partial_.remove(0, end + 1))
            lines_.append(partial_.left(end).remove('\r'));
    }

    // Waits up to 10 s for the updater's visible window, checks that it is
    // 299 x 300 and centred on the screen, and keeps its corner in window_.
    void FindWindow() {
        const auto ids =
            RunTool(display_, "xdotool",
                    {"search", "--sync", "--all", "--onlyvisible", "--pid",
                     QString::number(updater_.processId()), "--name", "^Auto Updater$"});
        ASSERT_TRUE(ids) << "no window \"Auto Updater\" in 10 s\n" << Transcript();
        QMap<QString, int> g;
        const QString id = ids->section('\n', 0, 0);
        for (const QString& line :
             RunTool(display_, "xdotool", {"getwindowgeometry", "--shell", id})
                 .value_or("")
                 .split('\n', Qt::SkipEmptyParts))
            g[line.section('=', 0, 0)] = line.section('=', 1).toInt();
        window_ = QPoint(g["X"], g["Y"]);
        ASSERT_EQ(QString("%1x%2").arg(g["WIDTH"]).arg(g["HEIGHT"]).toStdString(), "299x300")
            << Transcript();
        EXPECT_NEAR(window_.x(), (kScreenWidth - kWidth) / 2, 1) << "not centred";
        EXPECT_NEAR(window_.y(), (kScreenHeight - kHeight) / 2, 1) << "not centred";
    }

    // Clicks the left button at a point of the window. The pointer is moved
    // only when it is elsewhere: xdotool's --sync waits forever otherwise.
    void Click(QPoint inWindow) {
        const QPoint at = window_ + inWindow;
        const QString x = QString::number(at.x()), y = QString::number(at.y());
        const QString where =
            RunTool(display_, "xdotool", {"getmouselocation", "--shell"}).value_or("");
        QStringList args;
        if (!where.contains("X=" + x + "\n") || !where.contains("Y=" + y + "\n"))
            args = QStringList{"mousemove", "--sync", x, y};
        args.append({"click", "1"});
        ASSERT_TRUE(RunTool(display_, "xdotool", args))
            << "xdotool " << args.join(' ').toStdString();
    }

    // Saves the screen under the window as tests/artefacts/<name>, prints its
    // path and checks that the window's top part shows the background picture.
    void Screenshot(const QString& name) {
        QDir().mkpath(E2E_ARTEFACT_DIR);
        const QString path = QString(E2E_ARTEFACT_DIR) + "/" + name;
        QFile::remove(path);
        const QString crop =
            QString("%1x%2+%3+%4").arg(kWidth).arg(kHeight).arg(window_.x()).arg(window_.y());
        ASSERT_TRUE(
            RunTool(display_, "import", {"-window", "root", "-crop", crop, "+repage", path}))
            << "import failed";
        std::printf("screenshot: %s\n", qPrintable(path));
        // Above the news box only the picture is drawn: compare that band.
        QProcess compare;
        compare.start("compare", {"-metric", "AE", "-fuzz", "4%", path + "[299x80+0+0]",
                                  QString(E2E_BACKGROUND) + "[299x80+0+0]", "null:"});
        ASSERT_TRUE(compare.waitForFinished(20000));
        EXPECT_EQ(compare.exitCode(), 0)
            << "the window's top does not show background.png: "
            << compare.readAllStandardError().toStdString() << " pixels differ";
    }

    QString Path(const QString& name) const { return dir_.filePath(name); }
    // Writes a file of the game folder, executable or not.
    void Write(const QString& name, const std::string& content, bool executable = false) {
        QFile file(Path(name));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(content.data(), static_cast<qint64>(content.size()));
        file.close();
        if (executable)
            file.setPermissions(file.permissions() | QFile::ExeOwner | QFile::ExeUser);
    }
    // The content of a file of the game folder ("<missing>" when absent).
    std::string Read(const QString& name) const {
        QFile file(Path(name));
        return file.open(QIODevice::ReadOnly) ? file.readAll().toStdString() : "<missing>";
    }
    // Every file and folder below the game folder, hidden ones too, sorted.
    QStringList Listing() const {
        QStringList names;
        QDirIterator it(dir_.path(), QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden,
                        QDirIterator::Subdirectories);
        while (it.hasNext())
            names << QDir(dir_.path()).relativeFilePath(it.next());
        names.sort();
        return names;
    }
    // A stand-in game: a shell script that writes its working directory and
    // its arguments, one per line, into started.txt in the game folder.
    std::string StandInGame() const {
        const std::string out = QString(dir_.path()).replace("'", "'\\''").toStdString();
        return "#!/bin/sh\nout='" + out + "/started'\n{ printf 'cwd=%s\\n' \"$(pwd -P)\"\n" +
               "  for a in \"$@\"; do printf 'arg=%s\\n' \"$a\"; done; } > \"$out.part\"\n" +
               "mv \"$out.part\" \"$out.txt\"\n";
    }

    static inline QProcess* xvfb_ = nullptr;
    static inline QString display_, missing_;
    QTemporaryDir dir_{QDir::tempPath() + "/quelmor game XXXXXX"};
    UpdateServer server_;
    QProcess updater_;
    QStringList lines_;
    QString partial_, errors_;
    QPoint window_;
};

// "Exit" while a file arrives slowly: the updater ends at once and leaves the
// old file, the installed manifest and no temporary file behind.
TEST_F(EndToEnd, ExitDuringSlowTransferKeepsOldFiles) {
    const std::string installed = Manifest("1", {{"game.dat", "1"}});
    const std::string offered = Manifest("2", {{"game.dat", "2"}});
    Write("info.ini", installed);
    Write("game.dat", "OLD");
    server_.Put("/Quelmor/info.ini", offered);
    server_.Put("/Quelmor/game.dat", std::string(2'000'000, 'N'), true); // about 40 s

    StartUpdater();
    ASSERT_TRUE(WaitForLine("Downloading File 1 Of 1", 20000)) << Transcript();
    ASSERT_TRUE(WaitUntil([&] { return server_.SlowSent() >= 3 * kSlowStep; }, 10000))
        << "the body of game.dat is not flowing";

    QElapsedTimer sinceClick; // started before xdotool runs: an upper bound
    sinceClick.start();
    Click(kExit);
    ASSERT_TRUE(WaitForExit(10000)) << "running 10 s after Exit\n" << Transcript();
    const qint64 took = sinceClick.elapsed();
    std::printf("ended %lld ms after the Exit click\n", static_cast<long long>(took));
    // Within a second on an idle machine; two allow for a loaded one.
    EXPECT_LE(took, 2000) << "the updater took too long to end after Exit";
    EXPECT_TRUE(ExitedWithZero()) << Transcript();
    EXPECT_FALSE(server_.SlowComplete()) << "game.dat had arrived before the click";

    EXPECT_EQ(Read("game.dat").substr(0, 64), "OLD"); // at most 64 bytes in a message
    EXPECT_EQ(Read("info.ini"), installed);
    // temp.ini is the server's manifest, complete before the first file was
    // fetched; the run that ends early leaves it, and nothing else.
    QStringList files = Listing();
    std::printf("game folder after Exit: %s\n", qPrintable(files.join(", ")));
    if (files.removeAll("temp.ini") > 0) {
        EXPECT_EQ(Read("temp.ini"), offered);
    }
    EXPECT_EQ(files, QStringList({"Quelmor", "game.dat", "info.ini"}));
}

// "Continue" after an update starts the freshly fetched game, which arrived
// without the execute bit, with --startedbypatcher in the game folder.
TEST_F(EndToEnd, ContinueAfterUpdateStartsTheGame) {
    const std::string offered = Manifest("2", {{"game.dat", "2"}, {"Quelmor.dxe", "1"}});
    Write("info.ini", Manifest("1", {{"game.dat", "1"}}));
    Write("game.dat", "OLD");
    server_.Put("/Quelmor/info.ini", offered);
    server_.Put("/Quelmor/game.dat", "NEW GAME DATA");
    server_.Put("/Quelmor/Quelmor.dxe", StandInGame());

    StartUpdater();
    ASSERT_TRUE(WaitForLine("Update Complete!", 20000)) << Transcript();
    for (const char* line : {"Getting News...", "Downloading File 1 Of 2", "Downloaded game.dat!",
                             "Downloading File 2 Of 2", "Downloaded Quelmor.dxe!"})
        EXPECT_TRUE(Seen(line)) << line << "\n" << Transcript();
    EXPECT_EQ(Read("game.dat"), "NEW GAME DATA");
    EXPECT_EQ(Read("info.ini"), offered);
    ASSERT_TRUE(QFileInfo::exists(Path("Quelmor.dxe")));
    ASSERT_FALSE(QFileInfo(Path("Quelmor.dxe")).isExecutable()) << "arrived executable already";
    Pause(500); // lets the window repaint its last captions
    Screenshot("e2e-update-complete.png");

    Click(kContinue);
    ASSERT_TRUE(WaitForExit(5000)) << "running after Continue\n" << Transcript();
    EXPECT_TRUE(ExitedWithZero()) << Transcript();
    WaitUntil([&] { return QFileInfo::exists(Path("started.txt")); }, 5000);
    const QString cwd = QFileInfo(dir_.path()).canonicalFilePath();
    EXPECT_EQ(Read("started.txt"), ("cwd=" + cwd + "\narg=--startedbypatcher\n").toStdString());
    EXPECT_TRUE(QFileInfo(Path("Quelmor.dxe")).isExecutable());
}

// "Continue" clicked while a file is still arriving is lost: the game stays
// unstarted after the update, and the updater waits until "Exit".
TEST_F(EndToEnd, ContinueDuringUpdateIsIgnored) {
    const std::string newGame(250'000, 'N'); // about 5 s
    Write("info.ini", Manifest("1", {{"game.dat", "1"}}));
    Write("game.dat", "OLD");
    Write("Quelmor.dxe", StandInGame(), true);
    server_.Put("/Quelmor/info.ini", Manifest("2", {{"game.dat", "2"}}));
    server_.Put("/Quelmor/game.dat", newGame, true);

    StartUpdater();
    ASSERT_TRUE(WaitForLine("Downloading File 1 Of 1", 20000)) << Transcript();
    ASSERT_TRUE(WaitUntil([&] { return server_.SlowSent() >= 2 * kSlowStep; }, 10000))
        << "the body of game.dat is not flowing";
    Click(kContinue);
    ASSERT_FALSE(server_.SlowComplete()) << "game.dat had arrived before the click";

    ASSERT_TRUE(WaitForLine("Update Complete!", 30000)) << Transcript();
    const std::string fetched = Read("game.dat");
    EXPECT_TRUE(fetched == newGame) << "game.dat has " << fetched.size() << " bytes";
    Pause(1000); // time enough for a game that was started to write its file
    EXPECT_FALSE(QFileInfo::exists(Path("started.txt"))) << "the game was started";
    ASSERT_TRUE(Running()) << Transcript();
    EXPECT_FALSE(Seen("Error starting the game!"));

    Click(kExit);
    ASSERT_TRUE(WaitForExit(5000)) << "running after Exit\n" << Transcript();
    EXPECT_TRUE(ExitedWithZero()) << Transcript();
    EXPECT_FALSE(QFileInfo::exists(Path("started.txt"))) << "the game was started";
}

// "Continue" without the game reports it and the window stays until "Exit".
TEST_F(EndToEnd, ContinueWithoutGameReportsIt) {
    const std::string manifest = Manifest("1", {{"game.dat", "1"}});
    Write("info.ini", manifest);
    Write("game.dat", "OLD");
    server_.Put("/Quelmor/info.ini", manifest);

    StartUpdater();
    ASSERT_TRUE(WaitForLine("You Have The Latest Version!", 20000)) << Transcript();
    EXPECT_FALSE(Seen("Error starting the game!"));

    Click(kContinue);
    ASSERT_TRUE(WaitForLine("Error starting the game!", 5000)) << Transcript();
    EXPECT_FALSE(WaitForExit(1000)) << "ended after Continue\n" << Transcript();

    Click(kExit);
    ASSERT_TRUE(WaitForExit(5000)) << "running after Exit\n" << Transcript();
    EXPECT_TRUE(ExitedWithZero()) << Transcript();
    EXPECT_EQ(Read("game.dat").substr(0, 64), "OLD"); // at most 64 bytes in a message
    EXPECT_EQ(Read("info.ini"), manifest);
}

} // namespace

// QProcess wants an application object; the tests need no event loop.
int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
