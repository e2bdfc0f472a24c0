#pragma once
// Asking for the password of an encrypted secret key.

#include <QByteArray>
#include <QString>
#include <QTextStream>
#include <optional>

namespace publish {
// The password read from standard input. On a terminal: prompt is shown on
// err and the typed line is read with echo turned off. Otherwise (a pipe or a
// file, as in a build script): the first line is read, without a prompt.
// Nothing when the input ends before a line is given.
[[nodiscard]] std::optional<QByteArray> ReadPassword(const QString& prompt, QTextStream& err);

} // namespace publish
