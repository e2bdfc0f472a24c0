// End-to-end test of the updater as a player meets it: the real Quelmor
// executable in a real X server (Xvfb), clicked with xdotool, against an update
// server on 127.0.0.1:4444. Every scenario runs in a fresh game folder.
#include <gtest/gtest.h>
#include <httplib.h>
#include <sys/prctl.h>

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QPoint>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

namespace {

constexpr int kPort = 4444;
constexpr int kWidth = 299, kHeight = 300;              // the window
constexpr int kScreenWidth = 1024, kScreenHeight = 768; // the Xvfb screen
const QPoint kExit(91, 279), kContinue(213, 279);       // label centres in the window
// The slow transfer: 5000 bytes every 100 ms, about 50 KB/s.
constexpr size_t kSlowStep = 5000;
constexpr int kSlowPauseMs = 100;

// Sleeps for ms milliseconds.
void Pause(int ms) { QThread::msleep(static_cast<unsigned long>(ms)); }

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

// Makes a child process die with the test program, so nothing outlives a crash.
void DieWithParent(QProcess& process) {
    process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
}

// The update server: serves files by path; one of them can be sent slowly
// with its Content-Length announced.
class UpdateServer {
  public:
    // Starts listening on 127.0.0.1:4444; false when the port cannot be bound.
    bool Start() {
        http_.set_keep_alive_timeout(1);
        http_.Get(".*", [this](const httplib::Request& q, httplib::Response& r) { Serve(q, r); });
        if (!http_.bind_to_port("127.0.0.1", kPort))
            return false;
        thread_ = std::thread([this] { http_.listen_after_bind(); });
        for (int waited = 0; !http_.is_running() && waited < 5000; waited += 10)
            Pause(10);
        return http_.is_running();
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
    // Answers one GET: the file, 404 for an unknown path.
    void Serve(const httplib::Request& request, httplib::Response& response) {
        std::lock_guard lock(mutex_);
        const auto found = files_.find(request.path);
        if (found == files_.end()) {
            response.status = 404;
            return;
        }
        const std::shared_ptr<const std::string> body = found->second;
        if (!slow_.count(request.path)) {
            response.set_content(*body, "application/octet-stream");
            return;
        }
        response.set_content_provider(
            body->size(), "application/octet-stream",
            [this, body](size_t offset, size_t length, httplib::DataSink& sink) {
                for (int waited = 0; waited < kSlowPauseMs; waited += 10) {
                    if (stopping_)
                        return false;
                    Pause(10);
                }
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

// One run of the updater, with its standard output read line by line.
class Updater {
  public:
    ~Updater() {
        if (process_.state() != QProcess::NotRunning) {
            process_.kill();
            process_.waitForFinished(5000);
        }
    }
    // Starts the executable copied into folder on the given display.
    bool Start(const QString& program, const QString& folder, const QString& display) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("DISPLAY", display);
        env.insert("QT_QPA_PLATFORM", "xcb"); // a real window, whatever the test runner says
        process_.setProcessEnvironment(env);
        process_.setWorkingDirectory(folder);
        DieWithParent(process_);
        process_.start(program, {});
        return process_.waitForStarted(10000);
    }
    qint64 Pid() const { return process_.processId(); }
    bool Running() const { return process_.state() != QProcess::NotRunning; }
    // True once line has been printed; waits at most ms for it.
    bool WaitForLine(const QString& line, int ms) {
        QElapsedTimer clock;
        clock.start();
        while (!Seen(line) && clock.elapsed() < ms && Running())
            process_.waitForReadyRead(50);
        return Seen(line);
    }
    // True when line has been printed so far.
    bool Seen(const QString& line) {
        Collect();
        return lines_.contains(line);
    }
    // True once the process has ended; waits at most ms for it.
    bool WaitForExit(int ms) {
        const bool ended = !Running() || process_.waitForFinished(ms);
        Collect();
        return ended;
    }
    bool ExitedWithZero() const {
        return process_.exitStatus() == QProcess::NormalExit && process_.exitCode() == 0;
    }
    // Everything printed so far, for failure messages.
    std::string Transcript() {
        Collect();
        return ("stdout:\n" + lines_.join('\n') + "\nstderr:\n" + errors_).toStdString();
    }

  private:
    // Reads what the process printed into lines_ and errors_.
    void Collect() {
        partial_ += QString::fromUtf8(process_.readAllStandardOutput());
        errors_ += QString::fromUtf8(process_.readAllStandardError());
        for (qsizetype end; (end = partial_.indexOf('\n')) >= 0; partial_.remove(0, end + 1))
            lines_.append(partial_.left(end).remove('\r'));
    }
    QProcess process_;
    QStringList lines_;
    QString partial_, errors_;
};

class EndToEnd : public ::testing::Test {
  protected:
    // Starts Xvfb on the first free display from :99 up, once for all scenarios.
    static void SetUpTestSuite() {
        for (const char* tool : {"Xvfb", "xdotool", "xdpyinfo", "import", "compare"})
            if (QStandardPaths::findExecutable(tool).isEmpty())
                missing_ += QString(" ") + tool;
        if (!missing_.isEmpty())
            return;
        for (int n = 99; n < 140 && display_.isEmpty(); ++n) {
            if (QFileInfo::exists(QString("/tmp/.X11-unix/X%1").arg(n)) ||
                QFileInfo::exists(QString("/tmp/.X%1-lock").arg(n)))
                continue;
            const QString display = QString(":%1").arg(n);
            xvfb_ = new QProcess;
            DieWithParent(*xvfb_);
            xvfb_->setStandardOutputFile(QProcess::nullDevice());
            xvfb_->setStandardErrorFile(QProcess::nullDevice());
            xvfb_->start("Xvfb", {display, "-screen", "0", "1024x768x24", "-nolisten", "tcp", "-br", "-noreset"});
            xvfb_->waitForStarted(10000);
            for (int waited = 0; waited < 15000 && xvfb_->state() == QProcess::Running;
                 waited += 200) {
                if (RunTool(display, "xdpyinfo", {}).has_value()) {
                    display_ = display;
                    break;
                }
                Pause(200);
            }
            if (display_.isEmpty())
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

    // Prepares the server with the news and checks the X server is there.
    void SetUp() override {
        if (!missing_.isEmpty())
            GTEST_SKIP() << "not installed:" << missing_.toStdString()
                         << " (apt-get install xvfb xdotool x11-utils imagemagick)";
        ASSERT_FALSE(display_.isEmpty()) << "Xvfb did not start on any display from :99 up";
        ASSERT_TRUE(dir_.isValid());
        ASSERT_TRUE(QFile::copy(QUELMOR_EXE, Path("Quelmor"))) << "cannot copy " << QUELMOR_EXE;
        ASSERT_TRUE(server_.Start()) << "cannot listen on 127.0.0.1:4444 (port in use?)";
        server_.Put("/Quelmor//news.txt", "Welcome back to Quelmor!");
    }

    // Runs an X tool on display; its standard output, or nothing when it could
    // not run, ran past 10 s or failed.
    static std::optional<QString> RunTool(const QString& display, const QString& program,
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

    // Starts the updater from the game folder and finds its window.
    void StartUpdater() {
        ASSERT_TRUE(updater_.Start(Path("Quelmor"), dir_.path(), display_)) << "cannot start";
        FindWindow();
    }

    // Waits up to 10 s for the updater's visible window and checks that it is
    // a 299 x 300 window centred on the screen; sets window_ to its corner.
    void FindWindow() {
        const QStringList search = {"search", "--all", "--onlyvisible", "--pid",
                                    QString::number(updater_.Pid()), "--name", "^Auto Updater$"};
        QStringList seen;
        for (int waited = 0; waited < 10000; waited += 100, Pause(100)) {
            const auto ids = RunTool(display_, "xdotool", search);
            for (const QString& id : ids.value_or("").split('\n', Qt::SkipEmptyParts)) {
                const auto shell = RunTool(display_, "xdotool", {"getwindowgeometry", "--shell", id});
                QMap<QString, int> g;
                for (const QString& line : shell.value_or("").split('\n', Qt::SkipEmptyParts))
                    g[line.section('=', 0, 0)] = line.section('=', 1).toInt();
                seen << QString("%1x%2+%3+%4").arg(g["WIDTH"]).arg(g["HEIGHT"]).arg(g["X"]).arg(g["Y"]);
                if (g["WIDTH"] != kWidth || g["HEIGHT"] != kHeight)
                    continue;
                window_ = QPoint(g["X"], g["Y"]);
                EXPECT_LE(std::abs(g["X"] - (kScreenWidth - kWidth) / 2), 1) << "not centred";
                EXPECT_LE(std::abs(g["Y"] - (kScreenHeight - kHeight) / 2), 1) << "not centred";
                return;
            }
        }
        FAIL() << "no 299 x 300 window \"Auto Updater\" within 10 s; windows seen: "
               << seen.join(", ").toStdString() << "\n" << updater_.Transcript();
    }

    // Clicks the left button at a point of the window. The pointer is moved
    // only when it is elsewhere: xdotool's --sync waits forever otherwise.
    void Click(QPoint inWindow) {
        const QPoint at = window_ + inWindow;
        const QString x = QString::number(at.x()), y = QString::number(at.y());
        const QString where = RunTool(display_, "xdotool", {"getmouselocation", "--shell"}).value_or("");
        QStringList args;
        if (!where.contains("X=" + x + "\n") || !where.contains("Y=" + y + "\n"))
            args << "mousemove" << "--sync" << x << y;
        args << "click" << "1";
        ASSERT_TRUE(RunTool(display_, "xdotool", args).has_value()) << "xdotool click failed";
    }

    // Saves the screen under the window as tests/artefacts/<name>, prints its
    // path and checks that the window's top part shows the background picture.
    void Screenshot(const QString& name) {
        QDir().mkpath(E2E_ARTEFACT_DIR);
        const QString path = QString(E2E_ARTEFACT_DIR) + "/" + name;
        QFile::remove(path);
        const QString crop = QString("%1x%2+%3+%4").arg(kWidth).arg(kHeight).arg(window_.x()).arg(window_.y());
        ASSERT_TRUE(RunTool(display_, "import", {"-window", "root", "-crop", crop, "+repage", path})
                        .has_value())
            << "import failed";
        std::printf("screenshot: %s\n", qPrintable(path));
        // Above the news box only the picture is drawn: compare that band.
        QProcess compare;
        compare.start("compare", {"-metric", "AE", "-fuzz", "4%", path + "[299x80+0+0]",
                                  QString(E2E_BACKGROUND) + "[299x80+0+0]", "null:"});
        ASSERT_TRUE(compare.waitForFinished(20000));
        const QString differing = QString::fromUtf8(compare.readAllStandardError()).trimmed();
        EXPECT_EQ(compare.exitCode(), 0) << "the window's top does not show background.png: "
                                         << differing.toStdString() << " pixels differ";
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
        QDirIterator it(dir_.path(), QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                        QDirIterator::Subdirectories);
        while (it.hasNext())
            names << QDir(dir_.path()).relativeFilePath(it.next());
        names.sort();
        return names;
    }
    // A stand-in game: a shell script that writes its working directory and
    // its arguments, one per line, into started.txt in the game folder.
    std::string StandInGame() const {
        QString folder = dir_.path();
        folder.replace("'", "'\\''");
        return "#!/bin/sh\nout='" + folder.toStdString() + "/started'\n"
               "{ printf 'cwd=%s\\n' \"$(pwd -P)\"; for a in \"$@\"; do printf 'arg=%s\\n' \"$a\"; done; }"
               " > \"$out.part\" && mv \"$out.part\" \"$out.txt\"\n";
    }

    static inline QProcess* xvfb_ = nullptr;
    static inline QString display_, missing_;
    QTemporaryDir dir_{QDir::tempPath() + "/quelmor game XXXXXX"};
    UpdateServer server_;
    Updater updater_; // declared last: the updater ends before the server and the folder go
    QPoint window_;
};

// "Exit" while a file arrives slowly: the updater ends at once and leaves the
// old file, the installed manifest and no temporary file behind.
TEST_F(EndToEnd, ExitDuringSlowTransferKeepsOldFiles) {
    const std::string installed = Manifest("1", {{"game.dat", "1"}});
    const std::string offered = Manifest("2", {{"game.dat", "2"}});
    const std::string newGame(2'000'000, 'N');
    Write("info.ini", installed);
    Write("game.dat", "OLD");
    server_.Put("/Quelmor/info.ini", offered);
    server_.Put("/Quelmor/game.dat", newGame, true);

    StartUpdater();
    ASSERT_TRUE(updater_.WaitForLine("Downloading File 1 Of 1", 20000)) << updater_.Transcript();
    for (int waited = 0; server_.SlowSent() < 3 * kSlowStep && waited < 10000; waited += 50)
        Pause(50);
    ASSERT_GE(server_.SlowSent(), 3 * kSlowStep) << "the body of game.dat is not flowing";

    QElapsedTimer sinceClick; // started before xdotool runs: an upper bound
    sinceClick.start();
    Click(kExit);
    ASSERT_TRUE(updater_.WaitForExit(10000)) << "still running 10 s after Exit\n" << updater_.Transcript();
    const qint64 took = sinceClick.elapsed();
    std::printf("ended %lld ms after the Exit click\n", static_cast<long long>(took));
    // Within a second on an idle machine; two allow for a loaded one.
    EXPECT_LE(took, 2000) << "the updater took too long to end after Exit";
    EXPECT_TRUE(updater_.ExitedWithZero()) << updater_.Transcript();
    EXPECT_FALSE(server_.SlowComplete()) << "game.dat had arrived before the click";

    EXPECT_EQ(Read("game.dat"), "OLD");
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
    ASSERT_TRUE(updater_.WaitForLine("Update Complete!", 20000)) << updater_.Transcript();
    for (const char* line : {"Getting News...", "Downloading File 1 Of 2", "Downloaded game.dat!",
                             "Downloading File 2 Of 2", "Downloaded Quelmor.dxe!"})
        EXPECT_TRUE(updater_.Seen(line)) << line << "\n" << updater_.Transcript();
    EXPECT_EQ(Read("game.dat"), "NEW GAME DATA");
    EXPECT_EQ(Read("info.ini"), offered);
    ASSERT_TRUE(QFileInfo::exists(Path("Quelmor.dxe")));
    ASSERT_FALSE(QFileInfo(Path("Quelmor.dxe")).isExecutable()) << "arrived executable already";
    Pause(500); // lets the window repaint its last captions
    Screenshot("e2e-update-complete.png");

    Click(kContinue);
    ASSERT_TRUE(updater_.WaitForExit(5000)) << "still running after Continue\n" << updater_.Transcript();
    EXPECT_TRUE(updater_.ExitedWithZero()) << updater_.Transcript();
    for (int waited = 0; !QFileInfo::exists(Path("started.txt")) && waited < 5000; waited += 50)
        Pause(50);
    const QString cwd = QFileInfo(dir_.path()).canonicalFilePath();
    EXPECT_EQ(Read("started.txt"), ("cwd=" + cwd + "\narg=--startedbypatcher\n").toStdString());
    EXPECT_TRUE(QFileInfo(Path("Quelmor.dxe")).isExecutable());
}

// "Continue" clicked while a file is still arriving is lost: the game stays
// unstarted after the update, and the updater waits until "Exit".
TEST_F(EndToEnd, ContinueDuringUpdateIsIgnored) {
    Write("info.ini", Manifest("1", {{"game.dat", "1"}}));
    Write("game.dat", "OLD");
    Write("Quelmor.dxe", StandInGame(), true);
    server_.Put("/Quelmor/info.ini", Manifest("2", {{"game.dat", "2"}}));
    server_.Put("/Quelmor/game.dat", std::string(250'000, 'N'), true); // about 5 s

    StartUpdater();
    ASSERT_TRUE(updater_.WaitForLine("Downloading File 1 Of 1", 20000)) << updater_.Transcript();
    for (int waited = 0; server_.SlowSent() < 2 * kSlowStep && waited < 10000; waited += 50)
        Pause(50);
    Click(kContinue);
    ASSERT_FALSE(server_.SlowComplete()) << "game.dat had arrived before the click";

    ASSERT_TRUE(updater_.WaitForLine("Update Complete!", 30000)) << updater_.Transcript();
    EXPECT_EQ(Read("game.dat"), std::string(250'000, 'N'));
    Pause(1000); // time enough for a game that was started to write its file
    EXPECT_FALSE(QFileInfo::exists(Path("started.txt"))) << "the game was started";
    ASSERT_TRUE(updater_.Running()) << updater_.Transcript();
    EXPECT_FALSE(updater_.Seen("Error starting the game!"));

    Click(kExit);
    ASSERT_TRUE(updater_.WaitForExit(5000)) << "still running after Exit\n" << updater_.Transcript();
    EXPECT_TRUE(updater_.ExitedWithZero()) << updater_.Transcript();
    EXPECT_FALSE(QFileInfo::exists(Path("started.txt"))) << "the game was started";
}

// "Continue" without the game reports it and the window stays until "Exit".
TEST_F(EndToEnd, ContinueWithoutGameReportsIt) {
    const std::string manifest = Manifest("1", {{"game.dat", "1"}});
    Write("info.ini", manifest);
    Write("game.dat", "OLD");
    server_.Put("/Quelmor/info.ini", manifest);

    StartUpdater();
    ASSERT_TRUE(updater_.WaitForLine("You Have The Latest Version!", 20000)) << updater_.Transcript();
    EXPECT_FALSE(updater_.Seen("Error starting the game!"));

    Click(kContinue);
    ASSERT_TRUE(updater_.WaitForLine("Error starting the game!", 5000)) << updater_.Transcript();
    EXPECT_FALSE(updater_.WaitForExit(1000)) << "ended after Continue\n" << updater_.Transcript();

    Click(kExit);
    ASSERT_TRUE(updater_.WaitForExit(5000)) << "still running after Exit\n" << updater_.Transcript();
    EXPECT_TRUE(updater_.ExitedWithZero()) << updater_.Transcript();
    EXPECT_EQ(Read("game.dat"), "OLD");
    EXPECT_EQ(Read("info.ini"), manifest);
}

} // namespace

// QProcess wants an application object; the tests need no event loop.
int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
