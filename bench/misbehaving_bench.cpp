// What Explorer's threads wait when the application misbehaves: four threads ask IsMemberOf
// and one builds the context menu, for a few seconds, against an application whose command
// server answers "get-commands" well and "get-states" in the way given on the command line:
//   hung      reads the request and never answers
//   drip      answers one byte every 400 ms, never a whole line
//   slow      answers a wait marker every 400 ms, never the reply
//   endless   answers reply lines as fast as it can, never the empty line
//   restart   answers well, but stops for 1.5 s every 2 s, as an application that restarts
// Prints the longest single IsMemberOf and QueryContextMenu; a call still running at the end
// is counted with the time it has run so far.
#include "bench/bench_support.h"
#include "bench/dll_support.h"

#include <psapi.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>
#include <mutex>

#include "tools/shellhost/registration.h"

namespace {

constexpr wchar_t kVersion[] = L"bench-1";
constexpr wchar_t kInstall[] = L"C:\\misbehaving-bench";
constexpr auto kRunTime = std::chrono::seconds(8);
using Clock = std::chrono::steady_clock;

std::int64_t millisecondsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

class MisbehavingServer {
public:
    explicit MisbehavingServer(std::string mode) : mode_(std::move(mode)) {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
        listener_ = bench::listenOnLoopback(port_, 16);
        std::thread([this] { acceptLoop(); }).detach();
        if (mode_ == "restart") std::thread([this] { restartLoop(); }).detach();
    }
    std::uint16_t port() const { return port_; }

private:
    void acceptLoop() {
        for (;;) {
            const SOCKET c = accept(listener_, nullptr, nullptr);
            if (c == INVALID_SOCKET) {
                Sleep(10);  // stopped for a restart
                continue;
            }
            std::lock_guard<std::mutex> hold(mutex_);
            open_.push_back(c);
            std::thread([this, c] { serve(c); }).detach();
        }
    }

    void restartLoop() {
        for (;;) {
            Sleep(2000);
            {
                std::lock_guard<std::mutex> hold(mutex_);
                closesocket(listener_);
                for (SOCKET c : open_) closesocket(c);
                open_.clear();
            }
            Sleep(1500);
            const SOCKET again = socket(AF_INET, SOCK_STREAM, 0);
            BOOL reuse = TRUE;
            setsockopt(again, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&reuse), sizeof reuse);
            sockaddr_in address = {};
            address.sin_family = AF_INET;
            address.sin_port = htons(port_);
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            bind(again, reinterpret_cast<sockaddr*>(&address), sizeof address);
            listen(again, 16);
            listener_ = again;
        }
    }

    void serve(SOCKET c) {
        std::string pending;
        for (;;) {
            const std::size_t end = pending.find("\n\n");
            if (end == std::string::npos) {
                char buffer[4096];
                const int n = recv(c, buffer, sizeof buffer, 0);
                if (n <= 0) return;
                pending.append(buffer, n);
                continue;
            }
            const std::string request = pending.substr(0, end + 2);
            pending.erase(0, end + 2);
            if (request.rfind("get-commands\n", 0) == 0)
                reply(c, "quick-commands\t2\nshare\tShare link\ttrue\nlog\tShow log\ttrue\n\n");
            else if (!answerStates(c))
                return;
        }
    }

    // False once the connection is of no more use.
    bool answerStates(SOCKET c) {
        if (mode_ == "hung") {
            char byte;
            while (recv(c, &byte, 1, 0) > 0) {
            }
            return false;
        }
        if (mode_ == "drip" || mode_ == "slow") {
            const std::string piece = mode_ == "drip" ? "x" : ".\n";
            while (reply(c, piece)) Sleep(400);
            return false;
        }
        if (mode_ == "endless") {
            std::string lines;
            for (int i = 0; i < 256; ++i) lines += "C:\\\\x\tSynced\n";
            while (reply(c, lines)) {
            }
            return false;
        }
        return reply(c, "not applicable\n\n");
    }

    static bool reply(SOCKET c, const std::string& bytes) {
        return send(c, bytes.data(), static_cast<int>(bytes.size()), 0) == static_cast<int>(bytes.size());
    }

    std::string mode_;
    std::atomic<SOCKET> listener_;
    std::uint16_t port_ = 0;
    std::mutex mutex_;
    std::vector<SOCKET> open_;
};

// One Explorer thread calling the same thing again and again; remembers its longest call.
class Caller {
public:
    template <typename Call>
    explicit Caller(Call call) {
        thread_ = std::thread([this, call] {
            CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
            while (!stop_) {
                callStart_ = Clock::now().time_since_epoch().count();
                const auto start = Clock::now();
                call();
                longest_ = std::max<std::int64_t>(longest_, millisecondsSince(start));
                callStart_ = 0;
                Sleep(20);
            }
        });
    }
    // The longest call, counting one still running; the thread is left behind if it hangs.
    std::int64_t stopAndGetLongest() {
        stop_ = true;
        const auto start = Clock::now();
        while (callStart_ != 0 && Clock::now() - start < std::chrono::seconds(1)) Sleep(10);
        const std::int64_t running = callStart_.load();
        if (running == 0) {
            thread_.join();
            return longest_;
        }
        thread_.detach();
        const Clock::time_point began{Clock::duration(running)};
        return std::max<std::int64_t>(longest_, millisecondsSince(began));
    }

private:
    std::atomic<bool> stop_{false};
    std::atomic<Clock::rep> callStart_{0};
    std::atomic<std::int64_t> longest_{0};
    std::thread thread_;
};

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "hung";
    MisbehavingServer server(mode);
    configureApplication(kVersion, kInstall, {L"shell-integration-full=true"});
    const bench::PublishedPort published(bench::knownFolder(CSIDL_APPDATA) + L"\\Quorvane\\" + kVersion, L"",
                                         server.port());
    const bench::LoadedExtension extension;
    std::vector<std::unique_ptr<Caller>> overlays;
    for (int t = 0; t < 4; ++t)
        overlays.push_back(std::make_unique<Caller>([&extension, t] {
            IShellIconOverlayIdentifier* overlay =
                extension.create<IShellIconOverlayIdentifier>(1 + t, IID_IShellIconOverlayIdentifier);
            if (!overlay) return;
            overlay->IsMemberOf((L"D:\\projects\\report-" + std::to_wstring(t) + L".docx").c_str(), 0);
            overlay->Release();
        }));
    Caller menu([&extension] {
        IContextMenu* menu = extension.create<IContextMenu>(0, IID_IContextMenu);
        IShellExtInit* init = nullptr;
        if (!menu || FAILED(menu->QueryInterface(IID_IShellExtInit, reinterpret_cast<void**>(&init)))) return;
        PIDLIST_ABSOLUTE folder = nullptr;
        SHParseDisplayName(kInstall, nullptr, &folder, 0, nullptr);
        init->Initialize(folder, nullptr, nullptr);
        HMENU popup = CreatePopupMenu();
        menu->QueryContextMenu(popup, 0, 1, 0x7FFF, CMF_EXPLORE);
        DestroyMenu(popup);
        CoTaskMemFree(folder);
        init->Release();
        menu->Release();
    });
    std::this_thread::sleep_for(kRunTime);

    std::int64_t longestOverlay = 0;
    for (auto& caller : overlays) longestOverlay = std::max(longestOverlay, caller->stopAndGetLongest());
    const std::int64_t longestMenu = menu.stopAndGetLongest();
    PROCESS_MEMORY_COUNTERS memory = {};
    GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof memory);
    std::printf("application that %s, %lld s\n", mode.c_str(), static_cast<long long>(kRunTime.count()));
    bench::printRow("longest IsMemberOf", static_cast<double>(longestOverlay), "ms");
    bench::printRow("longest QueryContextMenu", static_cast<double>(longestMenu), "ms");
    bench::printRow("committed memory at the end", static_cast<double>(memory.PagefileUsage >> 20), "MiB");
    std::fflush(stdout);
    unconfigureApplication();
    unregisterExtension();
    // Threads may still hang in the extension (that is what is measured): end without them.
    ExitProcess(0);
}
