#pragma once
// Starts the notifier program at most once at a time across the user's threads and processes.
#include <string>

class Logger;

class TavrelRunner {
public:
    explicit TavrelRunner(Logger& logger) noexcept : logger_(logger) {}

    // True when this call asked Windows to create the notifier process, whatever came of it.
    bool startTavrelOnce(const std::wstring& path);

private:
    Logger& logger_;
};
