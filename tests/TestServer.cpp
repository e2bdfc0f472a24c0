#include "TestServer.h"

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
