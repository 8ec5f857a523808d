#pragma once
// Test stand-ins around an in-process Notifier: a recorder of what would reach the shell, a
// Logger that keeps its messages, and a Notifier running on its own thread until the end of scope.
#include <windows.h>
#include <shlobj.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/log.h"
#include "notifier/notifier.h"

namespace testing_support {

struct ShellCall {
    LONG event;
    UINT flags;
    bool hasItem1;
    std::wstring item1;  // the path, for SHCNF_PATHW
    bool hasItem2;
    bool operator==(const ShellCall& o) const {
        return event == o.event && flags == o.flags && hasItem1 == o.hasItem1 && item1 == o.item1 &&
               hasItem2 == o.hasItem2;
    }
};

inline ShellCall pathChanged(const std::wstring& path) { return {0x00002000, 0x3005, true, path, false}; }
inline ShellCall everythingChanged() { return {0x08000000, 0x3000, false, L"", false}; }

class ShellRecorder {
public:
    ShellNotify seam() {
        return [this](LONG event, UINT flags, const void* item1, const void* item2) {
            std::lock_guard<std::mutex> lock(mutex_);
            const bool isPath = (flags & SHCNF_TYPE) == SHCNF_PATHW && item1;
            calls_.push_back({event, flags, item1 != nullptr,
                              isPath ? std::wstring(static_cast<const wchar_t*>(item1)) : std::wstring(),
                              item2 != nullptr});
            changed_.notify_all();
        };
    }
    // The calls so far, once there are at least `count` of them or the time is up.
    std::vector<ShellCall> waitFor(std::size_t count, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait_for(lock, limit, [&] { return calls_.size() >= count; });
        return calls_;
    }
    std::vector<ShellCall> calls() {
        std::lock_guard<std::mutex> lock(mutex_);
        return calls_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<ShellCall> calls_;
};

class RecordingLogger : public Logger {
public:
    explicit RecordingLogger(bool debug = true) : Logger(debug) {}
    void write(std::wstring_view message) override {
        std::lock_guard<std::mutex> lock(mutex_);
        messages_.emplace_back(message);
    }
    std::vector<std::wstring> messages() {
        std::lock_guard<std::mutex> lock(mutex_);
        return messages_;
    }
    std::size_t count(const std::wstring& prefix) {
        std::size_t n = 0;
        for (const std::wstring& m : messages())
            if (m.rfind(prefix, 0) == 0) ++n;
        return n;
    }
    // True once `times` messages starting with the prefix have been written, within the time.
    bool waitFor(const std::wstring& prefix, std::size_t times = 1,
                 std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (count(prefix) < times) {
            if (std::chrono::steady_clock::now() > end) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return true;
    }

private:
    std::mutex mutex_;
    std::vector<std::wstring> messages_;
};

// Notifier::run on a thread; stopped and joined at the end of scope, also when a test fails.
class RunningNotifier {
public:
    RunningNotifier(Logger& logger, ShellNotify shell, AcceptConnection accept = &acceptPending)
        : notifier_(logger, std::move(shell), std::move(accept)) {
        thread_ = std::thread([this] {
            notifier_.run();
            finished_ = true;
        });
    }
    // A stop that came while the listener was being opened woke nobody: ask again.
    ~RunningNotifier() {
        for (int i = 0; i < 1000 && !finished_; ++i) {
            if (i % 50 == 0) notifier_.stop();
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        thread_.join();
    }
    Notifier& notifier() { return notifier_; }

private:
    Notifier notifier_;
    std::atomic<bool> finished_{false};
    std::thread thread_;
};

}  // namespace testing_support
