#pragma once
// Helpers for tests that run under Wine against the real registry and files of the prefix.
// Each test creates what it needs and removes it again, so tests pass twice in a row.
#include <windows.h>

#include <map>
#include <string>
#include <vector>

namespace testing_support {

// The application's configuration as the installer would write it, in both registry views:
// HKLM\Software\Quorvane (default = version) and the version key with its values.
class ScopedConfig {
public:
    explicit ScopedConfig(const std::wstring& version = L"9.9.9-test",
                          const std::wstring& installFolder = L"C:\\QuorvaneTest");
    ~ScopedConfig();
    ScopedConfig(const ScopedConfig&) = delete;
    ScopedConfig& operator=(const ScopedConfig&) = delete;

    void set(const std::wstring& name, const std::wstring& value);
    void setRaw(const std::wstring& name, DWORD type, const void* data, DWORD bytes);
    void remove(const std::wstring& name);
    std::wstring versionKey() const { return L"Software\\Quorvane\\" + version_; }

private:
    std::wstring version_;
};

// A registry key with a default value in the 64-bit view (the one Explorer reads), removed with
// everything beneath it when the object goes.
class ScopedKey {
public:
    ScopedKey(HKEY hive, const std::wstring& path, const std::wstring& value);
    ~ScopedKey();
    ScopedKey(const ScopedKey&) = delete;
    ScopedKey& operator=(const ScopedKey&) = delete;

private:
    HKEY hive_;
    std::wstring path_;
};

// Removes HKLM\Software\Quorvane whole from both views (also when a test left it behind).
void removeProductKey();

std::wstring settingsFolder();       // C:\users\<user>\AppData\Roaming\Quorvane
std::wstring logPath();              // the trace log in the settings folder
void ensureFolder(const std::wstring& path);

// Reads the trace log whole (bytes); "" when it does not exist.
std::string readLog();
// Lines of the log, without their CR LF, only the message part after "] ".
std::vector<std::string> logMessages();
void clearLog();

std::wstring moduleFolder();  // the folder of the running test program
// A program's path: a bare name is the program beside the test program; a path stays as it is.
std::wstring programPath(const std::wstring& program);
// A program of the 64-bit tree, whose bin folder the 32-bit tree's tests get in QV_WIN64_BIN;
// "" elsewhere.
std::wstring win64Program(const std::wstring& name);
std::string narrow(const std::wstring& text);  // for messages of units below 0x100

// The running Tavrel processes' ids; only those this process started (as the extension's
// code does, keeping no handle) when onlyOurChildren is set.
std::vector<DWORD> tavrelProcesses(bool onlyOurChildren);

// Runs a program beside the test program and waits for it; gives its exit code.
DWORD runBeside(const std::wstring& program, const std::wstring& arguments, DWORD timeoutMs = 30000);

}  // namespace testing_support

namespace testing_support {

// Lock files held by another process for the life of the object, as a running server holds them.
class HeldLocks {
public:
    explicit HeldLocks(const std::vector<std::wstring>& paths);
    ~HeldLocks();
    HeldLocks(const HeldLocks&) = delete;
    HeldLocks& operator=(const HeldLocks&) = delete;

private:
    HANDLE ready_, quit_, process_ = nullptr;
};

void writeFile(const std::wstring& path, const std::string& bytes);
bool fileExists(const std::wstring& path);
// Deletes a folder and everything in it.
void removeTree(const std::wstring& folder);
std::wstring hostName();

}  // namespace testing_support

namespace testing_support {

// Runs a program (see programPath), waits for it (bounded) and gives its exit code and
// everything it wrote to standard output.
struct Captured {
    DWORD exitCode = static_cast<DWORD>(-1);
    std::string output;
};
Captured runCaptured(const std::wstring& program, const std::wstring& arguments, DWORD timeoutMs = 60000);

// Starts programs at once and waits for all of them. Standard output goes to a file per program,
// read once all have ended, so no thread of the test reads it and a program that the child
// starts (and that inherits its output) cannot keep the test waiting.
struct Invocation {
    std::wstring program, arguments;
};
std::vector<Captured> runTogether(const std::vector<Invocation>& commands, DWORD timeoutMs = 60000);

}  // namespace testing_support
