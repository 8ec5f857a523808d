// Overlay sweeps as Explorer makes them: the overlay classes asked about an item in turn until
// one claims it. Measured with state sharing off ("state-share-timeout" 0, one request per
// class asked) and on (the default), against one raw block-reading exchange per item, in one
// run; the requests a folder of 1,000 items with a realistic mix of states costs; and sweeps
// on 8 threads at once for each "state-connections" against 8 raw connections used at once.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "bench/bench_support.h"
#include "bench/dll_support.h"
#include "tools/shellhost/registration.h"

namespace {

constexpr int kItems = 1000;

std::wstring itemPath(const wchar_t* folder, int i) {
    return std::wstring(L"D:\\projects\\") + folder + L"\\report-" + std::to_wstring(i) + L".docx";
}

// The folder "late" holds items claimed by the class asked last; "mixed" a realistic folder:
// most items without a state, a third synced, a few in each other state.
std::string stateOf(const std::string& path) {
    if (path.find("\\\\late\\\\") != std::string::npos) return "Excluded";
    const int n = std::atoi(path.c_str() + path.rfind('-') + 1) % 100;
    if (n < 60) return "";
    if (n < 90) return "Synced";
    const char* const others[] = {"Syncing", "Syncing", "Syncing", "Error", "Error", "Conflict", "Shared", "Locked",
                                  "Shared", "Excluded"};
    return others[n - 90];
}

struct Figures {
    double lateSweepUs;     // per item
    double singleClassUs;   // per item
    double mixedRequests;   // per item
    double ignoredUs;
};

Figures measure(bench::StateServer& server, const std::vector<std::wstring>& settings) {
    configureApplication(L"9.9.9-bench", L"C:\\QuorvaneBench", settings);
    const bench::LoadedExtension extension;  // a fresh load reads the settings anew
    IShellIconOverlayIdentifier* overlays[7];
    for (int k = 0; k < 7; ++k) overlays[k] = extension.create<IShellIconOverlayIdentifier>(k + 1, IID_IShellIconOverlayIdentifier);
    if (!overlays[0]) {
        std::fputs("cannot create the overlay objects\n", stderr);
        std::exit(1);
    }
    const auto sweep = [&](const std::wstring& item) {
        for (IShellIconOverlayIdentifier* overlay : overlays)
            if (overlay->IsMemberOf(item.c_str(), 0) == S_OK) return;
    };
    Figures figures;
    figures.lateSweepUs = bench::microsecondsPerCall(3, [&] {
        for (int i = 0; i < kItems; ++i) sweep(itemPath(L"late", i));
    }) / kItems;
    figures.singleClassUs = bench::microsecondsPerCall(3, [&] {
        for (int i = 0; i < kItems; ++i) overlays[0]->IsMemberOf(itemPath(L"single", i).c_str(), 0);
    }) / kItems;
    const long before = server.statesAsked();
    for (int i = 0; i < kItems; ++i) sweep(itemPath(L"mixed", i));
    figures.mixedRequests = static_cast<double>(server.statesAsked() - before) / kItems;
    const std::wstring ignored = bench::knownFolder(CSIDL_PROFILE) + L"\\Desktop\\notes.txt";
    figures.ignoredUs = bench::microsecondsPerCall(100000, [&] { overlays[0]->IsMemberOf(ignored.c_str(), 0); });
    for (IShellIconOverlayIdentifier* overlay : overlays) overlay->Release();
    unconfigureApplication();
    return figures;
}

constexpr int kThreads = 8;
constexpr int kThreadItems = 300;

// Items per second that the threads get through together, each thread its own items.
double itemsPerSecond(int threads, const std::function<void(int thread, int item)>& work) {
    std::vector<std::thread> running;
    const auto start = std::chrono::steady_clock::now();
    for (int t = 0; t < threads; ++t)
        running.emplace_back([&, t] {
            for (int i = 0; i < kThreadItems; ++i) work(t, i);
        });
    for (std::thread& thread : running) thread.join();
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    return threads * kThreadItems / elapsed.count();
}

std::wstring threadItem(int thread, int i) {
    return L"D:\\projects\\late\\t" + std::to_wstring(thread) + L"\\report-" + std::to_wstring(i) + L".docx";
}

struct Parallel {
    double sweepsPerSecond;      // 8 threads, each item claimed by the last class: 7 IsMemberOf, 1 request
    double isMemberOfPerSecond;  // 8 threads sweeping as Explorer over a mixed folder
};

// Sweeps on kThreads threads at once, the extension loaded with the settings.
Parallel measureParallel(const std::vector<std::wstring>& settings, int threads) {
    configureApplication(L"9.9.9-bench", L"C:\\QuorvaneBench", settings);
    const bench::LoadedExtension extension;
    IShellIconOverlayIdentifier* overlays[7];
    for (int k = 0; k < 7; ++k) overlays[k] = extension.create<IShellIconOverlayIdentifier>(k + 1, IID_IShellIconOverlayIdentifier);
    std::vector<long> calls(static_cast<std::size_t>(threads), 0);
    const auto sweep = [&](const std::wstring& item, long& count) {
        for (IShellIconOverlayIdentifier* overlay : overlays) {
            ++count;
            if (overlay->IsMemberOf(item.c_str(), 0) == S_OK) return;
        }
    };
    Parallel figures;
    long ignored = 0;
    sweep(threadItem(0, -1), ignored);  // the first connection and discovery
    figures.sweepsPerSecond = itemsPerSecond(threads, [&](int t, int i) {
        long unused = 0;
        sweep(threadItem(t, i), unused);
    });
    const auto start = std::chrono::steady_clock::now();
    itemsPerSecond(threads, [&](int t, int i) {
        sweep(L"D:\\projects\\mixed\\t" + std::to_wstring(t) + L"\\report-" + std::to_wstring(i) + L".docx",
              calls[static_cast<std::size_t>(t)]);
    });
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    long total = 0;
    for (long n : calls) total += n;
    figures.isMemberOfPerSecond = total / elapsed.count();
    for (IShellIconOverlayIdentifier* overlay : overlays) overlay->Release();
    unconfigureApplication();
    return figures;
}

}  // namespace

int main() {
    bench::StateServer server("", &stateOf);
    // A state server of its own in the settings folder, as the application publishes it.
    const bench::PublishedPort published(bench::knownFolder(CSIDL_APPDATA) + L"\\Quorvane\\statuscache-1",
                                         L".statuscache", server.port());
    const Figures off = measure(server, {L"state-share-timeout=0"});
    const Figures on = measure(server, {});

    std::vector<std::string> requests;
    for (int i = 0; i < kItems; ++i)
        requests.push_back("get-states\nD:\\\\projects\\\\late\\\\report-" + std::to_string(i) + ".docx\n\n");
    const SOCKET raw = bench::connectRaw(server.port());
    const double rawUs = bench::microsecondsPerCall(3, [&] {
        for (const std::string& request : requests) bench::rawExchange(raw, request, true);
    }) / kItems;
    closesocket(raw);

    const double rawParallel = itemsPerSecond(kThreads, [&](int t, int i) {
        thread_local SOCKET own = INVALID_SOCKET;
        if (i == 0) own = bench::connectRaw(server.port());
        bench::rawExchange(own, requests[static_cast<std::size_t>((t * kThreadItems + i) % kItems)], true);
        if (i == kThreadItems - 1) closesocket(own);
    });
    const Parallel one = measureParallel({}, 1);
    const int limits[] = {1, 2, 4, 8};
    std::vector<Parallel> byLimit;
    for (int limit : limits) byLimit.push_back(measureParallel({L"state-connections=" + std::to_wstring(limit)}, kThreads));
    const Parallel byDefault = measureParallel({}, kThreads);

    std::printf("overlay sweeps over %d items, sharing off (state-share-timeout 0) and on (default)\n", kItems);
    bench::printRow("sweep of 7 classes, the last claims the item: off", off.lateSweepUs);
    bench::printRow("sweep of 7 classes, the last claims the item: on", on.lateSweepUs);
    bench::printRow("one IsMemberOf (one class): off", off.singleClassUs);
    bench::printRow("one IsMemberOf (one class): on", on.singleClassUs);
    bench::printRow("one raw block-reading exchange", rawUs);
    bench::printRow("IsMemberOf, item in an ignored folder: on", on.ignoredUs);
    bench::printRow("requests per item, mixed folder, sweeps as Explorer: off", off.mixedRequests, "");
    bench::printRow("requests per item, mixed folder, sweeps as Explorer: on", on.mixedRequests, "");
    bench::printRatio("7-class sweep / raw exchange: off", off.lateSweepUs / rawUs);
    bench::printRatio("7-class sweep / raw exchange: on", on.lateSweepUs / rawUs, "<= 1.3");
    bench::printRatio("one IsMemberOf / raw exchange: off", off.singleClassUs / rawUs);
    bench::printRatio("one IsMemberOf / raw exchange: on", on.singleClassUs / rawUs, "no worse than off");
    std::printf("%d threads at once, each sweeping %d items of its own (the last class claims each)\n", kThreads,
                kThreadItems);
    bench::printRow("raw block-reading exchanges per second, 8 connections", rawParallel, "/s");
    for (std::size_t n = 0; n < byLimit.size(); ++n) {
        const std::string what = "sweeps per second, state-connections " + std::to_string(limits[n]);
        bench::printRow(what.c_str(), byLimit[n].sweepsPerSecond, "/s");
    }
    bench::printRow("sweeps per second, default", byDefault.sweepsPerSecond, "/s");
    bench::printRow("IsMemberOf per second, mixed folder, 1 thread", one.isMemberOfPerSecond, "/s");
    bench::printRow("IsMemberOf per second, mixed folder, 8 threads", byDefault.isMemberOfPerSecond, "/s");
    for (std::size_t n = 0; n < byLimit.size(); ++n) {
        const std::string what = "8-thread sweeps / 8 raw connections: state-connections " + std::to_string(limits[n]);
        bench::printRatio(what.c_str(), byLimit[n].sweepsPerSecond / rawParallel, limits[n] == 8 ? ">= 0.8" : nullptr);
    }
    bench::printRatio("8-thread sweeps / 8 raw connections: default", byDefault.sweepsPerSecond / rawParallel);
    bench::printRatio("IsMemberOf per second, 8 threads / 1 thread (default)",
                      byDefault.isMemberOfPerSecond / one.isMemberOfPerSecond, ">= 1");
    return 0;
}
