#include "tests/win/test_support.h"

#include <shellapi.h>
#include <shlobj.h>
#include <tlhelp32.h>

#include <atomic>
#include <cstdlib>
#include <sstream>
#include <stdexcept>

#include "common/handles.h"

namespace testing_support {

namespace {

// The configuration goes into both registry views, as the installer writes it: the 32-bit
// tests' application stand-in is a 64-bit program and reads the 64-bit view.
constexpr REGSAM kViews[] = {KEY_WOW64_64KEY, KEY_WOW64_32KEY};

RegKey createKey(HKEY hive, const std::wstring& path, REGSAM view) {
    RegKey key;
    if (RegCreateKeyExW(hive, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | view, nullptr, key.put(), nullptr) !=
        ERROR_SUCCESS)
        throw std::runtime_error("cannot create a registry key");
    return key;
}

void setValue(const std::wstring& path, const std::wstring& name, DWORD type, const void* data, DWORD bytes) {
    for (const REGSAM view : kViews)
        RegSetValueExW(createKey(HKEY_LOCAL_MACHINE, path, view).get(), name.empty() ? nullptr : name.c_str(), 0, type,
                       static_cast<const BYTE*>(data), bytes);
}

void setString(const std::wstring& path, const std::wstring& name, const std::wstring& value) {
    setValue(path, name, REG_SZ, value.c_str(), static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

}  // namespace

ScopedConfig::ScopedConfig(const std::wstring& version, const std::wstring& installFolder) : version_(version) {
    removeProductKey();
    setString(L"Software\\Quorvane", L"", version);
    setString(versionKey(), L"", installFolder);
}

ScopedConfig::~ScopedConfig() { removeProductKey(); }

void ScopedConfig::set(const std::wstring& name, const std::wstring& value) { setString(versionKey(), name, value); }

void ScopedConfig::setRaw(const std::wstring& name, DWORD type, const void* data, DWORD bytes) {
    setValue(versionKey(), name, type, data, bytes);
}

void ScopedConfig::remove(const std::wstring& name) {
    for (const REGSAM view : kViews)
        RegDeleteValueW(createKey(HKEY_LOCAL_MACHINE, versionKey(), view).get(), name.empty() ? nullptr : name.c_str());
}

ScopedKey::ScopedKey(HKEY hive, const std::wstring& path, const std::wstring& value) : hive_(hive), path_(path) {
    RegSetValueExW(createKey(hive, path, KEY_WOW64_64KEY).get(), nullptr, 0, REG_SZ,
                   reinterpret_cast<const BYTE*>(value.c_str()), static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

ScopedKey::~ScopedKey() {
    const std::size_t cut = path_.rfind(L'\\');
    RegKey parent;
    if (RegOpenKeyExW(hive_, path_.substr(0, cut).c_str(), 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY, parent.put()) ==
        ERROR_SUCCESS)
        RegDeleteTreeW(parent.get(), path_.substr(cut + 1).c_str());
}

void removeProductKey() {
    for (const REGSAM view : kViews) {
        RegKey software;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software", 0, KEY_ALL_ACCESS | view, software.put()) == ERROR_SUCCESS)
            RegDeleteTreeW(software.get(), L"Quorvane");
    }
}

std::wstring settingsFolder() {
    wchar_t buffer[MAX_PATH];
    SHGetFolderPathW(nullptr, CSIDL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, buffer);
    return std::wstring(buffer) + L"\\Quorvane";
}

std::wstring logPath() { return settingsFolder() + L"\\explorer-integration.log"; }

void ensureFolder(const std::wstring& path) { SHCreateDirectoryExW(nullptr, path.c_str(), nullptr); }

std::string readLog() {
    FileHandle file(CreateFileW(logPath().c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, 0, nullptr));
    std::string bytes;
    if (!file) return bytes;
    char buffer[65536];
    DWORD got = 0;
    while (ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr) && got > 0) bytes.append(buffer, got);
    return bytes;
}

std::vector<std::string> logMessages() {
    std::vector<std::string> messages;
    std::istringstream in(readLog());
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const auto start = line.find("] ");
        messages.push_back(start == std::string::npos ? line : line.substr(start + 2));
    }
    return messages;
}

void clearLog() {
    ensureFolder(settingsFolder());
    DeleteFileW(logPath().c_str());
}

std::wstring moduleFolder() {
    wchar_t buffer[MAX_PATH];
    const DWORD n = GetModuleFileNameW(nullptr, buffer, MAX_PATH);
    std::wstring path(buffer, n);
    return path.substr(0, path.find_last_of(L'\\'));
}

std::string narrow(const std::wstring& text) {
    std::string out;
    for (wchar_t c : text) out += static_cast<char>(c);
    return out;
}

std::wstring programPath(const std::wstring& program) {
    return program.find(L'\\') == std::wstring::npos ? moduleFolder() + L"\\" + program : program;
}

std::wstring win64Program(const std::wstring& name) {
    const char* folder = std::getenv("QV_WIN64_BIN");
    if (!folder || !*folder) return {};
    std::wstring path = L"Z:";
    for (const char* c = folder; *c; ++c) path += *c == '/' ? L'\\' : static_cast<wchar_t>(*c);
    return path + L"\\" + name;
}

std::vector<DWORD> tavrelProcesses(bool onlyOurChildren) {
    std::vector<DWORD> ids;
    FileHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = snapshot && Process32FirstW(snapshot.get(), &entry); more;
         more = Process32NextW(snapshot.get(), &entry))
        if ((!onlyOurChildren || entry.th32ParentProcessID == GetCurrentProcessId()) &&
            _wcsicmp(entry.szExeFile, L"Tavrel.exe") == 0)
            ids.push_back(entry.th32ProcessID);
    return ids;
}

DWORD runBeside(const std::wstring& program, const std::wstring& arguments, DWORD timeoutMs) {
    const std::wstring path = programPath(program);
    std::wstring commandLine = L"\"" + path + L"\" " + arguments;
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(path.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &info))
        return static_cast<DWORD>(-2);
    KernelHandle process(info.hProcess);
    KernelHandle thread(info.hThread);
    if (WaitForSingleObject(process.get(), timeoutMs) != WAIT_OBJECT_0) {
        TerminateProcess(process.get(), 1);
        return static_cast<DWORD>(-3);
    }
    DWORD code = 0;
    GetExitCodeProcess(process.get(), &code);
    return code;
}

}  // namespace testing_support

namespace testing_support {

HeldLocks::HeldLocks(const std::vector<std::wstring>& paths) {
    static std::atomic<int> serial{0};
    const std::wstring suffix = std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++serial);
    const std::wstring readyName = L"lock-holder-ready-" + suffix, quitName = L"lock-holder-quit-" + suffix;
    ready_ = CreateEventW(nullptr, TRUE, FALSE, readyName.c_str());
    quit_ = CreateEventW(nullptr, TRUE, FALSE, quitName.c_str());
    const std::wstring program = moduleFolder() + L"\\lock_holder.exe";
    std::wstring commandLine = L"\"" + program + L"\" " + readyName + L" " + quitName;
    for (const std::wstring& path : paths) commandLine += L" \"" + path + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &info))
        throw std::runtime_error("cannot start lock_holder");
    CloseHandle(info.hThread);
    process_ = info.hProcess;
    const HANDLE either[] = {ready_, process_};
    if (WaitForMultipleObjects(2, either, FALSE, 10000) != WAIT_OBJECT_0)
        throw std::runtime_error("lock_holder did not get ready");
}

HeldLocks::~HeldLocks() {
    SetEvent(quit_);
    if (WaitForSingleObject(process_, 10000) != WAIT_OBJECT_0) TerminateProcess(process_, 1);
    CloseHandle(process_);
    CloseHandle(ready_);
    CloseHandle(quit_);
}

void writeFile(const std::wstring& path, const std::string& bytes) {
    FileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

bool fileExists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

void removeTree(const std::wstring& folder) {
    std::wstring from = folder;
    from.push_back(L'\0');  // SHFileOperation takes a double-terminated list
    SHFILEOPSTRUCTW op = {};
    op.wFunc = FO_DELETE;
    op.pFrom = from.c_str();
    op.fFlags = FOF_NO_UI;
    SHFileOperationW(&op);
}

std::wstring hostName() {
    wchar_t name[256];
    DWORD size = 256;
    GetComputerNameExW(ComputerNameDnsHostname, name, &size);
    return name;
}

}  // namespace testing_support

namespace testing_support {

Captured runCaptured(const std::wstring& program, const std::wstring& arguments, DWORD timeoutMs) {
    return runTogether({{program, arguments}}, timeoutMs).front();
}

std::vector<Captured> runTogether(const std::vector<Invocation>& commands, DWORD timeoutMs) {
    std::vector<Captured> results(commands.size());
    std::vector<FileHandle> outputs;
    std::vector<KernelHandle> processes;
    wchar_t folder[MAX_PATH], name[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    for (const Invocation& command : commands) {
        GetTempFileNameW(folder, L"out", 0, name);
        SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
        outputs.emplace_back(CreateFileW(name, GENERIC_READ | GENERIC_WRITE,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inheritable,
                                         CREATE_ALWAYS, FILE_FLAG_DELETE_ON_CLOSE, nullptr));
        const std::wstring path = programPath(command.program);
        std::wstring commandLine = L"\"" + path + L"\" " + command.arguments;
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdOutput = outputs.back().get();
        startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
        startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
        PROCESS_INFORMATION info = {};
        const BOOL started = outputs.back() && CreateProcessW(path.c_str(), commandLine.data(), nullptr, nullptr,
                                                              TRUE, 0, nullptr, nullptr, &startup, &info);
        processes.emplace_back(started ? info.hProcess : nullptr);
        KernelHandle thread(started ? info.hThread : nullptr);
    }
    const DWORD end = GetTickCount() + timeoutMs;
    for (std::size_t i = 0; i < commands.size(); ++i) {
        if (!processes[i]) continue;
        const DWORD left = end - GetTickCount();
        if (WaitForSingleObject(processes[i].get(), left > timeoutMs ? 0 : left) != WAIT_OBJECT_0)
            TerminateProcess(processes[i].get(), 1);
        WaitForSingleObject(processes[i].get(), 5000);
        GetExitCodeProcess(processes[i].get(), &results[i].exitCode);
        char buffer[4096];
        DWORD got = 0;
        SetFilePointer(outputs[i].get(), 0, nullptr, FILE_BEGIN);
        while (ReadFile(outputs[i].get(), buffer, sizeof buffer, &got, nullptr) && got > 0)
            results[i].output.append(buffer, got);
    }
    return results;
}

}  // namespace testing_support
