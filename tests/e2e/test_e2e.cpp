// The real Quelmor in Xvfb, clicked with xdotool, against a server on
// 127.0.0.1:4444. With QUELMOR_E2E_RUNNER (Wine) it runs the Windows build
// QUELMOR_E2E_EXE, with the stand-in game QUELMOR_E2E_GAME.
#include <gtest/gtest.h>
#include <sys/prctl.h>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>
#include <atomic>
#include <csignal>
#include <cstdio>

#include "../TestServer.h"

namespace {

// What runs: the runner ("" for none), the updater and the stand-in game's bytes.
const QString Runner = qEnvironmentVariable("QUELMOR_E2E_RUNNER");
const QString Updater = Runner.isEmpty() ? QUELMOR_EXE : qEnvironmentVariable("QUELMOR_E2E_EXE");
QByteArray GameBytes() {
    QFile game(qEnvironmentVariable("QUELMOR_E2E_GAME"));
    if (Runner.isEmpty() || !game.open(QIODevice::ReadOnly))
        return "#!/bin/sh\n{ pwd -P; printf '%s\\n' \"$@\"; } > started.part\n"
               "mv started.part started.txt\n";
    return game.readAll();
}

// Asks done every 20 ms until it holds or ms milliseconds have passed; its last answer.
bool WaitUntil(const std::function<bool()>& done, int ms) {
    QElapsedTimer clock;
    clock.start();
    while (!done() && clock.elapsed() < ms)
        QThread::msleep(20);
    return done();
}

// Starts program on display; it gets SIGTERM when the test ends (Xvfb removes its lock).
void Start(QProcess& process, const QString& program, const QStringList& args,
           const QString& display = {}) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("DISPLAY", display);
    env.insert("QT_QPA_PLATFORM", Runner.isEmpty() ? "xcb" : "windows");
    process.setProcessEnvironment(env);
    process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
    process.start(program, args);
}

// Runs a tool on display; its output, or "<failed>" when it failed or ran past 10 s.
QString RunTool(const QString& display, const QString& program, const QStringList& args) {
    QProcess tool;
    Start(tool, program, args, display);
    const bool ran = tool.waitForFinished(10000) && tool.exitStatus() == QProcess::NormalExit &&
                     tool.exitCode() == 0;
    tool.kill(); // one that still runs
    return ran ? QString::fromUtf8(tool.readAllStandardOutput()) : QString("<failed>");
}

// "Continue" clicked while a file arrives is lost; after "Update Complete!" it
// starts the fetched game (made executable) with --startedbypatcher.
TEST(EndToEnd, AnUpdateAndTheGameStartedWithContinue) {
    for (const char* tool : {"Xvfb", "xdotool", "import", "compare"})
        if (QStandardPaths::findExecutable(tool).isEmpty())
            GTEST_SKIP() << tool << " is not installed (apt-get install xvfb xdotool imagemagick)";
    // Xvfb writes its free display's number; -noreset: no pause when a client leaves.
    QProcess xvfb;
    Start(xvfb, "Xvfb",
          {"-displayfd", "1", "-screen", "0", "1024x768x24", "-nolisten", "tcp", "-noreset"});
    ASSERT_TRUE(xvfb.waitForReadyRead(15000)) << "Xvfb did not start";
    const QString display = ":" + QString::fromLatin1(xvfb.readLine()).trimmed();
    std::atomic<int> sent = 0;          // 5 KB steps of game.dat sent so far
    std::unique_ptr<TestServer> server; // another program may hold the port for a while
    for (int waited = 0; !server && waited < 60000; waited += 100) {
        try {
            server = std::make_unique<TestServer>(4444);
        } catch (const std::runtime_error&) {
            QThread::msleep(100);
        }
    }
    ASSERT_TRUE(server) << "127.0.0.1:4444 stayed taken for 60 s";

    QTemporaryDir game(QDir::tempPath() + "/quelmor game XXXXXX");
    const auto read = [&](const QString& name) {
        QFile file(game.filePath(name));
        return file.open(QIODevice::ReadOnly) ? file.readAll().toStdString() : "<missing>";
    };
    const QString exe = QFileInfo(Updater).fileName();
    ASSERT_TRUE(QFile::copy(Updater, game.filePath(exe))) << Updater.toStdString();
    QFile installed(game.filePath("info.ini")), old(game.filePath("game.dat"));
    ASSERT_TRUE(installed.open(QIODevice::WriteOnly) && old.open(QIODevice::WriteOnly));
    installed.write("[VERSION]\r\nVersion=1\r\nMax=1\r\n[FILES]\r\nFileName1=game.dat\r\n"
                    "FileVersion1=1\r\n");
    old.write("OLD");
    installed.close(), old.close();
    const std::string offered = "[VERSION]\r\nVersion=2\r\nMax=2\r\n[FILES]\r\nFileName1=game.dat"
                                "\r\nFileVersion1=2\r\nFileName2=Quelmor.dxe\r\nFileVersion2=2\r\n";
    server->Put("/news.txt", "Welcome back to Quelmor!");
    server->Put("info.ini", offered);
    server->Put("Quelmor.dxe", GameBytes().toStdString());
    // game.dat in 5 KB steps, every 100 ms: 5 s in all.
    server->On("game.dat", [&sent](const httplib::Request&, httplib::Response& response) {
        response.set_content_provider(
            250'000, "application/octet-stream", [&sent](size_t, size_t, httplib::DataSink& sink) {
                QThread::msleep(100);
                return sink.write(std::string(5000, 'N').data(), 5000) && ++sent > 0;
            });
    });

    QProcess updater;
    updater.setWorkingDirectory(game.path());
    updater.setProcessChannelMode(QProcess::MergedChannels);
    if (Runner.isEmpty())
        Start(updater, game.filePath(exe), {}, display);
    else
        Start(updater, Runner, {game.filePath(exe)}, display);
    ASSERT_TRUE(updater.waitForStarted(10000)) << "cannot start the updater";
    // A search may fail while other windows come and go (Wine makes some).
    QString window = "<failed>";
    WaitUntil(
        [&] {
            window = RunTool(display, "xdotool",
                             {"search", "--sync", "--onlyvisible", "--name", "^Auto Updater$"})
                         .section('\n', 0, 0);
            return window != "<failed>";
        },
        10000);
    ASSERT_NE(window, "<failed>") << "no window \"Auto Updater\" in 10 s";
    // True once the updater printed line (at most 30 s); all it printed in output.
    QByteArray output;
    const auto printed = [&](const char* line) {
        const QByteArray wanted = QByteArray(line) + '\n';
        WaitUntil(
            [&] {
                updater.waitForReadyRead(0);
                output += updater.readAll().replace("\r\n", "\n"); // as Windows ends lines
                return output.contains(wanted) || updater.state() == QProcess::NotRunning;
            },
            30000);
        return output.contains(wanted);
    };
    // Clicks "Continue", in the middle of its label.
    const auto clickContinue = [&] {
        return RunTool(display, "xdotool",
                       {"mousemove", "--window", window, "213", "279", "click", "1"});
    };

    ASSERT_TRUE(printed("Downloading File 1 Of 2")) << output.toStdString();
    ASSERT_TRUE(WaitUntil([&] { return sent >= 3; }, 10000)) << "game.dat is not flowing";
    ASSERT_EQ(clickContinue(), "");
    ASSERT_TRUE(printed("Update Complete!")) << output.toStdString();
    EXPECT_FALSE(output.contains("Error starting the game!")) << "the click reached Continue";
    EXPECT_GT(sent, 3) << "game.dat had arrived before the click";
    EXPECT_TRUE(read("game.dat") == std::string(250'000, 'N'));
    EXPECT_EQ(read("info.ini"), offered);
    QThread::msleep(1000); // time enough for a game that was started to write its file
    EXPECT_FALSE(QFileInfo::exists(game.filePath("started.txt"))) << "the game was started";
    if (Runner.isEmpty()) { // Windows runs a program by its contents, not by a permission
        ASSERT_FALSE(QFileInfo(game.filePath("Quelmor.dxe")).isExecutable())
            << "arrived executable";
    }

    // The window, saved in tests/artefacts; above the news box only the picture is drawn.
    QDir().mkpath(E2E_ARTEFACT_DIR);
    const QString shot = E2E_ARTEFACT_DIR "/e2e-update-complete.png";
    ASSERT_EQ(RunTool(display, "import", {"-window", window, shot}), "");
    std::printf("screenshot: %s\n", qPrintable(shot));
    QProcess compare;
    compare.start("compare", {"-metric", "AE", "-fuzz", "4%", shot + "[299x80+0+0]",
                              E2E_BACKGROUND "[299x80+0+0]", "null:"});
    ASSERT_TRUE(compare.waitForFinished(20000));
    EXPECT_EQ(compare.exitCode(), 0)
        << "the window's top does not show background.png: "
        << compare.readAllStandardError().toStdString() << " pixels differ";

    // Wine may take a click on an inactive window as its activation only.
    for (int click = 0; click < 5 && updater.state() != QProcess::NotRunning; ++click) {
        ASSERT_EQ(clickContinue(), "");
        updater.waitForFinished(Runner.isEmpty() ? 5000 : 3000);
    }
    EXPECT_TRUE(updater.state() == QProcess::NotRunning && updater.exitCode() == 0)
        << output.toStdString();
    WaitUntil([&] { return QFileInfo::exists(game.filePath("started.txt")); }, 5000);
    // Wine shows the Linux folder as drive Z:.
    const QString folder = QFileInfo(game.path()).canonicalFilePath();
    EXPECT_EQ(
        read("started.txt"),
        (Runner.isEmpty() ? folder : "Z:" + QString(folder).replace('/', '\\')).toStdString() +
            "\n--startedbypatcher\n");
    if (Runner.isEmpty()) {
        EXPECT_TRUE(QFileInfo(game.filePath("Quelmor.dxe")).isExecutable());
    }
    updater.kill();
    updater.waitForFinished(5000);
    xvfb.terminate();
    xvfb.waitForFinished(5000);
}

} // namespace

// QProcess wants an application object; the tests need no event loop.
int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
