// Tavrel: one per logged-on user, with no visible window. It tells the extension that started it
// that it is up, makes sure it is the only one, and then serves the application's changed paths
// on its listening thread until it is asked to end: by the end of the session, by the Restart
// Manager that an installer uses to free files in use, or by "Tavrel.exe /end".
#include <windows.h>

#include <string_view>
#include <thread>

#include "common/handles.h"
#include "common/log.h"
#include "common/settings.h"
#include "notifier/notifier.h"

namespace {

// The instance id tells this process's lines in the shared trace log apart from Explorer's.
[[maybe_unused]] const bool g_instanceIdCreated = (createInstanceId(), true);

constexpr wchar_t kStartedEventName[] = L"Tavrel::Started";
constexpr wchar_t kInstanceMutexName[] = L"Tavrel::Notifier";
// The class of Tavrel's hidden window, which is how the end requests find it.
constexpr wchar_t kWindowClassName[] = L"Tavrel::Notifier";
constexpr wchar_t kEndSwitch[] = L"/end";
constexpr int kExitNoSettingsFolder = -1;
constexpr int kExitAnotherInstance = 0;
constexpr int kExitEnded = 0;
constexpr int kExitStillRunning = 1;
// How long "/end" waits for the running Tavrel's window and for its end: it has nothing to save,
// so this is generous.
constexpr DWORD kEndWaitMs = 10000;

bool isExistingFolder(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

void writeToStandardOutput(std::string_view text) {
    const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD written = 0;
    if (output && output != INVALID_HANDLE_VALUE)
        WriteFile(output, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

// Set before the single-instance test, so that a starter that launched a second instance
// still learns that its start went through.
void signalStarter(Logger& logger) {
    KernelHandle started(OpenEventW(EVENT_MODIFY_STATE, FALSE, kStartedEventName));
    if (!started) {
        logger.error(L"Tavrel::_tWinMain Could not open named event to signal start event");
        return;
    }
    SetEvent(started.get());
    logger.debug(L"Tavrel::_tWinMain Signaled start successfully");
}

// A mutex abandoned by a Tavrel that was ended from outside is ours all the same.
bool acquiredInstanceMutex(const KernelHandle& mutex) {
    if (!mutex) return false;
    const DWORD result = WaitForSingleObject(mutex.get(), 0);
    return result == WAIT_OBJECT_0 || result == WAIT_ABANDONED;
}

// Nothing to save and nothing to ask: every end request is granted, and Tavrel then leaves.
LRESULT CALLBACK windowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_QUERYENDSESSION:
        return TRUE;
    case WM_ENDSESSION:
        // Also what the Restart Manager sends (ENDSESSION_CLOSEAPP) to free Tavrel.exe.
        if (wParam) DestroyWindow(window);
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcW(window, message, wParam, lParam);  // WM_CLOSE destroys the window
    }
}

// A hidden top-level window: the end-of-session messages and the Restart Manager reach only
// top-level windows, not message-only ones. Without it Tavrel still serves, but can only be killed.
bool createEndWindow(HINSTANCE instance) {
    WNDCLASSEXW windowClass = {};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = windowProcedure;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = kWindowClassName;
    return RegisterClassExW(&windowClass) &&
           CreateWindowExW(0, kWindowClassName, L"Tavrel", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, instance, nullptr);
}

bool tavrelRuns() { return KernelHandle(OpenMutexW(SYNCHRONIZE, FALSE, kInstanceMutexName)).get() != nullptr; }

// A Tavrel that has only just started may not have its window yet: while its mutex exists,
// look again until the time is up.
HWND findTavrelWindow(DWORD waitMs) {
    constexpr DWORD kPollMs = 50;
    for (DWORD waited = 0;; waited += kPollMs) {
        if (const HWND window = FindWindowW(kWindowClassName, nullptr)) return window;
        if (waited >= waitMs || !tavrelRuns()) return nullptr;
        Sleep(kPollMs);
    }
}

// "Tavrel.exe /end": asks the user's running Tavrel to close its window and waits until its
// process has ended, so that its file can be replaced or deleted at once. Installers run this.
int endRunningTavrel() {
    const DWORD startedAt = GetTickCount();
    const HWND window = findTavrelWindow(kEndWaitMs);
    if (!window) return tavrelRuns() ? kExitStillRunning : kExitEnded;
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    const KernelHandle process(OpenProcess(SYNCHRONIZE, FALSE, processId));
    PostMessageW(window, WM_CLOSE, 0, 0);
    if (!process) return kExitStillRunning;
    const DWORD spent = GetTickCount() - startedAt;
    const DWORD left = spent < kEndWaitMs ? kEndWaitMs - spent : 0;
    return WaitForSingleObject(process.get(), left) == WAIT_OBJECT_0 ? kExitEnded : kExitStillRunning;
}

void runMessageLoop() {
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR arguments, int) {
    if (arguments && std::wstring_view(arguments) == kEndSwitch) return endRunningTavrel();
    if (!isExistingFolder(getSettingsFolder())) {
        writeToStandardOutput("Shell integration home does not exist.\n");
        return kExitNoSettingsFolder;
    }
    Logger logger(readConfigSwitch(L"notify-logging"));
    signalStarter(logger);

    // Held, not released, until the process ends: that is what keeps a second Tavrel out.
    KernelHandle instanceMutex(CreateMutexW(nullptr, FALSE, kInstanceMutexName));
    if (!acquiredInstanceMutex(instanceMutex)) {
        logger.error(L"Tavrel::_tWinMain Another instance of application is already running. Exiting...");
        instanceMutex.reset();
        logger.debug(L"Tavrel::_tWinMain leave");
        return kExitAnotherInstance;
    }
    logger.debug(L"Tavrel::_tWinMain Entered under mutex");

    std::thread listening([&logger] {
        Notifier notifier(logger, &notifyShell);
        notifier.run();
    });
    // After the listener has started: the first window of a session can take a while, and the
    // starter waits for the port file. The logger serialises its writes, so both threads may log.
    if (!createEndWindow(instance))
        logger.error(L"Tavrel::_tWinMain Could not create the window that end requests reach: error " +
                     int64ToText(GetLastError()));
    runMessageLoop();
    logger.debug(L"Tavrel::_tWinMain leave");
    // The listening thread never returns and holds nothing that needs tidying: ending the
    // process here stops it where it waits, closes its socket and releases the mutex. Returning
    // instead would destroy the logger under it.
    listening.detach();
    ExitProcess(0);
}
