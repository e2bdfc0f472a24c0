// Tests of DecodeNews: the news bytes as the window shows them.
#include "update/News.h"

#include <gtest/gtest.h>

namespace {

TEST(DecodeNews, DecodesUtf8ElseTheLocalEncodingAndDropsTheMark) {
    const struct {
        const char* what;
        QByteArray bytes;
        QString expected;
    } cases[] = {
        {"empty", "", QStringLiteral("")},
        {"ASCII", "Server up\r\n", QStringLiteral("Server up\r\n")},
        {"UTF-8",
         "Gr\xC3\xBC\xC3\x9F"
         "e \xE2\x80\x94 \xE2\x9C\x93",
         QStringLiteral("Gr\u00FC\u00DFe \u2014 \u2713")},
        {"UTF-8 mark", "\xEF\xBB\xBFNews", QStringLiteral("News")},
        {"mark alone", "\xEF\xBB\xBF", QStringLiteral("")},
        {"second mark kept", "\xEF\xBB\xBF\xEF\xBB\xBFx", QStringLiteral("\uFEFFx")},
        // Invalid UTF-8 goes to the local 8-bit encoding (a code page on Windows).
        {"Latin-1", "caf\xE9 ouvert", QString::fromLocal8Bit("caf\xE9 ouvert")},
        {"Latin-1 after a mark",
         "\xEF\xBB\xBF"
         "caf\xE9",
         QString::fromLocal8Bit("caf\xE9")},
        {"cut-off sequence", "ok\xC3", QString::fromLocal8Bit("ok\xC3")},
    };
    for (const auto& row : cases)
        EXPECT_EQ(DecodeNews(row.bytes).toStdU16String(), row.expected.toStdU16String())
            << row.what;
}

} // namespace
