#include "bench/bench_support.h"

#include <algorithm>
#include <cstdio>
#include <utility>

namespace bench {

namespace {

std::string readRequest(SOCKET s, std::string& pending) {
    for (std::size_t from = 0;;) {
        const std::size_t end = pending.find("\n\n", from);
        if (end != std::string::npos) {
            std::string request = pending.substr(0, end + 2);
            pending.erase(0, end + 2);
            return request;
        }
        from = pending.empty() ? 0 : pending.size() - 1;  // a large request is not scanned again from its start
        char buffer[4096];
        const int n = recv(s, buffer, sizeof buffer, 0);
        if (n <= 0) return {};
        pending.append(buffer, n);
    }
}

}  // namespace

SOCKET listenOnLoopback(std::uint16_t& port, int backlog) {
    const SOCKET listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
    listen(listener, backlog);
    int length = sizeof address;
    getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(address.sin_port);
    return listener;
}

StateServer::StateServer(std::string commandsReply, StateOf stateOf)
    : commandsReply_(std::move(commandsReply)), stateOf_(stateOf) {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    listener_ = listenOnLoopback(port_, 16);
    acceptor_ = std::thread([this] {
        for (SOCKET c; (c = accept(listener_, nullptr, nullptr)) != INVALID_SOCKET;)
            connections_.emplace_back([this, c] { serve(c); });
    });
}

StateServer::~StateServer() {
    closesocket(listener_);
    acceptor_.join();
    for (auto& t : connections_) t.join();
}

void StateServer::serve(SOCKET c) {
    std::string pending;
    for (std::string request; !(request = readRequest(c, pending)).empty();) {
        if (request.rfind("get-commands\n", 0) == 0) {
            ++commandsAsked_;
            waitWithMarkers(c);
            const std::string reply = commandsReply_ + "\n";
            send(c, reply.data(), static_cast<int>(reply.size()), 0);
            continue;
        }
        // request: "get-states\n<path>\n\n"
        const std::size_t first = request.find('\n');
        const std::string path = request.substr(first + 1, request.size() - first - 3);
        ++statesAsked_;
        const std::string state = stateOf_(path);
        const std::string reply = state.empty() ? "not applicable\n\n" : path + "\\u0009" + state + "\n\n";
        send(c, reply.data(), static_cast<int>(reply.size()), 0);
    }
    closesocket(c);
}

void StateServer::waitWithMarkers(SOCKET c) {
    constexpr int kEveryMs = 250;  // well within the client's receive time-out
    for (int left = commandsDelayMs_; left > 0; left -= kEveryMs) {
        Sleep(static_cast<DWORD>(std::min(left, kEveryMs)));
        if (left > kEveryMs) send(c, ".\n", 2, 0);
    }
}

PublishedPort::PublishedPort(const std::wstring& folder, const std::wstring& suffix, std::uint16_t port) {
    wchar_t host[256];
    DWORD size = 256;
    GetComputerNameExW(ComputerNameDnsHostname, host, &size);
    CreateDirectoryW(folder.c_str(), nullptr);
    portFile_ = folder + L"\\" + host + suffix + L".port";
    const std::string text = std::to_string(port);
    HANDLE file = CreateFileW(portFile_.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(file);
    // Held without delete sharing: to a reader the server is running.
    lock_ = CreateFileW((portFile_ + L".lock").c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                        CREATE_ALWAYS, FILE_FLAG_DELETE_ON_CLOSE, nullptr);
}

PublishedPort::~PublishedPort() {
    CloseHandle(lock_);
    DeleteFileW(portFile_.c_str());
}

SOCKET connectRaw(std::uint16_t port) {
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address);
    return s;
}

std::string rawExchange(SOCKET s, const std::string& request, bool blockReads) {
    send(s, request.data(), static_cast<int>(request.size()), 0);
    std::string reply;
    char buffer[4096];
    const int chunk = blockReads ? static_cast<int>(sizeof buffer) : 1;
    while (reply.size() < 2 || reply.compare(reply.size() - 2, 2, "\n\n") != 0) {
        const int n = recv(s, buffer, chunk, 0);
        if (n <= 0) break;
        reply.append(buffer, n);
    }
    return reply;
}

double microsecondsPerCall(int n, const std::function<void()>& f) {
    for (int i = 0; i < n / 10 + 1; ++i) f();
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < n; ++i) f();
    const std::chrono::duration<double, std::micro> elapsed = std::chrono::steady_clock::now() - start;
    return elapsed.count() / n;
}

void printRow(const char* what, double value, const char* unit) { std::printf("  %-58s %10.2f %s\n", what, value, unit); }

void printRatio(const char* what, double ratio, const char* target) {
    std::printf("  %-58s %10.2f%s%s\n", what, ratio, target ? "   target " : "", target ? target : "");
}

}  // namespace bench
