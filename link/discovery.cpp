// Finding the application's servers from their port and lock files, and probing them.
#include <shlobj.h>

#include "common/settings.h"
#include "common/text_error.h"
#include "link/port_files.h"
#include "link/quorvane.h"
#include "wire/line_socket.h"

namespace {

constexpr std::int32_t kProbeTimeoutMs = 300;
constexpr wchar_t kStatusCacheSuffix[] = L".statuscache";

}  // namespace

void DiscoveryProblem::note(Mistake what, const std::wstring& detail) {
    if (text.empty() || what > cause) {
        cause = what;
        text = detail;
    } else if (what == cause) {
        text += L"; " + detail;
    }
}

std::int32_t Quorvane::determinePort(const std::wstring& folder, const std::wstring& suffix, Logger& logger,
                                     bool useLockFiles, DiscoveryProblem* problem) {
    std::wstring host;
    try {
        LineSocket guard;  // holds Windows Sockets up for the host name
        host = LineSocket::localHostName();
    } catch (const TextError&) {
        logger.error(L"determinePort failed to create socket");
        return 0;
    }
    logger.debug(L"Quorvane::determinePort for '" + host + L"'.");
    const std::wstring portFile = folder + L"\\" + host + suffix + L".port";
    if (useLockFiles && !serverLockHeld(portFile)) {
        if (problem) problem->note(Mistake::NoLockHeld, L"no held lock file beside " + portFile);
        return 0;
    }
    const std::optional<PortFileText> content = readPortFile(portFile);
    if (!content) {
        logger.write((useLockFiles ? L"There is a port.lock, but no port-file at " : L"There is no port-file at ") +
                     folder);
        if (problem) problem->note(Mistake::UnreadablePortFile, L"a held lock file, but no port file " + portFile);
        return 0;
    }
    if (content->port == 0 && problem)
        problem->note(Mistake::UnreadablePortFile, L"the port file " + portFile + L" " + content->problem);
    return content->port;
}

bool Quorvane::testPort(std::int32_t port, const std::wstring& label, Logger& logger) {
    logger.debug(L"testPort");
    try {
        LineSocket probe;
        probe.connectTo("127.0.0.1", static_cast<std::uint16_t>(port), kProbeTimeoutMs, kProbeTimeoutMs);
        return true;
    } catch (const TextError& e) {
        logger.error(label + L" does not respond due to error: " + e.text());
        return false;
    }
}

bool Quorvane::answers(std::int32_t port, const wchar_t* label) {
    if (testPort(port, label, *logger_)) return true;
    discoveryProblem_.note(Mistake::Refused, L"port " + int64ToText(port) + L" does not answer");
    return false;
}

// Candidates are kept local until their probe answers: other threads use a published port
// without waiting for discovery, and must never connect to one that nobody serves.
bool Quorvane::findCommandServer() {
    if (commandServerPort_ != 0) return true;
    const std::wstring version = readProgramVersion();
    if (version.empty()) {
        logger_->error(L"Could not detect command server -- program version needs to be configured in registry.");
        return false;
    }
    const std::int32_t candidate =
        determinePort(getSettingsFolder() + L"\\" + version, L"", *logger_, true, &discoveryProblem_);
    if (candidate != 0 && answers(candidate, L"Quorvane")) {
        commandServerPort_ = candidate;
        return true;
    }
    const std::wstring profileSettings = getProfileSettingsFolder();
    if (profileSettings.empty()) return false;
    // A port read here but refused by its probe is still stored: the next call takes it, and the
    // first connection that fails forgets it again.
    const std::int32_t last = determinePort(profileSettings, L"", *logger_, true, &discoveryProblem_);
    const bool answered = last != 0 && answers(last, L"Quorvane");
    commandServerPort_ = last;
    return answered;
}

bool Quorvane::findStateServer() {
    if (stateServerPort_ != 0) return true;
    std::wstring common = getKnownFolderPath(CSIDL_COMMON_APPDATA, false);
    if (!common.empty()) {
        if (common.back() != L'\\') common += L'\\';
        const std::int32_t shared =
            determinePort(common + L"Quorvane\\statuscache-1", kStatusCacheSuffix, *logger_, true, &discoveryProblem_);
        if (shared != 0 && answers(shared, L"Statuscache")) {
            stateServerPort_ = shared;
            logger_->write(L"Found State Server running at " + int64ToText(shared));
            return true;
        }
        logger_->debug(L"Found no running State Server at " + int64ToText(shared));
    }
    const std::int32_t own =
        determinePort(getSettingsFolder() + L"\\statuscache-1", kStatusCacheSuffix, *logger_, true, &discoveryProblem_);
    // A state server of its own that answers, beside a command server that does not (or is not
    // known at all, so there is nothing to probe), serves the states.
    if (own != 0 && answers(own, L"Statuscache") &&
        (commandServerPort_ == 0 || !testPort(commandServerPort_, L"Statuscache", *logger_))) {
        stateServerPort_ = own;
        return true;
    }
    // Otherwise the command server serves the states too, once its probe answered: a refused
    // candidate that findCommandServer keeps would be taken at once by threads waiting on the
    // discovery lock, before this thread's pause begins.
    const bool found = findCommandServer();
    if (found) stateServerPort_ = commandServerPort_.load();
    return found;
}

bool Quorvane::checkServerRunning(const wchar_t* trace, const Port& port, bool (Quorvane::*find)(),
                                  const wchar_t* failure, bool honourPause) noexcept {
    try {
        logger_->debug(trace);
        if (port != 0) return true;  // known: no need to wait for the lock
        CriticalSection::Scoped hold(discoveryLock_);
        // While this thread waited, another may have found the server, or failed and paused the
        // states: repeating its search would only cost this thread its probes again.
        if (port != 0) return true;
        if (honourPause && clock_() < statesDisabledUntil_) return false;
        discoveryProblem_ = {};
        if ((this->*find)()) return true;
        // Only the states pause when nothing is found; the menu simply shows no commands.
        if (honourPause)
            reportMistakeOnce(discoveryProblem_.cause,
                              [&] { return L"Quorvane::getState states paused: no usable server: " + discoveryProblem_.text; });
        return false;
    } catch (const TextError& e) {
        logger_->error(std::wstring(failure) + L": " + e.text());
    } catch (...) {
        logger_->error(std::wstring(failure) + L" (unknown)");
    }
    return false;
}

bool Quorvane::checkCommandServerRunning() noexcept {
    return checkServerRunning(L"Quorvane::checkCommandServerRunning", commandServerPort_, &Quorvane::findCommandServer,
                              L"Error while sending commands", false);
}

bool Quorvane::checkStateServerRunning() noexcept {
    return checkServerRunning(L"Quorvane::checkStateServerRunning", stateServerPort_, &Quorvane::findStateServer,
                              L"Error while retrieving states", true);
}
