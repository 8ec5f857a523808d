#pragma once
// A scripted TCP server on 127.0.0.1 for tests: it hands each connection it accepts to the
// test's handler, one after another on a thread of the test program (the next connection waits
// in the backlog until the handler returns), or each on a thread of its own. Raw Winsock on purpose, so
// that the code under test is checked against bytes, not against itself.
#include <winsock2.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace testing_support {

class FakeServer {
public:
    using Handler = std::function<void(SOCKET connection)>;
    enum class Serving { OneAtATime, InParallel };

    explicit FakeServer(Handler handler, Serving serving = Serving::OneAtATime);
    ~FakeServer();
    FakeServer(const FakeServer&) = delete;
    FakeServer& operator=(const FakeServer&) = delete;

    std::uint16_t port() const noexcept { return port_; }
    int connections() const noexcept { return connections_.load(); }
    // Stops accepting and ends the connection being served, as a stopped application would;
    // later connection attempts are refused.
    void stop();

private:
    void serve();
    void serveInParallel(SOCKET connection);

    Handler handler_;
    Serving mode_;
    std::mutex parallelMutex_;
    std::vector<SOCKET> parallelSockets_;  // those still being served
    std::vector<std::thread> parallelThreads_;
    std::atomic<SOCKET> listener_{INVALID_SOCKET};
    std::atomic<SOCKET> serving_{INVALID_SOCKET};
    std::uint16_t port_ = 0;
    std::atomic<int> connections_{0};
    std::thread thread_;
};

// Reads one request (up to and including its empty line) and returns its bytes; "" when the
// peer closed first.
std::string receiveRequest(SOCKET connection);
// The same, read in blocks with a pause before each, as a busy application takes a large request.
std::string receiveRequestSlowly(SOCKET connection, std::size_t block, DWORD pauseMs);
void sendAll(SOCKET connection, std::string_view bytes);
// Serves "get-states" on each connection until the peer closes, answering from a function of
// the requested path (the raw bytes of the reply lines, without their last line end); counts
// the requests when given a counter. The last line and the empty line end with lineEnd.
FakeServer::Handler answering(std::function<std::string(const std::string& path)> reply,
                              std::atomic<int>* requests = nullptr, std::string lineEnd = "\n");
// A port on 127.0.0.1 where nothing listens (bound once, then released).
std::uint16_t unusedPort();

}  // namespace testing_support
