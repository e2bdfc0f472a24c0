// The window: layout, look, captions and clicks, on the real window offscreen.
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QImage>
#include <QMouseEvent>
#include <QScreen>
#include <gtest/gtest.h>

#include "ui/frmUpdate.h"

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

// Sends a mouse press or release with the given button at pos of widget.
void Mouse(QWidget* widget, QEvent::Type type, QPoint pos, Qt::MouseButton button) {
    QMouseEvent event(type, pos, widget->mapToGlobal(pos), button,
                      type == QEvent::MouseButtonPress ? button : Qt::NoButton, Qt::NoModifier);
    QCoreApplication::sendEvent(widget, &event);
}

TEST(Window, LayoutAndLook) {
    frmUpdate& w = frmUpdate::Instance();
    EXPECT_TRUE(w.windowFlags() & Qt::FramelessWindowHint);
    EXPECT_EQ(w.minimumSize(), QSize(299, 300));
    EXPECT_EQ(w.maximumSize(), QSize(299, 300));
    EXPECT_LE((w.geometry().center() - w.screen()->availableGeometry().center()).manhattanLength(),
              2);
    EXPECT_EQ(w.news->geometry(), QRect(16, 88, 265, 145));
    EXPECT_EQ(w.news->palette().color(QPalette::Base), QColor(0, 0, 0));
    EXPECT_EQ(w.news->palette().color(QPalette::Text), QColor(224, 224, 224));
    // Every label: where it sits (sized to its text when no size is given),
    // its colour (grey or cyan) and alignment, on a transparent background.
    const QColor grey(224, 224, 224), cyan(192, 255, 255);
    const std::tuple<QLabel*, QRect, QColor, Qt::Alignment> labels[] = {
        {w.Label2, {2, 288, 0, 0}, grey, Qt::AlignLeft},
        {w.lblPercent, {256, 256, 0, 0}, cyan, Qt::AlignHCenter},
        {w.Label1, {54, 272, 75, 15}, cyan, Qt::AlignHCenter},
        {w.L3, {8, 232, 281, 17}, grey, Qt::AlignHCenter},
        {w.L2, {8, 247, 281, 17}, cyan, Qt::AlignHCenter},
        {w.lblConnect, {176, 272, 75, 15}, cyan, Qt::AlignHCenter}};
    for (const auto& [label, place, colour, alignment] : labels) {
        SCOPED_TRACE(label->text().toStdString());
        EXPECT_EQ(place.isEmpty() ? QRect(label->pos(), QSize(0, 0)) : label->geometry(), place);
        EXPECT_EQ(label->palette().color(QPalette::WindowText), colour);
        EXPECT_EQ(label->alignment() & Qt::AlignHorizontal_Mask, alignment);
        EXPECT_FALSE(label->autoFillBackground() || label->wordWrap());
    }
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
    QStringList log;
    w.CaptionLog = &log;
    testing::internal::CaptureStdout();
    w.SetL2("Checking for updates");
    w.SetL3("");
    w.SetPercent("5%");
    w.SetL3("Téléchargement de données");
    w.SetL2("");
    w.SetNews("News");
    w.SetVersionText("Version 0.1 - a much longer version line than before");
    w.SetContinueEnabled(true);
    w.SetContinueEnabled(false);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Checking for updates\nTéléchargement de données\n");
    w.CaptionLog = nullptr;
    EXPECT_EQ(log, QStringList({"L2=Checking for updates", "L3=", "lblPercent=5%",
                                "L3=Téléchargement de données", "L2=", "news=News",
                                "Label2=Version 0.1 - a much longer version line than before",
                                "lblConnect=enabled", "lblConnect=disabled"}));
    EXPECT_EQ(w.L3->text(), "Téléchargement de données");
    EXPECT_EQ(w.news->toPlainText(), "News");
    EXPECT_EQ(w.Label2->pos(), version);
    EXPECT_GT(w.Label2->width(), versionWidth);
    EXPECT_EQ(w.lblPercent->pos(), percent);
    EXPECT_LT(w.lblPercent->width(), percentWidth);
    w.SetL3("");
    w.SetNews("");
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
            const bool right = step == RightPress || step == RightRelease;
            const auto type = step == Press || step == RightPress ? QEvent::MouseButtonPress
                                                                  : QEvent::MouseButtonRelease;
            if (step == Disable || step == Enable)
                label.setEnabled(step == Enable);
            else
                Mouse(&label, type, {step == ReleaseOutside ? 90 : 10, 7},
                      right ? Qt::RightButton : Qt::LeftButton);
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
    w.SetNews("Welcome to Quelmor!\nThe servers are open again.");
    w.SetL2("Checking for updates");
    w.SetL3("Downloading news");
    const QDir artefacts(QFileInfo(__FILE__).absolutePath() + "/artefacts");
    artefacts.mkpath(".");
    EXPECT_TRUE(w.grab().save(artefacts.filePath("window-offscreen.png")));
    w.SetNews("");
    w.SetL2("");
    w.SetL3("");
}

} // namespace
