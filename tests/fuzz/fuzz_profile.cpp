// Fuzzes the profile reader: no crash, no value beyond the reader's limit or
// from another section than the one asked for.
#include <cstdint>
#include <cstdlib>

#include "update/Profile.h"

using namespace modUpdate;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QByteArray input(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    // A value that only another section holds, unless the input itself says it.
    const QByteArray bytes = input + "\n[zz-other-section]\nFileName1=zz-other-value\n";
    const ProfileSections profile = ParseProfile(bytes);
    for (const char* section : {"VERSION", "FILES", "version", ""}) {
        for (const char* key : {"Version", "Max", "FileName1", "FileVersion1", "FilePath1"}) {
            const QString value =
                ProfileValue(profile, QString::fromLatin1(section), QString::fromLatin1(key));
            if (value.size() > MaxProfileValueLength)
                std::abort();
            if (value == QLatin1String("zz-other-value") && !input.contains("zz-other-value"))
                std::abort();
        }
    }
    return 0;
}
