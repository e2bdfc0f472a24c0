#include "update/Failure.h"

UpdateFailure::UpdateFailure(const QString& message)
    : std::runtime_error(message.toStdString()), message_(message) {}

void Fail(const QString& message) {
    throw UpdateFailure(message);
}
