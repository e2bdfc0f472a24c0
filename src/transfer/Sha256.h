#pragma once
// SHA-256 over bytes that arrive in pieces, computed by OpenSSL.

#include <cstddef>
#include <string>

struct evp_md_ctx_st;

class Sha256 {
  public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    // Adds the next bytes. Throws std::runtime_error when OpenSSL fails.
    void Add(const void* data, std::size_t size);

    // The digest of everything added since the start, as 64 lower-case hex
    // digits; the object then starts over. Throws std::runtime_error when
    // OpenSSL fails.
    std::string HexDigest();

  private:
    void Restart();
    evp_md_ctx_st* context_;
};
