// The window: layout, look, captions and clicks, on the real window offscreen.
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QImage>
#include <QMouseEvent>
#include <QPointingDevice>
#include <QScreen>
#include <gtest/gtest.h>

#include "ui/frmUpdate.h"

namespace {

frmUpdate& Window() {
    return frmUpdate::Instance();
}

// The window's state right after it was created, taken before any test runs.
struct FirstLook : testing::Environment {
    void SetUp() override {
        frmUpdate& w = Window();
        for (QLabel* label : std::initializer_list<QLabel*>{w.Label2, w.lblPercent, w.Label1, w.L3,
                                                            w.L2, w.lblConnect})
            texts << label->text();
        texts << w.news->toPlainText();
        exitEnabled = w.Label1->isEnabled();
        continueEnabled = w.lblConnect->isEnabled();
    }
    QStringList texts;
    bool exitEnabled = false, continueEnabled = true;
};
FirstLook* const firstLook =
    static_cast<FirstLook*>(testing::AddGlobalTestEnvironment(new FirstLook));

// Shows the window, makes it active and waits (at most 2 s) until it is.
void ShowWindow() {
    Window().show();
    Window().activateWindow();
    QElapsedTimer waited;
    waited.start();
    while (!Window().isActiveWindow() && waited.elapsed() < 2000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
}

// Sends a mouse press or release with the given button at pos of widget.
void Mouse(QWidget* widget, QEvent::Type type, QPoint pos, Qt::MouseButton button) {
    QMouseEvent event(type, pos, widget->mapToGlobal(pos), button,
                      type == QEvent::MouseButtonPress ? button : Qt::NoButton, Qt::NoModifier);
    QCoreApplication::sendEvent(widget, &event);
}

bool Cyan(QRgb p) {
    return qRed(p) > 150 && qGreen(p) > 220 && qBlue(p) > 220;
}

} // namespace

TEST(WindowLayout, FixedControlsSitWhereTheyBelong) {
    frmUpdate& w = Window();
    const std::pair<QWidget*, QRect> table[] = {{w.news, {16, 88, 265, 145}},
                                                {w.Label1, {54, 272, 75, 15}},
                                                {w.L3, {8, 232, 281, 17}},
                                                {w.L2, {8, 247, 281, 17}},
                                                {w.lblConnect, {176, 272, 75, 15}}};
    for (const auto& [widget, place] : table)
        EXPECT_EQ(widget->geometry(), place)
            << widget->metaObject()->className() << " at " << place.x() << "," << place.y();
    EXPECT_EQ(w.Label2->pos(), QPoint(2, 288));
    EXPECT_EQ(w.lblPercent->pos(), QPoint(256, 256));
}

TEST(WindowLayout, FramelessFixedTitledAndCentred) {
    frmUpdate& w = Window();
    EXPECT_TRUE(w.windowFlags() & Qt::FramelessWindowHint);
    EXPECT_EQ(w.minimumSize(), QSize(299, 300));
    EXPECT_EQ(w.maximumSize(), QSize(299, 300));
    EXPECT_EQ(w.windowTitle(), "Auto Updater");
    const QPoint offset = w.geometry().center() - w.screen()->availableGeometry().center();
    EXPECT_LE(offset.manhattanLength(), 2);
}

TEST(WindowLayout, IconOnceTheArtworkExists) {
    if (!QFileInfo::exists(":/icon-32.png"))
        GTEST_SKIP() << ":/icon-32.png is not built in yet";
    EXPECT_FALSE(Window().windowIcon().isNull());
}

TEST(WindowLook, FirstCaptionsAndStates) {
    EXPECT_EQ(firstLook->texts,
              QStringList({"Version 0.1", "100%", "Exit", "", "", "Continue", ""}));
    EXPECT_TRUE(firstLook->exitEnabled);
    EXPECT_FALSE(firstLook->continueEnabled);
}

TEST(WindowLook, FontsColoursAlignmentAndTransparency) {
    frmUpdate& w = Window();
    const QColor grey(224, 224, 224), cyan(192, 255, 255);
    const struct {
        QLabel* label;
        qreal points;
        QColor colour;
        Qt::Alignment horizontal;
    } table[] = {
        {w.Label2, 6.75, grey, Qt::AlignLeft},    {w.lblPercent, 8.25, cyan, Qt::AlignHCenter},
        {w.Label1, 8.25, cyan, Qt::AlignHCenter}, {w.L3, 8.25, grey, Qt::AlignHCenter},
        {w.L2, 8.25, cyan, Qt::AlignHCenter},     {w.lblConnect, 8.25, cyan, Qt::AlignHCenter}};
    for (const auto& row : table) {
        SCOPED_TRACE(row.label->text().toStdString());
        const QFont font = row.label->font();
        EXPECT_EQ(font.family(), "Tahoma");
        EXPECT_DOUBLE_EQ(font.pointSizeF(), row.points);
        EXPECT_EQ(font.weight(), QFont::Normal);
        EXPECT_FALSE(font.italic() || font.underline() || font.strikeOut());
        EXPECT_EQ(row.label->palette().color(QPalette::Active, QPalette::WindowText), row.colour);
        EXPECT_EQ(row.label->palette().color(QPalette::Inactive, QPalette::WindowText), row.colour);
        EXPECT_EQ(row.label->alignment() & Qt::AlignHorizontal_Mask, row.horizontal);
        EXPECT_FALSE(row.label->autoFillBackground());
        EXPECT_FALSE(row.label->styleSheet().contains("background"));
        EXPECT_FALSE(row.label->wordWrap());
    }
    EXPECT_EQ(w.news->font().family(), "Tahoma");
    EXPECT_DOUBLE_EQ(w.news->font().pointSizeF(), 9.75);
    for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        EXPECT_EQ(w.news->palette().color(group, QPalette::Base), QColor(0, 0, 0));
        EXPECT_EQ(w.news->palette().color(group, QPalette::Text), grey);
    }
}

TEST(WindowLook, OnlyTheNewsTakesTheFocus) {
    frmUpdate& w = Window();
    for (QWidget* child : w.findChildren<QWidget*>()) {
        if (child != w.news && child != w.news->viewport()) {
            EXPECT_EQ(child->focusPolicy(), Qt::NoFocus) << child->metaObject()->className();
        }
    }
    EXPECT_EQ(w.news->focusPolicy(), Qt::StrongFocus);
    ShowWindow(); // and it stays shown, as in a real run
    // The news gets the focus whenever the window becomes active; offscreen
    // cannot activate a window again once it was hidden.
    EXPECT_EQ(w.focusWidget(), w.news);
    if (w.isActiveWindow()) {
        EXPECT_EQ(QApplication::focusWidget(), w.news);
    }
}

TEST(WindowCaptions, SizedToTextLabelsKeepTheirLeftEdge) {
    frmUpdate& w = Window();
    w.SetVersionText("Version 0.1");
    const QRect shortVersion = w.Label2->geometry();
    w.SetVersionText("Version 0.1 - a much longer version line than before");
    EXPECT_EQ(w.Label2->pos(), shortVersion.topLeft());
    EXPECT_GT(w.Label2->width(), shortVersion.width());
    w.SetVersionText("Version 0.1");
    w.SetPercent("100%");
    const QRect full = w.lblPercent->geometry();
    w.SetPercent("5%");
    EXPECT_EQ(w.lblPercent->pos(), full.topLeft());
    EXPECT_LT(w.lblPercent->width(), full.width());
    w.SetPercent("100%");
}

TEST(WindowCaptions, StatusLinesEchoOnStandardOutput) {
    frmUpdate& w = Window();
    QStringList log;
    w.CaptionLog = &log;
    testing::internal::CaptureStdout();
    w.SetL2("Checking for updates");
    w.SetL3("");
    w.SetPercent("42%");
    w.SetL3("Téléchargement de données");
    w.SetL2("");
    w.SetNews("News");
    w.SetVersionText("Version 0.1");
    w.SetContinueEnabled(true);
    w.SetContinueEnabled(false);
    const std::string echoed = testing::internal::GetCapturedStdout();
    w.CaptionLog = nullptr;
    EXPECT_EQ(echoed, "Checking for updates\nTéléchargement de données\n");
    EXPECT_EQ(log,
              QStringList({"L2=Checking for updates", "L3=", "lblPercent=42%",
                           "L3=Téléchargement de données", "L2=", "news=News", "Label2=Version 0.1",
                           "lblConnect=enabled", "lblConnect=disabled"}));
    EXPECT_EQ(w.L3->text(), "Téléchargement de données");
    EXPECT_EQ(w.news->toPlainText(), "News");
    w.SetL3("");
    w.SetNews("");
    w.SetPercent("100%");
}

TEST(WindowClickLabel, ClicksOnlyOnAPressAndReleaseWhileEnabled) {
    enum Step { Press, ReleaseInside, ReleaseOutside, RightPress, RightRelease, Disable, Enable };
    const struct {
        const char* name;
        std::vector<Step> steps;
        int clicks;
    } table[] = {{"press and release", {Press, ReleaseInside}, 1},
                 {"release outside", {Press, ReleaseOutside}, 0},
                 {"release alone", {ReleaseInside}, 0},
                 {"right button", {RightPress, RightRelease}, 0},
                 {"while disabled", {Disable, Press, ReleaseInside}, 0},
                 {"pressed while disabled", {Disable, Press, Enable, ReleaseInside}, 0},
                 {"disabled in between", {Press, Disable, Enable, ReleaseInside}, 0}};
    for (const auto& row : table) {
        ClickLabel label("Continue");
        label.resize(75, 15);
        int clicks = 0;
        QObject::connect(&label, &ClickLabel::clicked, [&] { ++clicks; });
        for (Step step : row.steps) {
            if (step == Disable || step == Enable)
                label.setEnabled(step == Enable);
            else if (step == RightPress || step == RightRelease)
                Mouse(&label,
                      step == RightPress ? QEvent::MouseButtonPress : QEvent::MouseButtonRelease,
                      {10, 7}, Qt::RightButton);
            else
                Mouse(&label, step == Press ? QEvent::MouseButtonPress : QEvent::MouseButtonRelease,
                      step == ReleaseOutside ? QPoint(90, 7) : QPoint(10, 7), Qt::LeftButton);
        }
        EXPECT_EQ(clicks, row.clicks) << row.name;
    }
}

TEST(WindowPicture, GrabShowsTheSurfaceThroughTheLabels) {
    frmUpdate& w = Window();
    ShowWindow();
    w.lblConnect->setEnabled(false);
    w.SetNews("");
    w.SetL2("");
    w.SetL3("");
    const QImage disabled = w.grab().toImage();
    w.lblConnect->setEnabled(true);
    const QImage enabled = w.grab().toImage();
    w.lblConnect->setEnabled(false);
    w.SetNews("Welcome to Quelmor!\nThe servers are open again.");
    w.SetL2("Checking for updates");
    w.SetL3("Downloading news");
    const QDir artefacts(QFileInfo(__FILE__).absolutePath() + "/artefacts");
    artefacts.mkpath(".");
    EXPECT_TRUE(w.grab().save(artefacts.filePath("window-offscreen.png")));

    ASSERT_EQ(disabled.size(), QSize(299, 300));
    EXPECT_EQ(disabled.pixelColor(40, 210), QColor(Qt::black)); // inside the news box
    const QImage back(":/background.png");
    for (QPoint p : {QPoint(5, 5), QPoint(150, 240), QPoint(20, 255), QPoint(290, 290)}) {
        const QColor expected = back.isNull() ? QColor(0, 0, 64) : back.pixelColor(p);
        EXPECT_EQ(disabled.pixelColor(p), expected) << p.x() << "," << p.y();
    }
    auto cyanText = [&](const QImage& grab) { // bright cyan pixels of "Continue"
        int count = 0;
        for (int y = 272; y < 287; ++y)
            for (int x = 176; x < 251; ++x)
                count += Cyan(grab.pixel(x, y)) && (back.isNull() || !Cyan(back.pixel(x, y)));
        return count;
    };
    EXPECT_GT(cyanText(enabled), 10);
    EXPECT_EQ(cyanText(disabled), 0);
    w.SetNews("");
    w.SetL2("");
    w.SetL3("");
}
