#include "ui/FailureBox.h"

#include <QApplication>
#include <QGuiApplication>
#include <QMessageBox>
#include <cstdio>

#include "ui/frmUpdate.h"

namespace ui {
namespace {

// True when failures can be shown in a box: a widget application on a real display.
bool HasDisplay() {
    if (qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr)
        return false;
    const QString platform = QGuiApplication::platformName();
    return platform != QLatin1String("offscreen") && platform != QLatin1String("minimal");
}

} // namespace

// Writes the details (or, without details, the text) on standard error, then
// shows the text in a modal error box when a display is present, the details
// behind its "Show Details..." button. Output errors are ignored.
void ReportFailure(const QString& text, const QString& details) {
    const QByteArray line = (details.isEmpty() ? text : details).toUtf8() + '\n';
    std::fputs(line.constData(), stderr);
    std::fflush(stderr);
    if (!HasDisplay())
        return;
    QWidget* parent = nullptr; // the window, when it exists and is shown
    for (QWidget* top : QApplication::topLevelWidgets())
        if (qobject_cast<frmUpdate*>(top) != nullptr && top->isVisible())
            parent = top;
    QMessageBox box(QMessageBox::Critical, QStringLiteral("Auto Updater"), text, QMessageBox::Ok,
                    parent);
    box.setDetailedText(details);
    box.exec();
}

} // namespace ui
