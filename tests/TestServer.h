#pragma once
// An HTTP(S) server on 127.0.0.1 in a thread of its own: serves "/Quelmor/" as a
// static file server (ETag, Range, If-Range), misbehaves per path when told, and
// stands as a forward proxy in front of itself.

#include <httplib.h>

#include <QCryptographicHash>
#include <QString>
#include <algorithm>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <regex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

// How a file is served besides its bytes.
struct Serving {
    int status = 0; // the first `times` answers: this status and a small error page
    int times = 1 << 30;
    std::function<void()> before = {}; // runs on the server's thread before each answer
    int delayMs = 0;                   // then a pause
    std::string header = {};           // one more header line: "Name: value"
    std::string redirect = {};         // a redirect to this path or URL instead of the file
    bool chunked = false;              // the body in chunks, without a length
    std::size_t cutAfter = 0;          // the first `cuts` answers end after this many body bytes
    int cuts = 0;
    bool ignoreRange = false; // a range request gets the whole file (200), as from some servers
    std::string etag = {};    // the ETag sent; "" derives one from the bytes
};

class TestServer {
  public:
    using Handler = std::function<void(const httplib::Request&, httplib::Response&)>;

    // Listens on port (0: any free one), with HTTPS given PEM files; throws when it cannot.
    explicit TestServer(int port = 0, const std::string& certificate = {},
                        const std::string& key = {})
        : secure_(!certificate.empty()) {
        server_.reset(secure_ ? new httplib::SSLServer(certificate.c_str(), key.c_str())
                              : new httplib::Server());
        // Each answer at once: headers and body go out apart, which Nagle's
        // algorithm would hold back 40 ms for the client's acknowledgement.
        server_->set_tcp_nodelay(true);
        server_->Get(".*",
                     [this](const httplib::Request& q, httplib::Response& r) { Serve(q, r); });
        port_ = port == 0 ? server_->bind_to_any_port("127.0.0.1")
                          : (server_->bind_to_port("127.0.0.1", port) ? port : -1);
        if (port_ <= 0)
            throw std::runtime_error("the test server could not listen");
        thread_ = std::thread([this] { server_->listen_after_bind(); });
        while (!server_->is_running())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ~TestServer() {
        server_->stop();
        thread_.join();
    }

    // The base URL; HTTPS by "localhost", as Windows checks a certificate by name only.
    QString baseUrl() const {
        return QStringLiteral("%1:%2/Quelmor/")
            .arg(secure_ ? "https://localhost" : "http://127.0.0.1")
            .arg(port_);
    }
    // Serves body at "/Quelmor/" + name ("/news.txt" at "/Quelmor//news.txt").
    void Put(const std::string& name, const std::string& body, Serving serving = {}) {
        if (serving.etag.empty()) // appended: GCC 12 at -O3 misreads "\"" + string (-Wrestrict)
            serving.etag.append("\"")
                .append(std::to_string(std::hash<std::string>()(body)))
                .append("\"");
        std::lock_guard lock(mutex_);
        files_[name] = File{body, serving};
    }
    // Answers requests for "/Quelmor/" + name with 404 again.
    void Drop(const std::string& name) {
        std::lock_guard lock(mutex_);
        files_.erase(name);
    }
    // Answers requests for "/Quelmor/" + name with handler instead.
    void On(const std::string& name, Handler handler) {
        std::lock_guard lock(mutex_);
        handlers_[name] = std::move(handler);
    }
    // Proxy requests ("GET http://host/...") must log in by Digest, else get 407.
    void RequireProxyLogin(const std::string& user, const std::string& password) {
        std::lock_guard lock(mutex_);
        proxyLogin_ = user + ":x:" + password;
    }
    // The body served for name.
    std::string BodyOf(const std::string& name) const {
        std::lock_guard lock(mutex_);
        return files_.count(name) ? files_.at(name).body : "";
    }
    // The paths requested so far, in order.
    std::vector<std::string> Requests() const {
        std::lock_guard lock(mutex_);
        return requests_;
    }
    // How many requests asked for "/Quelmor/" + name.
    int CountOf(const std::string& name) const {
        std::lock_guard lock(mutex_);
        return static_cast<int>(std::count(requests_.begin(), requests_.end(), "/Quelmor/" + name));
    }
    // Body bytes of the file "/Quelmor/" + name sent so far, in all answers.
    std::size_t BytesSent(const std::string& name) const {
        std::lock_guard lock(mutex_);
        return sent_.count(name) ? sent_.at(name) : 0;
    }

  private:
    struct File {
        std::string body;
        Serving serving;
    };

    // Answers one request: by its handler, as the file it names, or with 404.
    void Serve(const httplib::Request& request, httplib::Response& response) {
        // Ranges are answered here, not by the library, which would cut again.
        const_cast<httplib::Request&>(request).ranges.clear();
        std::string path = request.path;
        if (path.rfind("http://", 0) == 0) { // as a proxy: whatever host is named, it is this one
            if (!ProxyLoginHolds(request)) {
                response.status = 407;
                return response.set_header("Proxy-Authenticate",
                                           "Digest realm=\"x\", nonce=\"n0\"");
            }
            path = path.substr(std::min(path.find('/', 7), path.size()));
        }
        const std::string name = path.rfind("/Quelmor/", 0) == 0 ? path.substr(9) : "";
        Handler handler;
        File file;
        {
            std::lock_guard lock(mutex_);
            requests_.push_back(path);
            handler = handlers_.count(name) ? handlers_[name] : nullptr;
            // A file the server does not have is answered 404.
            file = files_.try_emplace(name, File{"", {.status = 404}}).first->second;
        }
        if (handler)
            return handler(request, response);
        const std::string& body = file.body;
        const Serving& serving = file.serving;
        if (serving.before)
            serving.before();
        std::this_thread::sleep_for(std::chrono::milliseconds(serving.delayMs));
        if (const auto colon = serving.header.find(':'); colon != std::string::npos)
            response.set_header(serving.header.substr(0, colon), serving.header.substr(colon + 2));
        if (!serving.redirect.empty())
            return response.set_redirect(serving.redirect);
        std::size_t first = 0, last = body.size();
        const std::string range = request.get_header_value("Range");
        const std::string ifRange = request.get_header_value("If-Range");
        if (range.rfind("bytes=", 0) == 0 && range.back() == '-' && !serving.ignoreRange &&
            (ifRange.empty() || ifRange == serving.etag))
            first = std::stoul(range.substr(6));
        bool failing = false;
        {
            std::lock_guard lock(mutex_);
            Serving& left = files_[name].serving;
            failing = serving.status != 0 && left.times-- > 0;
            if (!failing && left.cuts-- > 0)
                last = std::min(last, first + serving.cutAfter);
            sent_[name] += failing || first > last ? 0 : last - first;
        }
        if (failing) {
            response.status = serving.status;
            return response.set_content("<html><body>error page</body></html>", "text/html");
        }
        response.set_header("ETag", serving.etag);
        if (serving.chunked)
            return response.set_chunked_content_provider(
                "application/octet-stream", [body](std::size_t offset, httplib::DataSink& sink) {
                    if (offset == 0)
                        sink.write(body.data(), body.size());
                    else
                        sink.done();
                    return true;
                });
        const std::string size = std::to_string(body.size());
        if (first > 0 && first >= body.size()) {
            response.status = 416; // with a page about it, as nginx sends
            response.set_header("Content-Range", "bytes */" + size);
            return response.set_content("<html>416 Range Not Satisfiable</html>", "text/html");
        }
        if (first > 0) {
            response.status = 206;
            response.set_header("Content-Range", "bytes " + std::to_string(first) + "-" +
                                                     std::to_string(body.size() - 1) + "/" + size);
        }
        if (body.empty())
            return response.set_content("", "application/octet-stream");
        // The answer announces the whole rest and may end the connection early.
        response.set_content_provider(
            body.size() - first, "application/octet-stream",
            [body, first, last](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
                const std::size_t from = first + offset;
                return from < last && sink.write(body.data() + from, std::min(length, last - from));
            });
    }

    // No login asked for, or a Digest login without "qop" (RFC 2069) that holds.
    bool ProxyLoginHolds(const httplib::Request& request) const {
        std::lock_guard lock(mutex_);
        const std::string given = request.get_header_value("Proxy-Authorization");
        std::map<std::string, std::string> field;
        static const std::regex pair(R"re((\w+)="?([^",]*)"?)re");
        for (std::sregex_iterator it(given.begin(), given.end(), pair), end; it != end; ++it)
            field[(*it)[1]] = (*it)[2];
        const auto md5 = [](const std::string& text) {
            const auto bytes = QByteArray::fromStdString(text);
            return QCryptographicHash::hash(bytes, QCryptographicHash::Md5).toHex().toStdString();
        };
        return proxyLogin_.empty() ||
               (given.rfind("Digest ", 0) == 0 &&
                field["response"] ==
                    md5(md5(proxyLogin_) + ":n0:" + md5(request.method + ":" + field["uri"])));
    }

    std::unique_ptr<httplib::Server> server_;
    bool secure_ = false;
    std::thread thread_;
    int port_ = 0;
    mutable std::mutex mutex_;
    std::map<std::string, File> files_;
    std::map<std::string, std::size_t> sent_;
    std::map<std::string, Handler> handlers_;
    std::vector<std::string> requests_;
    std::string proxyLogin_; // "user:realm:password" of the proxy login; none when empty
};
