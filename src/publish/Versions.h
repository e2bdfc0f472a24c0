#pragma once
// The update's Version, and the FileVersion values the publishing tool gives
// to files. The updater
// fetches a file when its server version is greater by plain character codes,
// so versions are fixed-width, zero-padded numbers: "0001", "0002", ...,
// which order by character codes exactly as they count.

#include <QString>
#include <QStringList>

namespace publish {
// The FileVersion of a file published for the first time.
inline constexpr char FirstFileVersion[] = "0001";

// A FileVersion greater than version by character codes, for a file whose
// bytes changed. The trailing run of digits is counted up by one in its own
// width ("0009" -> "0010", "1.10" -> "1.11", "v2-0041" -> "v2-0042"). When
// version ends in no digit or only nines, "0001" is appended ("" -> "0001",
// "beta" -> "beta0001", "9999" -> "99990001"): a value that starts with
// another one orders after it. Cannot fail.
[[nodiscard]] QString NextFileVersion(const QString& version);

// Why version cannot be the update's Version, naming the fix; "" when it can.
// Refused: an empty version, blanks at either end, characters an INI reader
// may misread (';' starts a comment, '=', '[' and ']' are structure, quotes
// may be dropped), control characters, and values the manifest cannot carry.
[[nodiscard]] QString VersionProblem(const QString& version);

// The first version after latest that is not in used: its trailing number
// counted up ("1.0" -> "1.1", "1.9" -> "1.10"), or "2" appended when it ends
// in no digit ("beta" -> "beta2"). Cannot fail.
[[nodiscard]] QString NextFreeVersion(const QString& latest, const QStringList& used);

} // namespace publish
