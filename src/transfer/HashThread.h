#pragma once
// SHA-256 of bytes that arrive in pieces, computed on a thread of its own, so
// that hashing a large file overlaps the arrival of its next bytes instead of
// adding to the time it takes.

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "transfer/Sha256.h"

class HashThread {
  public:
    HashThread();
    ~HashThread(); // waits for the thread
    HashThread(const HashThread&) = delete;
    HashThread& operator=(const HashThread&) = delete;

    // Takes a copy of the next bytes, handed to the thread a batch at a time;
    // waits while much is queued already.
    void Add(const char* data, std::size_t size);

    // The digest of every byte added, as 64 lower-case hex digits, once all
    // are hashed. Call once. Throws std::runtime_error when OpenSSL failed.
    std::string HexDigest();

  private:
    void Run();
    void Queue(); // hands the batch being filled to the thread

    Sha256 hash_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::string> queue_;
    std::string filling_;            // the batch Add fills, not yet queued
    std::vector<std::string> spare_; // hashed pieces whose memory is used again
    std::size_t queued_ = 0;
    bool ended_ = false;
    std::string error_;
    std::thread thread_;
};
