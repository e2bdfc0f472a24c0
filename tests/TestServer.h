#pragma once
// An HTTP server on 127.0.0.1 for the tests, in a thread of its own. It serves
// files under "/Quelmor/" and can be told to misbehave for single paths.

#include <httplib.h>

#include <QString>
#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// How a file is served besides its bytes.
struct Serving {
    // The first `cuts` answers end the connection after this many body bytes.
    std::size_t cutAfter = 0;
    int cuts = 0;
    // Answers a range request with the whole file (200), as some servers do.
    bool ignoreRange = false;
    // The validator sent as ETag; "" derives one from the bytes.
    std::string etag;
};

// A file whose first `times` answers are cut after `bytes` body bytes.
inline Serving CutAfter(std::size_t bytes, int times = 1, bool ignoreRange = false) {
    Serving serving;
    serving.cutAfter = bytes;
    serving.cuts = times;
    serving.ignoreRange = ignoreRange;
    return serving;
}

// A file served with the validator etag.
inline Serving WithEtag(const std::string& etag) {
    Serving serving;
    serving.etag = etag;
    return serving;
}

class TestServer {
  public:
    using Handler = std::function<void(const httplib::Request&, httplib::Response&)>;

    // Listens on port, or on a free port when port is 0; with a certificate
    // and its key (PEM files) it speaks HTTPS.
    explicit TestServer(int port = 0, const std::string& certificate = {},
                        const std::string& key = {});
    ~TestServer();

    int port() const { return port_; }
    // "http://127.0.0.1:<port>/Quelmor/" (or https)
    QString baseUrl() const;

    // Serves body at "/Quelmor/" + name (name "/news.txt" is served at
    // "/Quelmor//news.txt"), with an ETag, answering "Range" requests (and
    // "If-Range") as a static file server does.
    void Put(const std::string& name, const std::string& body, Serving serving = {});
    // Answers requests for "/Quelmor/" + name with handler instead.
    void On(const std::string& name, Handler handler);
    // The paths requested so far, in order.
    std::vector<std::string> Requests() const;
    // How many requests asked for "/Quelmor/" + name.
    int CountOf(const std::string& name) const;
    // Body bytes of the file "/Quelmor/" + name sent so far, in all answers.
    std::size_t BytesSent(const std::string& name) const;

  private:
    void Serve(const httplib::Request& request, httplib::Response& response);

    std::unique_ptr<httplib::Server> server_;
    bool secure_ = false;
    std::thread thread_;
    int port_ = 0;
    mutable std::mutex mutex_;
    struct File {
        std::string body;
        Serving serving;
    };
    void ServeFile(const httplib::Request& request, httplib::Response& response,
                   const std::string& name, File file);
    std::map<std::string, File> files_;
    std::map<std::string, std::size_t> sent_;
    std::map<std::string, Handler> handlers_;
    std::vector<std::string> requests_;
};

// A server that answers every connection on 127.0.0.1 with the same raw bytes,
// for responses no well-behaved HTTP library would send. With reset, the
// connection is then torn down with a TCP reset instead of an orderly close.
class RawServer {
  public:
    RawServer(std::string response, bool reset);
    ~RawServer();
    // "http://127.0.0.1:<port>/"
    std::string url() const;

  private:
    void Serve();

    std::string response_;
    bool reset_;
    int socket_ = -1;
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};
