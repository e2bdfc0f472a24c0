#include "transfer/Transfers.h"

#include <curl/curl.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <stdexcept>
#include <system_error>

#include "transfer/HashThread.h"

namespace transfer {

namespace {

// Bytes of a kept part hashed per Wait() before its request continues it.
constexpr std::int64_t HashSlice = 16 << 20;
// An error page is read (and thrown away) up to this size, so the
// connection can serve the next request; a longer one ends the connection.
constexpr std::int64_t ErrorPageBytes = 1 << 20;

// The reason for std::strerror-style failures of the C library.
std::string Reason(int error) {
    return std::error_code(error, std::generic_category()).message();
}

// A decimal byte count, or -1 when text is not one (sign, blanks, letters,
// more than 18 digits).
std::int64_t ByteCount(const std::string& text) {
    if (text.empty() || text.size() > 18)
        return -1;
    std::int64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return -1;
        value = value * 10 + (c - '0');
    }
    return value;
}

// text without blanks, tabs and line ends at both ends.
std::string Trim(const std::string& text) {
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos)
        return std::string();
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

// True for the statuses a busy or stuck server answers with.
bool IsBusyStatus(long status) {
    return status == 408 || status == 429 || status == 500 || status == 502 || status == 503 ||
           status == 504;
}

// "3-9/10" from "bytes 3-9/10", as first byte, last byte and whole size; false
// when the text is not a byte range.
bool ParseContentRange(const std::string& value, std::int64_t& first, std::int64_t& last,
                       std::int64_t& whole) {
    if (value.rfind("bytes ", 0) != 0)
        return false;
    const std::string range = value.substr(6);
    const auto dash = range.find('-');
    const auto slash = range.find('/');
    if (dash == std::string::npos || slash == std::string::npos || dash > slash)
        return false;
    first = ByteCount(range.substr(0, dash));
    last = ByteCount(range.substr(dash + 1, slash - dash - 1));
    whole = ByteCount(range.substr(slash + 1));
    return first >= 0 && last >= first && whole > last;
}

} // namespace

struct Transfers::Job {
    Request request;
    Outcome outcome;
    CURL* easy = nullptr;
    curl_slist* headers = nullptr;
    std::FILE* file = nullptr;
    std::unique_ptr<HashThread> hash;
    std::int64_t kept = 0;       // bytes of the file continued by a range request
    std::int64_t hashedKept = 0; // of those, how many went into the hash
    bool added = false;          // handed to libcurl
    bool looked = false;         // the final response's status and headers were checked
    bool storing = false;        // its body goes into the file or memory
    bool cut = false;            // a memory body reached maxBytes and was cut there
    bool cancelled = false;
    bool errorPage = false;     // the body is an error page, thrown away
    std::int64_t discarded = 0; // bytes of an error page thrown away
    std::int64_t reported = -1; // bytes last passed to the progress callback
    // The headers of the latest response (a redirect starts them over).
    long status = 0;
    std::string reason, contentLength, contentEncoding, contentRange, etag, lastModified,
        retryAfter;
    char error[CURL_ERROR_SIZE] = {};

    // Ends the request with a problem; the first problem named wins.
    void Problem(const std::string& text, bool transient = false) {
        if (!outcome.problem.empty())
            return;
        outcome.problem = text;
        outcome.transient = transient;
    }
};

namespace {

using Job = Transfers::Job;

// Remembers the headers of the response; a status line starts a new response.
size_t OnHeader(char* data, size_t size, size_t count, void* user) {
    Job& job = *static_cast<Job*>(user);
    const size_t length = size * count;
    const std::string line(data, length);
    if (line.rfind("HTTP/", 0) == 0) {
        job.reason.clear();
        job.contentLength.clear();
        job.contentEncoding.clear();
        job.contentRange.clear();
        job.etag.clear();
        job.lastModified.clear();
        job.retryAfter.clear();
        const auto code = line.find(' ');
        const auto text = code == std::string::npos ? code : line.find(' ', code + 1);
        if (text != std::string::npos)
            job.reason = Trim(line.substr(text + 1));
        return length;
    }
    const auto colon = line.find(':');
    if (colon == std::string::npos)
        return length;
    std::string name = line.substr(0, colon);
    for (char& c : name)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const std::string value = Trim(line.substr(colon + 1));
    if (name == "content-length")
        job.contentLength = value;
    else if (name == "content-encoding")
        job.contentEncoding = value;
    else if (name == "content-range")
        job.contentRange = value;
    else if (name == "etag")
        job.etag = value;
    else if (name == "last-modified")
        job.lastModified = value;
    else if (name == "retry-after")
        job.retryAfter = value;
    return length;
}

// Writes the record that lets a later request continue the file: the URL,
// the validator and the whole size. Without a validator or a size the file
// cannot be continued and the record is removed. Errors are ignored: the
// record only saves time.
void WriteRecord(const Job& job) {
    const Request& request = job.request;
    if (request.record.empty())
        return;
    const std::string validator = job.etag.empty() ? job.lastModified : job.etag;
    std::error_code ignored;
    if (validator.empty() || job.outcome.total < 0 || validator.find('\n') != std::string::npos) {
        std::filesystem::remove(request.record, ignored);
        return;
    }
    std::ofstream out(request.record, std::ios::binary | std::ios::trunc);
    out << request.url << '\n' << validator << '\n' << job.outcome.total << '\n';
}

// Starts the file again from its first byte.
bool RestartFile(Job& job) {
    job.kept = 0;
    job.hashedKept = 0;
    job.outcome.received = 0;
    if (job.hash)
        job.hash = std::make_unique<HashThread>();
    if (job.file && std::freopen(nullptr, "wb", job.file) == nullptr) {
        job.file = nullptr;
        job.Problem("could not write " + job.request.file.string() + ": " + Reason(errno));
        return false;
    }
    return true;
}

// Looks at the final response before any of its body is stored: its status,
// its encoding and its size. Sets job.storing when the body is the file.
void Accept(Job& job) {
    job.looked = true;
    curl_easy_getinfo(job.easy, CURLINFO_RESPONSE_CODE, &job.status);
    job.outcome.httpStatus = job.status;
    const Request& request = job.request;
    std::int64_t first = 0, last = 0, whole = 0;
    if (job.status == 200) {
        if (job.kept > 0 && !RestartFile(job))
            return;
        if (!job.contentRange.empty())
            return job.Problem("the server answered a whole file with a part of it "
                               "(Content-Range: " +
                                   job.contentRange.substr(0, 60) + ")",
                               true);
        if (!job.contentLength.empty()) {
            job.outcome.total = ByteCount(job.contentLength);
            if (job.outcome.total < 0)
                return job.Problem("the server announced an invalid size (Content-Length: " +
                                   job.contentLength.substr(0, 40) + ")");
        }
    } else if (job.status == 206 && job.kept > 0) {
        if (!ParseContentRange(job.contentRange, first, last, whole) || first != job.kept ||
            last + 1 != whole) {
            RestartFile(job);
            return job.Problem(
                "the server's partial answer (Content-Range: " + job.contentRange.substr(0, 60) +
                    ") does not continue the bytes already here",
                true);
        }
        job.outcome.total = whole;
    } else if (job.status == 416 && job.kept > 0) {
        if (job.contentRange == "bytes */" + std::to_string(job.kept)) {
            job.outcome.total = job.kept; // the kept bytes are the whole file
            return;
        }
        RestartFile(job);
        return job.Problem("the server cannot continue the bytes already here (Content-Range: " +
                               job.contentRange.substr(0, 60) + ")",
                           true);
    } else {
        job.errorPage = true;
        job.outcome.retryAfter = static_cast<int>(ByteCount(job.retryAfter));
        const std::string reason = job.reason.empty() ? std::string() : " " + job.reason;
        return job.Problem("the server answered " + std::to_string(job.status) + reason,
                           IsBusyStatus(job.status));
    }
    if (!job.contentEncoding.empty() && job.contentEncoding != "identity")
        return job.Problem("the server sent it encoded (Content-Encoding: " +
                           job.contentEncoding.substr(0, 40) + "), which the updater refuses");
    if (request.size >= 0 && job.outcome.total >= 0 && job.outcome.total != request.size) {
        job.outcome.damaged = true;
        return job.Problem("the server sends " + std::to_string(job.outcome.total) +
                           " bytes, the manifest says " + std::to_string(request.size));
    }
    WriteRecord(job);
    job.storing = true;
}

// Stores the next piece of the body; a non-zero return other than its length
// makes libcurl end the request.
size_t OnBody(char* data, size_t size, size_t count, void* user) {
    Job& job = *static_cast<Job*>(user);
    const size_t length = size * count;
    if (!job.looked)
        Accept(job);
    if (!job.storing) {
        job.discarded += static_cast<std::int64_t>(length);
        return job.errorPage && job.discarded <= ErrorPageBytes ? length : CURL_WRITEFUNC_ERROR;
    }
    const Request& request = job.request;
    Outcome& outcome = job.outcome;
    const auto arrived = static_cast<std::int64_t>(length);
    if (request.file.empty()) {
        if (outcome.received + arrived > request.maxBytes) {
            const auto room = static_cast<size_t>(request.maxBytes - outcome.received);
            if (request.cutAtMax) {
                outcome.body.append(data, room);
                outcome.received += static_cast<std::int64_t>(room);
                job.cut = true;
            } else {
                job.Problem("it is longer than " + std::to_string(request.maxBytes) + " bytes");
            }
            return CURL_WRITEFUNC_ERROR;
        }
        outcome.body.append(data, length);
        outcome.received += arrived;
        return length;
    }
    if (request.size >= 0 && outcome.received + arrived > request.size) {
        outcome.damaged = true;
        job.Problem("the server sends more than the " + std::to_string(request.size) +
                    " bytes the manifest says");
        return CURL_WRITEFUNC_ERROR;
    }
    if (std::fwrite(data, 1, length, job.file) != length) {
        job.Problem("could not write " + request.file.string() + ": " + Reason(errno));
        return CURL_WRITEFUNC_ERROR;
    }
    try {
        if (job.hash)
            job.hash->Add(data, length);
    } catch (const std::exception& error) {
        job.Problem(error.what());
        return CURL_WRITEFUNC_ERROR;
    }
    outcome.received += arrived;
    return length;
}

// The problem a libcurl result stands for, in words for a player.
std::string Describe(CURLcode code, const Job& job, int timeoutSeconds) {
    const std::string detail = job.error[0] ? std::string(job.error) : curl_easy_strerror(code);
    switch (code) {
    case CURLE_COULDNT_CONNECT:
        return "the server refused the connection (is it running?)";
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
        return "the server's host name could not be found";
    case CURLE_OPERATION_TIMEDOUT:
        return "the server did not answer for " + std::to_string(timeoutSeconds) + " seconds";
    case CURLE_PARTIAL_FILE:
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
        return "the server closed the connection before the whole file arrived";
    case CURLE_TOO_MANY_REDIRECTS:
        return "the server redirected the request too many times";
    case CURLE_UNSUPPORTED_PROTOCOL:
        return "the server sent the request to an address the updater does not follow (" + detail +
               ")";
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CACERT_BADFILE:
        return "the server's certificate is not trusted (" + detail + ")";
    case CURLE_SSL_CONNECT_ERROR:
        return "no secure connection to the server could be made (" + detail + ")";
    default:
        return detail;
    }
}

// True for results after which another try may succeed.
bool IsTransient(CURLcode code) {
    switch (code) {
    case CURLE_COULDNT_CONNECT:
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_OPERATION_TIMEDOUT:
    case CURLE_PARTIAL_FILE:
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
        return true;
    default:
        return false;
    }
}

} // namespace

Transfers::Transfers(Options options) : options_(std::move(options)) {
    static std::once_flag global;
    std::call_once(global, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    multi_ = curl_multi_init();
    if (multi_ == nullptr)
        throw std::runtime_error("libcurl could not start");
    // The current file and up to three that follow it, on one server.
    curl_multi_setopt(multi_, CURLMOPT_MAX_HOST_CONNECTIONS, 4L);
    curl_multi_setopt(multi_, CURLMOPT_MAX_TOTAL_CONNECTIONS, 4L);
}

Transfers::~Transfers() {
    while (!jobs_.empty())
        Cancel(jobs_.begin()->first);
    curl_multi_cleanup(multi_);
}

int Transfers::Start(Request request) {
    const int id = next_++;
    auto owned = std::make_unique<Job>();
    Job& job = *owned;
    jobs_[id] = std::move(owned);
    job.request = std::move(request);
    const Request& r = job.request;

    if (!r.file.empty()) {
        std::error_code error;
        std::ifstream record(r.record);
        std::string url, validator, whole;
        if (!r.record.empty() && std::getline(record, url) && std::getline(record, validator) &&
            std::getline(record, whole)) {
            const std::int64_t size =
                static_cast<std::int64_t>(std::filesystem::file_size(r.file, error));
            const std::int64_t total = ByteCount(whole);
            if (!error && url == r.url && !validator.empty() && size > 0 && size <= total &&
                (r.size < 0 || total == r.size)) {
                job.kept = size;
                job.headers = curl_slist_append(job.headers, ("If-Range: " + validator).c_str());
            }
        }
        job.file = std::fopen(r.file.c_str(), job.kept > 0 ? "ab" : "wb");
        if (job.file == nullptr) {
            job.Problem("could not write " + r.file.string() + ": " + Reason(errno));
            job.outcome.status = Status::Failed;
            return id;
        }
        job.outcome.received = job.kept;
        if (!r.sha256.empty())
            job.hash = std::make_unique<HashThread>();
    }

    job.easy = curl_easy_init();
    CURL* easy = job.easy;
    job.headers = curl_slist_append(job.headers, "Accept-Encoding: identity");
    curl_easy_setopt(easy, CURLOPT_URL, r.url.c_str());
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, job.headers);
    curl_easy_setopt(easy, CURLOPT_USERAGENT, "Quelmor Auto Updater/1.00");
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(easy, CURLOPT_MAXREDIRS, 10L);
    // A redirect never leaves https for plain http.
    const bool secure = r.url.rfind("https:", 0) == 0;
    curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, secure ? "https" : "http,https");
    curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_2TLS));
    curl_easy_setopt(easy, CURLOPT_PIPEWAIT, 1L);
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT, static_cast<long>(options_.timeoutSeconds));
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, static_cast<long>(options_.timeoutSeconds));
    curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, 256L * 1024L);
    if (!options_.caFile.empty())
        curl_easy_setopt(easy, CURLOPT_CAINFO, options_.caFile.c_str());
    if (job.kept > 0)
        curl_easy_setopt(easy, CURLOPT_RANGE, (std::to_string(job.kept) + "-").c_str());
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, job.error);
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &OnHeader);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, &job);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &OnBody);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &job);
    curl_easy_setopt(easy, CURLOPT_PRIVATE, static_cast<void*>(&job));
    if (job.kept == 0 || !job.hash) {
        job.hashedKept = job.kept;
        curl_multi_add_handle(multi_, easy);
        job.added = true;
    }
    return id;
}

void Transfers::Wait(int timeoutMs) {
    bool hashing = false;
    for (auto& [id, job] : jobs_) {
        if (job->outcome.status != Status::Running)
            continue;
        if (job->request.cancel && job->request.cancel->load()) {
            job->cancelled = true;
            Complete(*job, CURLE_ABORTED_BY_CALLBACK);
            continue;
        }
        if (job->added)
            continue;
        // A kept part goes into the hash a slice at a time before the request
        // continues it, so the caller stays responsive for large files.
        hashing = true;
        std::ifstream kept(job->request.file, std::ios::binary);
        kept.seekg(job->hashedKept);
        std::string slice(static_cast<size_t>(std::min(HashSlice, job->kept - job->hashedKept)),
                          '\0');
        if (!kept.read(slice.data(), static_cast<std::streamsize>(slice.size()))) {
            job->Problem("could not read " + job->request.file.string());
            Complete(*job, CURLE_READ_ERROR);
            continue;
        }
        job->hash->Add(slice.data(), slice.size());
        job->hashedKept += static_cast<std::int64_t>(slice.size());
        if (job->hashedKept == job->kept) {
            curl_multi_add_handle(multi_, job->easy);
            job->added = true;
        }
    }
    // Sleeps only when nothing could be done at once: no slice to hash and no
    // request that just ended.
    if (!Perform() && !hashing) {
        curl_multi_poll(multi_, nullptr, 0, timeoutMs, nullptr);
        Perform();
    }
    for (auto& [id, job] : jobs_) {
        if (job->request.progress && job->outcome.received != job->reported &&
            job->outcome.status != Status::Failed) {
            job->reported = job->outcome.received;
            job->request.progress(job->outcome.received, job->outcome.total);
        }
    }
}

bool Transfers::Perform() {
    int running = 0;
    curl_multi_perform(multi_, &running);
    bool ended = false;
    int queued = 0;
    while (CURLMsg* message = curl_multi_info_read(multi_, &queued)) {
        if (message->msg != CURLMSG_DONE)
            continue;
        void* job = nullptr;
        curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &job);
        Complete(*static_cast<Job*>(job), message->data.result);
        ended = true;
    }
    return ended;
}

void Transfers::Complete(Job& job, int result) {
    const auto code = static_cast<CURLcode>(result);
    if (job.added)
        curl_multi_remove_handle(multi_, job.easy);
    job.added = false;
    if (code == CURLE_OK && !job.looked)
        Accept(job); // an empty body: nothing was written yet
    if (job.file && std::fclose(job.file) != 0)
        job.Problem("could not write " + job.request.file.string() + ": " + Reason(errno));
    job.file = nullptr;

    Outcome& outcome = job.outcome;
    const Request& request = job.request;
    if (job.cancelled) {
        outcome.status = Status::Cancelled;
        return;
    }
    if (job.cut && outcome.problem.empty()) {
        outcome.status = Status::Done;
        return;
    }
    if (outcome.problem.empty() && code != CURLE_OK) {
        long status = 0;
        curl_easy_getinfo(job.easy, CURLINFO_RESPONSE_CODE, &status);
        job.Problem(Describe(code, job, options_.timeoutSeconds), IsTransient(code));
        outcome.unreachable = status == 0 && IsTransient(code);
        if (outcome.unreachable)
            outcome.brief =
                code == CURLE_COULDNT_CONNECT      ? "Connection refused"
                : code == CURLE_OPERATION_TIMEDOUT ? "No answer"
                : code == CURLE_COULDNT_RESOLVE_HOST || code == CURLE_COULDNT_RESOLVE_PROXY
                    ? "Host name not found"
                    : "Connection lost";
    }
    if (outcome.problem.empty() && outcome.total >= 0 && outcome.received != outcome.total)
        job.Problem("the server sent " + std::to_string(outcome.received) + " of the " +
                        std::to_string(outcome.total) + " bytes it announced",
                    true);
    if (outcome.problem.empty() && request.size >= 0 && outcome.received != request.size) {
        outcome.damaged = true;
        job.Problem("it has " + std::to_string(outcome.received) + " bytes, the manifest says " +
                    std::to_string(request.size));
    }
    if (outcome.problem.empty() && job.hash) {
        std::string digest;
        try {
            digest = job.hash->HexDigest();
        } catch (const std::exception& failure) {
            digest = failure.what();
        }
        if (digest != request.sha256) {
            outcome.damaged = true;
            job.Problem("its SHA-256 is " + digest + ", the manifest says " + request.sha256);
        }
    }
    outcome.status = outcome.problem.empty() ? Status::Done : Status::Failed;
}

bool Transfers::Running(int id) const {
    const auto found = jobs_.find(id);
    return found != jobs_.end() && found->second->outcome.status == Status::Running;
}

Outcome Transfers::Finish(int id) {
    const auto found = jobs_.find(id);
    if (found == jobs_.end() || found->second->outcome.status == Status::Running)
        throw std::logic_error("Transfers::Finish: the request runs or is unknown");
    Outcome outcome = std::move(found->second->outcome);
    Cancel(id);
    return outcome;
}

void Transfers::Cancel(int id) {
    const auto found = jobs_.find(id);
    if (found == jobs_.end())
        return;
    Job& job = *found->second;
    if (job.added)
        curl_multi_remove_handle(multi_, job.easy);
    if (job.file)
        std::fclose(job.file);
    if (job.easy)
        curl_easy_cleanup(job.easy);
    curl_slist_free_all(job.headers);
    jobs_.erase(found);
}

std::string EncodeSegment(const std::string& name) {
    static const char hex[] = "0123456789ABCDEF";
    std::string encoded;
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') ||
            (byte >= '0' && byte <= '9') || byte == '-' || byte == '.' || byte == '_' ||
            byte == '~') {
            encoded += c;
        } else {
            encoded += '%';
            encoded += hex[byte >> 4];
            encoded += hex[byte & 0x0f];
        }
    }
    return encoded;
}

} // namespace transfer
