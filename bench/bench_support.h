#pragma once
// Shared pieces of the benchmarks: a local state server that answers "get-states" on kept
// connections, raw Winsock clients to compare against, and a timer.
#include <winsock2.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace bench {

// The path the request benchmarks ask about, and its "get-states" request as it goes on the wire.
inline const std::wstring kSamplePath = L"C:\\Users\\user1\\Documents\\projects\\quarterly-report.docx";
inline const std::string kSampleRequest =
    "get-states\nC:\\\\Users\\\\user1\\\\Documents\\\\projects\\\\quarterly-report.docx\n\n";

// A socket listening on 127.0.0.1 at a port the system picks; the port is given back.
SOCKET listenOnLoopback(std::uint16_t& port, int backlog);

// Answers "get-states" on every connection with "<path>\t<state>" and the empty line ("not
// applicable" for a path without a state), and "get-commands" with the given reply lines
// (tab-separated tokens, LF-ended).
class StateServer {
public:
    // The state of a path as it arrives (escaped); empty for none.
    using StateOf = std::string (*)(const std::string& path);
    static std::string synced(const std::string&) { return "Synced"; }

    explicit StateServer(std::string commandsReply = "", StateOf stateOf = &synced);
    ~StateServer();
    std::uint16_t port() const { return port_; }
    long statesAsked() const { return statesAsked_.load(); }
    long commandsAsked() const { return commandsAsked_.load(); }
    // From now on "get-commands" is answered after this long, with a wait marker every 250 ms.
    void delayCommands(int ms) { commandsDelayMs_ = ms; }

private:
    void serve(SOCKET connection);
    void waitWithMarkers(SOCKET connection);
    std::string commandsReply_;
    StateOf stateOf_;
    std::atomic<long> statesAsked_{0};
    std::atomic<long> commandsAsked_{0};
    std::atomic<int> commandsDelayMs_{0};
    SOCKET listener_;
    std::uint16_t port_ = 0;
    std::thread acceptor_;
    std::vector<std::thread> connections_;
};

// A server's port file with its lock file held, as the application publishes them; removed again.
class PublishedPort {
public:
    PublishedPort(const std::wstring& folder, const std::wstring& suffix, std::uint16_t port);
    ~PublishedPort();

private:
    std::wstring portFile_;
    HANDLE lock_;
};

// A connected raw socket to 127.0.0.1:port.
SOCKET connectRaw(std::uint16_t port);
// Sends the request bytes and reads the reply up to its empty line: in blocks, or one byte per recv.
std::string rawExchange(SOCKET s, const std::string& request, bool blockReads);

// Mean time of one call of f, in microseconds, over n calls after a short warm-up.
double microsecondsPerCall(int n, const std::function<void()>& f);

void printRow(const char* what, double value, const char* unit = "us");
void printRatio(const char* what, double ratio, const char* target = nullptr);

}  // namespace bench
