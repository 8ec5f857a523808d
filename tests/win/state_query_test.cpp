#include <gtest/gtest.h>

#include <thread>

#include "link/quorvane.h"
#include "tests/win/fake_server.h"
#include "tests/win/test_support.h"
#include "wire/line_socket.h"

using namespace testing_support;

namespace {

using Messages = std::vector<std::string>;

std::atomic<std::int64_t> g_now{1'000'000};
std::int64_t fakeClock() { return g_now.load(); }

// Serves "get-states" on each connection until the peer closes, answering from a function of
// the requested path (the raw bytes of the reply lines, without their last line end).
FakeServer::Handler answering(std::function<std::string(const std::string& path)> reply,
                              std::atomic<int>* requests = nullptr) {
    return [reply, requests](SOCKET s) {
        for (std::string request; !(request = receiveRequest(s)).empty();) {
            if (requests) ++*requests;
            const std::size_t first = request.find('\n');
            const std::string path = request.substr(first + 1, request.size() - first - 3);
            const std::string lines = reply(path);
            sendAll(s, lines.empty() ? "\n" : lines + "\n\n");
        }
    };
}

class States : public ::testing::Test {
protected:
    void SetUp() override {
        winsockGuard().acquire();
        clearLog();
    }
    // A link that already knows its state server, as after discovery.
    std::unique_ptr<Quorvane> linkTo(const FakeServer& server) {
        auto link = std::make_unique<Quorvane>();
        link->setClockForTesting(&fakeClock);
        link->stateServerPort() = server.port();
        return link;
    }
    ScopedConfig config_;
    std::atomic<int> requests_{0};
};

TEST_F(States, TheReplyGivesTheStateOfExactlyThePathAsked) {
    FakeServer server(answering(
        [](const std::string& path) {
            if (path == "C:\\\\data") return std::string("C:\\\\data\\u0009Synced\nsecond\tline");
            if (path == "C:") return std::string("C:\tSyncing");
            if (path == "C:\\\\other") return std::string("c:\\\\other\tSynced");  // another case is another path
            return std::string("not applicable");
        },
        &requests_));
    auto link = linkTo(server);
    EXPECT_EQ(link->getState(L"C:\\data\\"), L"Synced");
    EXPECT_EQ(link->getState(L"C:\\"), L"Syncing");
    EXPECT_EQ(link->getState(L"C:\\other"), L"");
    EXPECT_EQ(link->getState(L"C:\\nothing"), L"");
    EXPECT_EQ(requests_.load(), 4);
    EXPECT_EQ(server.connections(), 1);  // one connection kept for every query
    EXPECT_TRUE(logMessages().empty());
}

TEST_F(States, UnexpectedRepliesGiveNoStateAndSayWhy) {
    config_.set(L"debug-logging", L"true");
    FakeServer server(answering([](const std::string& path) {
        if (path == "three") return std::string("three\tS\textra");
        if (path == "one") return std::string("lonely");
        if (path == "none") return std::string("");
        return std::string("not applicable");
    }));
    auto link = linkTo(server);
    clearLog();
    EXPECT_EQ(link->getState(L"three"), L"");
    EXPECT_EQ(link->getState(L"one"), L"");
    EXPECT_EQ(link->getState(L"none"), L"");
    EXPECT_EQ(link->getState(L"na"), L"");
    Messages errors;
    for (const std::string& m : logMessages())
        if (m.rfind("Quorvane::", 0) != 0) errors.push_back(m);
    const Messages expected = {"Expected two tokens for state line 'three\tS\textra'.",
                               "Expected two tokens for state line 'lonely'.", "received 'not applicable'"};
    EXPECT_EQ(errors, expected);
    EXPECT_EQ(link->statesDisabledUntil(), 0);  // a bad reply starts no pause
}

TEST_F(States, NothingToAskForSendsNothing) {
    FakeServer server(answering([](const std::string&) { return std::string("x\tS"); }, &requests_));
    auto link = linkTo(server);
    EXPECT_EQ(link->getState(L""), L"");
    EXPECT_EQ(link->getState(L"\\\\\\"), L"");
    EXPECT_EQ(requests_.load(), 0);
}

TEST_F(States, ABrokenConnectionIsRetriedOnceOnANewOne) {
    std::atomic<int> connection{0};
    FakeServer server([&](SOCKET s) {
        if (++connection == 1) {
            receiveRequest(s);
            sendAll(s, "garbled\\q\n");  // undecodable: the stream can no longer be trusted
            return;
        }
        answering([](const std::string& path) { return path + "\tSynced"; })(s);
    });
    auto link = linkTo(server);
    EXPECT_EQ(link->getState(L"C:\\x"), L"Synced");
    EXPECT_EQ(logMessages(), Messages{"get-states failed: Bad string encoding, 'u' expected."});
    EXPECT_EQ(link->getState(L"C:\\y"), L"Synced");
    EXPECT_EQ(server.connections(), 2);
}

TEST_F(States, AStoppedServerPausesQueriesForTheRetryTimeOut) {
    auto server = std::make_unique<FakeServer>(answering([](const std::string& p) { return p + "\tS"; }));
    auto link = linkTo(*server);
    EXPECT_EQ(link->getState(L"C:\\a"), L"S");
    server.reset();  // the application stops; the link still holds its connection and port
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(link->getState(L"C:\\a"), L"");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    const Messages messages = logMessages();
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_EQ(messages[0].rfind("get-states failed: ", 0), 0u);
    EXPECT_EQ(messages[1].rfind("get-states failed again: ", 0), 0u);
    EXPECT_EQ(messages[2], "disabling states for 1000ms");
    EXPECT_EQ(link->stateServerPort().load(), 0);
    EXPECT_EQ(link->statesDisabledUntil(), g_now.load() + 1000);

    clearLog();
    g_now += 999;
    EXPECT_EQ(link->getState(L"C:\\a"), L"");
    EXPECT_TRUE(logMessages().empty());  // paused: nothing sent, nothing written

    // At the end of the pause discovery runs again: with no server anywhere it pauses anew.
    g_now += 1;
    EXPECT_EQ(link->getState(L"C:\\a"), L"");
    const Messages again = logMessages();
    ASSERT_FALSE(again.empty());
    EXPECT_EQ(again.back(), "states will be disabled until " + std::to_string(g_now.load() + 1000));
}

TEST_F(States, TheRetryTimeOutIsReadOnceAndBadValuesKeepTheDefault) {
    FakeServer server(answering([](const std::string& p) { return p + "\tS"; }));
    const std::pair<const wchar_t*, std::int32_t> cases[] = {{L"2500ms", 2500}, {L"-20", 0}, {L"0", 0}};
    for (const auto& [text, value] : cases) {
        config_.set(L"retry-timeout", text);
        auto link = linkTo(server);
        clearLog();
        EXPECT_EQ(link->getState(L"C:\\a"), L"S");
        EXPECT_EQ(link->retryTimeoutMs(), value);
        EXPECT_EQ(logMessages(), Messages{"retry-timeout is " + std::to_string(value)});
        config_.set(L"retry-timeout", L"777");
        link->getState(L"C:\\a");
        EXPECT_EQ(link->retryTimeoutMs(), value);  // once per process
    }
    config_.set(L"retry-timeout", L"later");
    auto link = linkTo(server);
    clearLog();
    EXPECT_EQ(link->getState(L"C:\\a"), L"S");
    EXPECT_EQ(link->retryTimeoutMs(), 1000);
    EXPECT_EQ(logMessages(), Messages{"retry-timeout 'later' is not a 32-bit decimal number; keeping 1000"});
}

TEST_F(States, ManyThreadsShareOneLinkAndEachGetsItsOwnAnswer) {
    FakeServer server(answering([](const std::string& p) { return p + "\t" + (p.back() % 2 ? "Odd" : "Even"); }));
    auto link = linkTo(server);
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 100; ++i) {
                const int n = t * 1000 + i;
                const std::wstring expected = n % 2 ? L"Odd" : L"Even";
                if (link->getState(L"C:\\f" + std::to_wstring(n)) != expected) ++wrong;
            }
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(server.connections(), 1);
}

}  // namespace
