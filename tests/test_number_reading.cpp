// Tests of ReadNumber: the number reading manifests use for "Max".
#include "update/Failure.h"
#include "update/NumberReading.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

using namespace std::string_literals;

namespace {

TEST(ReadNumber, ReadsTheNumberAtTheStartOrRefusesItsRange) {
    const QString what = QStringLiteral("\"Max\" in the server's info.ini");
    const std::optional<std::int32_t> out; // out of range: refused
    const std::u16string zeros(5000, u'0'), nines(400, u'9');
    // clang-format off
    const std::pair<std::u16string, std::optional<std::int32_t>> cases[] = {
        // Reading stops where the number ends; no number gives 0.
        {u"12abc", 12}, {u"abc", 0}, {u"", 0}, {u"-", 0}, {u".", 0}, {u"+3", 3}, {u"3-", 3},
        {u"--1", 0}, {u"1.5.3", 2}, {u"5.", 5}, {u"1\0002"s, 1}, {u"1\r2", 1}, {u"\u0663", 0},
        {u"\u00A01", 0},
        // Spaces, tabs and line feeds are dropped wherever they stand.
        {u"1 2", 12}, {u"1\n2", 12}, {u"\t7\n", 7}, {u" - 1 e 2", -100}, {u"& H 1 F", 31},
        // Rounding to the nearest integer, a half to the even neighbour, in double precision.
        {u"2.5", 2}, {u"3.5", 4}, {u"-2.5", -2}, {u"-3.5", -4}, {u"0.5", 0}, {u"-0.5", 0},
        {u".5", 0}, {u"1.5", 2}, {u"2.6", 3}, {u"-1.4", -1}, {u"2147483646.5", 2147483646},
        {u"3.4999999999999999999", 4},
        // Exponents: E or D, signed, counted only with a digit after them.
        {u"1e3", 1000}, {u"1e", 1}, {u"1e+", 1}, {u"1.5e1", 15}, {u"15e-1", 2}, {u"1d2", 100},
        {u"1D+2", 100}, {u"5.e2", 500}, {u"1e-999", 0}, {u"1e-350", 0}, {u"-1e-400", 0},
        {u"0." + zeros + u"1e5001", 1}, {u"0.000000000000000000000000000000000000000001", 0},
        {u"12345678901234567890e-19", 1},
        // &H and &O integers.
        {u"&H1F", 31}, {u"&h1f", 31}, {u"&O17", 15}, {u"&o178", 15}, {u"&H", 0}, {u"&Hx", 0},
        {u"&O8", 0}, {u"&", 0}, {u"&H7FFFFFFF", 2147483647}, {u"&H00000000000001", 1},
        // The ends of the 32-bit range, and beyond.
        {u"2147483647", 2147483647}, {u"-2147483648", -2147483648}, {u"2147483648", out},
        {u"-2147483648.5", -2147483648}, {u"2147483647.4", 2147483647}, {u"2147483647.5", out},
        {u"-2147483649", out}, {u"-2147483648.6", out}, {u"&HFFFFFFFF", out}, {u"&H80000000", out},
        {u"&O20000000000", out}, {u"1e10", out}, {u"1e999", out}, {u"-1e999", out},
        {u"1e99999999999999999999", out}, {nines, out}, {u"0." + zeros + u"3e5010", out}};
    // clang-format on
    for (const auto& [utf16, expected] : cases) {
        const QString text = QString::fromStdU16String(utf16);
        SCOPED_TRACE(text.left(60).toStdString());
        try {
            EXPECT_EQ(ReadNumber(text, what), expected);
        } catch (const UpdateFailure& failure) {
            EXPECT_FALSE(expected.has_value()) << failure.message().toStdString();
            EXPECT_TRUE(failure.message().startsWith(what + " is out of range: "));
        }
    }
    try {
        ReadNumber(QStringLiteral("2147483648"), what);
    } catch (const UpdateFailure& failure) {
        EXPECT_EQ(failure.message(), what + " is out of range: \"2147483648\" is not a whole "
                                            "number from -2147483648 to 2147483647.");
    }
}

} // namespace
