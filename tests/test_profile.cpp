// Tests of the profile (INI) reader and of reading values from files on disk.
#include "update/Profile.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <string_view>

using namespace std::string_view_literals;

namespace {

struct LookupCase {
    std::string_view ini; // may hold NUL bytes
    const char* section;
    const char* key;
    const char* expected; // UTF-8
};

QByteArray Bytes(std::string_view text) {
    return QByteArray(text.data(), qsizetype(text.size()));
}

TEST(ParseProfile, FollowsTheProfileRules) {
    const LookupCase cases[] = {
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
        {"[s]\r\nk=1\r\nj=2\r\n", "s", "k", "1"},
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
        {"[a]\nk=1\n", "c", "k", ""},
        {"", "s", "k", ""},
    };
    for (const LookupCase& c : cases) {
        const ProfileSections profile = ParseProfile(Bytes(c.ini));
        EXPECT_EQ(ProfileValue(profile, QString::fromUtf8(c.section), QString::fromUtf8(c.key)),
                  QString::fromUtf8(c.expected))
            << QByteArray(Bytes(c.ini)).toPercentEncoding().toStdString() << " " << c.key;
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
    for (const auto& [value, expected] : cases)
        EXPECT_EQ(ProfileValue(ParseProfile("[s]\nk=" + value), "s", "k"), expected);
}

TEST(ReadIniValue, SeesReplacementsAndNewFiles) {
    QTemporaryDir dir;
    const QString path = dir.filePath("info.ini");
    // Writes the file in place, its modification time set to `time` when given.
    const auto write = [&](const QByteArray& bytes, const QDateTime& time = {}) {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(bytes);
        if (time.isValid()) {
            ASSERT_TRUE(file.setFileTime(time, QFileDevice::FileModificationTime));
        }
    };
    EXPECT_EQ(ReadIniValue(path, "s", "k"), "");
    const QDateTime time = QDateTime::currentDateTime();
    write("[s]\nk=1\n", time);
    EXPECT_EQ(ReadIniValue(path, "S", "K"), "1"); // appeared after a miss
    write("[s]\nk=2\n", time); // same size and time: only being told shows the change
    ForgetIniFile(path);
    EXPECT_EQ(ReadIniValue(path, "s", "k"), "2");
    write("[s]\nk=33\n"); // a changed size is noticed without being told
    EXPECT_EQ(ReadIniValue(path, "s", "k"), "33");
    ASSERT_TRUE(QFile::remove(path));
    EXPECT_EQ(ReadIniValue(path, "s", "k"), "");
    ASSERT_TRUE(QDir().mkdir(path)); // a folder is no file
    EXPECT_EQ(ReadIniValue(path, "s", "k"), "");
}

} // namespace
