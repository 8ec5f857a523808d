#include "notifier/notifier.h"

#include <shlobj.h>

#include <algorithm>
#include <string>
#include <tuple>
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
static_assert(Notifier::kMaxConnections < FD_SETSIZE, "select must hold every connection and the listener");

// Accept failed for lack of sockets or buffers: the connection stays queued, so the listener
// stays readable, and taking it at once again would only fail again.
bool isResourceShortage(int acceptError) { return acceptError == WSAEMFILE || acceptError == WSAENOBUFS; }

timeval toTimeval(std::uint64_t ms) {
    return {static_cast<long>(ms / 1000), static_cast<long>(ms % 1000 * 1000)};
}

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

std::unique_ptr<LineSocket> acceptPending(LineSocket& listener, int* skippedError) {
    return listener.acceptConnection(skippedError);
}

Notifier::Notifier(Logger& logger, ShellNotify shell) : Notifier(logger, std::move(shell), &acceptPending) {}

Notifier::Notifier(Logger& logger, ShellNotify shell, AcceptConnection accept)
    : logger_(logger),
      shell_(std::move(shell)),
      accept_(std::move(accept)),
      stopEvent_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
    winsockGuard().acquire();  // the host name is asked for before any socket exists
}

Notifier::~Notifier() = default;

void Notifier::stop() noexcept {
    stopping_ = true;
    if (stopEvent_) SetEvent(stopEvent_.get());
    wakeListener(port_.load());
}

void Notifier::pauseBeforeRetry(DWORD ms) noexcept {
    if (stopEvent_)
        WaitForSingleObject(stopEvent_.get(), ms);
    else
        Sleep(ms);
}

void Notifier::run() {
    bool pauseFirst = false;
    while (!stopRequested()) {
        if (std::exchange(pauseFirst, false)) {
            pauseBeforeRetry();
            continue;  // look at the stop request again before reopening
        }
        // Only failures of the listening socket or of publishing its port come here; a failed
        // connection is dropped in serveReadable and the listener stays.
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

// Serves every connection at once, for as long as its peer keeps it, so that a silent or slow
// one delays nobody else's lines. Returns when stopped; throws only when the listening socket
// itself fails: a connection that fails, or vanishes before it is accepted, leaves the
// listener, its port and its port file.
void Notifier::serveConnections(LineSocket& listener) {
    std::vector<Connection> connections;
    std::uint64_t acceptAfter = 0;  // accepting pauses until this tick after a resource shortage
    for (;;) {
        const std::uint64_t now = GetTickCount64();
        const bool accepting = now >= acceptAfter;
        fd_set readable;
        FD_ZERO(&readable);
        if (accepting) FD_SET(listener.handle(), &readable);
        for (const Connection& c : connections) FD_SET(c.socket->handle(), &readable);
        timeval wait = toTimeval(accepting ? kIdleWaitMs : std::min<std::uint64_t>(acceptAfter - now, kIdleWaitMs));
        if (readable.fd_count == 0) {
            // select refuses empty sets: nothing to serve while accepting pauses.
            pauseBeforeRetry(static_cast<DWORD>(acceptAfter - now));
            if (stopRequested()) return;
            continue;
        }
        if (select(0, &readable, nullptr, nullptr, &wait) == SOCKET_ERROR) throw TextError(socketFailure(L"select"));
        if (stopRequested()) return;
        const auto ended = std::remove_if(connections.begin(), connections.end(), [&](Connection& c) {
            return FD_ISSET(c.socket->handle(), &readable) && !serveReadable(c);
        });
        connections.erase(ended, connections.end());
        if (!accepting || !FD_ISSET(listener.handle(), &readable)) continue;
        std::unique_ptr<LineSocket> accepted = acceptOrPause(listener, acceptAfter);
        if (stopRequested()) return;
        if (!accepted) continue;
        if (connections.size() == kMaxConnections) makeRoom(connections);
        connections.push_back({std::move(accepted), ++heard_});
    }
}

// A shortage is logged when it begins, not on every try: it may last for minutes.
std::unique_ptr<LineSocket> Notifier::acceptOrPause(LineSocket& listener, std::uint64_t& acceptAfter) {
    int skipped = 0;
    std::unique_ptr<LineSocket> accepted = accept_(listener, &skipped);
    if (accepted) {
        shortOfResources_ = false;
        logger_.debug(L"Notifier::run Accepted connection");
    } else if (isResourceShortage(skipped)) {
        if (!std::exchange(shortOfResources_, true))
            logger_.error(L"Notifier::run Cannot accept a connection for lack of resources (error " +
                          int64ToText(skipped) + L"); trying again every " + int64ToText(kRetryPauseMs) + L" ms");
        acceptAfter = GetTickCount64() + kRetryPauseMs;
    } else {
        // The peer went away before it was taken: nobody else is affected.
        logger_.debug(L"Notifier::run No connection to accept (error " + int64ToText(skipped) + L")");
    }
    return accepted;
}

// False when the connection has ended: its peer closed, sent an empty line, or sent a line
// that cannot be decoded.
bool Notifier::serveReadable(Connection& connection) noexcept {
    try {
        // A large block: every recv here costs a select as well, and a busy application sends
        // many lines at once.
        connection.socket->receiveAvailable(kReceiveBlockBytes);
        connection.lastHeard = ++heard_;
        while (std::optional<std::wstring> line = connection.socket->bufferedLine()) {
            if (line->empty()) return false;
            connection.sentLine = true;
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

// A peer that connected and never sent a line is the first to go, the oldest of them first:
// the application connects to send. Then the one heard from least recently.
void Notifier::makeRoom(std::vector<Connection>& connections) {
    const auto closed =
        std::min_element(connections.begin(), connections.end(), [](const Connection& a, const Connection& b) {
            return std::tie(a.sentLine, a.lastHeard) < std::tie(b.sentLine, b.lastHeard);
        });
    logger_.error(L"Notifier::run " + int64ToText(kMaxConnections) + L" connections open: closed " +
                  (closed->sentLine ? L"the one heard from least recently" : L"one that never sent a line"));
    connections.erase(closed);
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
