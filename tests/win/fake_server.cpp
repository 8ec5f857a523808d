#include "tests/win/fake_server.h"

#include <algorithm>
#include <stdexcept>
#include <utility>

namespace testing_support {

namespace {

struct WinsockStarted {
    WinsockStarted() {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
    }
};

SOCKET listenOnAnyPort(std::uint16_t& port) {
    static WinsockStarted started;
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(s, 8) != 0)
        throw std::runtime_error("fake server cannot listen");
    int length = sizeof address;
    getsockname(s, reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(address.sin_port);
    return s;
}

}  // namespace

FakeServer::FakeServer(Handler handler, Serving serving) : handler_(std::move(handler)), mode_(serving) {
    listener_ = listenOnAnyPort(port_);
    thread_ = std::thread([this] { serve(); });
}

FakeServer::~FakeServer() {
    stop();
    if (thread_.joinable()) thread_.join();
    for (std::thread& thread : parallelThreads_) thread.join();
}

void FakeServer::stop() {
    if (listener_.load() != INVALID_SOCKET) closesocket(listener_.exchange(INVALID_SOCKET));
    // Closing (not just shutting down) is what wakes a receive blocked on another thread.
    const SOCKET serving = serving_.exchange(INVALID_SOCKET);
    if (serving != INVALID_SOCKET) closesocket(serving);
    std::lock_guard<std::mutex> hold(parallelMutex_);
    for (SOCKET s : parallelSockets_) closesocket(s);
    parallelSockets_.clear();
}

void FakeServer::serve() {
    for (;;) {
        const SOCKET listener = listener_;
        if (listener == INVALID_SOCKET) return;
        const SOCKET connection = accept(listener, nullptr, nullptr);
        if (connection == INVALID_SOCKET) return;
        ++connections_;
        if (mode_ == Serving::InParallel) {
            serveInParallel(connection);
            continue;
        }
        serving_ = connection;
        if (listener_.load() != INVALID_SOCKET) handler_(connection);
        if (serving_.exchange(INVALID_SOCKET) == connection) closesocket(connection);
    }
}

void FakeServer::serveInParallel(SOCKET connection) {
    std::lock_guard<std::mutex> hold(parallelMutex_);
    parallelSockets_.push_back(connection);
    parallelThreads_.emplace_back([this, connection] {
        handler_(connection);
        std::lock_guard<std::mutex> done(parallelMutex_);
        const auto found = std::find(parallelSockets_.begin(), parallelSockets_.end(), connection);
        if (found == parallelSockets_.end()) return;  // stop() closed it
        parallelSockets_.erase(found);
        closesocket(connection);
    });
}

std::string receiveRequest(SOCKET connection) {
    std::string bytes;
    char c;
    while (recv(connection, &c, 1, 0) == 1) {
        bytes += c;
        if (c == '\n' && (bytes.size() == 1 || bytes[bytes.size() - 2] == '\n')) break;
    }
    return bytes;
}

std::string receiveRequestSlowly(SOCKET connection, std::size_t block, DWORD pauseMs) {
    std::string bytes;
    std::string buffer(block, '\0');
    while (bytes.size() < 2 || bytes.compare(bytes.size() - 2, 2, "\n\n") != 0) {
        Sleep(pauseMs);
        const int n = recv(connection, buffer.data(), static_cast<int>(block), 0);
        if (n <= 0) return "";
        bytes.append(buffer.data(), static_cast<std::size_t>(n));
    }
    return bytes;
}

void sendAll(SOCKET connection, std::string_view bytes) {
    while (!bytes.empty()) {
        const int sent = send(connection, bytes.data(), static_cast<int>(bytes.size()), 0);
        if (sent <= 0) return;
        bytes.remove_prefix(static_cast<std::size_t>(sent));
    }
}

FakeServer::Handler answering(std::function<std::string(const std::string& path)> reply,
                              std::atomic<int>* requests, std::string lineEnd) {
    return [reply, requests, lineEnd](SOCKET s) {
        for (std::string request; !(request = receiveRequest(s)).empty();) {
            if (requests) ++*requests;
            const std::size_t first = request.find('\n');
            const std::string path = request.substr(first + 1, request.size() - first - 3);
            const std::string lines = reply(path);
            sendAll(s, lines.empty() ? lineEnd : lines + lineEnd + lineEnd);
        }
    };
}

std::uint16_t unusedPort() {
    std::uint16_t port = 0;
    closesocket(listenOnAnyPort(port));
    return port;
}

}  // namespace testing_support
