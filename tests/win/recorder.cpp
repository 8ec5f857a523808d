// Stands in for the application program: writes down how it was started, so that a test can
// check what the start gave it. The record goes to the file named by the environment variable
// QV_RECORDER_OUTPUT (inherited from the starting process), one "key=value" line each, UTF-16:
// the command line, the arguments as CommandLineToArgvW and as the C runtime split them, the
// current folder and the console it was given.
// It is written beside its final name and then renamed, so a reader never sees half of it.
#include <windows.h>

#include <shellapi.h>

#include <string>

namespace {

std::wstring environmentValue(const wchar_t* name) {
    wchar_t buffer[32768];
    const DWORD n = GetEnvironmentVariableW(name, buffer, 32768);
    return n > 0 && n < 32768 ? std::wstring(buffer, n) : std::wstring();
}

std::wstring currentFolder() {
    wchar_t buffer[32768];
    const DWORD n = GetCurrentDirectoryW(32768, buffer);
    return std::wstring(buffer, n < 32768 ? n : 0);
}

// How many processes share this one's console: 1 when it was given a console of its own (a
// console program started with CREATE_NO_WINDOW gets one without a window), more when it shares
// its starter's, 0 for none or a console that cannot tell (Wine's console of a Unix terminal).
// GetConsoleWindow cannot tell the cases apart under Wine: it gives none in all of them.
DWORD consoleProcesses() {
    DWORD processes[16];
    return GetConsoleProcessList(processes, 16);
}

std::wstring record(int argc, wchar_t** argv) {
    std::wstring text = L"commandline=" + std::wstring(GetCommandLineW()) + L"\n";
    int count = 0;
    wchar_t** arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    text += L"argc=" + std::to_wstring(count) + L"\n";
    for (int i = 1; arguments && i < count; ++i) text += L"arg=" + std::wstring(arguments[i]) + L"\n";
    LocalFree(arguments);
    text += L"folder=" + currentFolder() + L"\n";
    for (int i = 1; i < argc; ++i) text += L"crtarg=" + std::wstring(argv[i]) + L"\n";
    text += L"consoleprocesses=" + std::to_wstring(consoleProcesses()) + L"\n";
    return text;
}

bool writeWhole(const std::wstring& path, const std::wstring& text) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    const DWORD bytes = static_cast<DWORD>(text.size() * sizeof(wchar_t));
    const bool ok = WriteFile(file, text.data(), bytes, &written, nullptr) && written == bytes;
    CloseHandle(file);
    return ok;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const std::wstring output = environmentValue(L"QV_RECORDER_OUTPUT");
    if (output.empty()) return 2;
    const std::wstring partial = output + L".partial";
    if (!writeWhole(partial, record(argc, argv))) return 1;
    return MoveFileExW(partial.c_str(), output.c_str(), MOVEFILE_REPLACE_EXISTING) ? 0 : 1;
}
