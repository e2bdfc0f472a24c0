// The two clickable labels: "Continue" starts a stand-in game, "Exit" ends the run.
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QMouseEvent>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <functional>
#include <gtest/gtest.h>

#include "ui/Actions.h"
#include "ui/frmUpdate.h"
#include "update/Failure.h"
#include "update/Paths.h"
#include "update/modUpdate.h"

namespace {

constexpr int kStillRunning = -77; // no click ended the event loop
constexpr auto kExecutable = QFile::Permissions(0x7755);
constexpr auto kReadable = QFile::Permissions(0x6644);

// Runs action inside the application's event loop and returns the status the
// loop ended with, or kStillRunning when nothing ended it within ms.
int RunInEventLoop(const std::function<void()>& action, int ms) {
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, [] { QCoreApplication::exit(kStillRunning); });
    guard.start(ms);
    QTimer::singleShot(0, action);
    return QCoreApplication::exec();
}

// Posts a left-button press and release on the middle of label.
void PostClick(QWidget* label) {
    const QPoint middle = label->rect().center();
    for (auto type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease})
        QCoreApplication::postEvent(
            label, new QMouseEvent(type, middle, label->mapToGlobal(middle), Qt::LeftButton,
                                   type == QEvent::MouseButtonPress ? Qt::LeftButton : Qt::NoButton,
                                   Qt::NoModifier));
}

class ActionsTest : public testing::Test {
  protected:
    // An application folder of our own, below a folder whose name has a
    // blank and a non-ASCII letter when asked for.
    void UseFolder(const QString& sub) {
        folder = sub.isEmpty() ? temp.path() : temp.filePath(sub);
        ASSERT_TRUE(QDir().mkpath(folder));
        SetAppFolderForTests(folder);
    }
    void SetUp() override { UseFolder(""); }
    void TearDown() override {
        modUpdate::ExitClicked = false;
        modUpdate::OfflineReason.clear();
        frmUpdate::Instance().SetContinueEnabled(false);
        frmUpdate::Instance().SetL2("");
        SetAppFolderForTests("");
    }
    // Writes the stand-in game: it records its working folder and arguments.
    void WriteGame(QFile::Permissions permissions) {
        QFile game(folder + "/Quelmor.dxe");
        ASSERT_TRUE(game.open(QIODevice::WriteOnly));
        game.write("#!/bin/sh\nout=\"$(dirname \"$0\")/started.txt\"\n"
                   "{ pwd -P; for a in \"$@\"; do printf '%s\\n' \"$a\"; done; } > \"$out.tmp\"\n"
                   "mv \"$out.tmp\" \"$out\"\n");
        game.close();
        ASSERT_TRUE(game.setPermissions(permissions));
    }
    // What the stand-in game recorded, waiting up to ms for it; empty when it did not run.
    QStringList Started(int ms = 5000) {
        QFile record(folder + "/started.txt");
        QElapsedTimer waited;
        waited.start();
        while (!record.exists() && waited.elapsed() < ms)
            QThread::msleep(20);
        if (!record.open(QIODevice::ReadOnly))
            return {};
        return QString::fromUtf8(record.readAll()).split('\n', Qt::SkipEmptyParts);
    }
    QStringList Expected() const { return {QDir(folder).canonicalPath(), "--startedbypatcher"}; }

    QTemporaryDir temp;
    QString folder;
};

} // namespace

TEST_F(ActionsTest, ContinueStartsTheGameAndEndsWithZero) {
    const struct {
        const char* folder;
        QFile::Permissions permissions;
    } table[] = {{"", kExecutable}, {"", kReadable}, {"Game Folder é", kReadable}};
    for (const auto& row : table) {
        SCOPED_TRACE(row.folder);
        UseFolder(row.folder);
        WriteGame(row.permissions);
        EXPECT_EQ(RunInEventLoop(lblConnect_Click, 3000), 0);
        EXPECT_EQ(Started(), Expected());
        EXPECT_EQ(QFile(folder + "/Quelmor.dxe").permissions() & 0x7777, kExecutable);
        QFile::remove(folder + "/started.txt");
    }
}

TEST_F(ActionsTest, ContinueWithoutTheGameSaysSoAndStays) {
    ASSERT_TRUE(QDir(folder).mkdir("Quelmor.dxe")); // a folder is no game
    EXPECT_EQ(RunInEventLoop(lblConnect_Click, 300), kStillRunning);
    EXPECT_EQ(frmUpdate::Instance().L2->text(), "Error starting the game!");
    ASSERT_TRUE(QDir(folder).rmdir("Quelmor.dxe"));
    frmUpdate::Instance().SetL2("");
    EXPECT_EQ(RunInEventLoop(lblConnect_Click, 300), kStillRunning);
    EXPECT_EQ(frmUpdate::Instance().L2->text(), "Error starting the game!");
    EXPECT_TRUE(Started(0).isEmpty());
    WriteGame(kExecutable); // the next click looks again
    EXPECT_EQ(RunInEventLoop(lblConnect_Click, 3000), 0);
    EXPECT_EQ(Started(), Expected());
}

TEST_F(ActionsTest, AGameThatCannotStartEndsWithOne) {
    WriteGame(QFile::Permissions()); // no read bits, so no execute bits can be added
    testing::internal::CaptureStderr();
    const int status = RunInEventLoop(lblConnect_Click, 3000);
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_EQ(status, 1);
    EXPECT_EQ(said.rfind("Could not start the game Quelmor.dxe: ", 0), 0u) << said;
    EXPECT_TRUE(said.ends_with(".\n")) << said;
}

TEST_F(ActionsTest, ClickingTheLabelsRunsTheActions) {
    WriteGame(kExecutable);
    frmUpdate& w = frmUpdate::Instance();
    w.lblConnect->setEnabled(true);
    EXPECT_EQ(RunInEventLoop([&] { PostClick(w.lblConnect); }, 3000), 0);
    EXPECT_EQ(Started(), Expected());
    EXPECT_EQ(RunInEventLoop([&] { PostClick(w.Label1); }, 3000), 0);
    EXPECT_TRUE(modUpdate::ExitClicked);
}

TEST_F(ActionsTest, ClicksOnADisabledContinueAreLost) {
    WriteGame(kExecutable);
    frmUpdate& w = frmUpdate::Instance();
    w.SetContinueEnabled(false);
    auto clickThenEnable = [&] {
        PostClick(w.lblConnect);
        w.SetContinueEnabled(true);
    };
    EXPECT_EQ(RunInEventLoop(clickThenEnable, 500), kStillRunning);
    EXPECT_TRUE(w.lblConnect->isEnabled());
    EXPECT_TRUE(Started(300).isEmpty());
}

TEST_F(ActionsTest, ExitEndsWithZeroAndStopsTheEventPump) {
    EXPECT_NO_THROW(modUpdate::DoEvents());
    EXPECT_EQ(RunInEventLoop(Label1_Click, 3000), 0);
    EXPECT_TRUE(modUpdate::ExitClicked);
    EXPECT_THROW(modUpdate::DoEvents(), ExitRequested);
    QCoreApplication::postEvent(&frmUpdate::Instance(), new QEvent(QEvent::User));
    EXPECT_THROW(modUpdate::DoEvents(true), ExitRequested); // once the posted event has run
    // After a run that could not update, "Exit" ends with 1.
    modUpdate::ExitClicked = false;
    modUpdate::OfflineReason = "the server could not be reached";
    EXPECT_EQ(RunInEventLoop(Label1_Click, 3000), 1);
}
