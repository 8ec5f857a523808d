// Changed-path lines forwarded per second from one connection: the Notifier (with the shell
// replaced by a counter) against draining the same bytes with raw Winsock block reads.
#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "bench/bench_support.h"
#include "common/handles.h"
#include "common/log.h"
#include "common/settings.h"
#include "notifier/notifier.h"
#include "notifier/port_file.h"
#include "wire/line_socket.h"

namespace {

constexpr int kLines = 50000;
constexpr int kRounds = 3;
constexpr DWORD kRoundLimitMs = 120000;

class QuietLogger : public Logger {
public:
    QuietLogger() : Logger(false) {}
    void write(std::wstring_view) override {}
};

std::string changedPaths() {
    std::string bytes;
    for (int i = 0; i < kLines; ++i)
        bytes += "C:\\\\Users\\\\user1\\\\Documents\\\\projects\\\\report-" + std::to_string(i) + ".docx\n";
    return bytes;
}

// Connects, sends everything and closes, on its own thread, as the application would.
std::thread sendFrom(std::uint16_t port, const std::string& bytes) {
    return std::thread([port, &bytes] {
        const SOCKET s = bench::connectRaw(port);
        for (std::size_t sent = 0; sent < bytes.size();) {
            const int n = send(s, bytes.data() + sent, static_cast<int>(bytes.size() - sent), 0);
            if (n <= 0) break;
            sent += static_cast<std::size_t>(n);
        }
        closesocket(s);
    });
}

double seconds(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double notifierLinesPerSecond(const std::string& bytes) {
    QuietLogger logger;
    std::atomic<int> forwarded{0};
    KernelHandle allForwarded(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    Notifier notifier(logger, [&](LONG, UINT, const void*, const void*) {
        if (++forwarded == kLines) SetEvent(allForwarded.get());
    });
    std::thread listening([&] { notifier.run(); });
    while (notifier.port() == 0) Sleep(5);

    double best = 0;
    for (int round = 0; round < kRounds; ++round) {
        forwarded = 0;
        ResetEvent(allForwarded.get());
        const auto start = std::chrono::steady_clock::now();
        std::thread sender = sendFrom(static_cast<std::uint16_t>(notifier.port()), bytes);
        const bool done = WaitForSingleObject(allForwarded.get(), kRoundLimitMs) == WAIT_OBJECT_0;
        const double rate = kLines / seconds(start);
        sender.join();
        if (!done) std::printf("  notifier round %d forwarded only %d lines\n", round, forwarded.load());
        if (done && rate > best) best = rate;
    }
    notifier.stop();
    listening.join();
    return best;
}

double rawLinesPerSecond(const std::string& bytes) {
    LineSocket guard;  // Windows Sockets up for the raw calls
    std::uint16_t port = 0;
    const SOCKET listener = bench::listenOnLoopback(port, 1);

    double best = 0;
    for (int round = 0; round < kRounds; ++round) {
        const auto start = std::chrono::steady_clock::now();
        std::thread sender = sendFrom(port, bytes);
        const SOCKET connection = accept(listener, nullptr, nullptr);
        std::size_t drained = 0;
        char block[4096];
        for (int n; drained < bytes.size() && (n = recv(connection, block, sizeof block, 0)) > 0;)
            drained += static_cast<std::size_t>(n);
        const double rate = kLines / seconds(start);
        closesocket(connection);
        sender.join();
        if (drained == bytes.size() && rate > best) best = rate;
    }
    closesocket(listener);
    return best;
}

}  // namespace

int main() {
    const std::string bytes = changedPaths();
    const double viaNotifier = notifierLinesPerSecond(bytes);
    const double raw = rawLinesPerSecond(bytes);
    // The in-process Notifier published a port file like Tavrel's; it must not outlive the bench.
    DeleteFileW(portFilePath(getSettingsFolder(), LineSocket::localHostName(), kTavrelPortFileBase).c_str());

    std::printf("changed-path lines from one connection (%d lines of about %zu bytes, best of %d)\n", kLines,
                bytes.size() / kLines, kRounds);
    std::printf("  %-58s %10.0f lines/s\n", "Notifier, shell call counted", viaNotifier);
    std::printf("  %-58s %10.0f lines/s\n", "raw Winsock, same bytes drained in 4096-byte blocks", raw);
    bench::printRatio("raw block reads / Notifier (lines per second)", viaNotifier > 0 ? raw / viaNotifier : 0);
    return 0;
}
