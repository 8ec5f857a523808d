#pragma once
// The stand-in application as a child process of a test, and plain helpers to talk to it.
// A stub is killed by its handle when the object goes, so a failing test leaves none behind.
#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/handles.h"

class LineSocket;

namespace testing_support {

void writeBytes(const std::wstring& path, const std::string& bytes);
std::vector<std::string> readLines(const std::wstring& path);
// Whether the file gains the line after its first `from` lines within about 2 s. A command is
// one-way: the application journals it on its own thread, perhaps after the sender has ended.
bool appearsInFile(const std::wstring& path, const std::string& line, std::size_t from = 0);
bool isPresent(const std::wstring& path);

// Lines up to the empty one (or the end of the stream), wait markers included.
std::vector<std::wstring> readReply(LineSocket& connection);
std::vector<std::wstring> exchange(LineSocket& connection, const std::wstring& name,
                                   const std::vector<std::wstring>& arguments = {});
std::unique_ptr<LineSocket> connectLocal(std::uint16_t port, std::int32_t waitMs = 3000);

// One appstub process, its journal in folder\journal.txt and its ready file beside it. The
// application is a program of its own, so the 32-bit tree's tests run the 64-bit appstub, as
// on 64-bit Windows (it serves each connection on a thread, which qemu cannot run in 32-bit).
class RunningStub {
public:
    RunningStub(const std::wstring& folder, const std::wstring& arguments);
    ~RunningStub();
    RunningStub(const RunningStub&) = delete;
    RunningStub& operator=(const RunningStub&) = delete;

    // The ready line's ports, once the ready file is there; false when the stub ended first.
    bool waitUntilReady();
    // The exit code, or STILL_ACTIVE when it is still running after the wait.
    DWORD exitCode(DWORD waitMs);
    DWORD quit();
    void kill();

    std::uint16_t commandPort = 0;
    std::uint16_t statePort = 0;

private:
    std::wstring readyFile_;
    KernelHandle process_;
};

}  // namespace testing_support
