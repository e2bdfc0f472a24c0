// Tests of ReadNumber: the number reading manifests use for "Max".
#include "update/Failure.h"
#include "update/NumberReading.h"

#include <gtest/gtest.h>

#include <string>

using namespace std::string_literals;

namespace {

struct NumberCase {
    std::u16string text; // may hold a NUL
    std::int32_t expected;
};

QString Text(const std::u16string& text) {
    return QString::fromUtf16(text.data(), qsizetype(text.size()));
}

const QString What = QStringLiteral("\"Max\" in the server's info.ini");

TEST(ReadNumber, ReadsTheNumberAtTheStart) {
    const NumberCase cases[] = {
        // Reading stops where the number ends; no number gives 0.
        {u"12abc", 12},
        {u"abc", 0},
        {u"", 0},
        {u"-", 0},
        {u".", 0},
        {u"+3", 3},
        {u"3-", 3},
        {u"--1", 0},
        {u"1.5.3", 2},
        {u"5.", 5},
        {u"1\0002"s, 1},
        {u"1\r2", 1},
        {u"\u0663", 0},
        {u"\u00A01", 0},
        // Spaces, tabs and line feeds are dropped wherever they stand.
        {u"1 2", 12},
        {u"1\n2", 12},
        {u"\t7\n", 7},
        {u" - 1 e 2", -100},
        {u"& H 1 F", 31},
        // Rounding to the nearest integer, a half to the even neighbour.
        {u"2.5", 2},
        {u"3.5", 4},
        {u"-2.5", -2},
        {u"-3.5", -4},
        {u"0.5", 0},
        {u"-0.5", 0},
        {u".5", 0},
        {u"1.5", 2},
        {u"2.6", 3},
        {u"-1.4", -1},
        {u"2147483646.5", 2147483646},
        {u"3.4999999999999999999", 4}, // the value is computed in double precision
        // Exponents: E or D, signed, counted only with a digit after them.
        {u"1e3", 1000},
        {u"1e", 1},
        {u"1e+", 1},
        {u"1.5e1", 15},
        {u"15e-1", 2},
        {u"1d2", 100},
        {u"1D+2", 100},
        {u"5.e2", 500},
        {u"1e-999", 0},
        {u"1e-350", 0},
        {u"-1e-400", 0},
        {u"0." + std::u16string(5000, u'0') + u"1e5001", 1},
        {u"0.000000000000000000000000000000000000000001", 0},
        {u"12345678901234567890e-19", 1},
        // &H and &O integers.
        {u"&H1F", 31},
        {u"&h1f", 31},
        {u"&O17", 15},
        {u"&o178", 15},
        {u"&H", 0},
        {u"&Hx", 0},
        {u"&O8", 0},
        {u"&", 0},
        {u"&H7FFFFFFF", 2147483647},
        {u"&H00000000000001", 1},
        // The ends of the 32-bit range.
        {u"2147483647", 2147483647},
        {u"-2147483648", -2147483648},
        {u"-2147483648.5", -2147483648},
        {u"2147483647.4", 2147483647}};
    for (const NumberCase& c : cases)
        EXPECT_EQ(ReadNumber(Text(c.text), What), c.expected) << Text(c.text).toStdString();
}

TEST(ReadNumber, RefusesValuesOutsideTheRange) {
    const std::u16string cases[] = {u"2147483648",
                                    u"2147483647.5",
                                    u"-2147483649",
                                    u"-2147483648.6",
                                    u"&HFFFFFFFF",
                                    u"&H80000000",
                                    u"&O20000000000",
                                    u"1e10",
                                    u"1e999",
                                    u"-1e999",
                                    u"1e99999999999999999999",
                                    std::u16string(400, u'9'),
                                    u"0." + std::u16string(5000, u'0') + u"3e5010"};
    for (const std::u16string& text : cases) {
        try {
            const std::int32_t value = ReadNumber(Text(text), What);
            ADD_FAILURE() << Text(text).toStdString() << " gave " << value;
        } catch (const UpdateFailure& failure) {
            EXPECT_TRUE(failure.message().startsWith(What + " is out of range: "))
                << failure.message().toStdString();
        }
    }
}

TEST(ReadNumber, MessageQuotesTheText) {
    try {
        ReadNumber(QStringLiteral("2147483648"), What);
        FAIL() << "no failure";
    } catch (const UpdateFailure& failure) {
        EXPECT_EQ(failure.message(),
                  What + " is out of range: \"2147483648\" is not a whole number from "
                         "-2147483648 to 2147483647.");
    }
}

} // namespace
