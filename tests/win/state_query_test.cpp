#include <gtest/gtest.h>
#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <tuple>

#include "link/quorvane.h"
#include "tests/win/fake_server.h"
#include "tests/win/test_support.h"
#include "wire/line_socket.h"

using namespace testing_support;

namespace {

using Messages = std::vector<std::string>;

std::atomic<std::int64_t> g_now{1'000'000};
std::int64_t fakeClock() { return g_now.load(); }

// Answers every request with bytes that never end: `piece` again and again, `everyMs` apart,
// until the client goes away.
FakeServer::Handler endless(std::string piece, int everyMs) {
    return [piece, everyMs](SOCKET s) {
        receiveRequest(s);
        while (send(s, piece.data(), static_cast<int>(piece.size()), 0) > 0)
            if (everyMs > 0) Sleep(static_cast<DWORD>(everyMs));
    };
}

std::size_t committedBytes() {
    PROCESS_MEMORY_COUNTERS counters = {};
    GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
    return counters.PagefileUsage;
}

using Clock = std::chrono::steady_clock;

// Keeps the longest of the durations that threads measure from their start.
void keepLongest(std::atomic<std::int64_t>& longestMs, Clock::time_point start) {
    const std::int64_t ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    for (auto seen = longestMs.load(); ms > seen && !longestMs.compare_exchange_weak(seen, ms);) {
    }
}

// Lets a group of threads pass only together, round after round.
class Barrier {
public:
    explicit Barrier(int threads) : threads_(threads) {}
    void arriveAndWait() {
        std::unique_lock<std::mutex> hold(mutex_);
        const int round = round_;
        if (++arrived_ == threads_) {
            arrived_ = 0;
            ++round_;
            all_.notify_all();
            return;
        }
        all_.wait(hold, [&] { return round_ != round; });
    }

private:
    std::mutex mutex_;
    std::condition_variable all_;
    const int threads_;
    int arrived_ = 0;
    int round_ = 0;
};

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
    EXPECT_EQ(logMessages(), Messages{"Quorvane::getState mistake of the application: the reply to get-states for "
                                      "'C:\\other' names 'c:\\other'; only the very path asked, letter case "
                                      "included, gives a state"});
}

// Each mistake of the application once per process, at error level; the pause says why.
TEST_F(States, TheApplicationsMistakesAreNamedOnceEach) {
    config_.set(L"recv-timeout", L"100");
    FakeServer server([](SOCKET s) {
        for (std::string request; !(request = receiveRequest(s)).empty();) {
            if (request.find("silent") != std::string::npos) {
                char c;
                recv(s, &c, 1, 0);  // never answers; waits for the client to go
                return;
            }
            sendAll(s, request.find("bom") != std::string::npos ? "\xEF\xBB\xBF" "bom\tSynced\n\n"
                                                                 : "C:\\\\Zo\xEB\tSynced\n\n");
        }
    });
    auto link = linkTo(server);
    const auto ids = [] { return std::vector<std::wstring>{L"Synced", L"Error"}; };
    for (int round = 0; round < 2; ++round) {
        EXPECT_EQ(link->getState(L"C:\\Zo\x00eb"), L"Synced");  // raw bytes read as Latin-1 here
        EXPECT_EQ(link->getState(L"bom"), L"");
        link->checkStateKnown(L"synced", ids);
        link->checkStateKnown(L"Error", ids);
    }
    EXPECT_EQ(link->getState(L"silent"), L"");
    g_now += 10'000;
    link->stateServerPort() = server.port();
    EXPECT_EQ(link->getState(L"silent"), L"");
    Messages named;
    for (const std::string& m : logMessages())
        if (m.find("mistake of the application") != std::string::npos || m.find("states paused") != std::string::npos)
            named.push_back(m);
    EXPECT_EQ(named, (Messages{
        "Quorvane::exchangeRequest mistake of the application: a line of the reply to get-states held raw byte eb at "
        "offset 6 (raw UTF-8, not \\uXXXX escapes); lines are 7-bit ASCII, each UTF-16 unit above 0x7F as \\uXXXX",
        "Quorvane::getState mistake of the application: the reply to get-states for 'bom' names "
        "'\xEF\xBB\xBF" "bom'; only the very path asked, letter case included, gives a state",
        "Quorvane::getState mistake of the application: the state 'synced' is no overlay class's id; the ids are "
        "'Synced', 'Error' (matched exactly, letter case included)",
        "Quorvane::getState states paused: get-states failed twice: a line of the reply to get-states took longer "
        "than 100 ms (a server that works longer sends a wait marker \".\" within each receive time-out)"}));
}

// CR LF is one line end: the kept connection stays in step with such a server, reply after reply.
TEST_F(States, AServerEndingItsLinesWithCarriageReturnLineFeedStaysInStep) {
    FakeServer server(answering([](const std::string& path) { return ".\r\n" + path + "\tS" + path.substr(4); },
                                &requests_, "\r\n"));
    auto link = linkTo(server);
    for (const wchar_t* state : {L"S1", L"S2", L"S3", L"S4"}) {
        const std::wstring path = L"C:\\" + std::wstring(state + 1);
        EXPECT_EQ(link->getState(path), state) << path;
    }
    EXPECT_EQ(requests_.load(), 4);
    EXPECT_EQ(server.connections(), 1);
    EXPECT_EQ(logMessages(), (Messages{"get-states: C:\\1 <waiting>", "get-states: C:\\2 <waiting>",
                                       "get-states: C:\\3 <waiting>", "get-states: C:\\4 <waiting>"}));
}

TEST_F(States, UnexpectedRepliesGiveNoStateAndSayWhy) {
    config_.set(L"debug-logging", L"true");
    FakeServer server(answering([](const std::string& path) {
        if (path == "three") return std::string("three\tS\textra");
        if (path == "one") return std::string("lonely");
        if (path == "none") return std::string("");
        if (path == "wide") return std::string(1'000'000, 'w');
        if (path == "C:\\\\a\\u000d\\u000aforged") return path + "\tS\tx";
        return std::string("not applicable");
    }));
    auto link = linkTo(server);
    clearLog();
    EXPECT_EQ(link->getState(L"three"), L"");
    EXPECT_EQ(link->getState(L"one"), L"");
    EXPECT_EQ(link->getState(L"none"), L"");
    EXPECT_EQ(link->getState(L"na"), L"");
    // A huge wrong-shaped reply is logged cut, and line breaks in peer text stay in their line.
    EXPECT_EQ(link->getState(L"wide"), L"");
    EXPECT_EQ(link->getState(L"C:\\a\r\nforged"), L"");
    EXPECT_LT(readLog().size(), 8192u);
    Messages errors;
    for (const std::string& m : logMessages())
        if (m.rfind("Quorvane::", 0) != 0) errors.push_back(m);
    const Messages expected = {"Expected two tokens for state line 'three\\u0009S\\u0009extra'.",
                               "Expected two tokens for state line 'lonely'.", "received 'not applicable'",
                               "Expected two tokens for state line '" + std::string(512, 'w') +
                                   "... (1000000 characters)'.",
                               "Expected two tokens for state line 'C:\\a\\u000d\\u000aforged\\u0009S\\u0009x'."};
    EXPECT_EQ(errors, expected);
    const Messages all = logMessages();
    EXPECT_NE(std::find(all.begin(), all.end(), "Quorvane::getState C:\\a\\u000d\\u000aforged"), all.end());
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
    ASSERT_EQ(messages.size(), 4u);
    EXPECT_EQ(messages[0].rfind("get-states failed: ", 0), 0u);
    EXPECT_EQ(messages[1].rfind("get-states failed again: ", 0), 0u);
    EXPECT_EQ(messages[2], "disabling states for 1000ms");
    EXPECT_EQ(messages[3].rfind("Quorvane::getState states paused: get-states failed twice: ", 0), 0u);
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
    ASSERT_GE(again.size(), 2u);
    EXPECT_EQ(again[again.size() - 2].rfind("Quorvane::getState states paused: no usable server: no held lock file "
                                            "beside ", 0), 0u) << again[again.size() - 2];
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

// Explorer asks the seven overlay classes about an item in turn: one answer serves them all.
// A class that asks again starts a new sweep (as after a change notice), which asks afresh.
std::vector<std::wstring> sweep(Quorvane& link, const std::wstring& path) {
    std::vector<std::wstring> states;
    for (int k = 1; k <= 7; ++k) states.push_back(link.getState(path, 1u << k));
    return states;
}

TEST_F(States, OneAnswerServesASweepOfTheSevenClassesAndANewSweepAsksAgain) {
    config_.set(L"debug-logging", L"true");
    std::atomic<int> version{1};
    FakeServer server(answering(
        [&](const std::string& p) {
            return p.back() == '0' ? std::string("not applicable") : p + "\tS" + std::to_string(version.load());
        },
        &requests_));
    auto link = linkTo(server);
    clearLog();
    EXPECT_EQ(sweep(*link, L"C:\\a0"), std::vector<std::wstring>(7, L""));
    EXPECT_EQ(sweep(*link, L"C:\\a1"), std::vector<std::wstring>(7, L"S1"));
    EXPECT_EQ(requests_.load(), 2);
    const Messages messages = logMessages();
    EXPECT_EQ(std::count(messages.begin(), messages.end(),
                         "Quorvane::getState answer shared with another overlay class: 'S1'"),
              6);

    version = 2;  // the application changes the state and Explorer sweeps again
    EXPECT_EQ(sweep(*link, L"C:\\a1"), std::vector<std::wstring>(7, L"S2"));
    EXPECT_EQ(requests_.load(), 3);
    for (int i = 0; i < 3; ++i) link->getState(L"C:\\a1", 1u << 3);  // one class asking again and again
    EXPECT_EQ(requests_.load(), 6);

    link->getState(L"C:\\b1", 1u << 1);
    Sleep(600);  // an answer older than the bound serves nobody
    link->getState(L"C:\\b1", 1u << 2);
    EXPECT_EQ(requests_.load(), 8);
}

TEST_F(States, TheShareTimeOutIsReadOnceAndZeroTurnsSharingOff) {
    FakeServer server(answering([](const std::string& p) { return p + "\tS"; }, &requests_));
    const std::tuple<const wchar_t*, std::int32_t, const char*> cases[] = {
        {L"0", 0, "state-share-timeout is 0"},
        {L"90000", 1000, "state-share-timeout is 1000"},
        {L"soon", 500, "state-share-timeout 'soon' is not a 32-bit decimal number; keeping 500"}};
    for (const auto& [text, value, message] : cases) {
        config_.set(L"state-share-timeout", text);
        auto link = linkTo(server);
        clearLog();
        requests_ = 0;
        EXPECT_EQ(sweep(*link, L"C:\\a"), std::vector<std::wstring>(7, L"S"));
        EXPECT_EQ(requests_.load(), value == 0 ? 7 : 1);
        EXPECT_EQ(link->stateShareTimeoutMs(), value);
        EXPECT_EQ(logMessages(), Messages{message});
    }
}

// Each thread sweeps items of its own; no thread is ever given another path's answer.
TEST_F(States, ThreadsSweepingTheirOwnItemsEachGetTheirOwnAnswerForOneRequestASweep) {
    config_.set(L"recv-timeout", L"5000");  // counts requests: a busy machine must not fail one
    FakeServer server(answering([](const std::string& p) { return p + "\t" + p; }, &requests_),  // the path is the state
                      FakeServer::Serving::InParallel);
    auto link = linkTo(server);
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 50; ++i) {
                const std::wstring path = L"C:\\t" + std::to_wstring(t) + L"\\" + std::to_wstring(i);
                for (const std::wstring& state : sweep(*link, path)) wrong += state != path;
            }
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(requests_.load(), 8 * 50);
    EXPECT_GT(server.connections(), 1);  // asked in parallel
    EXPECT_LE(server.connections(), link->stateConnectionsLimit());
}

TEST_F(States, ManyThreadsShareOneLinkAndEachGetsItsOwnAnswer) {
    FakeServer server(answering([](const std::string& p) { return p + "\t" + (p.back() % 2 ? "Odd" : "Even"); }),
                      FakeServer::Serving::InParallel);
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
    EXPECT_LE(server.connections(), link->stateConnectionsLimit());
    EXPECT_TRUE(logMessages().empty());
}

// A reply that never ends, fast or one byte at a time, ends the query within the reply bound
// (12 receive time-outs for both attempts together) and leaves memory where it was.
TEST_F(States, AReplyThatNeverEndsFailsWithinTheBoundAndMemoryStaysFlat) {
    config_.set(L"recv-timeout", L"100");
    std::string block;
    for (int i = 0; i < 4096; ++i) block += "x\tS\n";
    const std::pair<std::string, int> replies[] = {{block, 0}, {"x", 40}};
    for (const auto& [piece, everyMs] : replies) {
        FakeServer server(endless(piece, everyMs));
        auto link = linkTo(server);
        const std::size_t before = committedBytes();
        for (int query = 0; query < 2; ++query) {
            g_now += 10'000;  // past the pause, with the port the failure made it forget
            link->stateServerPort() = server.port();
            clearLog();
            const auto start = Clock::now();
            EXPECT_EQ(link->getState(L"C:\\a"), L"");
            EXPECT_LT(Clock::now() - start, std::chrono::seconds(5)) << everyMs;
            Messages messages = logMessages();
            messages.erase(std::remove_if(messages.begin(), messages.end(),
                                          [](const std::string& m) { return m.find("states paused") != std::string::npos; }),
                           messages.end());
            ASSERT_GE(messages.size(), 3u);
            EXPECT_EQ(messages.back(), "disabling states for 1000ms");
            const std::string& first = messages[messages.size() - 3];
            EXPECT_EQ(first.rfind("get-states failed: ", 0), 0u);
            // Lines that come fast hit the size bound long before the time bound.
            const char* const bound = everyMs == 0 ? "reply to get-states longer than 65536 lines" : "reply to get-states";
            EXPECT_NE(first.find(bound), std::string::npos) << first;
            EXPECT_EQ(link->stateServerPort().load(), 0);  // discovery runs again after the pause
        }
        EXPECT_LT(committedBytes(), before + (64u << 20)) << everyMs;
    }
}

// The menu's needs (server discovery, the icon cache) never wait behind a state query that
// is busy with a slow server.
TEST_F(States, DiscoveryAndIconsDoNotWaitForAStateQuery) {
    FakeServer server(endless(".\n", 400));  // wait markers: a slow but legitimate reply
    auto link = linkTo(server);
    std::atomic<bool> queryDone{false};
    std::thread overlay([&] {
        link->getState(L"C:\\slow");
        queryDone = true;
    });
    Sleep(300);  // the query holds its lock now
    const auto start = Clock::now();
    link->cacheIcon(L"C:\\icon.ico", nullptr);
    EXPECT_EQ(link->cachedIcon(L"C:\\icon.ico"), nullptr);
    EXPECT_FALSE(link->checkCommandServerRunning());  // a discovery run: no command server
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(1));
    EXPECT_FALSE(queryDone.load());
    overlay.join();
}

// While the application restarts, threads queued behind a failing query take its pause
// instead of repeating its failure: no single query lasts much more than one failing pair.
TEST_F(States, ThreadsDuringAnOutageHonourThePauseAnotherStarted) {
    auto server = std::make_unique<FakeServer>(answering([](const std::string& p) { return p + "\tS"; }));
    auto link = std::make_unique<Quorvane>();
    link->stateServerPort() = server->port();
    std::atomic<bool> stop{false};
    std::atomic<std::int64_t> longestMs{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; !stop; ++i) {
                const auto start = Clock::now();
                link->getState(L"C:\\t" + std::to_wstring(t) + L"\\" + std::to_wstring(i));
                keepLongest(longestMs, start);
            }
        });
    Sleep(300);
    server.reset();  // the application stops
    Sleep(2500);
    stop = true;
    for (auto& t : threads) t.join();
    std::printf("longest single query during the outage: %lld ms\n", static_cast<long long>(longestMs.load()));
    EXPECT_LT(longestMs.load(), 2000);  // one failing pair is about 0.5 s; each thread its own was 3.5 s and more
}

}  // namespace

namespace {

// Two views of one folder sweep an item at once, the application changes the item's state,
// and every view sweeps again (as after the change notice): each must see the new state,
// however the threads interleave their classes.
TEST_F(States, SweepsOfOneItemOnManyThreadsNeverSeeAnOlderStateThanThemselves) {
    config_.set(L"recv-timeout", L"5000");  // a failed exchange would read as a stale state
    std::atomic<int> version{0};
    FakeServer server(answering([&](const std::string& p) { return p + "\tS" + std::to_string(version.load()); }),
                      FakeServer::Serving::InParallel);
    struct Case {
        int threads;
        int pauseMs;  // between classes: -1 none, 0 a yield
    };
    for (const Case c : {Case{2, -1}, Case{4, 0}, Case{2, 1}}) {
        auto link = linkTo(server);
        Barrier together(c.threads);
        std::atomic<int> stale{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < c.threads; ++t)
            threads.emplace_back([&, t] {
                for (int round = 0; round < 60; ++round) {
                    const std::wstring item = L"C:\\shared\\" + std::to_wstring(round % 3);
                    together.arriveAndWait();
                    for (int k = 1; k <= 7; ++k) {
                        link->getState(item, 1u << k);
                        if (c.pauseMs == 0) SwitchToThread();
                        if (c.pauseMs > 0) Sleep(static_cast<DWORD>(c.pauseMs));
                    }
                    together.arriveAndWait();
                    if (t == 0) ++version;
                    together.arriveAndWait();
                    const std::wstring expected = L"S" + std::to_wstring(version.load());
                    for (int k = 1; k <= 7; ++k) stale += link->getState(item, 1u << k) != expected;
                }
            });
        for (auto& t : threads) t.join();
        EXPECT_EQ(stale.load(), 0) << c.threads << " threads, pause " << c.pauseMs;
    }
}

// Freshness is measured on a monotonic clock: the wall clock set back in the middle of a sweep
// changes nothing.
TEST_F(States, TheWallClockSetBackDoesNotEndSharing) {
    FakeServer server(answering([](const std::string& p) { return p + "\tS"; }, &requests_));
    auto link = linkTo(server);
    link->getState(L"C:\\a", 1u << 1);
    g_now -= 60'000;
    link->getState(L"C:\\a", 1u << 2);
    g_now += 60'000;
    EXPECT_EQ(requests_.load(), 1);
}

// A misbehaving server's huge answers are remembered only up to a bound in characters.
TEST_F(States, HugeAnswersPinNoMoreThanTheShareBound) {
    config_.set(L"recv-timeout", L"5000");  // a big line on a busy machine
    const std::string huge(120'000, 'S');
    FakeServer server(answering([&](const std::string& p) { return p + "\t" + huge; }));
    auto link = linkTo(server);
    const std::size_t before = committedBytes();
    for (int i = 0; i < 130; ++i) EXPECT_EQ(link->getState(L"C:\\h" + std::to_wstring(i), 1u << 1).size(), huge.size());
    EXPECT_LT(committedBytes(), before + (12u << 20));  // every answer remembered would be 30 MB
}

// One kept connection ("state-connections" 1), read once; bad values keep the default.
TEST_F(States, TheConnectionLimitIsReadOnceAndBadValuesKeepTheDefault) {
    FakeServer server(answering([](const std::string& p) { return p + "\tS"; }), FakeServer::Serving::InParallel);
    const std::tuple<const wchar_t*, int, const char*> cases[] = {
        {L"1", 1, "state-connections is 1"},
        {L"0", 4, "state-connections '0' is not a number from 1 to 16; keeping 4"},
        {L"17", 4, "state-connections '17' is not a number from 1 to 16; keeping 4"},
        {L"many", 4, "state-connections 'many' is not a number from 1 to 16; keeping 4"}};
    for (const auto& [text, limit, message] : cases) {
        config_.set(L"state-connections", text);
        auto link = linkTo(server);
        clearLog();
        EXPECT_EQ(link->getState(L"C:\\a"), L"S");
        EXPECT_EQ(link->stateConnectionsLimit(), limit);
        EXPECT_EQ(logMessages(), Messages{message});
    }
    config_.set(L"state-connections", L"1");
    FakeServer counted(answering([](const std::string& p) { return p + "\tS"; }), FakeServer::Serving::InParallel);
    auto link = linkTo(counted);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 20; ++i) link->getState(L"C:\\t" + std::to_wstring(t) + L"\\" + std::to_wstring(i));
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(counted.connections(), 1);
}

// A server that serves one connection at a time answers a second connection only when the
// first closes: that is found out once, and states go on over one connection without a pause.
TEST_F(States, AServerOfOneConnectionAtATimeKeepsItsOverlaysWithoutAPause) {
    FakeServer server(answering([](const std::string& p) { return p + "\t" + p; }));
    auto link = linkTo(server);
    std::atomic<int> wrong{0};
    std::atomic<std::int64_t> longestMs{0};
    Barrier together(4);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            together.arriveAndWait();
            for (int i = 0; i < 20; ++i) {
                const std::wstring path = L"C:\\t" + std::to_wstring(t) + L"\\" + std::to_wstring(i);
                const auto start = Clock::now();
                wrong += link->getState(path) != path;
                keepLongest(longestMs, start);
            }
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(link->statesDisabledUntil(), 0);
    EXPECT_EQ(link->stateConnectionsLimit(), 1);
    EXPECT_LT(longestMs.load(), 3000);  // one receive time-out and a queue, not a pause
    const Messages messages = logMessages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].rfind("the state server answered no new connection while another was open", 0), 0u);
}

// A connection that breaks in the middle of a reply costs its own request one retry on a new
// connection; the other threads' connections and requests go on untouched.
TEST_F(States, AConnectionBrokenMidReplyCostsOnlyItsOwnRequestOneRetry) {
    config_.set(L"recv-timeout", L"5000");  // counts requests: a busy machine must not fail one
    std::atomic<bool> broken{false};
    FakeServer server(
        [&](SOCKET s) {
            for (std::string request; !(request = receiveRequest(s)).empty();) {
                ++requests_;
                const std::size_t first = request.find('\n');
                const std::string path = request.substr(first + 1, request.size() - first - 3);
                if (path == "C:\\\\break" && !broken.exchange(true)) {
                    sendAll(s, "garbled\\q\n");  // undecodable: the stream can no longer be trusted
                    return;
                }
                Sleep(5);
                sendAll(s, path + "\t" + path + "\n\n");
            }
        },
        FakeServer::Serving::InParallel);
    auto link = linkTo(server);
    std::atomic<int> wrong{0};
    Barrier together(4);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            together.arriveAndWait();
            for (int i = 0; i < 20; ++i) {
                const std::wstring path = t == 0 && i == 10 ? L"C:\\break" : L"C:\\t" + std::to_wstring(t) + L"\\" + std::to_wstring(i);
                wrong += link->getState(path) != path;
            }
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(requests_.load(), 4 * 20 + 1);
    EXPECT_EQ(logMessages(), (Messages{"recv-timeout is 5000", "get-states failed: Bad string encoding, 'u' expected."}));
    EXPECT_EQ(link->statesDisabledUntil(), 0);
    EXPECT_LE(server.connections(), link->stateConnectionsLimit() + 1);
}

}  // namespace
