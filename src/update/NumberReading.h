#pragma once
// Turning manifest text into a number.

#include <QString>
#include <cstdint>

namespace modUpdate {
// Reads a whole number from text: blanks, tabs and line feeds are dropped
// wherever they stand, then a decimal number (optional sign, digits, optional
// decimal point with digits, optional exponent) or an integer written with the
// prefix &H (hexadecimal) or &O (octal) is read from the start up to the first
// character that cannot continue it; text without such a number gives 0. The
// number is rounded to the nearest integer, a half to the even neighbour.
// Throws UpdateFailure, naming `what`, when the result does not fit a signed
// 32-bit integer.
std::int32_t ReadNumber(const QString& text, const QString& what);

// The value of text when it is 1 to 18 decimal digits and nothing else (a
// size or a release number); -1 otherwise.
[[nodiscard]] std::int64_t ReadDigits(const QString& text);

} // namespace modUpdate
