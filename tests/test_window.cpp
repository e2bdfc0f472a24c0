// The real window offscreen: its look, captions, and the "Continue" and "Exit" labels.
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QImage>
#include <QMouseEvent>
#include <QScreen>
#include <QTemporaryDir>
#include <QTimer>
#include <functional>
#include <gtest/gtest.h>

#include "ui/Actions.h"
#include "ui/frmUpdate.h"
#include "update/Failure.h"
#include "update/Paths.h"
#include "update/modUpdate.h"

using namespace modUpdate;
using namespace ui;

namespace {

// Shows the window, makes it active and waits (at most 2 s) until it is.
frmUpdate& ShownWindow() {
    frmUpdate& w = frmUpdate::Instance();
    w.show();
    w.activateWindow();
    QElapsedTimer waited;
    waited.start();
    while (!w.isActiveWindow() && waited.elapsed() < 2000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    return w;
}

TEST(Window, FramelessFixedAndCentred) {
    frmUpdate& w = frmUpdate::Instance();
    EXPECT_TRUE(w.windowFlags() & Qt::FramelessWindowHint);
    EXPECT_TRUE(w.minimumSize() == QSize(299, 300) && w.maximumSize() == QSize(299, 300));
    EXPECT_LE((w.geometry().center() - w.screen()->availableGeometry().center()).manhattanLength(),
              2);
    // Only the news takes the focus, and gets it when the window becomes active.
    for (QWidget* child : w.findChildren<QWidget*>())
        EXPECT_TRUE(child == w.news || child == w.news->viewport() ||
                    child->focusPolicy() == Qt::NoFocus)
            << child->metaObject()->className();
    EXPECT_EQ(ShownWindow().focusWidget(), w.news);
}

TEST(Window, CaptionsEchoStatusLinesAndSizedLabelsKeepTheirLeftEdge) {
    frmUpdate& w = frmUpdate::Instance();
    w.SetVersionText("Version 0.1");
    w.SetPercent("100%");
    const QPoint version = w.Label2->pos(), percent = w.lblPercent->pos();
    const int versionWidth = w.Label2->width(), percentWidth = w.lblPercent->width();
    testing::internal::CaptureStdout();
    w.SetL2("Checking for updates");
    w.SetL3("");
    w.SetPercent("5%");
    w.SetL3("Téléchargement de données");
    w.SetL2("");
    w.SetVersionText("Version 0.1 - a much longer version line than before");
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Checking for updates\nTéléchargement de données\n");
    EXPECT_EQ(w.L3->text(), "Téléchargement de données");
    EXPECT_EQ(w.Label2->pos(), version);
    EXPECT_GT(w.Label2->width(), versionWidth);
    EXPECT_EQ(w.lblPercent->pos(), percent);
    EXPECT_LT(w.lblPercent->width(), percentWidth);
    w.SetL3("");
    w.SetPercent("100%");
    w.SetVersionText("Version 0.1");
}

TEST(Window, ALabelClicksOnAPressAndReleaseInsideWhileEnabled) {
    enum Step { Press, ReleaseInside, ReleaseOutside, RightPress, RightRelease, Disable, Enable };
    const std::tuple<const char*, std::vector<Step>, int> table[] = {
        {"press and release", {Press, ReleaseInside}, 1},
        {"release outside", {Press, ReleaseOutside}, 0},
        {"release alone", {ReleaseInside}, 0},
        {"right button", {RightPress, RightRelease}, 0},
        {"while disabled", {Disable, Press, ReleaseInside}, 0},
        {"pressed while disabled", {Disable, Press, Enable, ReleaseInside}, 0},
        {"disabled in between", {Press, Disable, Enable, ReleaseInside}, 0}};
    for (const auto& [name, steps, expected] : table) {
        ClickLabel label("Continue");
        label.resize(75, 15);
        int clicks = 0;
        QObject::connect(&label, &ClickLabel::clicked, [&] { ++clicks; });
        for (Step step : steps) {
            const auto button =
                step == RightPress || step == RightRelease ? Qt::RightButton : Qt::LeftButton;
            const bool press = step == Press || step == RightPress;
            const QPoint at(step == ReleaseOutside ? 90 : 10, 7);
            QMouseEvent event(press ? QEvent::MouseButtonPress : QEvent::MouseButtonRelease, at,
                              label.mapToGlobal(at), button, press ? button : Qt::NoButton,
                              Qt::NoModifier);
            if (step == Disable || step == Enable)
                label.setEnabled(step == Enable);
            else
                QCoreApplication::sendEvent(&label, &event);
        }
        EXPECT_EQ(clicks, expected) << name;
    }
}

TEST(Window, TheSurfaceShowsThroughTheLabels) {
    frmUpdate& w = ShownWindow();
    const QImage back(":/background.png");
    ASSERT_FALSE(back.isNull());
    // Bright cyan pixels of "Continue" that the picture does not have there.
    const auto cyan = [](QRgb p) { return qRed(p) > 150 && qGreen(p) > 220 && qBlue(p) > 220; };
    const auto continueText = [&] {
        const QImage grab = w.grab().toImage();
        int count = 0;
        for (int y = 272; y < 287; ++y)
            for (int x = 176; x < 251; ++x)
                count += cyan(grab.pixel(x, y)) && !cyan(back.pixel(x, y));
        return count;
    };
    w.lblConnect->setEnabled(true);
    EXPECT_GT(continueText(), 10);
    w.lblConnect->setEnabled(false);
    EXPECT_EQ(continueText(), 0);
    const QImage disabled = w.grab().toImage();
    ASSERT_EQ(disabled.size(), QSize(299, 300));
    EXPECT_EQ(disabled.pixelColor(40, 210), QColor(Qt::black)); // inside the news box
    for (QPoint p : {QPoint(5, 5), QPoint(150, 240), QPoint(20, 255), QPoint(290, 290)})
        EXPECT_EQ(disabled.pixelColor(p), back.pixelColor(p)) << p.x() << "," << p.y();
}

TEST(Window, NewsLinesOfAnyLengthAreShownWhole) {
    // A 1 MiB line is broken (at blanks if any), laid out in milliseconds, not minutes.
    frmUpdate& w = frmUpdate::Instance();
    const QString words = QStringLiteral("word ").repeated(1 << 18), solid(1 << 20, u'x');
    for (const bool blanks : {true, false}) {
        const QString& text = blanks ? words : solid;
        w.SetNews(text);
        const QString shown = w.news->toPlainText();
        qsizetype longest = 0;
        for (const QString& line : shown.split(u'\n'))
            longest = std::max(longest, line.size());
        EXPECT_LE(longest, 1024);
        EXPECT_EQ(blanks ? QString(shown).replace(u'\n', u' ') : QString(shown).remove(u'\n'),
                  text);
    }
    w.SetNews("");
}

constexpr int kStillRunning = -77; // no click ended the event loop

// Runs action in the event loop; the status it ended with, or kStillRunning after ms.
int RunInEventLoop(const std::function<void()>& action, int ms) {
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, [] { QCoreApplication::exit(kStillRunning); });
    guard.start(ms);
    QTimer::singleShot(0, action);
    return QCoreApplication::exec();
}

class ActionsTest : public testing::Test {
  protected:
    void TearDown() override {
        modUpdate::Window.ExitClicked = false;
        modUpdate::Window.OfflineReason.clear();
        frmUpdate::Instance().SetContinueEnabled(false);
        frmUpdate::Instance().SetL2("");
        SetAppFolderForTests("");
    }
    // Makes folder the application's, with a stand-in game of these permissions,
    // none (-1), or a folder of its name (-2).
    void UseFolder(const QString& folder, int game) {
        ASSERT_TRUE(QDir(folder).mkpath(game == -2 ? "Quelmor.dxe" : "."));
        SetAppFolderForTests(folder);
        QFile file(folder + "/Quelmor.dxe");
        if (game < 0)
            return;
#ifdef _WIN32
        // Windows runs a program by its contents: a script cannot be started.
        if (game != 0) {
            ASSERT_TRUE(QFile::copy(QUELMOR_PUBLISH_EXE, file.fileName()));
            return;
        }
#endif
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("#!/bin/sh\n");
        file.close();
#ifndef _WIN32
        ASSERT_TRUE(file.setPermissions(QFile::Permissions(game)));
#endif
    }

    QTemporaryDir temp;
};

TEST_F(ActionsTest, ContinueStartsTheGameOrSaysWhyNot) {
    // The folder, the game, the loop's end, and what L2 (or, for 1, stderr) says.
    const std::tuple<QString, int, int, std::string> table[] = {
        {"a", -2, kStillRunning, "Error starting the game!"},
        {"b", -1, kStillRunning, "Error starting the game!"},
        {"Game Folder é", 0x6644, 0, ""}, // readable: made executable and started
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
        frmUpdate::Instance().SetL2("");
    }
    // The click after a failed one looks again.
    UseFolder(temp.filePath("b"), 0x7700);
    EXPECT_EQ(RunInEventLoop(lblConnect_Click, 3000), 0);
}

TEST_F(ActionsTest, ExitEndsWithZeroOrWithOneWhenTheRunCouldNotUpdate) {
    EXPECT_EQ(RunInEventLoop(Label1_Click, 3000), 0);
    EXPECT_THROW(modUpdate::DoEvents(), ExitRequested);
    modUpdate::Window.ExitClicked = false;
    modUpdate::Window.OfflineReason = "the server could not be reached";
    // Closing the window is "Exit".
    EXPECT_EQ(RunInEventLoop([] { frmUpdate::Instance().close(); }, 3000), 1);
}

} // namespace
