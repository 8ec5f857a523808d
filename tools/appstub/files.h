#pragma once
// The stand-in's files: the rules and commands it reads, the journal it appends to, the port
// and lock files that announce a server, and the ready file that tests wait for.
#include <windows.h>

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/handles.h"
#include "tools/appstub/rules.h"

// One line on standard error, for the developer watching the console.
void report(std::wstring_view message);

std::wstring fromUtf8(std::string_view bytes);
std::string toUtf8(std::wstring_view text);

// The whole file decoded from UTF-8, or none when it cannot be read.
std::optional<std::wstring> readUtf8File(const std::wstring& path);

// The file's non-empty lines without CR; none for an empty path or an unreadable file.
std::vector<std::wstring> readNonEmptyLines(const std::wstring& path);

// Replaces the file in one step, so that a reader never sees it half written.
bool writeFileAtomically(const std::wstring& path, std::string_view bytes);

// The state rules, read again whenever the file's time stamp or size changes, so that a test
// can change states while the stand-in runs. Safe to use from several threads.
class RulesFile {
public:
    explicit RulesFile(std::wstring path) : path_(std::move(path)) {}
    std::optional<std::wstring> stateFor(std::wstring_view path);

private:
    void reloadIfChanged();

    const std::wstring path_;
    std::mutex mutex_;
    std::optional<WIN32_FILE_ATTRIBUTE_DATA> stamp_;
    std::vector<StateRule> rules_;
};

// One line per request, written through at once so that tests can read it while we run.
class Journal {
public:
    explicit Journal(const std::wstring& path);  // an empty path journals nothing
    void record(const std::wstring& name, const std::vector<std::wstring>& arguments);

private:
    std::mutex mutex_;
    FileHandle file_;
};

// A server's port file "<host><suffix>.port" and its lock file "<that>.lock". The lock file
// stays open without delete sharing, so that nobody else can delete it while the server runs;
// it goes away with its handle, even when the process is killed.
class Publication {
public:
    // prefix: bytes written before the port's digits (none, unless a test wants a broken file).
    Publication(const std::wstring& folder, const std::wstring& suffix, std::uint16_t port,
                const std::string& prefix = "");  // throws TextError
    ~Publication() { withdraw(); }
    Publication(const Publication&) = delete;
    Publication& operator=(const Publication&) = delete;

    void withdraw() noexcept;
    const std::wstring& portFile() const noexcept { return portFile_; }

private:
    std::wstring portFile_;
    std::wstring lockFile_;
    FileHandle lock_;
};
