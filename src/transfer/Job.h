#pragma once
// One request of Transfers and the checks of its answer, shared by the two
// halves of the transfer layer: Transfers.cpp drives libcurl, Answer.cpp looks
// at what the server sends.

#include <curl/curl.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "transfer/HashThread.h"
#include "transfer/SpeedCap.h"
#include "transfer/Transfers.h"

namespace transfer {

struct Transfers::Job {
    Request request;
    Outcome outcome;
    CURL* easy = nullptr;
    curl_slist* headers = nullptr;
    std::FILE* file = nullptr;
    std::unique_ptr<HashThread> hash;
    std::int64_t kept = 0;       // bytes of the file continued by a range request
    bool whole = false;          // the kept bytes are the whole file: checked, not requested
    std::int64_t hashedKept = 0; // of those, how many went into the hash
    bool added = false;          // handed to libcurl
    bool answered = false;       // a status line has come
    std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
    bool looked = false;  // the final response's status and headers were checked
    bool storing = false; // its body goes into the file or memory
    bool cut = false;     // a memory body reached maxBytes and was cut there
    bool cancelled = false;
    bool errorPage = false;     // the body is an error page, thrown away
    std::int64_t discarded = 0; // bytes of an error page thrown away
    std::int64_t reported = -1; // bytes last passed to the progress callback
    SpeedCap* cap = nullptr;    // the cap its body shares with the others, if any
    bool paused = false;        // held back by the cap; libcurl keeps the piece
    // The headers of the latest response (a redirect starts them over).
    long status = 0;
    std::string reason, contentLength, contentEncoding, contentRange, etag, lastModified,
        retryAfter;
    char error[CURL_ERROR_SIZE] = {};

    // The kind of its failure, once a problem is named; the request ends so
    // when it completes.
    Kind failure = Kind::Refused;

    // Ends the request with a problem of the given kind; the first problem
    // named wins.
    void Problem(const std::string& text, Kind kind, bool transient = false) {
        if (!outcome.problem.empty())
            return;
        outcome.problem = text;
        failure = kind;
        outcome.transient = transient;
    }
};

using Job = Transfers::Job;

// The words for a failure of the C library (errno).
std::string Reason(int error);

// A decimal byte count, or -1 when text is not one.
[[nodiscard]] std::int64_t ByteCount(const std::string& text);

// libcurl's header callback: remembers the headers of the latest answer.
size_t OnHeader(char* data, size_t size, size_t count, void* user);

// libcurl's body callback: stores the body after the answer was looked at.
size_t OnBody(char* data, size_t size, size_t count, void* user);

// Looks at the final answer before any of its body is stored (Answer.cpp).
void Accept(Job& job);

// Ends job with the problem libcurl's result stands for, in words for a
// player; notes whether another try may succeed and whether the server was
// reached at all (with the reason in two or three words when it was not).
void FailFromResult(Job& job, CURLcode code, int timeoutSeconds);

} // namespace transfer
