#include "update/Failure.h"

UpdateFailure::UpdateFailure(const QString& message, const QString& brief)
    : std::runtime_error(message.toStdString()), message_(message), brief_(brief) {}

void Fail(const QString& message, const QString& brief) {
    throw UpdateFailure(
        message, brief.isEmpty() ? QStringLiteral("The update could not be installed.") : brief);
}
