// In a program of its own: the guard starts Windows Sockets once per module.
#include <gtest/gtest.h>

#include <thread>

#include "tests/win/test_support.h"
#include "wire/line_socket.h"

using namespace testing_support;

TEST(WinsockGuard, ManyThreadsStartWindowsSocketsExactlyOnce) {
    clearLog();
    ASSERT_EQ(winsockGuard().acquisitions(), 0);
    std::vector<std::thread> threads;
    std::atomic<int> usable{0};
    for (int i = 0; i < 16; ++i)
        threads.emplace_back([&] {
            LineSocket socket;
            // Start-up has completed before any construction returns: host names work at once.
            if (!LineSocket::localHostName().empty()) ++usable;
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(usable.load(), 16);
    EXPECT_EQ(winsockGuard().acquisitions(), 16);
    EXPECT_EQ(logMessages(), std::vector<std::string>{"Initializing WSA succeeded"});
}
