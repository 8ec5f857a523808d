// The doctor's checks of what runs: the application's servers, Tavrel, and the trace log.
#include <shlobj.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <optional>

#include "common/handles.h"
#include "common/settings.h"
#include "common/text_error.h"
#include "link/port_files.h"
#include "link/quorvane.h"
#include "notifier/port_file.h"
#include "tools/shellhost/doctor_support.h"
#include "wire/line_socket.h"

namespace {

constexpr wchar_t kTavrelMutex[] = L"Tavrel::Notifier";
constexpr std::streamoff kLogTail = 64 * 1024;
constexpr std::size_t kLogLinesShown = 5;

struct Server {
    std::wstring name;
    std::wstring suffix;
    std::wstring probeLabel;
    std::vector<std::wstring> folders;  // where the application publishes it, in the order looked at
};

// The port from the folder's port file, read and probed as the extension does; 0 when the
// extension could not use it.
std::int32_t checkRunningServer(const Server& server, const std::wstring& portFile, Report& report) {
    const std::optional<PortFileText> content = readPortFile(portFile);
    if (!content) return report.fail(server.name + L": lock held, but no port file " + portFile), 0;
    if (content->port == 0)
        return report.fail(server.name + L": " + portFile + L" " + content->problem +
                           L", so the extension reads no port from it: write the port as ASCII digits alone"),
               0;
    const std::wstring where = L"port " + std::to_wstring(content->port) + L" from " + portFile;
    if (!content->problem.empty())
        report.warn(server.name + L": " + portFile + L" " + content->problem + L"; the extension reads port " +
                    std::to_wstring(content->port) + L", but write the digits alone");
    KeptMessages messages;
    if (!Quorvane::testPort(content->port, server.probeLabel, messages))
        return report.fail(server.name + L": " + where + L" does not answer: " + messages.last), 0;
    report.ok(server.name + L": " + where + L" (lock held) answers");
    return content->port;
}

std::wstring portFileIn(const Server& server, const std::wstring& folder, const std::wstring& host) {
    return folder + L"\\" + host + server.suffix + L".port";
}

// The first of the server's folders in which it runs, if any.
std::optional<std::wstring> runningIn(const Server& server, const std::wstring& host) {
    for (const std::wstring& folder : server.folders)
        if (serverLockHeld(portFileIn(server, folder, host))) return folder;
    return std::nullopt;
}

void reportStopped(const Server& server, const std::wstring& host, Report& report) {
    std::wstring folders;
    for (const std::wstring& folder : server.folders) {
        const std::wstring portFile = portFileIn(server, folder, host);
        if (fileExists(portFile))
            return report.fail(server.name + L": not running; " + portFile +
                               L" is left from an earlier run (no lock file held)");
        folders += (folders.empty() ? L"" : L" or ") + folder;
    }
    report.fail(server.name + L": not running; no port file in " + folders);
}

// The port that answers, or 0 when the server does not run (usably) in any of its folders.
std::int32_t checkServer(const Server& server, const std::wstring& host, Report& report) {
    const std::optional<std::wstring> folder = runningIn(server, host);
    if (folder) return checkRunningServer(server, portFileIn(server, *folder, host), report);
    reportStopped(server, host, report);
    return 0;
}

std::wstring commonAppData() {
    std::wstring folder = getKnownFolderPath(CSIDL_COMMON_APPDATA, false);
    if (!folder.empty() && folder.back() != L'\\') folder += L'\\';
    return folder;
}

// The log does not mark a line's level, and debug lines carry paths and state names ("  State:
// Error") that no word search can tell from a fault: an error line is known by its beginning, as
// the extension and Tavrel write their error-level messages.
const wchar_t* const kErrorBeginnings[] = {
    L"get-states failed", L"disabling states for ", L"Expected two tokens for state line", L"Error while ",
    L"Could not detect command server", L"There is a port.lock, but no port-file at ", L"determinePort failed",
    L"Quorvane::getState states paused: ", L"Quorvane::startApplication could not determine path",
    L"Quorvane::runShellNotifier Could not determine path", L"Notifier::run Exception: ",
    L"Notifier::run Unknown exception", L"Cannot create port file ", L"Cannot start Tavrel process",
    L"TavrelRunner::startTavrelOnce exception", L"TavrelRunner::startTavrelOnce Tavrel process start error",
    L"Initializing WSA failed", L"Failed retrieving '"};
// Error messages that begin with a variable part.
const wchar_t* const kErrorMiddles[] = {L" mistake of the application: ", L" does not respond due to error: ", L" is not a 32-bit decimal number; keeping "};

bool isErrorLine(const std::wstring& line) {
    const std::size_t cut = line.find(L"] ");
    const std::wstring message = cut == std::wstring::npos ? line : line.substr(cut + 2);
    // Tavrel drops a connection that stays silent for a while, as it should: the application
    // connects again when it has something to send. Not a fault.
    if (message.rfind(L"Notifier::run Exception: nothing received for ", 0) == 0) return false;
    const auto begins = [&](const wchar_t* start) { return message.rfind(start, 0) == 0; };
    const auto holds = [&](const wchar_t* middle) { return message.find(middle) != std::wstring::npos; };
    return std::any_of(std::begin(kErrorBeginnings), std::end(kErrorBeginnings), begins) ||
           std::any_of(std::begin(kErrorMiddles), std::end(kErrorMiddles), holds) ||
           (begins(L"Starting ") && message.size() > 8 && message.compare(message.size() - 8, 8, L" failed.") == 0) ||
           (begins(L"Key '") && holds(L"' not found."));
}

}  // namespace

ServerPorts checkServers(const View& view, Report& report) {
    const std::wstring host = hostName();
    if (host.empty()) return report.fail(L"servers: cannot get the host name their port files are named after"), ServerPorts{};
    const std::wstring settings = getSettingsFolder(), profile = getProfileSettingsFolder();
    const std::wstring version = readValue(HKEY_LOCAL_MACHINE, kProductKey, nullptr, view).text;
    Server command{L"command server", L"", L"Quorvane", {}};
    if (version.empty())
        report.fail(L"command server: no program version under HKLM\\" + std::wstring(kProductKey) +
                    L", so the extension does not look for the command server at all");
    else
        command.folders.push_back(settings + L"\\" + version);
    if (!profile.empty()) command.folders.push_back(profile);
    ServerPorts ports;
    if (!command.folders.empty() && !version.empty()) ports.command = checkServer(command, host, report);
    const Server state{L"state server", L".statuscache", L"Statuscache",
                       {commonAppData() + L"Quorvane\\statuscache-1", settings + L"\\statuscache-1"}};
    if (ports.command != 0 && !runningIn(state, host)) {
        report.ok(L"state server: none of its own; the command server answers the states");
        ports.state = ports.command;
        return ports;
    }
    ports.state = checkServer(state, host, report);
    return ports;
}

void checkTavrel(Report& report) {
    const KernelHandle mutex(OpenMutexW(SYNCHRONIZE, FALSE, kTavrelMutex));
    if (!mutex)
        return report.warn(L"Tavrel: not running (no mutex " + std::wstring(kTavrelMutex) +
                           L"); the extension starts it when Explorer next uses it, and until then no change "
                           L"reaches Explorer");
    report.ok(L"Tavrel: running (mutex " + std::wstring(kTavrelMutex) + L" exists)");
    KeptMessages messages;
    std::wstring folder = getSettingsFolder();
    Port port{Quorvane::determinePort(folder, kTavrelPortFileBase, messages, false)};
    if (port == 0 && !getProfileSettingsFolder().empty()) {
        folder = getProfileSettingsFolder();
        port = Quorvane::determinePort(folder, kTavrelPortFileBase, messages, false);
    }
    if (port == 0) return report.fail(L"Tavrel: no port file in " + getSettingsFolder() + L" or " + folder);
    const std::wstring where = L"Tavrel: port " + std::to_wstring(port.load()) + L" from " +
                               portFilePath(folder, hostName(), kTavrelPortFileBase);
    if (Quorvane::testPort(port, L"Tavrel", messages))
        report.ok(where + L" answers");
    else
        report.fail(where + L" does not answer: " + messages.last);
}

void checkTraceLog(Report& report) {
    const std::wstring path = getSettingsFolder() + L"\\explorer-integration.log";
    std::ifstream in(std::filesystem::path(path), std::ios::binary | std::ios::ate);
    if (!in) return report.ok(L"trace log: " + path + L" does not exist yet");
    const std::streamoff start = std::max<std::streamoff>(0, static_cast<std::streamoff>(in.tellg()) - kLogTail);
    in.seekg(start);
    std::vector<std::wstring> errors;
    std::string line;
    if (start > 0) std::getline(in, line);  // the rest of a line that began before the tail
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const std::wstring text(line.begin(), line.end());  // one byte per unit, as the log writes it
        if (isErrorLine(text)) errors.push_back(text);
    }
    if (errors.empty()) return report.ok(L"trace log: " + path + L" has no error lines at its end");
    const std::size_t first = errors.size() > kLogLinesShown ? errors.size() - kLogLinesShown : 0;
    for (std::size_t i = first; i < errors.size(); ++i) report.warn(L"trace log: " + errors[i]);
}
