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
    const struct {
        QByteArray value;
        QString expected;
    } cases[] = {
        {QByteArray(4999, 'a'), QString(4999, u'a')},
        {QByteArray(5000, 'a'), QString(4999, u'a')},
        {'"' + QByteArray(5000, 'a') + '"', QString(4999, u'a')},
        {QByteArray(4997, 'a') + pair, QString(4997, u'a') + QString::fromUtf8(pair)},
        {QByteArray(4998, 'a') + pair, QString(4998, u'a')},
        {QByteArray(10'000'000, 'x'), QString(4999, u'x')},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ProfileValue(ParseProfile("[s]\nk=" + c.value), "s", "k"), c.expected);
}

TEST(ParseProfile, SurvivesGarbage) {
    QByteArray garbage(1'000'000, '\0');
    quint32 seed = 12345;
    for (char& byte : garbage) {
        seed = seed * 1664525u + 1013904223u;
        byte = char(seed >> 24);
    }
    const ProfileSections profile = ParseProfile("[s]\n" + garbage + "\n[t]\nk=1\n");
    EXPECT_EQ(ProfileValue(profile, "t", "k"), "1");
    for (const auto& keys : profile) {
        for (const QString& value : keys)
            EXPECT_FALSE(value.contains(QChar(0)));
    }
}

class ReadIniValueTest : public ::testing::Test {
  protected:
    QTemporaryDir dir;
    QString path = dir.filePath("info.ini");

    // Writes the file in place, its modification time set to `time` when given.
    void Write(const QByteArray& bytes, const QDateTime& time = {}) {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        ASSERT_EQ(file.write(bytes), bytes.size());
        ASSERT_TRUE(file.flush());
        if (time.isValid()) {
            ASSERT_TRUE(file.setFileTime(time, QFileDevice::FileModificationTime));
        }
    }
};

TEST_F(ReadIniValueTest, SeesReplacementsAndNewFiles) {
    EXPECT_EQ(ReadIniValue(path, "s", "k"), "");
    const QDateTime time = QDateTime::currentDateTime();
    Write("[s]\nk=1\n", time);
    EXPECT_EQ(ReadIniValue(path, "S", "K"), "1"); // appeared after a miss
    Write("[s]\nk=2\n", time); // same size and time: only being told shows the change
    ForgetIniFile(path);
    EXPECT_EQ(ReadIniValue(path, "s", "k"), "2");
    Write("[s]\nk=33\n"); // a changed size is noticed without being told
    EXPECT_EQ(ReadIniValue(path, "s", "k"), "33");
    ASSERT_TRUE(QFile::remove(path));
    EXPECT_EQ(ReadIniValue(path, "s", "k"), "");
    ASSERT_TRUE(QDir().mkdir(path)); // a folder is no file
    EXPECT_EQ(ReadIniValue(path, "s", "k"), "");
}

TEST_F(ReadIniValueTest, ServesEveryKeyOfALargeFile) {
    constexpr int Entries = 5'000;
    QByteArray ini = "[Files]\n";
    for (int i = 1; i <= Entries; ++i)
        ini += "FileName" + QByteArray::number(i) + "=f" + QByteArray::number(i) + "\nSize" +
               QByteArray::number(i) + "=" + QByteArray::number(i * 7) + "\n";
    Write(ini);
    for (int i = 1; i <= Entries; ++i) {
        const QString n = QString::number(i);
        ASSERT_EQ(ReadIniValue(path, "Files", "FileName" + n), "f" + n);
        ASSERT_EQ(ReadIniValue(path, "Files", "Size" + n), QString::number(i * 7));
        ASSERT_EQ(ReadIniValue(path, "Files", "Hash" + n), "");
    }
}

} // namespace
