// Reading what the server sends: INI text and files, numbers ("Max"), the news.
#include "update/Failure.h"
#include "update/News.h"
#include "update/NumberReading.h"
#include "update/Profile.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <optional>

#include "Platform.h"
#include <string>
#include <string_view>

using namespace modUpdate;

using namespace std::string_literals;
using namespace std::string_view_literals;

namespace {

TEST(ParseProfile, FollowsTheProfileRules) {
    // The text (it may hold NUL bytes), the section and key asked for, and the value (UTF-8).
    const std::tuple<std::string_view, const char*, const char*, const char*> cases[] = {
        // Letter case of names (ASCII only), blanks around names and values.
        {"[Main]\nMax=5\n", "MAIN", "mAx", "5"},
        {"[\xC3\x84]\nk=1\n", "\xC3\x84", "K", "1"},
        {"[\xC3\x84]\nk=1\n", "\xC3\xA4", "k", ""},
        {" [ Main ] \n \t Max \t=\t 5 \t\n", "main", "max", "5"},
        {"[s]\nk= a b \n", "s", "k", "a b"},
        {"[s]\nk=Gr\303\274\303\237e\n", "s", "k", "Gr\303\274\303\237e"},
        // One pair of matching quotes around the whole value.
        {"[s]\nk= \" a \" \n", "s", "k", " a "},
        {"[s]\nk='x'\n", "s", "k", "x"},
        {"[s]\nk=\"x'\n", "s", "k", "\"x'"},
        {"[s]\nk=\"\n", "s", "k", "\""},
        {"[s]\nk=\"\"x\"\"\n", "s", "k", "\"x\""},
        {"[s]\nk=a\"b\"\n", "s", "k", "a\"b\""},
        // Comments, headers, lines that are not key lines.
        {"[s]\n;k=1\n  ; k=2\nk=3\n", "s", "k", "3"},
        {"[s]\nk=a;b\n", "s", "k", "a;b"},
        {"[s] text after\nk=1\n", "s", "k", "1"},
        {"[s\nk=1\n", "s", "k", ""},
        {"k=0\n[s]\nk=1\n", "", "k", ""},
        {"[s]\nk\nk=1\n", "s", "k", "1"},
        {"[s]\n=5\n", "s", "", ""},
        {"[s]\nk=a=b\n", "s", "k", "a=b"},
        {"[s]\nk=\n", "s", "k", ""},
        // The first key of a name wins; repeated sections merge.
        {"[s]\nk=1\nK=2\n", "s", "k", "1"},
        {"[s]\nk=1\n[t]\nk=3\n[S]\nk=2\nj=4\n", "s", "k", "1"},
        {"[s]\nk=1\n[t]\nk=3\n[S]\nk=2\nj=4\n", "s", "j", "4"},
        // Line ends, byte-order mark, NUL bytes.
        {"[s]\r\nk=1\r\nj=2\r\n", "s", "j", "2"},
        {"[s]\rk=1\rj=2", "s", "j", "2"},
        {"\xEF\xBB\xBF[s]\nk=1\n", "s", "k", "1"},
        {"[s]\nk=ab\0cd\nj=2\n"sv, "s", "k", "ab"},
        {"[s]\nk=ab\0cd\nj=2\n"sv, "s", "j", "2"},
        {"[s]\nk\0=1\n"sv, "s", "k", ""},
        // Similar names and other sections are never mixed up.
        {"[s]\nFileName10=b\nFileName1=a\n", "s", "FileName1", "a"},
        {"[s]\nFileName10=b\nFileName1=a\n", "s", "FileName10", "b"},
        {"[s]\nFileName10=b\n", "s", "FileName1", ""},
        {"[a]\nk=1\n[b]\nj=2\n", "b", "k", ""},
        {"", "s", "k", ""},
    };
    for (const auto& [text, section, key, value] : cases) {
        const QByteArray ini(text.data(), qsizetype(text.size()));
        EXPECT_EQ(ProfileValue(ParseProfile(ini), QString::fromLocal8Bit(section),
                               QString::fromLocal8Bit(key)),
                  QString::fromLocal8Bit(value)) // Windows reads its own 8-bit code page
            << ini.toPercentEncoding().toStdString() << " " << key;
    }
}

TEST(ParseProfile, CutsLongValues) {
    const QByteArray pair = "\xF0\x9F\x98\x80"; // one character, two UTF-16 units
    const std::pair<QByteArray, QString> cases[] = {
        {QByteArray(4999, 'a'), QString(4999, u'a')},
        {QByteArray(5000, 'a'), QString(4999, u'a')},
        {'"' + QByteArray(5000, 'a') + '"', QString(4999, u'a')},
        {QByteArray(4997, 'a') + pair, QString(4997, u'a') + QString::fromUtf8(pair)},
        {QByteArray(4998, 'a') + pair, QString(4998, u'a')},
        {QByteArray(10'000'000, 'x'), QString(4999, u'x')}};
    for (const auto& [value, expected] : cases) {
        if (value.endsWith(pair) && QString::fromLocal8Bit(pair) != QString::fromUtf8(pair))
            continue; // a pair is one character only where the 8-bit encoding is UTF-8
        EXPECT_EQ(ProfileValue(ParseProfile("[s]\nk=" + value), "s", "k"), expected);
    }
}

TEST(ReadIniValue, ReadsTheFileAsItIsNow) {
    QTemporaryDir dir;
    const QString path = dir.filePath("info.ini");
    EXPECT_EQ(ReadIniValue(path, "s", "k"), "");
    for (const std::string value : {"1", "2"}) {
        WriteFile(path, "[s]\nk=" + value + "\n");
        EXPECT_EQ(ReadIniValue(path, "S", "K").toStdString(), value);
    }
}

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
}

TEST(DecodeNews, DecodesUtf8ElseTheLocalEncodingAndDropsTheMark) {
    const QByteArray mark = "\xEF\xBB\xBF";
    // Only the first byte-order mark is dropped; invalid UTF-8 is read as local 8-bit.
    const std::pair<QByteArray, QString> cases[] = {
        {"", ""},
        {"Server up\r\n", "Server up\r\n"},
        {"Gr\xC3\xBC\xC3\x9F"
         "e \xE2\x80\x94 \xE2\x9C\x93",
         QStringLiteral("Gr\u00FC\u00DFe \u2014 \u2713")},
        {mark + "News", "News"},
        {mark, ""},
        {mark + mark + "x", QStringLiteral("\uFEFFx")},
        {"caf\xE9 ouvert", QString::fromLocal8Bit("caf\xE9 ouvert")},
        {mark + "caf\xE9", QString::fromLocal8Bit("caf\xE9")},
        {"ok\xC3", QString::fromLocal8Bit("ok\xC3")}};
    for (const auto& [bytes, expected] : cases)
        EXPECT_EQ(DecodeNews(bytes).toStdU16String(), expected.toStdU16String())
            << bytes.toPercentEncoding().toStdString();
}

} // namespace
