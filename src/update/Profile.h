#pragma once
// Reading values from profile files (the INI format of the manifests), with the
// rules of the Windows profile reader: section and key names match without
// regard to ASCII letter case, blanks around names and values are ignored, one
// pair of matching quotes around a value is removed, lines starting with ";"
// are comments, the first section and the first key of a name win, LF or CRLF
// line ends, an optional UTF-8 byte-order mark. Text is decoded with the
// platform's 8-bit encoding (UTF-8 on Linux).

#include <QByteArray>
#include <QHash>
#include <QString>

namespace modUpdate {
// The longest value the reader returns; longer values are cut to this length.
inline constexpr int MaxProfileValueLength = 4999;

// A parsed profile file: lower-cased section name -> lower-cased key -> value.
using ProfileSections = QHash<QString, QHash<QString, QString>>;

// Parses the bytes of a profile file. Never fails: lines it cannot read are skipped.
[[nodiscard]] ProfileSections ParseProfile(const QByteArray& bytes);

// The value of key in section, or "" when either is missing. The result is at
// most MaxProfileValueLength characters long.
[[nodiscard]] QString ProfileValue(const ProfileSections& profile, const QString& section,
                                   const QString& key);

// The parsed profile file at path, read as it is now; empty when the file is
// missing, is a link, or cannot be read. (The updater reads each manifest
// once and takes every value from the parsed copy.)
[[nodiscard]] ProfileSections ReadProfile(const QString& path);

// The value of key in section of the profile file at path; "" when the file,
// the section or the key is missing or the file cannot be read.
[[nodiscard]] QString ReadIniValue(const QString& path, const QString& section, const QString& key);

} // namespace modUpdate
