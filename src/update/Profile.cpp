#include "update/Profile.h"

#include <QFile>
#include <QFileInfo>

#include <cstdint>
#include <mutex>
#include <optional>

#ifdef Q_OS_WIN
#include <QDir>
#include <windows.h>
#else
#include <filesystem>
#include <sys/stat.h>
#include <system_error>
#endif

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

namespace {

// What identifies one version of a file on disk: size and modification time in
// full precision, plus the inode where the system has one (a file replaced by
// renaming another over it gets a new inode).
struct FileStamp {
    std::int64_t size = 0;
    std::int64_t modified = 0;
    std::int64_t modifiedNs = 0;
    std::uint64_t inode = 0;
    bool operator==(const FileStamp&) const = default;
};

// The stamp of the file at path with a single status call; nothing when it is
// missing or not an ordinary file of its own (a link to one counts as none).
std::optional<FileStamp> StampOf(const QString& path) {
#ifdef Q_OS_WIN
    WIN32_FILE_ATTRIBUTE_DATA info{};
    const std::wstring native = QDir::toNativeSeparators(path).toStdWString();
    if (!GetFileAttributesExW(native.c_str(), GetFileExInfoStandard, &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0)
        return std::nullopt;
    FileStamp stamp;
    stamp.size = std::int64_t((std::uint64_t(info.nFileSizeHigh) << 32) | info.nFileSizeLow);
    stamp.modified = std::int64_t((std::uint64_t(info.ftLastWriteTime.dwHighDateTime) << 32) |
                                  info.ftLastWriteTime.dwLowDateTime); // 100 ns steps
    return stamp;
#else
    struct stat info {};
    if (::lstat(QFile::encodeName(path).constData(), &info) != 0 || !S_ISREG(info.st_mode))
        return std::nullopt;
    FileStamp stamp;
    stamp.size = info.st_size;
    stamp.inode = info.st_ino;
#ifdef Q_OS_LINUX
    stamp.modified = info.st_mtim.tv_sec;
    stamp.modifiedNs = info.st_mtim.tv_nsec;
#else
    // Other systems name the nanosecond field differently; ask once more.
    std::error_code error;
    const std::filesystem::path native(QFile::encodeName(path).toStdString());
    stamp.modified = std::filesystem::last_write_time(native, error).time_since_epoch().count();
#endif
    return stamp;
#endif
}

// One parsed file kept in memory, with the stamp it had when it was read.
struct CachedFile {
    FileStamp stamp;
    ProfileSections sections;
    std::uint64_t lastUse = 0;
};

// The few files kept; the updater reads two manifests at a time.
constexpr qsizetype MaxCachedFiles = 8;

std::mutex cacheMutex;
QHash<QString, CachedFile> cache; // by absolute path
std::uint64_t useCounter = 0;

// The key a path is remembered under.
QString CacheKey(const QString& path) {
    return QFileInfo(path).absoluteFilePath();
}

// Makes room for one more file by dropping the one used longest ago.
void DropLeastRecentlyUsed() {
    auto oldest = cache.begin();
    for (auto it = cache.begin(); it != cache.end(); ++it) {
        if (it->lastUse < oldest->lastUse)
            oldest = it;
    }
    if (oldest != cache.end())
        cache.erase(oldest);
}

} // namespace

// Serves the parsed file from memory after one status call; reads and parses
// the file again when it is new or its stamp changed. A missing or unreadable
// file gives nothing and is not remembered, so it is tried again next time.
ProfileSections ReadProfile(const QString& path) {
    const QString cacheKey = CacheKey(path);
    const std::lock_guard lock(cacheMutex);
    const std::optional<FileStamp> stamp = StampOf(path);
    auto entry = cache.find(cacheKey);
    if (entry != cache.end() && (!stamp || entry->stamp != *stamp)) {
        cache.erase(entry);
        entry = cache.end();
    }
    if (!stamp)
        return ProfileSections();
    if (entry == cache.end()) {
        // The stamp is taken before reading: a change while reading shows up as
        // a different stamp on the next call.
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            return ProfileSections();
        const QByteArray bytes = file.readAll();
        if (file.error() != QFileDevice::NoError)
            return ProfileSections();
        if (cache.size() >= MaxCachedFiles)
            DropLeastRecentlyUsed();
        entry = cache.insert(cacheKey, CachedFile{*stamp, ParseProfile(bytes), 0});
    }
    entry->lastUse = ++useCounter;
    return entry->sections; // shared, not copied
}

QString ReadIniValue(const QString& path, const QString& section, const QString& key) {
    return ProfileValue(ReadProfile(path), section, key);
}

// Keeps sections for the file at path with the stamp it has now. Cannot fail;
// a missing file is not remembered.
void RememberIniFile(const QString& path, const ProfileSections& sections) {
    const QString cacheKey = CacheKey(path);
    const std::lock_guard lock(cacheMutex);
    const std::optional<FileStamp> stamp = StampOf(path);
    cache.remove(cacheKey);
    if (!stamp)
        return;
    if (cache.size() >= MaxCachedFiles)
        DropLeastRecentlyUsed();
    cache.insert(cacheKey, CachedFile{*stamp, sections, ++useCounter});
}

// Forgets the parsed copy of the file at path, if one is kept. Cannot fail.
void ForgetIniFile(const QString& path) {
    const QString cacheKey = CacheKey(path);
    const std::lock_guard lock(cacheMutex);
    cache.remove(cacheKey);
}
