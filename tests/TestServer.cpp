#include "TestServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>

TestServer::TestServer(int port, const std::string& certificate, const std::string& key)
    : secure_(!certificate.empty()) {
    if (secure_)
        server_ = std::make_unique<httplib::SSLServer>(certificate.c_str(), key.c_str());
    else
        server_ = std::make_unique<httplib::Server>();
    server_->Get(".*", [this](const httplib::Request& request, httplib::Response& response) {
        Serve(request, response);
    });
    if (port == 0) {
        port_ = server_->bind_to_any_port("127.0.0.1");
    } else if (server_->bind_to_port("127.0.0.1", port)) {
        port_ = port;
    }
    if (port_ <= 0)
        throw std::runtime_error("the test server could not listen");
    thread_ = std::thread([this] { server_->listen_after_bind(); });
    while (!server_->is_running())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

TestServer::~TestServer() {
    server_->stop();
    thread_.join();
}

QString TestServer::baseUrl() const {
    return QStringLiteral("%1://127.0.0.1:%2/Quelmor/")
        .arg(secure_ ? QStringLiteral("https") : QStringLiteral("http"))
        .arg(port_);
}

void TestServer::Put(const std::string& name, const std::string& body, Serving serving) {
    if (serving.etag.empty())
        serving.etag = "\"" + std::to_string(std::hash<std::string>()(body)) + "\"";
    std::lock_guard lock(mutex_);
    files_[name] = File{body, serving};
}

std::size_t TestServer::BytesSent(const std::string& name) const {
    std::lock_guard lock(mutex_);
    const auto found = sent_.find(name);
    return found == sent_.end() ? 0 : found->second;
}

void TestServer::ServeFile(const httplib::Request& request, httplib::Response& response,
                           const std::string& name, File file) {
    const std::string& body = file.body;
    std::size_t first = 0;
    const std::string range = request.get_header_value("Range");
    const std::string ifRange = request.get_header_value("If-Range");
    response.set_header("ETag", file.serving.etag);
    if (range.rfind("bytes=", 0) == 0 && range.back() == '-' && !file.serving.ignoreRange &&
        (ifRange.empty() || ifRange == file.serving.etag)) {
        first = std::stoul(range.substr(6));
        if (first >= body.size()) {
            response.status = 416;
            response.set_header("Content-Range", "bytes */" + std::to_string(body.size()));
            return;
        }
        response.status = 206;
        response.set_header("Content-Range", "bytes " + std::to_string(first) + "-" +
                                                 std::to_string(body.size() - 1) + "/" +
                                                 std::to_string(body.size()));
    }
    std::size_t last = body.size();
    {
        std::lock_guard lock(mutex_);
        File& served = files_[name];
        if (served.serving.cuts > 0) {
            --served.serving.cuts;
            last = std::min(last, first + served.serving.cutAfter);
        }
        sent_[name] += last - first;
    }
    if (first == body.size()) {
        response.set_content("", "application/octet-stream");
        return;
    }
    // The answer announces the whole rest and may end the connection early.
    response.set_content_provider(
        body.size() - first, "application/octet-stream",
        [body, first, last](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
            const std::size_t from = first + offset;
            if (from >= last)
                return false;
            sink.write(body.data() + from, std::min(length, last - from));
            return true;
        });
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
    // Ranges are answered here, not by the library, which would cut again.
    const_cast<httplib::Request&>(request).ranges.clear();
    Handler handler;
    File file;
    std::string name;
    bool found = false;
    {
        std::lock_guard lock(mutex_);
        requests_.push_back(request.path);
        const std::string prefix = "/Quelmor/";
        if (request.path.rfind(prefix, 0) == 0) {
            name = request.path.substr(prefix.size());
            if (auto it = handlers_.find(name); it != handlers_.end()) {
                handler = it->second;
            } else if (auto stored = files_.find(name); stored != files_.end()) {
                file = stored->second;
                found = true;
            }
        }
    }
    if (handler) {
        handler(request, response);
    } else if (found) {
        ServeFile(request, response, name, file);
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
