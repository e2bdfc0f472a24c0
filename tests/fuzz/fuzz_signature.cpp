// Fuzzes minisign signatures and public keys: no crash, and a signature is only
// accepted with the trusted comment its key signed (the seeds' "trusted words").
#include <cstdint>
#include <cstdlib>

#include "update/Signature.h"

using namespace modUpdate;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QByteArray input(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    static const MinisignPublicKey key = [] {
        MinisignPublicKey parsed;
        if (!ParsePublicKey("RWSd0LPZscMyHnpSHJd89zdWdoZGNBlhkfAGMC1JdRI+jcWT2z1AWX18", parsed))
            std::abort();
        return parsed;
    }();
    MinisignPublicKey other;
    if (ParsePublicKey(input, other) && (other.keyId.size() != 8 || other.key.size() != 32))
        std::abort();
    QString comment;
    if (VerifyMinisign(key, "The bytes that are signed\n", input, &comment) &&
        comment != QLatin1String("trusted words"))
        std::abort();
    // The key id a signature names is the 8 bytes minisign writes, or none.
    if (const QByteArray id = SignatureKeyId(input); !id.isEmpty() && id.size() != 8)
        std::abort();
    return 0;
}
