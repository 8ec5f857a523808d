#pragma once
// The shared trace log "explorer-integration.log" in the settings folder. Every line carries
// the writing module's instance id, so that the lines of one process can be picked out.
#include <windows.h>

#include <cstdint>
#include <string>
#include <string_view>

// Appends one line whatever the logging switches say; an unwritable file drops it silently.
void appendLogLine(std::wstring_view message);

// The line as it goes into the file: "MM/DD/YY HH:MM:SS [id] message" and CR LF. Units below
// U+0020 or above U+00FF are written as \u and four lower-case hex digits; the others are one
// byte each.
std::string formatLogLine(const SYSTEMTIME& localTime, const GUID& id, std::wstring_view message);

std::wstring formatGuid(const GUID& guid);
std::wstring int64ToText(std::int64_t value);

// The module's instance id: all zeros until createInstanceId runs at static initialisation.
const GUID& instanceId() noexcept;
void createInstanceId() noexcept;

class Logger {
public:
    explicit Logger(bool enabled) noexcept : enabled_(enabled) {}
    virtual ~Logger() = default;
    Logger(const Logger&) = delete;
    Logger& operator=(const Logger&) = delete;

    // Writes whatever the switch says; tests override it to see what reaches the file.
    virtual void write(std::wstring_view message);

    void debug(std::wstring_view message) {
        if (enabled_) write(message);
    }
    void error(std::wstring_view message) { write(message); }
    // Lets hot paths skip building a trace text that would be discarded.
    bool debugEnabled() const noexcept { return enabled_; }

private:
    const bool enabled_;
};
