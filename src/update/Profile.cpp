#include "update/Profile.h"

#include <QFile>

#include "update/Paths.h"

namespace modUpdate {
namespace {

// True for the two characters the reader treats as blanks.
bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

// The bytes of text without blanks at either end. Cannot fail.
QByteArrayView TrimBlanks(QByteArrayView text) {
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && IsBlank(text[begin]))
        ++begin;
    while (end > begin && IsBlank(text[end - 1]))
        --end;
    return text.sliced(begin, end - begin);
}

// text with ASCII letters A-Z turned into a-z; other characters stay as they are.
QString FoldCase(QString text) {
    for (QChar& c : text) {
        if (c >= u'A' && c <= u'Z')
            c = QChar(c.unicode() + (u'a' - u'A'));
    }
    return text;
}

// text cut to MaxProfileValueLength characters, never ending in half a
// surrogate pair. Cannot fail.
QString CutValue(const QString& text) {
    if (text.size() <= MaxProfileValueLength)
        return text;
    qsizetype length = MaxProfileValueLength;
    if (text[length - 1].isHighSurrogate())
        --length;
    return text.first(length);
}

// Decodes bytes with the platform's 8-bit encoding; plain ASCII, by far the
// most common text in a manifest, takes the fast way. Cannot fail.
QString Decode(QByteArrayView bytes) {
    for (const char c : bytes) {
        if (static_cast<unsigned char>(c) >= 0x80)
            return QString::fromLocal8Bit(bytes);
    }
    return QString::fromLatin1(bytes);
}

// Decodes a section or key name: blanks trimmed, letter case folded. Cannot fail.
QString DecodeName(QByteArrayView bytes) {
    return FoldCase(Decode(TrimBlanks(bytes)));
}

// Decodes a value: blanks trimmed, one pair of matching quotes removed, cut to
// the longest value returned. Cannot fail. Only a bounded prefix is decoded, so
// a huge value costs no more than a short one; no encoding needs more than 4
// bytes for one UTF-16 unit, so the prefix always covers the characters kept.
QString DecodeValue(QByteArrayView bytes) {
    QByteArrayView value = TrimBlanks(bytes);
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front())
        value = value.sliced(1, value.size() - 2);
    const qsizetype prefix = 4 * (qsizetype(MaxProfileValueLength) + 4);
    return CutValue(Decode(value.first(qMin(value.size(), prefix))));
}

} // namespace

// Reads the file line by line; structure (brackets, "=", ";", line ends) is
// found in the raw bytes, which works for UTF-8 and other ASCII-compatible
// encodings; only names and values are decoded. Never fails.
ProfileSections ParseProfile(const QByteArray& bytes) {
    ProfileSections sections;
    QByteArrayView rest(bytes);
    if (rest.startsWith("\xEF\xBB\xBF"))
        rest = rest.sliced(3);
    QHash<QString, QString>* keys = nullptr; // the current section, none yet
    while (!rest.isEmpty()) {
        qsizetype end = 0;
        while (end < rest.size() && rest[end] != '\n' && rest[end] != '\r')
            ++end;
        QByteArrayView line = rest.first(end);
        rest = rest.sliced(qMin(end + 1, rest.size()));
        if (const qsizetype nul = line.indexOf('\0'); nul >= 0)
            line = line.first(nul);
        line = TrimBlanks(line);
        if (line.isEmpty() || line.front() == ';')
            continue;
        if (line.front() == '[') {
            // "[name" without a closing bracket is no header; it is skipped.
            const qsizetype close = line.indexOf(']');
            if (close >= 0)
                keys = &sections[DecodeName(line.sliced(1, close - 1))];
            continue;
        }
        const qsizetype equals = line.indexOf('=');
        if (keys == nullptr || equals < 0)
            continue;
        const QString key = DecodeName(line.first(equals));
        if (key.isEmpty() || keys->contains(key))
            continue;
        keys->insert(key, DecodeValue(line.sliced(equals + 1)));
    }
    return sections;
}

// Looks the names up with their letter case folded; "" when either is missing.
QString ProfileValue(const ProfileSections& profile, const QString& section, const QString& key) {
    const auto keys = profile.constFind(FoldCase(section));
    if (keys == profile.constEnd())
        return QString();
    return CutValue(keys->value(FoldCase(key)));
}

namespace {} // namespace

ProfileSections ReadProfile(const QString& path) {
    QFile file(path);
    if (!IsPlainFile(path) || !file.open(QIODevice::ReadOnly))
        return ProfileSections();
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return ProfileSections();
    return ParseProfile(bytes);
}

QString ReadIniValue(const QString& path, const QString& section, const QString& key) {
    return ProfileValue(ReadProfile(path), section, key);
}

} // namespace modUpdate
