#pragma once
// The application link: the one object per loaded extension through which all traffic to the
// running application passes. It finds the application's servers, keeps the state-server
// connection, and holds the Logger, the notifier runner and the menu-icon cache.
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "common/handles.h"
#include "common/log.h"

class LineSocket;
class TavrelRunner;

using Port = std::atomic<std::int32_t>;

class Quorvane {
public:
    static constexpr std::int32_t kDefaultReceiveTimeoutMs = 500;
    static constexpr std::int32_t kDefaultSendTimeoutMs = 1;
    // Wait markers accepted in a row before a slow reply is given up.
    static constexpr int kMaxWaitMarkers = 11;

    Quorvane();
    ~Quorvane();
    Quorvane(const Quorvane&) = delete;
    Quorvane& operator=(const Quorvane&) = delete;

    Logger& logger() noexcept { return *logger_; }
    bool socketLogging() const noexcept { return socketLogging_; }

    // A new connection to 127.0.0.1 at the port; on failure the port is forgotten (set to 0)
    // so that the next use runs discovery again, and the TextError passes on.
    std::unique_ptr<LineSocket> openConnection(Port& port);

    // Sends the request and appends the reply lines (trimmed, without wait markers).
    void exchangeRequest(const std::wstring& name, const std::vector<std::wstring>& arguments,
                         LineSocket& connection, std::vector<std::wstring>& replies);

    // Sends a request that has no reply; failures are logged, never thrown.
    void postRequest(const std::wstring& name, const std::vector<std::wstring>& arguments,
                     LineSocket& connection) noexcept;

    void dropStateConnection() noexcept;

    Port& commandServerPort() noexcept { return commandServerPort_; }
    Port& stateServerPort() noexcept { return stateServerPort_; }
    std::int32_t receiveTimeoutMs() const noexcept { return receiveTimeout_.load(); }
    std::int32_t sendTimeoutMs() const noexcept { return sendTimeout_.load(); }

private:
    void readTimeoutsOnce();
    std::int32_t readTimeout(const wchar_t* valueName, std::int32_t fallback);
    void sendRequest(const std::wstring& name, const std::vector<std::wstring>& arguments,
                     LineSocket& connection);

    CriticalSection lock_;
    std::unique_ptr<LineSocket> stateConnection_;
    std::unique_ptr<Logger> logger_;
    std::unique_ptr<TavrelRunner> runner_;
    Port commandServerPort_{0};
    Port stateServerPort_{0};
    Port notifierPort_{0};
    bool debugLogging_ = false;
    bool socketLogging_ = false;
    std::once_flag timeoutsRead_;
    std::atomic<std::int32_t> sendTimeout_{-1};
    std::atomic<std::int32_t> receiveTimeout_{-1};
    std::atomic<std::int32_t> retryTimeout_{-1};
    std::atomic<std::int64_t> statesDisabledUntil_{0};
    std::unordered_map<std::wstring, HBITMAP> iconCache_;
};
