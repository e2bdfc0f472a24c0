#pragma once
// Fetching URLs over HTTP(S) with libcurl: several GET requests at a time on
// connections kept alive between requests. A body goes into a file (or into
// memory); what is known about the file beforehand (its size, its SHA-256) is
// checked while the bytes arrive, and every request ends with one Outcome.
// This layer knows neither the window nor the update run: the caller starts
// requests, calls Wait() between its own work and reads the outcomes. Nothing
// here throws through libcurl; cancelling goes through the request's token.

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>

typedef void CURLM;

namespace transfer {

// One GET request.
struct Request {
    std::string url;
    // Where the body goes; empty keeps it in memory (Outcome::body).
    std::filesystem::path file;
    // With a file: a small record beside it (validator, size) lets a later
    // request continue the bytes already in the file instead of starting over.
    std::filesystem::path record;
    // Known beforehand: the size in bytes (-1 when unknown) and the SHA-256 in
    // lower-case hex ("" when unknown). A longer body is cut off at once.
    std::int64_t size = -1;
    std::string sha256;
    // A body kept in memory may be at most this long; with cutAtMax the first
    // maxBytes are kept and the rest is not fetched, else it is a failure.
    std::int64_t maxBytes = 1 << 20;
    bool cutAtMax = false;
    // Called from Wait() as bytes arrive: bytes of the file so far and its
    // whole size (-1 when unknown). Must not throw.
    std::function<void(std::int64_t, std::int64_t)> progress;
    // When it becomes true the request ends as Cancelled.
    const std::atomic<bool>* cancel = nullptr;
    // Seconds to wait for a connection (0: the time-out of the Options),
    // milliseconds the whole request may take, and milliseconds until the
    // server's answer (its status line) must have begun (0: no limit).
    int connectSeconds = 0;
    long timeLimitMs = 0;
    long answerMs = 0;
};

// Where a request stands, or how it ended: each failure is one kind, named as
// a person would name it; the Outcome's details tell the rest.
enum class Kind {
    Running,
    Done,
    Cancelled,      // its cancel token was set
    Unreachable,    // no answer came at all: refused, no such host, silence
    ConnectionLost, // the answer broke off, or came shorter than announced
    Busy,           // the server asked to be asked again later (429, 503)
    Refused,        // any other failure of the server's: an error status, a
                    // redirect loop, an encoding, an address not followed
    ProxyLogin,     // the proxy refused the login (407)
    Untrusted,      // the server could not prove who it is: its certificate is
                    // not trusted, or no secure connection could be made
    Damaged,        // the bytes arrived but are not the file the caller expected
    Unwritable,     // the body could not be written into its file here
};

// How a request ended.
struct Outcome {
    Kind kind = Kind::Running;
    // Why it failed, in words for a player ("the server answered 404 Not Found").
    std::string problem;
    // A broken connection, a time-out, an unreachable server or a busy one:
    // another try may succeed.
    bool transient = false;
    // For a server not reached at all, the reason in two or three words
    // ("Connection refused").
    std::string brief;
    // The status of the final response, 0 when none came.
    long httpStatus = 0;
    // Seconds the server asked to wait before another try, or -1.
    int retryAfter = -1;
    // Bytes now in the file (or in body) and the whole size, when known.
    std::int64_t received = 0;
    std::int64_t total = -1;
    // The body of a request without a file.
    std::string body;

    // True when the request ended in a failure (not done, not cancelled).
    [[nodiscard]] bool Failed() const {
        return kind != Kind::Running && kind != Kind::Done && kind != Kind::Cancelled;
    }
};

// Settings for every request of a Transfers.
struct Options {
    // Seconds without any progress (connecting or receiving) before a request
    // is given up.
    int timeoutSeconds = 60;
    // Certificates to trust for HTTPS instead of the system's store ("" for the
    // system's). The certificate and the host name are always verified.
    std::string caFile;
    // The most bytes per second the bodies of all requests together may
    // arrive at; 0 for no cap.
    std::int64_t bytesPerSecond = 0;
};

class SpeedCap;

class Transfers {
  public:
    explicit Transfers(Options options = {});
    ~Transfers(); // ends every request; files keep what arrived
    Transfers(const Transfers&) = delete;
    Transfers& operator=(const Transfers&) = delete;

    // Starts a request and returns its number. Does not wait. A request with
    // a file and a record continues the file's bytes when the record says how
    // (same URL, a validator, no more bytes than the whole size); a file the
    // record calls whole is checked against the SHA-256 on disk and, when it
    // holds, taken without asking the server. Otherwise the file is started
    // afresh. Never throws for network or file problems: they end the
    // request as Failed.
    int Start(Request request);

    // Moves every request forward, sleeping at most timeoutMs for the network
    // (or until the speed cap lets a paused request go on) when nothing is to
    // be done at once.
    void Wait(int timeoutMs);

    // True while request id runs.
    bool Running(int id) const;

    // The outcome of a request that no longer runs; forgets the request.
    // Throws std::logic_error for a request that runs or is unknown.
    Outcome Finish(int id);

    // Ends request id now (its file keeps what arrived) and forgets it.
    void Cancel(int id);

    struct Job; // one request, inside Transfers.cpp

  private:
    // Lets libcurl move every request and ends those that are done; true when
    // one ended.
    bool Perform();
    void Complete(Job& job, int code);
    // Ends a job whose kept bytes are the whole file when they hash to the
    // file's SHA-256; otherwise starts its file afresh. True when it ended.
    bool Taken(Job& job);
    // Lets requests paused by the speed cap go on while it allows, taking
    // turns: the first asked is the one after the last that went on.
    void Resume();
    // timeoutMs, or less when a paused request may go on sooner.
    int SleepMs(int timeoutMs);

    Options options_;
    std::unique_ptr<SpeedCap> cap_; // with options_.bytesPerSecond only
    int turn_ = 0;                  // the request that last went on after a pause
    CURLM* multi_;
    int next_ = 1;
    std::map<int, std::unique_ptr<Job>> jobs_;
};

// Opens the file at path as std::fopen does with mode ("rb", "wb", ...), also
// where paths are wide; null, with errno set, when it cannot.
std::FILE* OpenFile(const std::filesystem::path& path, const char* mode);

// name percent-encoded as one path segment: every byte but A-Z, a-z, 0-9 and
// "-._~" becomes %XX, so "a#1.dat" asks for "a%231.dat" and "data/x" for "data%2Fx".
std::string EncodeSegment(const std::string& name);

} // namespace transfer
