#include "notifier/notifier.h"

#include <shlobj.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "common/log.h"
#include "common/log_text.h"
#include "common/settings.h"
#include "common/text_error.h"
#include "notifier/port_file.h"
#include "wire/line_socket.h"

namespace {

constexpr std::int32_t kPortLimit = 65535;  // never tried
// Connections are served side by side; the backlog only has to hold those arriving together.
constexpr int kListenBacklog = 16;
constexpr std::int32_t kWakeUpWaitMs = 500;
constexpr std::size_t kReceiveBlockBytes = 64 * 1024;

// Lets stop() end a run() blocked in accept: a connection of our own that nobody serves.
void wakeListener(std::int32_t port) noexcept {
    if (port == 0) return;
    try {
        LineSocket wakeUp;
        wakeUp.connectTo("127.0.0.1", static_cast<std::uint16_t>(port), kWakeUpWaitMs, kWakeUpWaitMs);
    } catch (...) {
        // Nothing listens any more: run() is not blocked in accept then.
    }
}

}  // namespace

void notifyShell(LONG event, UINT flags, const void* item1, const void* item2) {
    SHChangeNotify(event, flags, item1, item2);
}

Notifier::Notifier(Logger& logger, ShellNotify shell)
    : logger_(logger), shell_(std::move(shell)), stopEvent_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
    winsockGuard().acquire();  // the host name is asked for before any socket exists
}

Notifier::~Notifier() = default;

void Notifier::stop() noexcept {
    stopping_ = true;
    if (stopEvent_) SetEvent(stopEvent_.get());
    wakeListener(port_.load());
}

void Notifier::pauseBeforeRetry() noexcept {
    if (stopEvent_)
        WaitForSingleObject(stopEvent_.get(), kRetryPauseMs);
    else
        Sleep(kRetryPauseMs);
}

void Notifier::run() {
    bool pauseFirst = false;
    while (!stopRequested()) {
        if (std::exchange(pauseFirst, false)) {
            pauseBeforeRetry();
            continue;  // look at the stop request again before reopening
        }
        // Only failures of the listening socket or of publishing its port come here; a failed
        // connection is dropped in serveOne and the listener stays.
        try {
            std::unique_ptr<LineSocket> listener = openListener();
            if (logger_.debugEnabled())
                logger_.debug(L"Notifier::run Waiting for connection at port " + int64ToText(port_.load()));
            serveConnections(*listener);
        } catch (const TextError& e) {
            logger_.error(L"Notifier::run Exception: " + e.text());
            pauseFirst = true;
        } catch (...) {
            logger_.error(L"Notifier::run Unknown exception");
            pauseFirst = true;
        }
    }
}

// Serves every connection at once, so that a silent or slow one delays nobody else's lines.
// Returns when stopped; throws only when the listening socket itself fails: a connection that
// fails, or vanishes before it is accepted, leaves the listener, its port and its port file.
void Notifier::serveConnections(LineSocket& listener) {
    std::vector<Connection> connections;
    for (;;) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(listener.handle(), &readable);
        for (const Connection& c : connections) FD_SET(c.socket->handle(), &readable);
        timeval wait = untilFirstSilenceEnds(connections);
        if (select(0, &readable, nullptr, nullptr, &wait) == SOCKET_ERROR) throw TextError(socketFailure(L"select"));
        if (stopRequested()) return;
        const std::uint64_t now = GetTickCount64();
        const auto ended = std::remove_if(connections.begin(), connections.end(), [&](Connection& c) {
            return FD_ISSET(c.socket->handle(), &readable) ? !serveReadable(c, now) : silentTooLong(c, now);
        });
        connections.erase(ended, connections.end());
        if (!FD_ISSET(listener.handle(), &readable)) continue;
        int skipped = 0;
        std::unique_ptr<LineSocket> accepted = listener.acceptConnection(&skipped);
        if (stopRequested()) return;
        if (!accepted) {
            // The peer went away before it was taken: nobody else is affected.
            logger_.debug(L"Notifier::run No connection to accept (error " + int64ToText(skipped) + L")");
            continue;
        }
        logger_.debug(L"Notifier::run Accepted connection");
        if (connections.size() == kMaxConnections) dropLeastRecentlyHeard(connections);
        connections.push_back({std::move(accepted), now});
    }
}

timeval Notifier::untilFirstSilenceEnds(const std::vector<Connection>& connections) {
    std::uint64_t waitMs = kSilenceLimitMs;
    const std::uint64_t now = GetTickCount64();
    for (const Connection& c : connections) {
        const std::uint64_t end = c.lastHeard + kSilenceLimitMs;
        waitMs = std::min(waitMs, end > now ? end - now : 0);
    }
    return {static_cast<long>(waitMs / 1000), static_cast<long>(waitMs % 1000 * 1000)};
}

// False when the connection has ended: its peer closed, sent an empty line, or sent a line
// that cannot be decoded.
bool Notifier::serveReadable(Connection& connection, std::uint64_t now) noexcept {
    try {
        // A large block: every recv here costs a select as well, and a busy application sends
        // many lines at once.
        connection.socket->receiveAvailable(kReceiveBlockBytes);
        connection.lastHeard = now;
        while (std::optional<std::wstring> line = connection.socket->bufferedLine()) {
            if (line->empty()) return false;
            forwardLine(*line);
        }
        return true;
    } catch (const TextError& e) {
        logger_.error(L"Notifier::run Exception: " + e.text());
    } catch (...) {
        logger_.error(L"Notifier::run Unknown exception");
    }
    return false;
}

bool Notifier::silentTooLong(const Connection& connection, std::uint64_t now) {
    if (now - connection.lastHeard < kSilenceLimitMs) return false;
    logger_.error(L"Notifier::run Exception: nothing received for " + int64ToText(kSilenceLimitMs) + L" ms");
    return true;
}

// A new connection beyond the limit takes the place of the one that has been quiet longest.
void Notifier::dropLeastRecentlyHeard(std::vector<Connection>& connections) {
    const auto quietest = std::min_element(connections.begin(), connections.end(),
                                           [](const Connection& a, const Connection& b) { return a.lastHeard < b.lastHeard; });
    logger_.error(L"Notifier::run Exception: more than " + int64ToText(kMaxConnections) +
                  L" connections, the quietest dropped");
    connections.erase(quietest);
}

std::unique_ptr<LineSocket> Notifier::openListener() {
    logger_.error(L"Notifier::run Looking for free port to connect");
    std::int32_t port = kFirstTavrelPort;
    std::unique_ptr<LineSocket> listener = findFreePort(port);
    port_ = port;
    if (writePortFile(getSettingsFolder(), kTavrelPortFileBase, port)) return listener;
    const std::wstring profile = getKnownFolderPath(CSIDL_PROFILE, false);
    if (profile.empty()) throw TextError(L"Cannot get user profile directory");
    if (writePortFile(profile + L"\\.quorvane", kTavrelPortFileBase, port)) return listener;
    throw TextError(L"Cannot find installation directory");
}

std::unique_ptr<LineSocket> Notifier::findFreePort(std::int32_t& port) {
    std::wstring firstFailure;
    bool failed = false;
    for (; port < kPortLimit; ++port) {
        auto listener = std::make_unique<LineSocket>();
        try {
            listener->listenLocal(static_cast<std::uint16_t>(port), kListenBacklog, LineSocket::Accepting::NonBlocking);
            return listener;
        } catch (const TextError& e) {
            if (!std::exchange(failed, true)) firstFailure = e.text();
        }
    }
    throw TextError(L"Can't find free local port: " + firstFailure);
}

bool Notifier::writePortFile(const std::wstring& folder, const std::wstring& baseName, std::int32_t port) {
    const std::wstring host = LineSocket::localHostName();
    logger_.error(L"Host name is '" + host + L"'.");
    const std::wstring path = portFilePath(folder, host, baseName);
    // Deleting first tells a missing folder apart from a file that cannot be written.
    if (!DeleteFileW(path.c_str()) && GetLastError() == ERROR_PATH_NOT_FOUND) return false;

    FileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    const std::string digits = std::to_string(port);
    DWORD written = 0;
    if (!file || !WriteFile(file.get(), digits.data(), static_cast<DWORD>(digits.size()), &written, nullptr) ||
        written != digits.size()) {
        const std::wstring failure = L"Cannot create port file " + path;
        logger_.error(failure);
        throw TextError(failure);
    }
    return true;
}

void Notifier::forwardLine(const std::wstring& line) {
    if (logger_.debugEnabled()) logger_.debug(L"Notifier::_tWinMain received line: " + clipForLog(line));
    forward(line);
    logger_.debug(L"Notifier::_tWinMain sent notification to the shell");
}

// The line goes to the shell as it arrived: the application sends exactly the path it means.
void Notifier::forward(const std::wstring& line) {
    if (line.find(L'*') != std::wstring::npos)
        shell_(SHCNE_ASSOCCHANGED, SHCNF_FLUSHNOWAIT, nullptr, nullptr);
    else
        shell_(SHCNE_UPDATEITEM, SHCNF_PATHW | SHCNF_FLUSHNOWAIT, line.c_str(), nullptr);
}
