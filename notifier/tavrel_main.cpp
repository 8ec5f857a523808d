// Tavrel: one per logged-on user, without a window. It tells the extension that started it that
// it is up, makes sure it is the only one, and then serves the application's changed paths on
// its listening thread until the process is ended from outside.
#include <windows.h>

#include <string_view>
#include <thread>

#include "common/log.h"
#include "common/settings.h"
#include "notifier/notifier.h"

namespace {

// The instance id tells this process's lines in the shared trace log apart from Explorer's.
[[maybe_unused]] const bool g_instanceIdCreated = (createInstanceId(), true);

constexpr wchar_t kStartedEventName[] = L"Tavrel::Started";
constexpr wchar_t kInstanceMutexName[] = L"Tavrel::Notifier";
constexpr int kExitNoSettingsFolder = -1;
constexpr int kExitAnotherInstance = 0;

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

void runMessageLoop() {
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
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
    runMessageLoop();
    // The listening thread never ends, so Tavrel serves until it is ended from outside.
    listening.join();
    return 0;
}
