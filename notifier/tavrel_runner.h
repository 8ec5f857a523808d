#pragma once
// Starts the notifier program at most once at a time across the user's threads and processes.
#include <windows.h>

#include <string>
#include <vector>

class Logger;

class TavrelRunner {
public:
    // The wait for a started Tavrel to signal, and then for its new port file.
    static constexpr unsigned long kStartSignalWaitMs = 5000;
    static constexpr unsigned long kPortFileWaitMs = 1000;

    explicit TavrelRunner(Logger& logger) noexcept : logger_(logger) {}

    // True when this call asked Windows to create the notifier process, whatever came of it;
    // false when it did not try. Never throws.
    bool startTavrelOnce(const std::wstring& path) noexcept;

private:
    bool startUnderGuard(const std::wstring& path);
    void removeStalePortFiles(const FILETIME& startedAt);
    void waitForPortFile(const FILETIME& startedAt);

    Logger& logger_;
};

// Where Tavrel may have published its port: the settings folder, then the profile settings
// folder (absent when the profile folder is unknown).
std::vector<std::wstring> tavrelPortFilePaths();
