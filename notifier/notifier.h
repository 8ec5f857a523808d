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

// How a pending connection is taken: production passes acceptPending (the listener's own
// accept); tests pass one that fails as a system short of sockets or buffers does, which Wine
// cannot be made to do. The arguments and result are LineSocket::acceptConnection's.
using AcceptConnection = std::function<std::unique_ptr<LineSocket>(LineSocket& listener, int* skippedError)>;
std::unique_ptr<LineSocket> acceptPending(LineSocket& listener, int* skippedError);

class Notifier {
public:
    // After a failure of the listening socket (or of publishing its port), or an accept that
    // found no sockets or buffers left, the next attempt waits this long, so that a persistent
    // fault costs one attempt per second.
    static constexpr DWORD kRetryPauseMs = 1000;
    // Waiting for lines and connections wakes at least this often, so that a stop is seen even
    // when the wake-up connection cannot be made.
    static constexpr DWORD kIdleWaitMs = 5000;

    Notifier(Logger& logger, ShellNotify shell);
    Notifier(Logger& logger, ShellNotify shell, AcceptConnection accept);
    ~Notifier();
    Notifier(const Notifier&) = delete;
    Notifier& operator=(const Notifier&) = delete;

    // The listening loop. Tavrel never stops it; it returns only after stop().
    void run();
    // Makes run() return soon: at once when waiting for lines or connections or pausing, and
    // within kIdleWaitMs even when the wake-up connection cannot be made.
    void stop() noexcept;

    // A listening socket on the first free port from kFirstTavrelPort, with its port file written.
    std::unique_ptr<LineSocket> openListener();
    // Listens on the first port from `port` upward that can be bound; `port` is left at it.
    std::unique_ptr<LineSocket> findFreePort(std::int32_t& port);
    // False when the folder does not exist; throws when the file cannot be created.
    bool writePortFile(const std::wstring& folder, const std::wstring& baseName, std::int32_t port);

    // The port of the current listening socket; 0 before the first one.
    std::int32_t port() const noexcept { return port_.load(); }

    // Connections are kept for as long as their peers keep them. The application needs one (a
    // second for a moment when it reconnects); the limit only stops other local programs from
    // exhausting Tavrel, each connection holding at most one unfinished line. One more than
    // this closes a connection that never sent a line, or else the one heard from least recently.
    static constexpr std::size_t kMaxConnections = 32;

private:
    struct Connection {
        std::unique_ptr<LineSocket> socket;
        std::uint64_t lastHeard;  // the heard counter when it was accepted or last sent bytes
        bool sentLine = false;
    };
    void serveConnections(LineSocket& listener);
    bool serveReadable(Connection& connection) noexcept;
    std::unique_ptr<LineSocket> acceptOrPause(LineSocket& listener, std::uint64_t& acceptAfter);
    void makeRoom(std::vector<Connection>& connections);
    void forwardLine(const std::wstring& line);
    void forward(const std::wstring& line);
    void pauseBeforeRetry(DWORD ms = kRetryPauseMs) noexcept;
    bool stopRequested() const noexcept { return stopping_.load(); }

    Logger& logger_;
    ShellNotify shell_;
    AcceptConnection accept_;
    std::uint64_t heard_ = 0;  // counts accepts and receives: orders connections by when heard
    bool shortOfResources_ = false;
    std::atomic<std::int32_t> port_{0};
    std::atomic<bool> stopping_{false};
    KernelHandle stopEvent_;
};
