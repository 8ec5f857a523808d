// The overlay path's state query: getState on a kept connection against a running state server,
// the same request done with raw Winsock block reads, and getState while queries are paused.
#include <cstdio>

#include "bench/bench_support.h"
#include "link/quorvane.h"

namespace {
std::int64_t frozenClock() { return 1'000'000; }
}  // namespace

int main() {
    constexpr int kCalls = 2000;
    const std::wstring& path = bench::kSamplePath;
    const std::string& request = bench::kSampleRequest;
    bench::StateServer server;

    Quorvane link;
    link.stateServerPort() = server.port();  // as found by discovery
    const double viaLink = bench::microsecondsPerCall(kCalls, [&] {
        if (link.getState(path) != L"Synced") std::abort();
    });
    const SOCKET raw = bench::connectRaw(server.port());
    const double rawBlocks = bench::microsecondsPerCall(kCalls, [&] { bench::rawExchange(raw, request, true); });
    closesocket(raw);

    // No server to be found: the first query starts a pause that the frozen clock never ends.
    Quorvane paused;
    paused.setClockForTesting(&frozenClock);
    paused.getState(path);
    const double whilePaused = bench::microsecondsPerCall(200000, [&] {
        if (!paused.getState(path).empty()) std::abort();
    });

    std::printf("state query (%d calls)\n", kCalls);
    bench::printRow("getState on a kept connection", viaLink);
    bench::printRow("raw Winsock exchange, block reads", rawBlocks);
    bench::printRow("getState while paused", whilePaused);
    bench::printRatio("getState / raw block reads", viaLink / rawBlocks, "<= 1.3");
    return 0;
}
