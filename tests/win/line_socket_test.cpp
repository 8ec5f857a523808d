#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

#include "common/text_error.h"
#include "tests/win/fake_server.h"
#include "tests/win/test_support.h"
#include "wire/line_socket.h"

using namespace testing_support;
using namespace std::chrono_literals;

namespace {

std::wstring failureOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const TextError& e) {
        return e.text();
    }
    return L"(no failure)";
}

// Connects a LineSocket to a fake server that sends the given chunks, pausing between them.
class Reading : public ::testing::Test {
protected:
    void serve(std::vector<std::string> chunks) {
        server_ = std::make_unique<FakeServer>([chunks](SOCKET s) {
            for (const std::string& chunk : chunks) {
                sendAll(s, chunk);
                std::this_thread::sleep_for(20ms);
            }
        });
        socket_.connectTo("127.0.0.1", server_->port(), 2000, 2000);
    }
    std::unique_ptr<FakeServer> server_;
    LineSocket socket_;
};

TEST_F(Reading, StreamEndGivesTheCollectedBytesThenEmptyLines) {
    serve({"abc"});
    EXPECT_EQ(socket_.readLine(), L"abc");
    EXPECT_EQ(socket_.readLine(), L"");
    EXPECT_EQ(socket_.readLine(), L"");
}

// A peer that sends "line\r" and waits must get its line at once; the LF that may follow,
// in a later receive, belongs to the same line end.
TEST_F(Reading, CarriageReturnEndsALineAtOnceAndTheLineFeedAfterItIsPartOfThatEnd) {
    HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    server_ = std::make_unique<FakeServer>([release](SOCKET s) {
        sendAll(s, "one\r\ntwo\rthree\r");
        WaitForSingleObject(release, 5000);
        sendAll(s, "\nfour\n");
    });
    socket_.connectTo("127.0.0.1", server_->port(), 2000, 2000);
    EXPECT_EQ(socket_.readLine(), L"one");
    EXPECT_EQ(socket_.readLine(), L"two");
    EXPECT_EQ(socket_.readLine(), L"three");
    SetEvent(release);
    EXPECT_EQ(socket_.readLine(), L"four");
    EXPECT_EQ(socket_.readLine(), L"");
    CloseHandle(release);
}

TEST_F(Reading, BytesAfterATerminatorWaitForTheNextReadAndLinesMaySpanReceives) {
    serve({"first\nsec", "ond\n\nC:\\\\x\\u0009S\n", "tail"});
    EXPECT_EQ(socket_.readLine(), L"first");
    EXPECT_EQ(socket_.readLine(), L"second");
    EXPECT_EQ(socket_.readLine(), L"");
    EXPECT_EQ(socket_.readLine(), L"C:\\x\tS");
    EXPECT_EQ(socket_.readLine(), L"tail");
    EXPECT_EQ(socket_.readLine(), L"");
}

TEST_F(Reading, LongLinesArriveWhole) {
    const std::string big(100000, 'x');
    serve({big + "\nnext\n"});
    EXPECT_EQ(socket_.readLine().size(), big.size());
    EXPECT_EQ(socket_.readLine(), L"next");
}

TEST_F(Reading, AnEndlessLineFailsInsteadOfGrowingForEver) {
    serve({std::string(LineSocket::kMaxLineBytes + 10000, 'x') + "\n"});
    EXPECT_EQ(failureOf([&] { socket_.readLine(); }), L"line longer than 1048576 bytes received");
}

TEST_F(Reading, AnUndecodableLineFailsAndTheNextLineStillReads) {
    serve({"bad\\x\ngood\n"});
    EXPECT_EQ(failureOf([&] { socket_.readLine(); }), L"Bad string encoding, 'u' expected.");
    EXPECT_EQ(socket_.readLine(), L"good");
}

TEST(Writing, EachLineIsItsEncodingAndOneLineFeed) {
    std::promise<std::string> received;
    FakeServer server([&](SOCKET s) {
        std::string bytes;
        char buffer[256];
        for (int n; (n = recv(s, buffer, sizeof buffer, 0)) > 0;) bytes.append(buffer, n);
        received.set_value(bytes);
    });
    {
        LineSocket socket;
        socket.connectTo("127.0.0.1", server.port(), 1000, 1000);
        socket.writeLine(L"C:\\a b");
        socket.writeLine(L"");
        socket.writeLine(L"\x00e4\n");
        socket.close();
    }
    auto bytes = received.get_future();
    ASSERT_EQ(bytes.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(bytes.get(), "C:\\\\a b\n\n\\u00e4\\u000a\n");
}

TEST(Connecting, NothingListeningTimesOutAfterTheReceiveTimeOut) {
    const std::uint16_t port = unusedPort();
    LineSocket socket;
    const auto start = std::chrono::steady_clock::now();
    const std::wstring failure = failureOf([&] { socket.connectTo("127.0.0.1", port, 300, 300); });
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(failure, L"connect/select timed out");
    EXPECT_GE(elapsed, 250ms);
    EXPECT_LT(elapsed, 5s);
}

TEST(Connecting, ASilentPeerRunsIntoTheReceiveTimeOut) {
    HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    FakeServer server([&](SOCKET) { WaitForSingleObject(release, 5000); });
    LineSocket socket;
    socket.connectTo("127.0.0.1", server.port(), 200, 200);
    EXPECT_EQ(failureOf([&] { socket.readLine(); }), L"recv failed (error 10060): Unknown error");
    SetEvent(release);
    CloseHandle(release);
}

TEST(Connecting, CloseIsIdempotentAndAClosedSocketFailsToRead) {
    LineSocket never;
    never.close();
    never.close();
    EXPECT_FALSE(never.isOpen());
    EXPECT_EQ(failureOf([&] { never.readLine(); }).rfind(L"recv failed (error 10038)", 0), 0u);
}

TEST(Listening, AcceptsOnLoopbackAndRefusesATakenPort) {
    const std::uint16_t port = unusedPort();
    LineSocket listener;
    listener.listenLocal(port, 1);
    LineSocket second;
    EXPECT_EQ(failureOf([&] { second.listenLocal(port, 1); }), L"INVALID_SOCKET");
    EXPECT_FALSE(second.isOpen());

    std::thread client([port] {
        LineSocket c;
        c.connectTo("127.0.0.1", port, 1000, 1000);
        c.writeLine(L"C:\\\x00fc");
    });
    std::unique_ptr<LineSocket> accepted = listener.acceptConnection();
    ASSERT_TRUE(accepted);
    EXPECT_EQ(accepted->readLine(), L"C:\\\x00fc");
    client.join();
    EXPECT_EQ(accepted->readLine(), L"");
}

// A peer that vanished between select and accept must not leave Tavrel waiting in accept.
TEST(Listening, ANonBlockingListenerNeverWaitsInAcceptButWhatItTakesBlocks) {
    const std::uint16_t port = unusedPort();
    LineSocket listener;
    listener.listenLocal(port, 1, LineSocket::Accepting::NonBlocking);
    int skipped = 0;
    EXPECT_EQ(listener.acceptConnection(&skipped), nullptr);
    EXPECT_EQ(skipped, WSAEWOULDBLOCK);
    LineSocket client;
    client.connectTo("127.0.0.1", port, 1000, 1000);
    std::unique_ptr<LineSocket> accepted;
    for (int i = 0; i < 200 && !accepted; ++i)
        if (!(accepted = listener.acceptConnection())) Sleep(10);
    ASSERT_TRUE(accepted);
    client.writeLine(L"late");  // sent after the accept: the read must wait for it
    EXPECT_EQ(accepted->readLine(), L"late");
}

TEST(HostName, IsTheComputerName) {
    char name[256] = {};
    gethostname(name, 255);
    EXPECT_EQ(narrow(LineSocket::localHostName()), name);
    EXPECT_FALSE(LineSocket::localHostName().empty());
}

}  // namespace
