// The two clickable labels: "Continue" starts a stand-in game, "Exit" ends the run.
#include <QCoreApplication>
#include <QDir>
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

// What the stand-in game in folder recorded (its working folder and
// arguments), waiting up to ms for it; empty when it did not run.
QStringList Started(const QString& folder, int ms) {
    QFile record(folder + "/started.txt");
    for (int waited = 0; !record.exists() && waited < ms; waited += 20)
        QThread::msleep(20);
    return record.open(QIODevice::ReadOnly)
               ? QString::fromUtf8(record.readAll()).split('\n', Qt::SkipEmptyParts)
               : QStringList();
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
    // Makes folder the application folder, with the stand-in game of the
    // given permissions, or none (-1), or a folder of its name (-2).
    void UseFolder(const QString& folder, int game) {
        ASSERT_TRUE(QDir(folder).mkpath(game == -2 ? "Quelmor.dxe" : "."));
        SetAppFolderForTests(folder);
        QFile file(folder + "/Quelmor.dxe");
        if (game < 0)
            return;
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("#!/bin/sh\n{ pwd -P; printf '%s\\n' \"$@\"; } > started.part\n"
                   "mv started.part started.txt\n");
        file.close();
        ASSERT_TRUE(file.setPermissions(QFile::Permissions(game)));
    }

    QTemporaryDir temp;
};

TEST_F(ActionsTest, ContinueStartsTheGameInItsFolderOrSaysWhyNot) {
    // The folder, the game, how the event loop ends, and what the updater
    // says in L2 or, when it ends with 1, at the start of standard error.
    const std::tuple<QString, int, int, std::string> table[] = {
        {"a", -2, kStillRunning, "Error starting the game!"},
        {"b", -1, kStillRunning, "Error starting the game!"},
        {"Game Folder é", 0x6644, 0, ""}, // readable: made executable, then started
        {"c", 0, 1, "Could not start the game Quelmor.dxe: "}};
    for (const auto& [name, game, status, said] : table) {
        const QString folder = temp.filePath(name);
        UseFolder(folder, game);
        testing::internal::CaptureStderr();
        EXPECT_EQ(RunInEventLoop(lblConnect_Click, status == kStillRunning ? 300 : 3000), status);
        const std::string errors = testing::internal::GetCapturedStderr();
        EXPECT_EQ(status == 1 ? errors.substr(0, said.size())
                              : frmUpdate::Instance().L2->text().toStdString(),
                  said);
        EXPECT_EQ(Started(folder, status == 0 ? 5000 : 0),
                  status == 0 ? QStringList({QDir(folder).canonicalPath(), "--startedbypatcher"})
                              : QStringList());
        frmUpdate::Instance().SetL2("");
    }
    // The click after a failed one looks again.
    UseFolder(temp.filePath("b"), 0x7700);
    EXPECT_EQ(RunInEventLoop(lblConnect_Click, 3000), 0);
}

TEST_F(ActionsTest, AClickWhileContinueIsDisabledIsLost) {
    UseFolder(temp.path(), 0x7700);
    frmUpdate& w = frmUpdate::Instance();
    const QPoint middle = w.lblConnect->rect().center();
    const auto clickThenEnable = [&] {
        for (auto type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease})
            QCoreApplication::postEvent(
                w.lblConnect,
                new QMouseEvent(type, middle, w.lblConnect->mapToGlobal(middle), Qt::LeftButton,
                                type == QEvent::MouseButtonPress ? Qt::LeftButton : Qt::NoButton,
                                Qt::NoModifier));
        w.SetContinueEnabled(true);
    };
    EXPECT_EQ(RunInEventLoop(clickThenEnable, 500), kStillRunning);
    EXPECT_TRUE(w.lblConnect->isEnabled());
    EXPECT_TRUE(Started(temp.path(), 300).isEmpty());
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
