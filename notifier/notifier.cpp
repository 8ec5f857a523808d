#include "notifier/notifier.h"

#include <shlobj.h>

#include <string>
#include <utility>

#include "common/log.h"
#include "common/settings.h"
#include "common/text_error.h"
#include "notifier/port_file.h"
#include "wire/line_socket.h"

namespace {

constexpr std::int32_t kPortLimit = 65535;  // never tried
constexpr int kListenBacklog = 1;
constexpr std::int32_t kWakeUpWaitMs = 500;

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

// Returns when accept gives no connection (the listener is then reopened without a pause) or
// when stopped; throws when the listening socket fails.
void Notifier::serveConnections(LineSocket& listener) {
    for (;;) {
        std::unique_ptr<LineSocket> connection = listener.acceptConnection();
        if (!connection || stopRequested()) return;
        logger_.debug(L"Notifier::run Accepted connection");
        serveOne(*connection);
    }
}

void Notifier::serveOne(LineSocket& connection) noexcept {
    try {
        handleConnection(connection);
    } catch (const TextError& e) {
        logger_.error(L"Notifier::run Exception: " + e.text());
    } catch (...) {
        logger_.error(L"Notifier::run Unknown exception");
    }
    connection.close();
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
            listener->listenLocal(static_cast<std::uint16_t>(port), kListenBacklog);
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

void Notifier::handleConnection(LineSocket& connection) {
    for (std::wstring line = connection.readLine(); !line.empty(); line = connection.readLine()) {
        if (logger_.debugEnabled()) logger_.debug(L"Notifier::_tWinMain received line: " + line);
        forward(line);
        logger_.debug(L"Notifier::_tWinMain sent notification to the shell");
    }
}

// The line goes to the shell as it arrived: the application sends exactly the path it means.
void Notifier::forward(const std::wstring& line) {
    if (line.find(L'*') != std::wstring::npos)
        shell_(SHCNE_ASSOCCHANGED, SHCNF_FLUSHNOWAIT, nullptr, nullptr);
    else
        shell_(SHCNE_UPDATEITEM, SHCNF_PATHW | SHCNF_FLUSHNOWAIT, line.c_str(), nullptr);
}
