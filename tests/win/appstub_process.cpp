#include "tests/win/appstub_process.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <stdexcept>

#include "tests/win/test_support.h"
#include "wire/line_socket.h"

namespace testing_support {

void writeBytes(const std::wstring& path, const std::string& bytes) {
    std::ofstream(std::filesystem::path(path), std::ios::binary | std::ios::trunc) << bytes;
}

std::vector<std::string> readLines(const std::wstring& path) {
    std::ifstream in{std::filesystem::path(path)};
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

bool appearsInFile(const std::wstring& path, const std::string& line, std::size_t from) {
    for (int i = 0; i < 100; ++i) {
        const std::vector<std::string> lines = readLines(path);
        if (std::find(lines.begin() + std::min(from, lines.size()), lines.end(), line) != lines.end()) return true;
        Sleep(20);
    }
    return false;
}

bool isPresent(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::vector<std::wstring> readReply(LineSocket& connection) {
    std::vector<std::wstring> lines;
    for (std::wstring line = connection.readLine(); !line.empty(); line = connection.readLine())
        lines.push_back(line);
    return lines;
}

std::vector<std::wstring> exchange(LineSocket& connection, const std::wstring& name,
                                   const std::vector<std::wstring>& arguments) {
    connection.writeLine(name);
    for (const std::wstring& argument : arguments) connection.writeLine(argument);
    connection.writeLine(L"");
    return readReply(connection);
}

std::unique_ptr<LineSocket> connectLocal(std::uint16_t port, std::int32_t waitMs) {
    auto connection = std::make_unique<LineSocket>();
    connection->connectTo("127.0.0.1", port, waitMs, 3000);
    return connection;
}

RunningStub::RunningStub(const std::wstring& folder, const std::wstring& arguments)
    : readyFile_(folder + L"\\ready.txt") {
    const std::wstring win64 = win64Program(L"appstub.exe");
    const std::wstring program = win64.empty() ? programPath(L"appstub.exe") : win64;
    // A crashed test must not leave a stub behind for ever.
    std::wstring commandLine = L"\"" + program + L"\" --lifetime-ms 120000 --ready-file \"" + readyFile_ +
                               L"\" --journal \"" + folder + L"\\journal.txt\" " + arguments;
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &info))
        throw std::runtime_error("cannot start appstub.exe");
    process_.reset(info.hProcess);
    KernelHandle thread(info.hThread);
}

RunningStub::~RunningStub() {
    if (WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT) kill();
}

bool RunningStub::waitUntilReady() {
    const std::regex shape(R"(appstub ready command=(\d+) state=(\d+)\n)");
    for (int i = 0; i < 500 && WaitForSingleObject(process_.get(), 20) == WAIT_TIMEOUT; ++i) {
        std::ifstream in{std::filesystem::path(readyFile_)};
        const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::smatch match;
        if (!std::regex_match(text, match, shape)) continue;
        commandPort = static_cast<std::uint16_t>(std::stoi(match[1]));
        statePort = static_cast<std::uint16_t>(std::stoi(match[2]));
        return true;
    }
    return false;
}

DWORD RunningStub::exitCode(DWORD waitMs) {
    WaitForSingleObject(process_.get(), waitMs);
    DWORD code = 0;
    GetExitCodeProcess(process_.get(), &code);
    return code;
}

DWORD RunningStub::quit() {
    if (!exchange(*connectLocal(commandPort), L"appstub-quit").empty()) return static_cast<DWORD>(-1);
    return exitCode(15000);
}

void RunningStub::kill() {
    TerminateProcess(process_.get(), 99);
    WaitForSingleObject(process_.get(), 5000);
}

}  // namespace testing_support
