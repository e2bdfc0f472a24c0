#include "update/NumberReading.h"

#include "update/Failure.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <system_error>

namespace modUpdate {
namespace {

constexpr std::int64_t Int32Min = std::numeric_limits<std::int32_t>::min();
constexpr std::int64_t Int32Max = std::numeric_limits<std::int32_t>::max();

// The characters of text that can take part in a number, in ASCII: spaces,
// tabs and line feeds are dropped, and reading ends at a NUL or at any
// character outside ASCII (none of them can continue a number).
std::string Compact(const QString& text) {
    std::string out;
    out.reserve(std::size_t(text.size()));
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if (u == u' ' || u == u'\t' || u == u'\n')
            continue;
        if (u == 0 || u > 0x7F)
            break;
        out.push_back(char(u));
    }
    return out;
}

// The value of digit c in the given base, or -1 when c is no such digit.
int DigitValue(char c, int base) {
    int value = -1;
    if (c >= '0' && c <= '9')
        value = c - '0';
    else if (c >= 'a' && c <= 'f')
        value = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
        value = c - 'A' + 10;
    return value < base ? value : -1;
}

// The length of the run of decimal digits at the start of s.
std::size_t DigitRun(std::string_view s) {
    std::size_t n = 0;
    while (n < s.size() && s[n] >= '0' && s[n] <= '9')
        ++n;
    return n;
}

// Reads the digits after &H or &O as a non-negative value; a value too large
// for 32 bits comes back as one more than Int32Max. No digits give 0.
std::int64_t ReadPrefixed(std::string_view digits, int base) {
    std::int64_t value = 0;
    for (const char c : digits) {
        const int digit = DigitValue(c, base);
        if (digit < 0)
            break;
        value = value * base + digit;
        if (value > Int32Max)
            return Int32Max + 1;
    }
    return value;
}

// Reads the exponent at the start of s (E or D, optional sign, digits), capped
// far beyond any useful size; 0 when s does not start with one.
std::int64_t ReadExponent(std::string_view s) {
    if (s.empty() || std::string_view("eEdD").find(s[0]) == std::string_view::npos)
        return 0;
    const bool negative = s.substr(1).starts_with('-');
    const std::size_t digitsAt = negative || s.substr(1).starts_with('+') ? 2 : 1;
    std::int64_t exponent = 0;
    for (const char c : s.substr(digitsAt, DigitRun(s.substr(digitsAt))))
        exponent = std::min<std::int64_t>(exponent * 10 + (c - '0'), 1'000'000'000);
    return negative ? -exponent : exponent;
}

// Reads a decimal number from the start of s and rounds it to the nearest
// integer, a half to the even neighbour. A value far outside the 32-bit range
// comes back as Int32Max + 1 (or Int32Min - 1); no number gives 0.
std::int64_t ReadDecimal(std::string_view s) {
    const bool negative = s.starts_with('-');
    std::size_t at = negative || s.starts_with('+') ? 1 : 0;
    const std::string_view whole = s.substr(at, DigitRun(s.substr(at)));
    at += whole.size();
    std::string_view fraction;
    if (at < s.size() && s[at] == '.') {
        fraction = s.substr(at + 1, DigitRun(s.substr(at + 1)));
        if (!whole.empty() || !fraction.empty())
            at += 1 + fraction.size();
    }
    if (whole.empty() && fraction.empty())
        return 0;
    const std::int64_t exponent = ReadExponent(s.substr(at));
    // Where the first significant digit stands (10^magnitude): decides far too
    // large and far too small values without computing them.
    const std::size_t wholeLead = whole.find_first_not_of('0');
    const std::size_t fractionLead = fraction.find_first_not_of('0');
    if (wholeLead == std::string_view::npos && fractionLead == std::string_view::npos)
        return 0;
    const std::int64_t magnitude =
        exponent + (wholeLead != std::string_view::npos ? std::int64_t(whole.size() - wholeLead) - 1
                                                        : -std::int64_t(fractionLead) - 1);
    if (magnitude >= 10)
        return negative ? Int32Min - 1 : Int32Max + 1;
    if (magnitude <= -2)
        return 0; // below 0.1 in size
    // Between 0.1 and 1e10 in size: no overflow or underflow can happen here.
    std::string number = negative ? "-" : "";
    number.append(whole.empty() ? std::string_view("0") : whole);
    number.append(".").append(fraction.empty() ? std::string_view("0") : fraction);
    number.append("e").append(std::to_string(exponent));
    double value = 0;
    const auto result = std::from_chars(number.data(), number.data() + number.size(), value);
    if (result.ec != std::errc())
        return negative ? Int32Min - 1 : Int32Max + 1;
    // remainder(x, 1) is x minus its nearest integer (ties to even), exactly.
    return std::int64_t(value - std::remainder(value, 1.0));
}

// The text for an error message: blanks at the ends dropped, very long text shortened.
QString Quoted(const QString& text) {
    constexpr qsizetype Longest = 60;
    const QString shown = text.trimmed();
    if (shown.size() <= Longest)
        return u'"' + shown + u'"';
    return u'"' + shown.first(Longest) + QStringLiteral("...\"");
}

} // namespace

// Reads &H/&O integers or decimal numbers as described in the header; throws
// UpdateFailure naming `what` when the rounded value does not fit 32 bits.
std::int32_t ReadNumber(const QString& text, const QString& what) {
    const std::string compact = Compact(text);
    const std::string_view s(compact);
    std::int64_t value = 0;
    if (s.size() >= 2 && s[0] == '&' && (s[1] == 'H' || s[1] == 'h'))
        value = ReadPrefixed(s.substr(2), 16);
    else if (s.size() >= 2 && s[0] == '&' && (s[1] == 'O' || s[1] == 'o'))
        value = ReadPrefixed(s.substr(2), 8);
    else
        value = ReadDecimal(s);
    if (value < Int32Min || value > Int32Max)
        Fail(QStringLiteral("%1 is out of range: %2 is not a whole number from -2147483648 to "
                            "2147483647.")
                 .arg(what, Quoted(text)),
             ForPlayer::ListBroken());
    return std::int32_t(value);
}

std::int64_t ReadDigits(const QString& text) {
    bool digits = !text.isEmpty() && text.size() <= 18;
    for (const QChar c : text)
        digits = digits && c >= u'0' && c <= u'9';
    return digits ? text.toLongLong() : -1;
}

} // namespace modUpdate
