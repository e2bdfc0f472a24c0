#include "transfer/Transfers.h"

#include <cstring>
#include <fstream>
#include <mutex>
#include <stdexcept>
#include <vector>

#include "transfer/Job.h"

namespace transfer {

namespace {
// Bytes of a kept part hashed per Wait() before its request continues it.
constexpr std::int64_t HashSlice = 16 << 20;
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
    if (options_.bytesPerSecond > 0)
        cap_ = std::make_unique<SpeedCap>(options_.bytesPerSecond, SpeedCap::Clock::now());
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
    job.cap = cap_.get();
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
            if (!error && url == r.url && size > 0 && size <= total &&
                (r.size < 0 || total == r.size)) {
                // A whole file with a known hash is checked on disk instead of
                // asking for it; a part with a validator is continued.
                job.whole = size == total && !r.sha256.empty();
                if (job.whole || !validator.empty())
                    job.kept = size;
                if (!job.whole && !validator.empty())
                    job.headers =
                        curl_slist_append(job.headers, ("If-Range: " + validator).c_str());
            }
        }
        if (!job.whole)
            job.file = OpenFile(r.file, job.kept > 0 ? "ab" : "wb");
        if (!job.whole && job.file == nullptr) {
            job.Problem("could not write " + r.file.string() + ": " + Reason(errno),
                        Kind::Unwritable);
            job.outcome.kind = job.failure;
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
    curl_easy_setopt(
        easy, CURLOPT_CONNECTTIMEOUT,
        static_cast<long>(r.connectSeconds > 0 ? r.connectSeconds : options_.timeoutSeconds));
    if (r.timeLimitMs > 0)
        curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, r.timeLimitMs);
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, static_cast<long>(options_.timeoutSeconds));
    curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, 256L * 1024L);
    // A proxy from the environment (http_proxy, https_proxy) may ask for any
    // scheme it knows: Basic, Digest, NTLM or Negotiate, with the credentials
    // written into its URL.
    curl_easy_setopt(easy, CURLOPT_PROXYAUTH, CURLAUTH_ANY);
    if (!options_.caFile.empty())
        curl_easy_setopt(easy, CURLOPT_CAINFO, options_.caFile.c_str());
    if (job.kept > 0 && !job.whole)
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
        if (job->outcome.kind != Kind::Running)
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
            job->Problem("could not read " + job->request.file.string(), Kind::Refused);
            Complete(*job, CURLE_READ_ERROR);
            continue;
        }
        job->hash->Add(slice.data(), slice.size());
        job->hashedKept += static_cast<std::int64_t>(slice.size());
        if (job->hashedKept < job->kept)
            continue;
        if (job->whole && Taken(*job))
            continue;
        curl_multi_add_handle(multi_, job->easy);
        job->added = true;
    }
    // Sleeps only when nothing could be done at once: no slice to hash and no
    // request that just ended.
    Resume();
    if (!Perform() && !hashing) {
        curl_multi_poll(multi_, nullptr, 0, SleepMs(timeoutMs), nullptr);
        Resume();
        Perform();
    }
    // A server that took the request and has not begun to answer in time
    // counts as one that cannot be reached.
    const auto now = std::chrono::steady_clock::now();
    for (auto& [id, job] : jobs_) {
        if (job->outcome.kind == Kind::Running && job->added && !job->answered &&
            job->request.answerMs > 0 &&
            now - job->started >= std::chrono::milliseconds(job->request.answerMs))
            Complete(*job, CURLE_OPERATION_TIMEDOUT);
    }
    for (auto& [id, job] : jobs_) {
        if (job->request.progress && job->outcome.received != job->reported &&
            !job->outcome.Failed()) {
            job->reported = job->outcome.received;
            job->request.progress(job->outcome.received, job->outcome.total);
        }
    }
}

void Transfers::Resume() {
    if (!cap_)
        return;
    std::vector<std::pair<int, Job*>> order;
    const auto next = jobs_.upper_bound(turn_);
    for (auto it = next; it != jobs_.end(); ++it)
        order.emplace_back(it->first, it->second.get());
    for (auto it = jobs_.begin(); it != next; ++it)
        order.emplace_back(it->first, it->second.get());
    for (const auto& [id, job] : order) {
        if (!job->paused || job->outcome.kind != Kind::Running)
            continue;
        if (cap_->WaitMs(SpeedCap::Clock::now()) > 0)
            return;
        // libcurl hands over the piece it kept at once; the body callback
        // may pause the request again, or end it.
        job->paused = false;
        const CURLcode code = curl_easy_pause(job->easy, CURLPAUSE_CONT);
        if (code != CURLE_OK)
            Complete(*job, code);
        else if (!job->paused)
            turn_ = id;
    }
}

int Transfers::SleepMs(int timeoutMs) {
    if (!cap_)
        return timeoutMs;
    for (const auto& [id, job] : jobs_) {
        if (job->paused && job->outcome.kind == Kind::Running)
            return std::min(timeoutMs, cap_->WaitMs(SpeedCap::Clock::now()));
    }
    return timeoutMs;
}

bool Transfers::Taken(Job& job) {
    std::string digest;
    try {
        digest = job.hash->HexDigest();
    } catch (const std::exception&) {
    }
    if (digest == job.request.sha256) {
        job.outcome.received = job.kept;
        job.outcome.total = job.kept;
        job.outcome.kind = Kind::Done;
        return true;
    }
    // Other bytes than the file's: it is fetched afresh.
    job.whole = false;
    job.kept = 0;
    job.hashedKept = 0;
    job.outcome.received = 0;
    job.hash = std::make_unique<HashThread>();
    job.file = OpenFile(job.request.file, "wb");
    if (job.file == nullptr) {
        job.Problem("could not write " + job.request.file.string() + ": " + Reason(errno),
                    Kind::Unwritable);
        Complete(job, CURLE_WRITE_ERROR);
        return true;
    }
    return false;
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
        job.Problem("could not write " + job.request.file.string() + ": " + Reason(errno),
                    Kind::Unwritable);
    job.file = nullptr;

    Outcome& outcome = job.outcome;
    const Request& request = job.request;
    if (job.cancelled) {
        outcome.kind = Kind::Cancelled;
        return;
    }
    if (job.cut && outcome.problem.empty()) {
        outcome.kind = Kind::Done;
        return;
    }
    if (outcome.problem.empty() && code != CURLE_OK)
        FailFromResult(job, code, options_.timeoutSeconds);
    if (outcome.problem.empty() && outcome.total >= 0 && outcome.received != outcome.total)
        job.Problem("the server sent " + std::to_string(outcome.received) + " of the " +
                        std::to_string(outcome.total) + " bytes it announced",
                    Kind::ConnectionLost, true);
    if (outcome.problem.empty() && request.size >= 0 && outcome.received != request.size)
        job.Problem("it has " + std::to_string(outcome.received) + " bytes, the manifest says " +
                        std::to_string(request.size),
                    Kind::Damaged);
    if (outcome.problem.empty() && job.hash) {
        std::string digest;
        try {
            digest = job.hash->HexDigest();
        } catch (const std::exception& failure) {
            digest = failure.what();
        }
        if (digest != request.sha256)
            job.Problem("its SHA-256 is " + digest + ", the manifest says " + request.sha256,
                        Kind::Damaged);
    }
    outcome.kind = outcome.problem.empty() ? Kind::Done : job.failure;
}

bool Transfers::Running(int id) const {
    const auto found = jobs_.find(id);
    return found != jobs_.end() && found->second->outcome.kind == Kind::Running;
}

Outcome Transfers::Finish(int id) {
    const auto found = jobs_.find(id);
    if (found == jobs_.end() || found->second->outcome.kind == Kind::Running)
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

std::FILE* OpenFile(const std::filesystem::path& path, const char* mode) {
#ifdef _WIN32
    const std::wstring wide(mode, mode + std::strlen(mode));
    return _wfopen(path.c_str(), wide.c_str());
#else
    return std::fopen(path.c_str(), mode);
#endif
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
