#pragma once
// The speed cap a player asks for: "--limit-rate 2M" (or "--limit-rate=2M") on
// the command line, or the environment variable QUELMOR_LIMIT_RATE, which a
// desktop shortcut or a launcher can set; the command line wins.

#include <QString>
#include <QStringList>
#include <cstdint>

namespace modUpdate {
// Bytes per second of a speed written as for curl's --limit-rate: a number of
// bytes, whole or with a decimal fraction, and optionally the suffix k, m or g
// in either case (1024, 1024^2, 1024^3 bytes): "500k", "2M", "1.5m". Blanks
// around it are ignored. 0 for a speed of 0 (no cap); -1 for text that is no
// such speed, one below a byte per second but not 0, or one too large to count.
[[nodiscard]] std::int64_t ReadSpeed(const QString& text);

// The cap asked for by arguments (the program's name first) or, when they name
// none, by environment (the value of QUELMOR_LIMIT_RATE; "" when unset), in
// bytes per second; 0 for none. A value that is not understood gives 0, and
// warning becomes a line for standard error saying so; otherwise it is cleared.
[[nodiscard]] std::int64_t LimitRateOf(const QStringList& arguments, const QString& environment,
                                       QString& warning);

} // namespace modUpdate
