#pragma once
// An HTTP server on 127.0.0.1 for the tests, in a thread of its own. It serves
// files under "/Quelmor/" and can be told to misbehave for single paths.

#include <httplib.h>

#include <QString>
#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class TestServer {
  public:
    using Handler = std::function<void(const httplib::Request&, httplib::Response&)>;

    // Listens on port, or on a free port when port is 0.
    explicit TestServer(int port = 0);
    ~TestServer();

    int port() const { return port_; }
    // "http://127.0.0.1:<port>/Quelmor/"
    QString baseUrl() const;

    // Serves body at "/Quelmor/" + name (name "/news.txt" is served at "/Quelmor//news.txt").
    void Put(const std::string& name, const std::string& body);
    // Answers requests for "/Quelmor/" + name with handler instead.
    void On(const std::string& name, Handler handler);
    // The paths requested so far, in order.
    std::vector<std::string> Requests() const;
    // How many requests asked for "/Quelmor/" + name.
    int CountOf(const std::string& name) const;

  private:
    void Serve(const httplib::Request& request, httplib::Response& response);

    httplib::Server server_;
    std::thread thread_;
    int port_ = 0;
    mutable std::mutex mutex_;
    std::map<std::string, std::string> files_;
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
