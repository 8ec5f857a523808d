#include <gtest/gtest.h>

#include <future>

#include "common/text_error.h"
#include "link/quorvane.h"
#include "tests/win/fake_server.h"
#include "tests/win/test_support.h"
#include "wire/line_socket.h"

using namespace testing_support;
using namespace std::chrono_literals;

namespace {

using Lines = std::vector<std::wstring>;
using Messages = std::vector<std::string>;

// A server that reads one request, records its bytes and answers with a fixed reply.
class Exchange : public ::testing::Test {
protected:
    void SetUp() override { clearLog(); }

    void answer(std::string reply) {
        server_ = std::make_unique<FakeServer>([this, reply](SOCKET s) {
            request_.set_value(receiveRequest(s));
            sendAll(s, reply);
        });
        port_ = server_->port();
    }

    Lines exchange(Quorvane& link, const std::wstring& name, const Lines& arguments) {
        std::unique_ptr<LineSocket> connection = link.openConnection(port_);
        Lines replies;
        exchangeFailure_.clear();
        try {
            link.exchangeRequest(name, arguments, *connection, replies);
        } catch (const TextError& e) {
            exchangeFailure_ = e.text();
        }
        return replies;
    }

    std::string request() { return request_.get_future().get(); }

    ScopedConfig config_;
    std::unique_ptr<FakeServer> server_;
    std::promise<std::string> request_;
    Port port_{0};
    std::wstring exchangeFailure_;
};

TEST_F(Exchange, RequestFramingIsByteExact) {
    answer("\n");
    Quorvane link;
    EXPECT_EQ(exchange(link, L"get-states", {L"C:\\a b\n\x00e9"}), Lines{});
    EXPECT_EQ(request(), "get-states\nC:\\\\a b\\u000a\\u00e9\n\n");
}

TEST_F(Exchange, ARequestWithoutArgumentsIsTwoLines) {
    answer("\n");
    Quorvane link;
    exchange(link, L"get-commands", {});
    EXPECT_EQ(request(), "get-commands\n\n");
}

TEST_F(Exchange, RepliesAreTrimmedAndWaitMarkersSkippedAndTraced) {
    answer(" a \t\n.\n   \n\tb\n\nnot part of the reply\n");
    Quorvane link;
    EXPECT_EQ(exchange(link, L"get-states", {L"C:\\work"}), (Lines{L"a", L"b"}));
    EXPECT_EQ(exchangeFailure_, L"");
    EXPECT_EQ(logMessages(), (Messages{"get-states: C:\\work <waiting>", "get-states: C:\\work <waiting>"}));
}

TEST_F(Exchange, ElevenWaitMarkersInARowAreTheLimit) {
    std::string eleven;
    for (int i = 0; i < 11; ++i) eleven += ".\n";
    answer(eleven + "x\n" + eleven + "y\n\n");
    Quorvane link;
    EXPECT_EQ(exchange(link, L"get-commands", {L"p1", L"p2"}), (Lines{L"x", L"y"}));
    EXPECT_EQ(logMessages().size(), 11u);  // one slow reply's worth: markers mixed into more are not traced
    EXPECT_EQ(logMessages().front(), "get-commands <waiting>");  // two arguments: the name alone
}

TEST_F(Exchange, TwelveWaitMarkersInARowGiveUp) {
    std::string twelve;
    for (int i = 0; i < 12; ++i) twelve += ".\n";
    answer("r\n" + twelve + "late\n\n");
    Quorvane link;
    EXPECT_EQ(exchange(link, L"get-states", {L"C:\\x"}), Lines{L"r"});
    EXPECT_EQ(exchangeFailure_, L"stopped waiting for get-states");
}

TEST_F(Exchange, APeerClosingMidReplyEndsTheReplyWithoutError) {
    answer("first\nsecond");
    Quorvane link;
    EXPECT_EQ(exchange(link, L"get-commands", {}), (Lines{L"first", L"second"}));
    EXPECT_EQ(exchangeFailure_, L"");
}

TEST_F(Exchange, SocketLoggingTracesTrafficAndTurnsDebugOn) {
    config_.set(L"socket-logging", L"true");
    config_.set(L"debug-logging", L"no");
    answer("C:\\\\w\\u0009S\n\n");
    Quorvane link;
    EXPECT_TRUE(link.logger().debugEnabled());
    exchange(link, L"get-states", {L"C:\\w"});
    const Messages expected = {"OUT: get-states: C:\\w", "IN: C:\\w\\u0009S [for get-states: C:\\w]",
                               "DONE: get-states: C:\\w"};
    EXPECT_EQ(logMessages(), expected);
}

TEST_F(Exchange, TimeOutsComeFromTheRegistryOnceAndBoundEveryLine) {
    config_.set(L"recv-timeout", L"  200ms");
    config_.set(L"send-timeout", L"-5");
    server_ = std::make_unique<FakeServer>([](SOCKET s) {
        receiveRequest(s);
        std::this_thread::sleep_for(1s);  // longer than the receive time-out
    });
    port_ = server_->port();
    Quorvane link;
    const auto start = std::chrono::steady_clock::now();
    exchange(link, L"get-states", {L"C:\\slow"});
    EXPECT_LT(std::chrono::steady_clock::now() - start, 900ms);
    EXPECT_EQ(exchangeFailure_, L"a line of the reply to get-states took longer than 200 ms");
    EXPECT_EQ(link.receiveTimeoutMs(), 200);
    EXPECT_EQ(link.sendTimeoutMs(), 0);
    EXPECT_EQ(logMessages(), (Messages{"recv-timeout is 200", "send-timeout is 0"}));
}

TEST_F(Exchange, AnUnreadableTimeOutKeepsTheDefaultsAndSaysSoOnce) {
    config_.set(L"recv-timeout", L"soon");
    config_.set(L"send-timeout", L"99999999999");
    answer("ok\n\n");
    Quorvane link;
    EXPECT_EQ(exchange(link, L"get-states", {L"C:\\x"}), Lines{L"ok"});
    EXPECT_EQ(link.receiveTimeoutMs(), Quorvane::kDefaultReceiveTimeoutMs);
    EXPECT_EQ(link.sendTimeoutMs(), Quorvane::kDefaultSendTimeoutMs);
    Port unused{unusedPort()};
    EXPECT_THROW(link.openConnection(unused), TextError);
    const Messages expected = {"recv-timeout 'soon' is not a 32-bit decimal number; keeping 500",
                               "send-timeout '99999999999' is not a 32-bit decimal number; keeping 1"};
    EXPECT_EQ(logMessages(), expected);
}

// A selection of tens of thousands of paths makes a request of megabytes, more than the
// socket holds: it leaves in pieces as the application takes them, or fails like a time-out
// when the application stops taking them.
Lines manyPaths(std::size_t count) {
    Lines paths;
    for (std::size_t i = 0; i < count; ++i)
        paths.push_back(L"C:\\Users\\someone\\Documents\\a folder with many files\\file " + std::to_wstring(i) + L".txt");
    return paths;
}

TEST_F(Exchange, ARequestOfSeveralMegabytesArrivesWholeAtASlowReader) {
    config_.set(L"recv-timeout", L"5000");  // the reply may come long after the last piece has left
    server_ = std::make_unique<FakeServer>([this](SOCKET s) {
        request_.set_value(receiveRequestSlowly(s, 64 * 1024, 2));
        sendAll(s, "ok\n\n");
    });
    port_ = server_->port();
    const Lines paths = manyPaths(80000);
    std::string expected = "get-commands\n";
    for (const std::wstring& path : paths) {
        for (const char c : narrow(path)) expected += c == '\\' ? std::string("\\\\") : std::string(1, c);
        expected += '\n';
    }
    Quorvane link;
    EXPECT_EQ(exchange(link, L"get-commands", paths), Lines{L"ok"});
    EXPECT_EQ(exchangeFailure_, L"");
    const std::string received = request();
    EXPECT_GT(received.size(), std::size_t{4} << 20);
    EXPECT_TRUE(received == expected + "\n") << received.size() << " bytes of " << expected.size() + 1;
}

TEST_F(Exchange, ARequestThePeerStopsTakingFailsLikeATimeOut) {
    config_.set(L"recv-timeout", L"100");  // a bound of 1.2 s for the whole exchange
    HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    server_ = std::make_unique<FakeServer>([&](SOCKET) { WaitForSingleObject(release, 30000); });
    port_ = server_->port();
    Quorvane link;
    const auto start = std::chrono::steady_clock::now();
    exchange(link, L"get-commands", manyPaths(200000));  // about 15 MB
    EXPECT_LT(std::chrono::steady_clock::now() - start, 15s);
    EXPECT_EQ(exchangeFailure_, L"send failed (error 10060): Unknown error");
    SetEvent(release);
    server_.reset();
    CloseHandle(release);
}

TEST_F(Exchange, AFailedOpeningForgetsThePort) {
    Quorvane link;
    Port port{unusedPort()};
    EXPECT_THROW(link.openConnection(port), TextError);
    EXPECT_EQ(port.load(), 0);
}

TEST_F(Exchange, PostRequestSendsWithoutReadingAndLogsItsFailures) {
    config_.set(L"debug-logging", L"true");
    answer("");
    Quorvane link;
    std::unique_ptr<LineSocket> connection = link.openConnection(port_);
    link.postRequest(L"c1", {L"C:\\a", L"C:\\b", L"C:\\c"}, *connection);
    EXPECT_EQ(request(), "c1\nC:\\\\a\nC:\\\\b\nC:\\\\c\n\n");
    connection->close();
    link.postRequest(L"c2", {}, *connection);
    const Messages messages = logMessages();
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_EQ(messages[0], "send command: c1");
    EXPECT_EQ(messages[1], "send command: c2");
    EXPECT_EQ(messages[2].rfind("Error while sending commands: send failed (error ", 0), 0u) << messages[2];
}

}  // namespace
