#pragma once
#include <QString>

namespace ui {
// Shows a failure: in words for the player (text) in a modal error box titled
// "Auto Updater" when a display is present, with the technical details behind
// a button; the details (or the text, without details) always on standard error.
void ReportFailure(const QString& text, const QString& details = QString());

} // namespace ui
