// Fuzzes the number reading: whatever the text, it gives a 32-bit number or
// raises its range error, nothing else; plain digit strings read exactly.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "update/Failure.h"
#include "update/NumberReading.h"

using namespace modUpdate;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    const QString text = QString::fromUtf8(bytes.data(), static_cast<qsizetype>(bytes.size()));
    try {
        const std::int32_t value = ReadNumber(text, QStringLiteral("fuzz"));
        // A short string of digits alone must read as exactly that number.
        if (!bytes.empty() && bytes.size() <= 9 &&
            bytes.find_first_not_of("0123456789") == std::string::npos && value != std::stoi(bytes))
            std::abort();
    } catch (const UpdateFailure& failure) {
        if (!failure.message().contains(QLatin1String("out of range")))
            std::abort();
    }
    return 0;
}
