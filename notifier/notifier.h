#pragma once
// Tavrel's listening side: it publishes a local port in its port file, serves the connections
// made to it side by side and turns every received line into a shell change notification.
#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/handles.h"

class LineSocket;
class Logger;

// Where notifications go: production passes notifyShell (SHChangeNotify itself); tests and the
// bench pass a recorder. The arguments are SHChangeNotify's.
using ShellNotify = std::function<void(LONG event, UINT flags, const void* item1, const void* item2)>;
void notifyShell(LONG event, UINT flags, const void* item1, const void* item2);

class Notifier {
public:
    // After a failure of the listening socket (or of publishing its port) the next attempt
    // waits this long, so that a persistent fault costs one attempt per second.
    static constexpr DWORD kRetryPauseMs = 1000;

    Notifier(Logger& logger, ShellNotify shell);
    ~Notifier();
    Notifier(const Notifier&) = delete;
    Notifier& operator=(const Notifier&) = delete;

    // The listening loop. Tavrel never stops it; it returns only after stop().
    void run();
    // Makes run() return soon: at once when waiting for a connection or pausing, after the
    // connection being served has ended otherwise (at most its receive time-out).
    void stop() noexcept;

    // A listening socket on the first free port from kFirstTavrelPort, with its port file written.
    std::unique_ptr<LineSocket> openListener();
    // Listens on the first port from `port` upward that can be bound; `port` is left at it.
    std::unique_ptr<LineSocket> findFreePort(std::int32_t& port);
    // False when the folder does not exist; throws when the file cannot be created.
    bool writePortFile(const std::wstring& folder, const std::wstring& baseName, std::int32_t port);

    // The port of the current listening socket; 0 before the first one.
    std::int32_t port() const noexcept { return port_.load(); }

    // Connections served at once; one more drops the one quiet longest.
    static constexpr std::size_t kMaxConnections = 16;
    // A connection that sends nothing for this long is dropped.
    static constexpr std::uint64_t kSilenceLimitMs = 5000;

private:
    struct Connection {
        std::unique_ptr<LineSocket> socket;
        std::uint64_t lastHeard;
    };
    void serveConnections(LineSocket& listener);
    static timeval untilFirstSilenceEnds(const std::vector<Connection>& connections);
    bool serveReadable(Connection& connection, std::uint64_t now) noexcept;
    bool silentTooLong(const Connection& connection, std::uint64_t now);
    void dropLeastRecentlyHeard(std::vector<Connection>& connections);
    void forwardLine(const std::wstring& line);
    void forward(const std::wstring& line);
    void pauseBeforeRetry() noexcept;
    bool stopRequested() const noexcept { return stopping_.load(); }

    Logger& logger_;
    ShellNotify shell_;
    std::atomic<std::int32_t> port_{0};
    std::atomic<bool> stopping_{false};
    KernelHandle stopEvent_;
};
