#include "ui/frmUpdate.h"

#include <QCoreApplication>
#include <QEvent>
#include <QFile>
#include <QIcon>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QScrollBar>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <utility>

#include "ui/Actions.h"
#include "ui/FailureBox.h"
#include "update/modUpdate.h"

using namespace modUpdate;

// Registers the artwork compiled into the static library; Qt's resource
// registration must be named from the global namespace. Cannot fail.
static void LoadArtwork() {
    Q_INIT_RESOURCE(assets);
}

namespace ui {

namespace {

const QColor kGrey(224, 224, 224);
const QColor kCyan(192, 255, 255);
const QColor kDimCyan(88, 120, 120); // "Continue" and "Exit" while disabled
const QColor kDarkBlue(0, 0, 64);    // the surface when the picture is missing

// The font of every text: Tahoma (or the platform's stand-in) at the given size.
// Cannot fail.
QFont TahomaFont(qreal pointSize) {
    QFont font(QStringLiteral("Tahoma"));
    font.setPointSizeF(pointSize);
    font.setWeight(QFont::Normal);
    font.setStyle(QFont::StyleNormal);
    font.setUnderline(false);
    font.setStrikeOut(false);
    return font;
}

// Sets role to colour in all colour groups of widget's palette. Cannot fail.
void SetColour(QWidget* widget, QPalette::ColorRole role, const QColor& colour) {
    QPalette palette = widget->palette();
    palette.setColor(QPalette::All, role, colour);
    widget->setPalette(palette);
}

// A transparent one-line label at the given place; a null size means "sized to
// its text". Cannot fail.
template <typename Label>
Label* MakeLabel(QWidget* parent, const QString& text, QRect place, qreal pointSize,
                 const QColor& colour, Qt::Alignment alignment) {
    auto* label = new Label(text, parent);
    label->setFont(TahomaFont(pointSize));
    SetColour(label, QPalette::WindowText, colour);
    label->setAlignment(alignment | Qt::AlignVCenter);
    label->setWordWrap(false);
    label->setAutoFillBackground(false);
    label->setFocusPolicy(Qt::NoFocus);
    label->setTextFormat(Qt::PlainText);
    if (place.size().isNull()) {
        label->move(place.topLeft());
        label->adjustSize();
    } else {
        label->setGeometry(place);
    }
    return label;
}

// The news box: black, read-only but selectable, wrapped at its width, with a
// vertical scroll bar always shown. Cannot fail.
QPlainTextEdit* MakeNews(QWidget* parent) {
    auto* news = new QPlainTextEdit(parent);
    news->setGeometry(16, 88, 265, 145);
    news->setFont(TahomaFont(9.75));
    QPalette palette = news->palette();
    palette.setColor(QPalette::All, QPalette::Base, Qt::black);
    palette.setColor(QPalette::All, QPalette::Text, kGrey);
    palette.setColor(QPalette::All, QPalette::WindowText, QColor(40, 40, 48)); // frame
    palette.setColor(QPalette::All, QPalette::Window, QColor(24, 24, 32));
    palette.setColor(QPalette::All, QPalette::Button, QColor(56, 56, 68));
    news->setPalette(palette);
    news->setFrameStyle(QFrame::Box | QFrame::Plain);
    news->setLineWidth(1);
    news->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    news->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    news->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    news->setReadOnly(true);
    news->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    news->setFocusPolicy(Qt::StrongFocus);
    news->verticalScrollBar()->setFocusPolicy(Qt::NoFocus);
    news->horizontalScrollBar()->setFocusPolicy(Qt::NoFocus);
    return news;
}

// text with every line longer than LongestLine characters broken, at its
// last blank within them where it has one: the news box lays a line out in a
// time that grows with the square of its length, so 1 MiB in one line would
// freeze the window for minutes. Cannot fail.
QString BreakLongLines(const QString& text) {
    constexpr qsizetype LongestLine = 1024;
    QString broken;
    broken.reserve(text.size() + text.size() / LongestLine + 1);
    qsizetype start = 0; // of the rest of the line being broken
    while (start < text.size()) {
        qsizetype end = text.indexOf(u'\n', start);
        if (end < 0)
            end = text.size();
        if (end - start <= LongestLine) {
            broken += QStringView(text).sliced(start, std::min(end + 1, text.size()) - start);
            start = end + 1;
            continue;
        }
        qsizetype cut = text.lastIndexOf(u' ', start + LongestLine);
        const bool atBlank = cut > start;
        if (!atBlank)
            cut = start + LongestLine - (text[start + LongestLine - 1].isHighSurrogate() ? 1 : 0);
        broken += QStringView(text).sliced(start, cut - start);
        broken += u'\n';
        start = atBlank ? cut + 1 : cut;
    }
    return broken;
}

} // namespace

// Remembers a left-button press on the label. Ignores other buttons.
void ClickLabel::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) {
        pressed_ = true;
        event->accept();
        return;
    }
    QLabel::mousePressEvent(event);
}

// Emits clicked() for a left-button release inside the label after a press on
// it; a release elsewhere or without a press does nothing.
void ClickLabel::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        QLabel::mouseReleaseEvent(event);
        return;
    }
    const bool wasPressed = std::exchange(pressed_, false);
    event->accept();
    if (wasPressed && isEnabled() && rect().contains(event->position().toPoint()))
        emit clicked();
}

// Forgets a press when the label is enabled or disabled, so a press from
// before the change never completes a click. Cannot fail.
void ClickLabel::changeEvent(QEvent* event) {
    if (event->type() == QEvent::EnabledChange)
        pressed_ = false;
    QLabel::changeEvent(event);
}

// The window, created on the first call and kept until the program ends.
frmUpdate& frmUpdate::Instance() {
    static frmUpdate* const window = new frmUpdate;
    return *window;
}

// Builds the window with all its controls, centred on its screen. A missing
// picture or icon leaves a plain surface or no icon; nothing else can fail.
frmUpdate::frmUpdate() : QWidget(nullptr, Qt::Window | Qt::FramelessWindowHint) {
    LoadArtwork();
    setWindowTitle(QStringLiteral("Auto Updater"));
    setFixedSize(299, 300);
    QIcon icon;
    for (const QString& file : {QStringLiteral(":/icon-32.png"), QStringLiteral(":/icon-16.png")})
        if (QFile::exists(file))
            icon.addFile(file);
    setWindowIcon(icon);
    setFocusPolicy(Qt::NoFocus);

    // Created in this order so that later controls lie on top of earlier ones.
    news = MakeNews(this);
    const auto left = Qt::AlignLeft;
    const auto centre = Qt::AlignHCenter;
    Label2 = MakeLabel<QLabel>(this, QStringLiteral("Version 0.1"), QRect(2, 288, 0, 0), 6.75,
                               kGrey, left);
    Label1 = MakeLabel<ClickLabel>(this, QStringLiteral("Exit"), QRect(54, 272, 75, 15), 8.25,
                                   kCyan, centre);
    L3 = MakeLabel<QLabel>(this, QString(), QRect(8, 232, 281, 17), 8.25, kGrey, centre);
    L2 = MakeLabel<QLabel>(this, QString(), QRect(8, 247, 281, 17), 8.25, kCyan, centre);
    lblPercent =
        MakeLabel<QLabel>(this, QStringLiteral("100%"), QRect(256, 256, 0, 0), 8.25, kCyan, centre);
    lblConnect = MakeLabel<ClickLabel>(this, QStringLiteral("Continue"), QRect(176, 272, 75, 15),
                                       8.25, kCyan, centre);
    for (ClickLabel* button : {Label1, lblConnect}) {
        QPalette palette = button->palette();
        palette.setColor(QPalette::Disabled, QPalette::WindowText, kDimCyan);
        button->setPalette(palette);
    }
    lblConnect->setEnabled(false);
    connect(Label1, &ClickLabel::clicked, this, &Label1_Click);
    connect(lblConnect, &ClickLabel::clicked, this, &lblConnect_Click);

    if (QScreen* shown = screen())
        move(shown->availableGeometry().center() - rect().center());
    news->setFocus(); // the focus it gets when the window first becomes active
}

// Draws the background picture unscaled at the top-left corner, or a plain
// dark-blue surface when the picture could not be loaded.
void frmUpdate::paintEvent(QPaintEvent*) {
    // The picture is read when first drawn, so the update starts without
    // waiting for it.
    if (background_.isNull())
        background_ = QPixmap(QStringLiteral(":/background.png"));
    QPainter painter(this);
    if (background_.isNull())
        painter.fillRect(rect(), kDarkBlue);
    else
        painter.drawPixmap(0, 0, background_);
}

// Closing the window from the keyboard or the task bar works like "Exit".
void frmUpdate::closeEvent(QCloseEvent* event) {
    QWidget::closeEvent(event);
    Label1_Click();
}

// Shows the main status line and echoes it on standard output when not empty.
void frmUpdate::SetL2(const QString& text) {
    L2->setText(text);
    if (CaptionLog)
        CaptionLog->append(QStringLiteral("L2=") + text);
    if (!text.isEmpty())
        EchoLine(text);
}

// Shows the second status line and echoes it on standard output when not empty.
void frmUpdate::SetL3(const QString& text) {
    L3->setText(text);
    if (CaptionLog)
        CaptionLog->append(QStringLiteral("L3=") + text);
    if (!text.isEmpty())
        EchoLine(text);
}

// Shows the percentage; the label keeps its left edge and fits the text.
void frmUpdate::SetPercent(const QString& text) {
    lblPercent->setText(text);
    lblPercent->adjustSize();
    if (CaptionLog)
        CaptionLog->append(QStringLiteral("lblPercent=") + text);
}

// Shows the version line; the label keeps its left edge and fits the text.
void frmUpdate::SetVersionText(const QString& text) {
    Label2->setText(text);
    Label2->adjustSize();
    if (CaptionLog)
        CaptionLog->append(QStringLiteral("Label2=") + text);
}

// Replaces the text of the news box; very long lines are broken first.
void frmUpdate::SetNews(const QString& text) {
    news->setPlainText(BreakLongLines(text));
    if (CaptionLog)
        CaptionLog->append(QStringLiteral("news=") + text);
}

// Enables or disables "Continue". Before enabling, pending events run once so
// clicks made while it was disabled reach the disabled label and are lost;
// those events may include the "Exit" click.
void frmUpdate::SetContinueEnabled(bool enabled) {
    if (enabled)
        QCoreApplication::processEvents();
    lblConnect->setEnabled(enabled);
    if (CaptionLog)
        CaptionLog->append(enabled ? QStringLiteral("lblConnect=enabled")
                                   : QStringLiteral("lblConnect=disabled"));
}

void frmUpdate::EchoLine(const QString& text) {
    const QByteArray line = text.toUtf8() + '\n';
    std::fputs(line.constData(), stdout);
    // A line goes out at once, unless one went out less than 15 ms ago: then
    // it follows as soon as events run, so thousands of lines cost few writes.
    const auto now = std::chrono::steady_clock::now();
    if (now - lastFlush_ >= std::chrono::milliseconds(15)) {
        std::fflush(stdout);
        lastFlush_ = now;
    } else if (!flushPending_) {
        flushPending_ = true;
        // A posted call, not a timer: Windows delivers timers only when no
        // other message waits, which may be never while an update runs.
        QMetaObject::invokeMethod(
            this,
            [this] {
                std::fflush(stdout);
                flushPending_ = false;
            },
            Qt::QueuedConnection);
    }
}

void frmUpdate::PumpEvents(bool waitForEvents) {
    // Events run at most every 15 ms or so: often enough for a smooth window
    // and a prompt "Exit", seldom enough that thousands of small files do not
    // wait for as many repaints.
    const auto now = std::chrono::steady_clock::now();
    if (waitForEvents || now - lastPump_ >= std::chrono::milliseconds(15)) {
        QCoreApplication::processEvents(waitForEvents ? QEventLoop::WaitForMoreEvents
                                                      : QEventLoop::AllEvents);
        std::fflush(stdout); // the status lines printed meanwhile
        lastPump_ = std::chrono::steady_clock::now();
    }
}

void frmUpdate::Say(const QString& text) {
    EchoLine(text);
    if (CaptionLog)
        CaptionLog->append(QStringLiteral("stdout=") + text);
}

void ConnectWindow() {
    modUpdate::WindowHooks& hooks = modUpdate::Window;
    hooks.Show = [] { frmUpdate::Instance().show(); };
    hooks.SetL2 = [](const QString& text) { frmUpdate::Instance().SetL2(text); };
    hooks.SetL3 = [](const QString& text) { frmUpdate::Instance().SetL3(text); };
    hooks.SetPercent = [](const QString& text) { frmUpdate::Instance().SetPercent(text); };
    hooks.SetVersionText = [](const QString& text) { frmUpdate::Instance().SetVersionText(text); };
    hooks.SetNews = [](const QString& text) { frmUpdate::Instance().SetNews(text); };
    hooks.SetContinueEnabled = [](bool enabled) {
        frmUpdate::Instance().SetContinueEnabled(enabled);
    };
    hooks.ReportFailure = [](const QString& text, const QString& details) {
        ReportFailure(text, details);
    };
    hooks.Say = [](const QString& text) { frmUpdate::Instance().Say(text); };
    hooks.PumpEvents = [](bool waitForEvents) { frmUpdate::Instance().PumpEvents(waitForEvents); };
}

} // namespace ui
