#include "TestServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>

TestServer::TestServer(int port) {
    server_.Get(".*", [this](const httplib::Request& request, httplib::Response& response) {
        Serve(request, response);
    });
    if (port == 0) {
        port_ = server_.bind_to_any_port("127.0.0.1");
    } else if (server_.bind_to_port("127.0.0.1", port)) {
        port_ = port;
    }
    if (port_ <= 0)
        throw std::runtime_error("the test server could not listen");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    while (!server_.is_running())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

TestServer::~TestServer() {
    server_.stop();
    thread_.join();
}

QString TestServer::baseUrl() const {
    return QStringLiteral("http://127.0.0.1:%1/Quelmor/").arg(port_);
}

void TestServer::Put(const std::string& name, const std::string& body) {
    std::lock_guard lock(mutex_);
    files_[name] = body;
}

void TestServer::On(const std::string& name, Handler handler) {
    std::lock_guard lock(mutex_);
    handlers_[name] = std::move(handler);
}

std::vector<std::string> TestServer::Requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

int TestServer::CountOf(const std::string& name) const {
    std::lock_guard lock(mutex_);
    int count = 0;
    for (const std::string& path : requests_)
        count += path == "/Quelmor/" + name ? 1 : 0;
    return count;
}

void TestServer::Serve(const httplib::Request& request, httplib::Response& response) {
    Handler handler;
    std::string body;
    bool found = false;
    {
        std::lock_guard lock(mutex_);
        requests_.push_back(request.path);
        const std::string prefix = "/Quelmor/";
        if (request.path.rfind(prefix, 0) == 0) {
            const std::string name = request.path.substr(prefix.size());
            if (auto it = handlers_.find(name); it != handlers_.end()) {
                handler = it->second;
            } else if (auto file = files_.find(name); file != files_.end()) {
                body = file->second;
                found = true;
            }
        }
    }
    if (handler) {
        handler(request, response);
    } else if (found) {
        response.set_content(body, "application/octet-stream");
    } else {
        response.status = 404;
        response.set_content("<html><body>404 Not Found</body></html>", "text/html");
    }
}

RawServer::RawServer(std::string response, bool reset)
    : response_(std::move(response)), reset_(reset) {
    socket_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (socket_ < 0 || ::bind(socket_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(socket_, 8) != 0 ||
        ::getsockname(socket_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        throw std::runtime_error("the raw test server could not listen");
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { Serve(); });
}

RawServer::~RawServer() {
    stopping_ = true;
    ::shutdown(socket_, SHUT_RDWR);
    ::close(socket_);
    thread_.join();
}

std::string RawServer::url() const {
    return "http://127.0.0.1:" + std::to_string(port_) + "/";
}

void RawServer::Serve() {
    while (!stopping_) {
        pollfd waiting{socket_, POLLIN, 0};
        if (::poll(&waiting, 1, 50) <= 0)
            continue;
        const int client = ::accept(socket_, nullptr, nullptr);
        if (client < 0)
            continue;
        std::string request;
        char buffer[4096];
        while (request.find("\r\n\r\n") == std::string::npos) {
            const ssize_t got = ::recv(client, buffer, sizeof(buffer), 0);
            if (got <= 0)
                break;
            request.append(buffer, static_cast<size_t>(got));
        }
        size_t sent = 0;
        while (sent < response_.size()) {
            const ssize_t put =
                ::send(client, response_.data() + sent, response_.size() - sent, MSG_NOSIGNAL);
            if (put <= 0)
                break;
            sent += static_cast<size_t>(put);
        }
        if (reset_) {
            linger abortive{1, 0};
            ::setsockopt(client, SOL_SOCKET, SO_LINGER, &abortive, sizeof(abortive));
        }
        ::close(client);
    }
}
