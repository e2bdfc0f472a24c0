#pragma once
// The updater's only window: a frameless 299 x 300 panel whose surface is the
// background picture, with the news box, the status lines, the percentage, the
// version and the two clickable labels "Exit" and "Continue".

#include <QLabel>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QStringList>
#include <QWidget>
#include <chrono>

namespace ui {
// A transparent label that reports a click (press and release on it) while enabled.
class ClickLabel : public QLabel {
    Q_OBJECT
  public:
    using QLabel::QLabel;

  signals:
    void clicked();

  protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void changeEvent(QEvent* event) override;

  private:
    bool pressed_ = false;
};

class frmUpdate : public QWidget {
    Q_OBJECT
  public:
    // The one window; created on first use.
    static frmUpdate& Instance();

    // Caption setters: the update logic changes the window only through these.
    // A caption of L2 or L3 that is not empty is also written as one line on
    // standard output, so a run can be followed from a terminal.
    void SetL2(const QString& text);
    void SetL3(const QString& text);
    void SetPercent(const QString& text);
    void SetVersionText(const QString& text); // Label2, grows to the right
    void SetNews(const QString& text);
    // Enabling first drops clicks that arrived while "Continue" was disabled.
    void SetContinueEnabled(bool enabled);
    // Writes a line to standard output that the window does not show.
    void Say(const QString& text);
    // Lets pending window events run (after sleeping until one comes, with
    // waitForEvents); called often, it lets them run every 15 ms or so.
    void PumpEvents(bool waitForEvents);

    // Set while "Continue" starts the game: a second click then does nothing.
    bool gameStarting = false;

    QPlainTextEdit* news;
    QLabel* Label2;
    QLabel* lblPercent;
    ClickLabel* Label1; // "Exit"
    QLabel* L3;
    QLabel* L2;
    ClickLabel* lblConnect; // "Continue"

    // When not null, every caption change is appended as "Name=text" (for tests).
    QStringList* CaptionLog = nullptr;

  protected:
    void paintEvent(QPaintEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

  private:
    frmUpdate();
    // Writes a status line to standard output in UTF-8, flushed at once or
    // soon after. Output errors are ignored.
    void EchoLine(const QString& text);

    QPixmap background_;
    std::chrono::steady_clock::time_point lastFlush_, lastPump_;
    bool flushPending_ = false;
};

// Lets the update run show its status on the window (created at the first
// thing shown). Call once before the run starts.
void ConnectWindow();

} // namespace ui
