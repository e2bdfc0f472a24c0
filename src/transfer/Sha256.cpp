#include "transfer/Sha256.h"

#include <openssl/evp.h>
#include <stdexcept>

Sha256::Sha256() : context_(EVP_MD_CTX_new()) {
    if (context_ == nullptr)
        throw std::runtime_error("SHA-256: out of memory");
    Restart();
}

Sha256::~Sha256() {
    EVP_MD_CTX_free(context_);
}

void Sha256::Restart() {
    if (EVP_DigestInit_ex(context_, EVP_sha256(), nullptr) != 1)
        throw std::runtime_error("SHA-256: OpenSSL could not start a digest");
}

void Sha256::Add(const void* data, std::size_t size) {
    if (size > 0 && EVP_DigestUpdate(context_, data, size) != 1)
        throw std::runtime_error("SHA-256: OpenSSL could not digest the data");
}

std::string Sha256::HexDigest() {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(context_, digest, &length) != 1)
        throw std::runtime_error("SHA-256: OpenSSL could not finish the digest");
    static const char hex[] = "0123456789abcdef";
    std::string text;
    text.reserve(2 * length);
    for (unsigned int i = 0; i < length; ++i) {
        text += hex[digest[i] >> 4];
        text += hex[digest[i] & 0x0f];
    }
    Restart();
    return text;
}
