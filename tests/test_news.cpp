// Tests of DecodeNews: the news bytes as the window shows them.
#include "update/News.h"

#include <gtest/gtest.h>

namespace {

TEST(DecodeNews, DecodesUtf8ElseTheLocalEncodingAndDropsTheMark) {
    const QByteArray mark = "\xEF\xBB\xBF";
    // Only the first byte-order mark is dropped; invalid UTF-8 (Latin-1, a cut-off
    // sequence) goes to the local 8-bit encoding (a code page on Windows).
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
