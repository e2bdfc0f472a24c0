// The two clickable labels: "Continue" starts a stand-in game, "Exit" ends the run.
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
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
    void TearDown() override {
        modUpdate::ExitClicked = false;
        modUpdate::OfflineReason.clear();
        frmUpdate::Instance().SetContinueEnabled(false);
        frmUpdate::Instance().SetL2("");
        SetAppFolderForTests("");
    }
    // Makes folder the application folder, with a game of the given
    // permissions (NoGame: none; AFolder: a folder of its name). The stand-in
    // game records its working folder and arguments.
    static constexpr int NoGame = -1, AFolder = -2;
    void UseFolder(const QString& folder, int game) {
        ASSERT_TRUE(QDir().mkpath(folder));
        SetAppFolderForTests(folder);
        QFile::remove(folder + "/started.txt");
        QFile::remove(folder + "/Quelmor.dxe");
        QDir(folder).rmdir("Quelmor.dxe");
        if (game == AFolder) {
            ASSERT_TRUE(QDir(folder).mkdir("Quelmor.dxe"));
        }
        if (game < 0)
            return;
        QFile file(folder + "/Quelmor.dxe");
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("#!/bin/sh\nout=\"$(dirname \"$0\")/started.txt\"\n"
                   "{ pwd -P; for a in \"$@\"; do printf '%s\\n' \"$a\"; done; } > \"$out.tmp\"\n"
                   "mv \"$out.tmp\" \"$out\"\n");
        file.close();
        ASSERT_TRUE(file.setPermissions(QFile::Permissions(game)));
    }
    // What the stand-in game in folder recorded, waiting up to ms for it;
    // empty when it did not run.
    static QStringList Started(const QString& folder, int ms = 5000) {
        QFile record(folder + "/started.txt");
        QElapsedTimer waited;
        waited.start();
        while (!record.exists() && waited.elapsed() < ms)
            QThread::msleep(20);
        if (!record.open(QIODevice::ReadOnly))
            return {};
        return QString::fromUtf8(record.readAll()).split('\n', Qt::SkipEmptyParts);
    }

    QTemporaryDir temp;
};

TEST_F(ActionsTest, ContinueStartsTheGameInItsFolderOrSaysWhyNot) {
    const int executable = 0x7755, readable = 0x6644;
    const struct {
        const char* folder;
        int game;
        int status;       // how the event loop ends
        const char* said; // L2, or the start of standard error
    } table[] = {{"", AFolder, kStillRunning, "Error starting the game!"},
                 {"", NoGame, kStillRunning, "Error starting the game!"},
                 {"", executable, 0, ""}, // the click after a failed one looks again
                 {"", readable, 0, ""},   // the game is made executable
                 {"Game Folder é", readable, 0, ""},
                 {"", 0, 1, "Could not start the game Quelmor.dxe: "}};
    for (const auto& row : table) {
        SCOPED_TRACE(&row - table);
        const QString folder = temp.filePath(row.folder);
        UseFolder(folder, row.game);
        testing::internal::CaptureStderr();
        EXPECT_EQ(RunInEventLoop(lblConnect_Click, row.status == kStillRunning ? 300 : 3000),
                  row.status);
        const std::string errors = testing::internal::GetCapturedStderr();
        if (row.status == 1) {
            EXPECT_EQ(errors.rfind(row.said, 0), 0u) << errors;
            continue;
        }
        EXPECT_EQ(frmUpdate::Instance().L2->text(), row.said);
        EXPECT_EQ(Started(folder, row.status == 0 ? 5000 : 0),
                  row.status == 0
                      ? QStringList({QDir(folder).canonicalPath(), "--startedbypatcher"})
                      : QStringList());
        if (row.status == 0) {
            EXPECT_EQ(QFile(folder + "/Quelmor.dxe").permissions() & 0x7777, executable);
        }
        frmUpdate::Instance().SetL2("");
    }
}

TEST_F(ActionsTest, ClicksReachTheActionsOnlyWhileTheLabelIsEnabled) {
    UseFolder(temp.path(), 0x7755);
    frmUpdate& w = frmUpdate::Instance();
    w.SetContinueEnabled(false);
    auto clickThenEnable = [&] {
        PostClick(w.lblConnect);
        w.SetContinueEnabled(true);
    };
    EXPECT_EQ(RunInEventLoop(clickThenEnable, 500), kStillRunning);
    EXPECT_TRUE(w.lblConnect->isEnabled());
    EXPECT_TRUE(Started(temp.path(), 300).isEmpty());
    EXPECT_EQ(RunInEventLoop([&] { PostClick(w.lblConnect); }, 3000), 0);
    EXPECT_EQ(Started(temp.path()).value(1), "--startedbypatcher");
    EXPECT_EQ(RunInEventLoop([&] { PostClick(w.Label1); }, 3000), 0);
    EXPECT_TRUE(modUpdate::ExitClicked);
}

TEST_F(ActionsTest, ExitEndsTheEventPumpWithZeroOrOneWhenTheRunCouldNotUpdate) {
    EXPECT_NO_THROW(modUpdate::DoEvents());
    EXPECT_EQ(RunInEventLoop(Label1_Click, 3000), 0);
    EXPECT_TRUE(modUpdate::ExitClicked);
    EXPECT_THROW(modUpdate::DoEvents(), ExitRequested);
    QCoreApplication::postEvent(&frmUpdate::Instance(), new QEvent(QEvent::User));
    EXPECT_THROW(modUpdate::DoEvents(true), ExitRequested); // once the posted event has run
    modUpdate::ExitClicked = false;
    modUpdate::OfflineReason = "the server could not be reached";
    EXPECT_EQ(RunInEventLoop(Label1_Click, 3000), 1);
}

} // namespace
