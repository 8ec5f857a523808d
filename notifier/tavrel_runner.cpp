#include "notifier/tavrel_runner.h"

#include <windows.h>

#include "common/decimal.h"
#include "common/handles.h"
#include "common/log.h"
#include "common/settings.h"
#include "notifier/port_file.h"
#include "wire/line_socket.h"

namespace {

constexpr wchar_t kStartMutexName[] = L"TavrelRunner::startTavrelOnce";
constexpr wchar_t kInstanceMutexName[] = L"Tavrel::Notifier";
constexpr wchar_t kStartedEventName[] = L"Tavrel::Started";
constexpr DWORD kPortFilePollMs = 20;

// A holder that died keeps nobody out: an abandoned mutex is taken like a free one.
bool acquiredAtOnce(const KernelHandle& mutex) {
    if (!mutex) return false;
    const DWORD result = WaitForSingleObject(mutex.get(), 0);
    return result == WAIT_OBJECT_0 || result == WAIT_ABANDONED;
}

bool writtenBefore(const std::wstring& path, const FILETIME& moment) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    return GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data) &&
           CompareFileTime(&data.ftLastWriteTime, &moment) < 0;
}

// A port file that this start's Tavrel wrote: written no earlier than the start, holding a port.
bool holdsFreshPort(const std::wstring& path, const FILETIME& startedAt) {
    FileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    FILETIME written;
    if (!GetFileTime(file.get(), nullptr, nullptr, &written) || CompareFileTime(&written, &startedAt) < 0) return false;
    char bytes[16];
    DWORD got = 0;
    if (!ReadFile(file.get(), bytes, sizeof bytes, &got, nullptr)) return false;
    const std::optional<std::int32_t> port = parseDecimal(std::wstring(bytes, bytes + got));
    return port && *port > 0;
}

// Creates the process the way Explorer's extension always has: the path as application name,
// no command line, below-normal priority, nothing inherited. The process handle is kept only
// for the wait for its start; its thread's is closed at once.
KernelHandle createTavrelProcess(const std::wstring& path) {
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION created = {};
    const BOOL ok = CreateProcessW(path.c_str(), nullptr, nullptr, nullptr, FALSE, BELOW_NORMAL_PRIORITY_CLASS,
                                   nullptr, nullptr, &startup, &created);
    const DWORD error = GetLastError();
    KernelHandle process(created.hProcess);
    KernelHandle thread(created.hThread);
    SetLastError(ok ? ERROR_SUCCESS : error);
    return process;
}

// Only "no such object" means that no Tavrel runs. One that exists but cannot be opened (a
// Tavrel of an elevated process, or another object of that name) is running all the same.
bool tavrelRuns() {
    if (KernelHandle running{OpenMutexW(SYNCHRONIZE, FALSE, kInstanceMutexName)}) return true;
    return GetLastError() != ERROR_FILE_NOT_FOUND;
}

}  // namespace

std::vector<std::wstring> tavrelPortFilePaths() {
    std::wstring host;
    {
        LineSocket guard;  // holds Windows Sockets up for the host name
        host = LineSocket::localHostName();
    }
    std::vector<std::wstring> paths{portFilePath(getSettingsFolder(), host, kTavrelPortFileBase)};
    const std::wstring profileSettings = getProfileSettingsFolder();
    if (!profileSettings.empty()) paths.push_back(portFilePath(profileSettings, host, kTavrelPortFileBase));
    return paths;
}

bool TavrelRunner::startTavrelOnce(const std::wstring& path) noexcept {
    try {
        if (path.empty()) {
            logger_.error(L"Cannot start Tavrel process with empty input path");
            return false;
        }
        logger_.debug(L"TavrelRunner::startTavrelOnce enter");
        KernelHandle startMutex(CreateMutexW(nullptr, FALSE, kStartMutexName));
        if (!acquiredAtOnce(startMutex)) {
            // The other start is not waited for: Explorer's thread must not block on it.
            logger_.error(L"TavrelRunner::startTavrelOnce Another thread or process is starting service right now");
            return false;
        }
        MutexOwnership ownership(startMutex.get());
        try {
            return startUnderGuard(path);
        } catch (...) {
            logger_.error(L"TavrelRunner::startTavrelOnce exception");
            return false;
        }
    } catch (...) {
        return false;  // not even the log line could be made
    }
}

bool TavrelRunner::startUnderGuard(const std::wstring& path) {
    if (tavrelRuns()) {
        logger_.debug(L"TavrelRunner::startTavrelOnce Tavrel process should be already running");
        return false;
    }
    KernelHandle started(CreateEventW(nullptr, FALSE, FALSE, kStartedEventName));
    if (!started) {
        logger_.debug(L"TavrelRunner::startTavrelOnce Tavrel process should be already running");
        return false;
    }
    logger_.debug(L"TavrelRunner::startTavrelOnce starting path " + path);
    FILETIME startedAt;
    GetSystemTimeAsFileTime(&startedAt);
    if (const KernelHandle process = createTavrelProcess(path)) {
        logger_.debug(L"TavrelRunner::startTavrelOnce Tavrel process started");
        removeStalePortFiles(startedAt);
        // A Tavrel that ends before it signals (no settings folder, say) ends the wait with it.
        const HANDLE signals[] = {started.get(), process.get()};
        if (WaitForMultipleObjects(2, signals, FALSE, kStartSignalWaitMs) == WAIT_OBJECT_0) {
            logger_.debug(L"TavrelRunner::startTavrelOnce Tavrel is live");
            waitForPortFile(startedAt);
        } else {
            logger_.debug(L"TavrelRunner::startTavrelOnce Tavrel may be DEAD. Restart process needed");
        }
    } else {
        logger_.error(L"TavrelRunner::startTavrelOnce Tavrel process start error: " + int64ToText(GetLastError()));
    }
    logger_.debug(L"TavrelRunner::startTavrelOnce exit");
    return true;
}

// This call started the only Tavrel, so a port file written before it is an earlier run's:
// reading it after the start would hand the application a dead port. The new Tavrel's own
// file is newer and stays, however soon it comes.
void TavrelRunner::removeStalePortFiles(const FILETIME& startedAt) {
    for (const std::wstring& portFile : tavrelPortFilePaths())
        if (writtenBefore(portFile, startedAt)) DeleteFileW(portFile.c_str());
}

// Tavrel signals before its listening thread has found a port, so its file comes a moment later.
void TavrelRunner::waitForPortFile(const FILETIME& startedAt) {
    const std::vector<std::wstring> paths = tavrelPortFilePaths();
    for (DWORD waited = 0; waited < kPortFileWaitMs; waited += kPortFilePollMs) {
        for (const std::wstring& portFile : paths)
            if (holdsFreshPort(portFile, startedAt)) return;
        Sleep(kPortFilePollMs);
    }
}
