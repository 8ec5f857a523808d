#pragma once
// The application link: the one object per loaded extension through which all traffic to the
// running application passes. It finds the application's servers, keeps the state-server
// connections, and holds the Logger, the notifier runner and the menu-icon cache.
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "common/handles.h"
#include "common/log.h"
#include "common/text_error.h"
#include "link/state_connections.h"
#include "link/state_share.h"
#include "wire/line_socket.h"

class TavrelRunner;
struct CommandTree;

using Port = std::atomic<std::int32_t>;

// A reply that did not arrive in time: a line later than the receive time-out, or the whole reply
// beyond its bound.
class ReplyTimedOut : public TextError {
public:
    using TextError::TextError;
};

// A reply of which not even a first line came within one receive time-out.
class NoReplyLine : public ReplyTimedOut {
public:
    using ReplyTimedOut::ReplyTimedOut;
};

// The application's mistakes that the trace log names once per process, at error level. The
// first three say why no server was found; a higher one tells more than a lower one.
enum class Mistake : std::uint32_t { NoLockHeld, Refused, UnreadablePortFile, TimedOut, UnknownState, OtherPath, ForeignBytes };
// Why a search found no usable server: the most telling of what it met, with the files or port.
struct DiscoveryProblem {
    Mistake cause = Mistake::NoLockHeld;
    std::wstring text;
    void note(Mistake what, const std::wstring& detail);
};

class Quorvane {
public:
    static constexpr std::int32_t kDefaultReceiveTimeoutMs = 500;
    static constexpr std::int32_t kDefaultSendTimeoutMs = 1;
    // Wait markers accepted in a row before a slow reply is given up.
    static constexpr int kMaxWaitMarkers = 11;
    // What no real reply reaches: the largest are command trees of a few thousand entries of
    // a few hundred characters. A peer that sends more (or never ends) fails the exchange
    // instead of holding Explorer's thread and growing its memory.
    static constexpr std::size_t kMaxReplyLines = 65536;
    static constexpr std::size_t kMaxReplyCharacters = std::size_t{4} << 20;

    Quorvane();
    ~Quorvane();
    Quorvane(const Quorvane&) = delete;
    Quorvane& operator=(const Quorvane&) = delete;

    Logger& logger() noexcept { return *logger_; }
    bool socketLogging() const noexcept { return socketLogging_; }

    // A new connection to 127.0.0.1 at the port; on failure the port is forgotten (set to 0,
    // unless another thread has stored another port meanwhile) so that the next use runs
    // discovery again, and the TextError passes on.
    std::unique_ptr<LineSocket> openConnection(Port& port);

    // Sends the request and appends the reply lines (trimmed, without wait markers). The whole
    // request must leave and the whole reply arrive by the deadline (by default replyBoundMs()
    // from now), the reply within the limits above; otherwise it fails like a time-out.
    // With FirstLine::MayNotCome a first line that does not come within the receive time-out
    // throws NoReplyLine (it costs a select).
    enum class FirstLine { Expected, MayNotCome };
    void exchangeRequest(const std::wstring& name, const std::vector<std::wstring>& arguments,
                         LineSocket& connection, std::vector<std::wstring>& replies, Deadline deadline = 0,
                         FirstLine firstLine = FirstLine::Expected);
    // The longest a reply may take: as long as the longest run of wait markers a slow server may
    // send, one receive time-out each, and its last line. A receive time-out of 0 (no wait for
    // each line at all) counts as the default here, so that even then a reply ends.
    std::int32_t replyBoundMs();
    Deadline replyDeadline() { return GetTickCount64() + static_cast<std::uint64_t>(replyBoundMs()); }

    // Sends a request that has no reply, whole within replyBoundMs(); failures are logged,
    // never thrown.
    void postRequest(const std::wstring& name, const std::vector<std::wstring>& arguments,
                     LineSocket& connection) noexcept;

    // Closes the idle state-server connections; those in use are closed when their exchange fails.
    void dropStateConnection() noexcept;

    // Server discovery. The port file "<host><suffix>.port" in the folder is read; with
    // useLockFiles only while a lock file beside it is held (cannot be deleted). 0 for none.
    static std::int32_t determinePort(const std::wstring& folder, const std::wstring& suffix, Logger& logger,
                                      bool useLockFiles, DiscoveryProblem* problem = nullptr);
    // True when a connection to 127.0.0.1 at the port can be made within 300 ms.
    static bool testPort(std::int32_t port, const std::wstring& label, Logger& logger);
    bool findCommandServer();
    bool findStateServer();
    // testPort for discovery, which notes a port that does not answer.
    bool answers(std::int32_t port, const wchar_t* label);
    // The two above under the lock; they never throw.
    bool checkCommandServerRunning() noexcept;
    bool checkStateServerRunning() noexcept;

    // The state name the application reports for the path, or empty for none. Never throws;
    // answers at once, without lock, registry or socket, while a failure pause lasts.
    // askerBit: the overlay class asking, one bit per class. A recent answer to a request sent
    // after this thread's sweep of the path began serves it without a request
    // ("state-share-timeout"); 0 always asks.
    std::wstring getState(std::wstring path, std::uint32_t askerBit = 0) noexcept;

    // Names a state that matches no overlay class's id, once per process. knownStates reads the
    // ids (once per process, when first needed).
    void checkStateKnown(const std::wstring& state, std::vector<std::wstring> (*knownStates)()) noexcept;

    // Writes the text at error level the first time the mistake is met in this process.
    template <typename MakeText>
    void reportMistakeOnce(Mistake mistake, MakeText&& makeText) noexcept {
        const std::uint32_t bit = 1u << static_cast<std::uint32_t>(mistake);
        if ((mistakesReported_.load() & bit) || (mistakesReported_.fetch_or(bit) & bit)) return;
        try {
            logger_->error(makeText());
        } catch (...) {
            // No memory for the text: the line is left out, nothing may reach Explorer.
        }
    }

    // The notifier: starts Tavrel when none runs for the user, reads its port and, after a
    // start, tells the state server with "notify-started". Never throws.
    void runShellNotifier() noexcept;
    std::int32_t readTavrelPortFile();
    void sendNotifyStarted(std::int32_t port) noexcept;
    Port& notifierPort() noexcept { return notifierPort_; }

    // Commands: the tree the command server offers for a selection (none on any failure), a
    // chosen command sent back, and the application started for one path (reduced menu).
    std::unique_ptr<CommandTree> getCommands(std::vector<std::wstring> paths) noexcept;
    void sendCommand(std::wstring command, std::vector<std::wstring> paths) noexcept;
    void launch(std::wstring path) noexcept;
    bool startApplication(std::wstring path);
    bool isCommandServerKnown() const noexcept { return commandServerPort_.load() != 0; }

    // Menu icons: one bitmap per icon file for the life of the library (none when absent).
    HBITMAP cachedIcon(const std::wstring& path);
    void cacheIcon(const std::wstring& path, HBITMAP bitmap);
    // Deletes the cached bitmaps: only when the library is unloaded, and no menu of it can be
    // shown any more.
    void releaseIcons() noexcept;

    // Milliseconds since 1970-01-01 UTC, following changes of the system clock.
    using Clock = std::int64_t (*)();
    static std::int64_t currentTimeMillis() noexcept;
    void setClockForTesting(Clock clock) noexcept { clock_ = clock; }
    std::int32_t retryTimeoutMs() const noexcept { return retryTimeout_.load(); }
    std::int32_t stateShareTimeoutMs() const noexcept { return stateShareTimeout_.load(); }
    int stateConnectionsLimit() const noexcept { return stateConnections_.limit(); }
    int stateConnectionsOpen() const noexcept { return stateConnections_.count(); }
    std::int64_t statesDisabledUntil() const noexcept { return statesDisabledUntil_.load(); }

    Port& commandServerPort() noexcept { return commandServerPort_; }
    Port& stateServerPort() noexcept { return stateServerPort_; }
    std::int32_t receiveTimeoutMs() const noexcept { return receiveTimeout_.load(); }
    std::int32_t sendTimeoutMs() const noexcept { return sendTimeout_.load(); }

private:
    void readTimeoutsOnce();
    std::int32_t readTimeout(const wchar_t* valueName, std::int32_t fallback, std::int32_t maximum = INT32_MAX);
    int readConnectionLimit(int fallback, int maximum);
    bool checkServerRunning(const wchar_t* trace, const Port& port, bool (Quorvane::*find)(),
                            const wchar_t* failure, bool honourPause) noexcept;
    void readStateSettingsOnce();
    struct StateAnswer {
        std::wstring state;     // empty for none
        std::uint64_t request;  // the ticket taken just before the request was sent
    };
    // Empty when no exchange completed: a failure, or a pause that another thread started.
    std::optional<StateAnswer> queryState(const std::wstring& path);
    std::optional<StateAnswer> queryWithOneRetry(const std::wstring& path, bool& askAgain);
    std::uint64_t exchangeOnStateConnection(StateConnections::Connection& connection,
                                            const std::vector<std::wstring>& arguments,
                                            std::vector<std::wstring>& replies, Deadline deadline);
    bool servesOneConnectionAtATime(const StateConnections::Connection& connection);
    void clearExpiredPause(std::int64_t now) noexcept;
    std::wstring interpretStateReply(const std::wstring& path, const std::vector<std::wstring>& replies);
    void pauseStates(std::int64_t from);
    void sendRequest(const std::wstring& name, const std::vector<std::wstring>& arguments,
                     LineSocket& connection, Deadline deadline);
    struct ReplySize {
        std::size_t lines = 0;
        std::size_t characters = 0;
    };
    std::wstring readReplyLine(LineSocket& connection, const std::wstring& name, Deadline deadline, ReplySize& size,
                               FirstLine firstLine);

    // Two locks (and the state share's and the state connections' own), never two held at
    // once, so that what one of them guards never waits for another's work: the state query's
    // network I/O holds no lock at all (a taken connection is its thread's alone), and the
    // context menu (command-server discovery, icons) never waits for it.
    CriticalSection discoveryLock_;  // two threads never search for servers at the same time
    CriticalSection iconLock_;       // the menu-icon cache
    StateConnections stateConnections_;
    std::unique_ptr<Logger> logger_;
    std::unique_ptr<TavrelRunner> runner_;
    Port commandServerPort_{0};
    Port stateServerPort_{0};
    Port notifierPort_{0};
    bool debugLogging_ = false;
    bool socketLogging_ = false;
    RunOnce timeoutsRead_;
    RunOnce stateSettingsRead_;
    Clock clock_ = &currentTimeMillis;
    std::atomic<std::int32_t> sendTimeout_{-1};
    std::atomic<std::int32_t> receiveTimeout_{-1};
    std::atomic<std::int32_t> retryTimeout_{-1};
    std::atomic<std::int32_t> stateShareTimeout_{-1};
    StateShare stateShare_;
    std::atomic<std::int64_t> statesDisabledUntil_{0};
    std::unordered_map<std::wstring, HBITMAP> iconCache_;
    std::atomic<std::uint32_t> mistakesReported_{0};  // one bit per Mistake
    DiscoveryProblem discoveryProblem_;                // guarded by discoveryLock_
    RunOnce knownStatesRead_;
    std::vector<std::wstring> knownStates_;  // written once, inside knownStatesRead_
};
