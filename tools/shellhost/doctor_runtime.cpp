// The doctor's checks of what runs: the application's servers, Tavrel, and the trace log.
#include <shlobj.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <optional>

#include "common/handles.h"
#include "common/settings.h"
#include "common/text_error.h"
#include "link/quorvane.h"
#include "notifier/port_file.h"
#include "tools/shellhost/doctor_support.h"
#include "wire/line_socket.h"

namespace {

constexpr wchar_t kTavrelMutex[] = L"Tavrel::Notifier";
constexpr std::streamoff kLogTail = 64 * 1024;
constexpr std::size_t kLogLinesShown = 5;

// The discovery code's messages, kept for the report instead of going to the trace log: the
// doctor writes nothing.
class KeptMessages : public Logger {
public:
    KeptMessages() : Logger(false) {}
    void write(std::wstring_view message) override { last = message; }
    std::wstring last;
};

// Whether a running server holds the lock file: it keeps it open without delete sharing, so
// asking for delete access fails. Unlike the extension's look, this deletes no stale lock.
enum class Lock { Absent, Stale, Held };
Lock lockOf(const std::wstring& path) {
    const FileHandle probe(CreateFileW(path.c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                       nullptr, OPEN_EXISTING, 0, nullptr));
    if (probe) return Lock::Stale;
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? Lock::Absent : Lock::Held;
}

// The extension's rule: a deletable ".postlock" means stopped; otherwise either held lock counts.
bool serverRuns(const std::wstring& portFile) {
    const Lock postLock = lockOf(portFile + L".postlock");
    return postLock == Lock::Held || (postLock == Lock::Absent && lockOf(portFile + L".lock") == Lock::Held);
}

std::wstring hostName() {
    try {
        LineSocket guard;  // holds Windows Sockets up for the host name
        return LineSocket::localHostName();
    } catch (const TextError&) {
        return L"";
    }
}

struct Server {
    std::wstring name;
    std::wstring suffix;
    std::wstring probeLabel;
    std::vector<std::wstring> folders;  // where the application publishes it, in the order looked at
};

// The port from the folder's port file, probed as the extension probes it.
void checkRunningServer(const Server& server, const std::wstring& folder, const std::wstring& portFile,
                        Report& report) {
    KeptMessages messages;
    const Port port{Quorvane::determinePort(folder, server.suffix, messages, false)};
    if (port == 0) return report.fail(server.name + L": lock held, but no port in " + portFile);
    const std::wstring where = L"port " + std::to_wstring(port.load()) + L" from " + portFile;
    if (Quorvane::testPort(port, server.probeLabel, messages))
        report.ok(server.name + L": " + where + L" (lock held) answers");
    else
        report.fail(server.name + L": " + where + L" does not answer: " + messages.last);
}

std::wstring portFileIn(const Server& server, const std::wstring& folder, const std::wstring& host) {
    return folder + L"\\" + host + server.suffix + L".port";
}

// The first of the server's folders in which it runs, if any.
std::optional<std::wstring> runningIn(const Server& server, const std::wstring& host) {
    for (const std::wstring& folder : server.folders)
        if (serverRuns(portFileIn(server, folder, host))) return folder;
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

// False when the server does not run in any of its folders.
bool checkServer(const Server& server, const std::wstring& host, Report& report) {
    const std::optional<std::wstring> folder = runningIn(server, host);
    if (folder)
        checkRunningServer(server, *folder, portFileIn(server, *folder, host), report);
    else
        reportStopped(server, host, report);
    return folder.has_value();
}

std::wstring commonAppData() {
    std::wstring folder = getKnownFolderPath(CSIDL_COMMON_APPDATA, false);
    if (!folder.empty() && folder.back() != L'\\') folder += L'\\';
    return folder;
}

bool isErrorLine(std::wstring line) {
    // Tavrel drops a connection that stays silent for a while, as it should: the application
    // connects again when it has something to send. Not a fault.
    if (line.find(L"Notifier::run Exception: nothing received for ") != std::wstring::npos) return false;
    std::transform(line.begin(), line.end(), line.begin(), ::towlower);
    const wchar_t* const signs[] = {L"error", L"fail", L"exception", L"cannot", L"could not", L"not found"};
    return std::any_of(std::begin(signs), std::end(signs),
                       [&](const wchar_t* sign) { return line.find(sign) != std::wstring::npos; });
}

}  // namespace

void checkServers(const View& view, Report& report) {
    const std::wstring host = hostName();
    if (host.empty()) return report.fail(L"servers: cannot get the host name their port files are named after");
    const std::wstring settings = getSettingsFolder(), profile = getProfileSettingsFolder();
    const std::wstring version = readValue(HKEY_LOCAL_MACHINE, kProductKey, nullptr, view).text;
    Server command{L"command server", L"", L"Quorvane", {}};
    if (!version.empty()) command.folders.push_back(settings + L"\\" + version);
    if (!profile.empty()) command.folders.push_back(profile);
    const bool commandRuns = checkServer(command, host, report);
    const Server state{L"state server", L".statuscache", L"Statuscache",
                       {commonAppData() + L"Quorvane\\statuscache-1", settings + L"\\statuscache-1"}};
    if (commandRuns && !runningIn(state, host))
        return report.ok(L"state server: none of its own; the command server answers the states");
    checkServer(state, host, report);
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
