// The checks of what the server answers: status, headers, size, encoding,
// ranges and the body's bytes.
#include <cctype>
#include <cerrno>
#include <fstream>
#include <system_error>

#include "transfer/Job.h"

namespace transfer {

namespace {

// An error page is read (and thrown away) up to this size, so the
// connection can serve the next request; a longer one ends the connection.
constexpr std::int64_t ErrorPageBytes = 1 << 20;

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

// The seconds of a Retry-After header given in seconds, at most a day (a
// longer wait, even one too long to count, is a day); -1 for any other text.
int RetrySeconds(const std::string& text) {
    constexpr int Day = 86'400;
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos)
        return -1;
    int seconds = 0;
    for (const char c : text) {
        seconds = seconds * 10 + (c - '0');
        if (seconds >= Day)
            return Day;
    }
    return seconds;
}

} // namespace

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

// Remembers the headers of the response; a status line starts a new response.
size_t OnHeader(char* data, size_t size, size_t count, void* user) {
    Job& job = *static_cast<Job*>(user);
    const size_t length = size * count;
    const std::string line(data, length);
    if (line.rfind("HTTP/", 0) == 0) {
        job.answered = true;
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

namespace {

// Writes the record that lets a later request continue the file: the URL,
// the validator and the whole size. Without a validator or a size the file
// cannot be continued and the record is removed. Errors are ignored: the
// record only saves time.
void WriteRecord(const Job& job) {
    const Request& request = job.request;
    if (request.record.empty())
        return;
    // A weak ETag does not promise the same bytes, so it cannot continue them.
    const bool weak = job.etag.rfind("W/", 0) == 0;
    std::string validator = job.etag.empty() || weak ? job.lastModified : job.etag;
    if (validator.find('\n') != std::string::npos)
        validator.clear();
    std::error_code ignored;
    // Without a validator the record still lets a whole file be checked
    // against its SHA-256 later, though not continued.
    if ((validator.empty() && request.sha256.empty()) || job.outcome.total < 0) {
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
    if (job.file == nullptr)
        return true;
    std::fclose(job.file);
    job.file = OpenFile(job.request.file, "wb");
    if (job.file == nullptr) {
        job.Problem("could not write " + job.request.file.string() + ": " + Reason(errno),
                    Kind::Unwritable);
        return false;
    }
    return true;
}

} // namespace

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
                               Kind::ConnectionLost, true);
        if (!job.contentLength.empty()) {
            job.outcome.total = ByteCount(job.contentLength);
            if (job.outcome.total < 0)
                return job.Problem("the server announced an invalid size (Content-Length: " +
                                       job.contentLength.substr(0, 40) + ")",
                                   Kind::Refused);
        }
    } else if (job.status == 206 && job.kept > 0) {
        if (!ParseContentRange(job.contentRange, first, last, whole) || first != job.kept ||
            last + 1 != whole) {
            RestartFile(job);
            return job.Problem(
                "the server's partial answer (Content-Range: " + job.contentRange.substr(0, 60) +
                    ") does not continue the bytes already here",
                Kind::ConnectionLost, true);
        }
        job.outcome.total = whole;
    } else if (job.status == 416 && job.kept > 0) {
        if (job.contentRange == "bytes */" + std::to_string(job.kept)) {
            job.outcome.total = job.kept; // the kept bytes are the whole file
            job.errorPage = true;         // and the body a page about it, thrown away
            return;
        }
        RestartFile(job);
        return job.Problem("the server cannot continue the bytes already here (Content-Range: " +
                               job.contentRange.substr(0, 60) + ")",
                           Kind::Refused, true);
    } else {
        job.errorPage = true;
        job.outcome.retryAfter = RetrySeconds(job.retryAfter);
        const std::string reason = job.reason.empty() ? std::string() : " " + job.reason;
        const Kind kind = job.status == 407                        ? Kind::ProxyLogin
                          : job.status == 429 || job.status == 503 ? Kind::Busy
                                                                   : Kind::Refused;
        return job.Problem("the server answered " + std::to_string(job.status) + reason, kind,
                           IsBusyStatus(job.status));
    }
    if (!job.contentEncoding.empty() && job.contentEncoding != "identity")
        return job.Problem("the server sent it encoded (Content-Encoding: " +
                               job.contentEncoding.substr(0, 40) + "), which the updater refuses",
                           Kind::Refused);
    if (request.size >= 0 && job.outcome.total >= 0 && job.outcome.total != request.size) {
        return job.Problem("the server sends " + std::to_string(job.outcome.total) +
                               " bytes, the manifest says " + std::to_string(request.size),
                           Kind::Damaged);
    }
    WriteRecord(job);
    job.storing = true;
}

// Stores the next piece of the body; a non-zero return other than its length
// makes libcurl end the request.
size_t OnBody(char* data, size_t size, size_t count, void* user) {
    Job& job = *static_cast<Job*>(user);
    const size_t length = size * count;
    // Under a speed cap libcurl keeps the piece and hands it over again once
    // Transfers::Resume lets the request go on.
    if (job.cap && !job.cap->Spend(static_cast<std::int64_t>(length), SpeedCap::Clock::now())) {
        job.paused = true;
        return CURL_WRITEFUNC_PAUSE;
    }
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
                job.Problem("it is longer than " + std::to_string(request.maxBytes) + " bytes",
                            Kind::Refused);
            }
            return CURL_WRITEFUNC_ERROR;
        }
        outcome.body.append(data, length);
        outcome.received += arrived;
        return length;
    }
    if (request.size >= 0 && outcome.received + arrived > request.size) {
        job.Problem("the server sends more than the " + std::to_string(request.size) +
                        " bytes the manifest says",
                    Kind::Damaged);
        return CURL_WRITEFUNC_ERROR;
    }
    if (std::fwrite(data, 1, length, job.file) != length) {
        job.Problem("could not write " + request.file.string() + ": " + Reason(errno),
                    Kind::Unwritable);
        return CURL_WRITEFUNC_ERROR;
    }
    try {
        if (job.hash)
            job.hash->Add(data, length);
    } catch (const std::exception& error) {
        job.Problem(error.what(), Kind::Refused);
        return CURL_WRITEFUNC_ERROR;
    }
    outcome.received += arrived;
    return length;
}

void FailFromResult(Job& job, CURLcode code, int timeoutSeconds) {
    const std::string detail = job.error[0] ? std::string(job.error) : curl_easy_strerror(code);
    std::string text;
    std::string brief; // for a server not reached at all
    bool transient = true;
    bool untrusted = false;
    switch (code) {
    case CURLE_COULDNT_CONNECT:
        text = "the server refused the connection (is it running?)";
        brief = "Connection refused";
        break;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
        text = "the server's host name could not be found";
        brief = "Host name not found";
        break;
    case CURLE_OPERATION_TIMEDOUT:
        text = job.request.timeLimitMs > 0 || job.request.connectSeconds > 0 ||
                       job.request.answerMs > 0
                   ? "the server did not answer in time"
                   : "the server did not answer for " + std::to_string(timeoutSeconds) + " seconds";
        brief = "No answer";
        break;
    case CURLE_PARTIAL_FILE:
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
        text = "the server closed the connection before the whole file arrived";
        brief = "Connection lost";
        break;
    case CURLE_TOO_MANY_REDIRECTS:
        text = "the server redirected the request too many times";
        transient = false;
        break;
    case CURLE_UNSUPPORTED_PROTOCOL:
        text = "the server sent the request to an address the updater does not follow (" + detail +
               ")";
        transient = false;
        break;
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CACERT_BADFILE:
        text = "the server's certificate is not trusted (" + detail + ")";
        transient = false;
        untrusted = true;
        break;
    case CURLE_SSL_CONNECT_ERROR:
        text = "no secure connection to the server could be made (" + detail + ")";
        transient = false;
        untrusted = true;
        break;
    default:
        text = detail;
        transient = false;
    }
    long status = 0;
    curl_easy_getinfo(job.easy, CURLINFO_RESPONSE_CODE, &status);
    // A break that no answer came before is a server not reached at all.
    const Kind kind = untrusted     ? Kind::Untrusted
                      : !transient  ? Kind::Refused
                      : status == 0 ? Kind::Unreachable
                                    : Kind::ConnectionLost;
    job.Problem(text, kind, transient);
    if (job.failure == Kind::Unreachable)
        job.outcome.brief = brief;
}

} // namespace transfer
