// One "get-states" request and reply on a kept connection: through the application link's
// exchange, against the same bytes done with raw Winsock calls, in one run and one process.
#include <cstdio>

#include "bench/bench_support.h"
#include "link/quorvane.h"
#include "wire/line_socket.h"

int main() {
    constexpr int kCalls = 2000;
    const std::wstring& path = bench::kSamplePath;
    const std::string& request = bench::kSampleRequest;
    bench::StateServer server;

    Quorvane link;
    Port port{server.port()};
    std::unique_ptr<LineSocket> connection = link.openConnection(port);
    const double viaLink = bench::microsecondsPerCall(kCalls, [&] {
        std::vector<std::wstring> replies;
        link.exchangeRequest(L"get-states", {path}, *connection, replies);
    });

    const SOCKET raw = bench::connectRaw(server.port());
    const double rawBlocks = bench::microsecondsPerCall(kCalls, [&] { bench::rawExchange(raw, request, true); });
    const double rawBytes = bench::microsecondsPerCall(kCalls / 4, [&] { bench::rawExchange(raw, request, false); });
    closesocket(raw);

    std::printf("request/reply on a kept connection (%d calls)\n", kCalls);
    bench::printRow("exchangeRequest", viaLink);
    bench::printRow("raw Winsock, reply read in blocks", rawBlocks);
    bench::printRow("raw Winsock, reply read one byte per recv", rawBytes);
    bench::printRatio("exchangeRequest / raw block reads", viaLink / rawBlocks, "<= 1.3");
    bench::printRatio("one byte per recv / exchangeRequest", rawBytes / viaLink);
    return 0;
}
