#pragma once
// What the doctor's checks share: the report they write to, the registry views they look at,
// and reading the registry and files without changing either.
#include <windows.h>

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "common/log.h"

class Report {
public:
    explicit Report(std::wostream& out) : out_(out) {}
    void ok(const std::wstring& text) { add(0, L"OK   ", text); }
    void warn(const std::wstring& text) { add(1, L"WARN ", text); }
    void fail(const std::wstring& text) { add(2, L"FAIL ", text); }
    // Prints the verdict line; gives the exit code.
    int verdict();

private:
    void add(int kind, const wchar_t* label, const std::wstring& text);
    std::wostream& out_;
    int counts_[3] = {};
};

// The discovery code's messages, kept for the report instead of going to the trace log: the
// checks write nothing there.
class KeptMessages : public Logger {
public:
    KeptMessages() : Logger(false) {}
    void write(std::wstring_view message) override { last = message; }
    std::wstring last;
};

// The local host name, which port files are named after; empty when it cannot be had.
std::wstring hostName();

// One registry view: 64-bit programs (Explorer on 64-bit Windows) read one, 32-bit programs the
// other, and each needs the installation in its own.
struct View {
    REGSAM flag;
    std::wstring name;  // "64-bit" or "32-bit"
    WORD machine;       // what a DLL registered there must be built for
    bool essential;     // the view Explorer itself reads
};
std::vector<View> viewsToCheck();

struct RegistryValue {
    bool keyFound = false;
    bool found = false;
    DWORD type = REG_NONE;
    std::wstring text;  // environment references expanded in REG_EXPAND_SZ data
};
RegistryValue readValue(HKEY hive, const std::wstring& key, const wchar_t* name, const View& view);
// The subkeys of a key with their default values, in the registry's own order.
std::vector<std::pair<std::wstring, std::wstring>> subkeys(HKEY hive, const std::wstring& key, const View& view);
std::vector<std::wstring> valueNames(HKEY hive, const std::wstring& key, const View& view);

bool fileExists(const std::wstring& path);
bool folderExists(const std::wstring& path);
// The machine type in a PE file's header, or none when the file is not a PE image.
std::optional<WORD> machineOf(const std::wstring& path);
std::wstring machineName(WORD machine);
// Empty when the file is an icon Windows can load, otherwise what is wrong with it.
std::wstring iconProblem(const std::wstring& path);
bool sameText(const std::wstring& a, const std::wstring& b);  // regardless of letter case
std::wstring quoted(const std::wstring& text);                // in single quotes, blanks visible

// False when neither configuration nor classes are in the view.
bool anythingInstalled(const View& view);
void checkConfiguration(const View& view, Report& report);
void checkClasses(const View& view, Report& report);
void checkOverlayOrder(const View& view, Report& report);
void checkMenuHandlers(const View& view, Report& report);
// The servers where the extension looks for them, reported finding by finding; the ports that
// answer (0 for none). Without a state server of its own the command server's port serves states.
struct ServerPorts {
    std::int32_t command = 0;
    std::int32_t state = 0;
};
ServerPorts checkServers(const View& view, Report& report);
void checkTavrel(Report& report);
void checkTraceLog(Report& report);
