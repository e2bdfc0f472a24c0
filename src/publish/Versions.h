#pragma once
// The FileVersion values the publishing tool gives to files. The updater
// fetches a file when its server version is greater by plain character codes,
// so versions are fixed-width, zero-padded numbers: "0001", "0002", ...,
// which order by character codes exactly as they count.

#include <QString>

// The FileVersion of a file published for the first time.
inline constexpr char FirstFileVersion[] = "0001";

// A FileVersion greater than version by character codes, for a file whose
// bytes changed. The trailing run of digits is counted up by one in its own
// width ("0009" -> "0010", "1.10" -> "1.11", "v2-0041" -> "v2-0042"). When
// version ends in no digit or only nines, "0001" is appended ("" -> "0001",
// "beta" -> "beta0001", "9999" -> "99990001"): a value that starts with
// another one orders after it. Cannot fail.
QString NextFileVersion(const QString& version);
