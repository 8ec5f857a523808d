// The library's own thread-local storage, linked into this program as into compreh.dll.
#include <gtest/gtest.h>
#include <winsock2.h>
#include <windows.h>

#include <string>

namespace {

// Plain data only, as in the library: a destructor would bring the thread runtime back.
thread_local int t_counter = 1;

// A last error read after a throw, a catch or a thread-local's use must be the caller's own.
TEST(ThreadLocals, KeepTheCallersLastError) {
    SetLastError(ERROR_ACCESS_DENIED);
    const int first = t_counter;  // the first use makes this thread's block
    const DWORD afterFirstUse = GetLastError();
    WSASetLastError(WSAECONNRESET);
    t_counter = 2;
    const int afterWrite = WSAGetLastError();
    SetLastError(ERROR_FILE_NOT_FOUND);
    DWORD inCatch = 0;
    try {
        throw std::string("thrown");
    } catch (const std::string&) {
        inCatch = GetLastError();
    }
    EXPECT_EQ(first, 1);
    EXPECT_EQ(afterFirstUse, static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(afterWrite, WSAECONNRESET);
    EXPECT_EQ(inCatch, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

}  // namespace
