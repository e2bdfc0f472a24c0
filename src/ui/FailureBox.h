#pragma once
#include <QString>

// Shows a failure that ends the updater: always on standard error, and in a
// modal error box titled "Auto Updater" when a display is present.
void ReportFailure(const QString& message);
