// The library's own thread-local storage, linked into this program as into compreh.dll.
#include <gtest/gtest.h>
#include <winsock2.h>
#include <windows.h>

#include <exception>

namespace {

// Plain data only, as in the library: a destructor would bring the thread runtime back.
thread_local int t_counter = 1;

// A last error read after a thread-local's use, the runtime's exception state among them (every
// throw and catch reads it), must be the caller's own. The state is read here directly: a throw
// in this program would also take the 32-bit unwinder's lock from the thread library that
// GoogleTest needs, which clears the last error; compreh.dll has its own locks instead.
TEST(ThreadLocals, KeepTheCallersLastError) {
    SetLastError(ERROR_ACCESS_DENIED);
    const int first = t_counter;  // the first use makes this thread's block
    const DWORD afterFirstUse = GetLastError();
    WSASetLastError(WSAECONNRESET);
    t_counter = 2;
    const int afterWrite = WSAGetLastError();
    SetLastError(ERROR_FILE_NOT_FOUND);
    const int uncaught = std::uncaught_exceptions();  // the exception state is a thread-local
    const DWORD afterExceptionState = GetLastError();
    EXPECT_EQ(first, 1);
    EXPECT_EQ(afterFirstUse, static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(afterWrite, WSAECONNRESET);
    EXPECT_EQ(uncaught, 0);
    EXPECT_EQ(afterExceptionState, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

}  // namespace
