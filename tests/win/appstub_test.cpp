#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <regex>
#include <stdexcept>
#include <thread>

#include "common/handles.h"
#include "common/text_error.h"
#include "tests/win/appstub_process.h"
#include "tests/win/test_support.h"
#include "tools/appstub/rules.h"
#include "wire/line_socket.h"

using namespace testing_support;
using namespace std::chrono_literals;

namespace {

// --- the rules matcher ---

TEST(StateRules, PrefixEndsAtAFolderBoundaryAndIgnoresCase) {
    EXPECT_TRUE(ruleMatches(L"C:\\data", L"C:\\data"));
    EXPECT_TRUE(ruleMatches(L"C:\\data", L"c:\\DATA\\sub\\a.txt"));
    EXPECT_TRUE(ruleMatches(L"C:\\data\\", L"C:\\data"));  // as the overlay handler sends it
    EXPECT_TRUE(ruleMatches(L"C:\\", L"C:\\x"));
    EXPECT_FALSE(ruleMatches(L"C:\\data", L"C:\\database"));
    EXPECT_FALSE(ruleMatches(L"C:\\data\\sub", L"C:\\data"));
    EXPECT_TRUE(ruleMatches(L"C:\\\x00c4rger", L"c:\\\x00e4rger\\x"));  // Latin-1 letters fold too
}

TEST(StateRules, WildcardsMatchTheWholePathAcrossFolders) {
    EXPECT_TRUE(ruleMatches(L"*.tmp", L"C:\\a\\b.TMP"));
    EXPECT_FALSE(ruleMatches(L"*.tmp", L"C:\\a\\b.tmp\\c"));
    EXPECT_TRUE(ruleMatches(L"C:\\*\\sub\\*", L"C:\\x\\y\\sub\\z"));
    EXPECT_TRUE(ruleMatches(L"*ab*ab", L"xabyabab"));  // needs the star to give characters back
    EXPECT_FALSE(ruleMatches(L"*ab*ab", L"xabyaba"));
    EXPECT_TRUE(ruleMatches(L"C:\\**", L"C:\\"));
    EXPECT_FALSE(ruleMatches(L"C:\\a*", L"D:\\a"));
}

TEST(StateRules, FirstMatchingRuleWins) {
    const std::vector<StateRule> rules = {{L"C:\\w\\new", L"NEW"}, {L"C:\\w", L"OK"}, {L"*", L"ANY"}};
    EXPECT_EQ(stateForPath(rules, L"C:\\w\\new\\f"), L"NEW");
    EXPECT_EQ(stateForPath(rules, L"C:\\w\\old"), L"OK");
    EXPECT_EQ(stateForPath(rules, L"D:\\"), L"ANY");
    EXPECT_EQ(stateForPath({}, L"C:\\w"), std::nullopt);
}

TEST(StateRules, ParsingSkipsCommentsAndReportsLinesThatAreNoRules) {
    const ParsedRules parsed = parseStateRules(
        L"\xfeff# states\r\nC:\\My Files\t SYNC \r\n\r\n   \nno tab here\n\tNOPATTERN\nC:\\b\t\n*.x\tA\tB");
    ASSERT_EQ(parsed.rules.size(), 2u);
    EXPECT_EQ(parsed.rules[0].pattern, L"C:\\My Files");
    EXPECT_EQ(parsed.rules[0].state, L"SYNC");
    EXPECT_EQ(parsed.rules[1].pattern, L"*.x");
    EXPECT_EQ(parsed.rules[1].state, L"A\tB");  // everything after the first tab
    EXPECT_EQ(parsed.badLines, (std::vector<std::size_t>{5, 6, 7}));
}

// --- the running program ---

class AppStub : public ::testing::Test {
protected:
    void SetUp() override {
        folder_ = L"C:\\appstub-test\\" + widen(::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(std::filesystem::path(folder_));
        ensureFolder(folder_);
        host_ = LineSocket::localHostName();
    }
    void TearDown() override {
        stub_.reset();
        std::error_code ignored;
        std::filesystem::remove_all(std::filesystem::path(folder_), ignored);
        RemoveDirectoryW(L"C:\\appstub-test");  // only once the last test's folder has gone
    }

    static std::wstring widen(const std::string& text) { return std::wstring(text.begin(), text.end()); }

    RunningStub& start(const std::wstring& options = L"") {
        stub_ = std::make_unique<RunningStub>(
            folder_, L"--command-folder \"" + commandFolder() + L"\" --state-folder \"" + stateFolder() + L"\" " +
                         L"--rules \"" + folder_ + L"\\rules.txt\" --commands \"" + folder_ + L"\\commands.txt\" " +
                         options);
        if (!stub_->waitUntilReady()) throw std::runtime_error("appstub did not get ready");
        return *stub_;
    }

    std::wstring commandFolder() const { return folder_ + L"\\cmd"; }
    std::wstring stateFolder() const { return folder_ + L"\\state"; }
    std::wstring commandPortFile() const { return commandFolder() + L"\\" + host_ + L".port"; }
    std::wstring statePortFile() const { return stateFolder() + L"\\" + host_ + L".statuscache.port"; }
    std::vector<std::string> journal() const { return readLines(folder_ + L"\\journal.txt"); }
    // Requests on different connections are served on different threads: wait for them to land.
    bool waitForJournalLines(std::size_t count) const {
        for (int i = 0; i < 250 && journal().size() < count; ++i) std::this_thread::sleep_for(20ms);
        return journal().size() >= count;
    }
    void writeRules(const std::string& rules) { writeBytes(folder_ + L"\\rules.txt", rules); }

    std::wstring folder_;
    std::wstring host_;
    std::unique_ptr<RunningStub> stub_;
};

TEST_F(AppStub, PublishesBothServersWithHeldLocksAndWithdrawsThemOnQuit) {
    RunningStub& stub = start();
    EXPECT_NE(stub.commandPort, stub.statePort);
    EXPECT_EQ(readLines(commandPortFile()), std::vector<std::string>{std::to_string(stub.commandPort)});
    EXPECT_EQ(readLines(statePortFile()), std::vector<std::string>{std::to_string(stub.statePort)});
    for (const std::wstring& lock : {commandPortFile() + L".lock", statePortFile() + L".lock"}) {
        EXPECT_FALSE(DeleteFileW(lock.c_str())) << narrow(lock);
        EXPECT_TRUE(isPresent(lock)) << narrow(lock);
    }
    EXPECT_EQ(stub.quit(), 0u);
    for (const std::wstring& file : {commandPortFile(), commandPortFile() + L".lock", statePortFile(),
                                     statePortFile() + L".lock"})
        EXPECT_FALSE(isPresent(file)) << narrow(file);
    EXPECT_EQ(journal(), std::vector<std::string>{"appstub-quit"});
}

TEST_F(AppStub, AKilledStubLeavesNoHeldLockBehind) {
    start().kill();
    // Clients treat a port file without a lock file as a stopped server.
    EXPECT_FALSE(isPresent(commandPortFile() + L".lock"));
    EXPECT_FALSE(isPresent(statePortFile() + L".lock"));
}

TEST_F(AppStub, AnswersStatesFromTheRulesAndNoticesChangedRules) {
    writeRules("# test rules\nC:\\w\\new\tNEW\nC:\\w\tOK\n");
    RunningStub& stub = start();
    auto connection = connectLocal(stub.statePort);  // one connection, many requests, as the overlays use it
    EXPECT_EQ(exchange(*connection, L"get-states", {L"C:\\w\\a.txt"}), std::vector<std::wstring>{L"C:\\w\\a.txt\tOK"});
    EXPECT_EQ(exchange(*connection, L"get-states", {L"c:\\W\\NEW"}), std::vector<std::wstring>{L"c:\\W\\NEW\tNEW"});
    EXPECT_EQ(exchange(*connection, L"get-states", {L"C:\\other"}), std::vector<std::wstring>{L"not applicable"});
    writeRules("C:\\other\tERROR\n");
    EXPECT_EQ(exchange(*connection, L"get-states", {L"C:\\other"}), std::vector<std::wstring>{L"C:\\other\tERROR"});
    EXPECT_EQ(exchange(*connection, L"get-states", {L"C:\\w"}), std::vector<std::wstring>{L"not applicable"});
    // The command server answers states too.
    EXPECT_EQ(exchange(*connectLocal(stub.commandPort), L"get-states", {L"C:\\other"}),
              std::vector<std::wstring>{L"C:\\other\tERROR"});
}

TEST_F(AppStub, AnIdleConnectionOutlivesTheReceiveTimeOut) {
    writeRules("C:\\w\tOK\n");
    auto connection = connectLocal(start().statePort);
    std::this_thread::sleep_for(std::chrono::milliseconds(LineSocket::kAcceptedReceiveTimeoutMs + 700));
    EXPECT_EQ(exchange(*connection, L"get-states", {L"C:\\w"}), std::vector<std::wstring>{L"C:\\w\tOK"});
}

TEST_F(AppStub, SendsTheCommandsFileAndJournalsEveryRequest) {
    RunningStub& stub = start();
    EXPECT_TRUE(exchange(*connectLocal(stub.commandPort), L"get-commands", {L"C:\\a"}).empty());  // no file yet
    writeBytes(folder_ + L"\\commands.txt", "quick-commands\t1\r\nshare\tShare \xc3\xa9\ttrue\r\n\r\n");
    EXPECT_EQ(exchange(*connectLocal(stub.commandPort), L"get-commands", {L"C:\\a", L"C:\\b"}),
              (std::vector<std::wstring>{L"quick-commands\t1", L"share\tShare \x00e9\ttrue"}));
    {
        auto connection = connectLocal(stub.commandPort);  // a menu command: nothing comes back
        connection->writeLine(L"share");
        connection->writeLine(L"C:\\\x00e9");
        connection->writeLine(L"");
    }
    ASSERT_TRUE(waitForJournalLines(3));
    EXPECT_EQ(stub.quit(), 0u);
    EXPECT_EQ(journal(), (std::vector<std::string>{"get-commands\tC:\\a", "get-commands\tC:\\a\tC:\\b",
                                                   "share\tC:\\\xc3\xa9", "appstub-quit"}));
}

TEST_F(AppStub, WaitMarkersComeBeforeTheReply) {
    writeRules("C:\\w\tOK\n");
    RunningStub& stub = start(L"--wait-markers 3 --delay-ms 30");
    auto connection = connectLocal(stub.statePort);
    const std::vector<std::wstring> expected = {L".", L".", L".", L"C:\\w\tOK"};
    EXPECT_EQ(exchange(*connection, L"get-states", {L"C:\\w"}), expected);
    EXPECT_EQ(exchange(*connection, L"get-states", {L"C:\\w"}), expected);
    EXPECT_EQ(exchange(*connectLocal(stub.commandPort), L"get-commands", {L"C:\\w"}),
              (std::vector<std::wstring>{L".", L".", L"."}));
}

TEST_F(AppStub, CloseMidReplySendsTheFirstLineThenEndsTheConnection) {
    writeRules("C:\\w\tOK\n");
    writeBytes(folder_ + L"\\commands.txt", "quick-commands\t1\nc1\tFirst\ttrue\n");
    RunningStub& stub = start(L"--close-mid-reply");
    auto connection = connectLocal(stub.statePort);
    EXPECT_EQ(exchange(*connection, L"get-states", {L"C:\\w"}), std::vector<std::wstring>{L"C:\\w\tOK"});
    std::vector<std::wstring> second;
    try {
        second = exchange(*connection, L"get-states", {L"C:\\w"});
    } catch (const TextError&) {
        // a reset connection is as good as a closed one
    }
    EXPECT_TRUE(second.empty());
    EXPECT_EQ(exchange(*connectLocal(stub.commandPort), L"get-commands", {L"C:\\w"}),
              std::vector<std::wstring>{L"quick-commands\t1"});
}

TEST_F(AppStub, MalformedStatesCarryThreeTokens) {
    writeRules("C:\\w\tOK\n");
    RunningStub& stub = start(L"--malformed");
    EXPECT_EQ(exchange(*connectLocal(stub.statePort), L"get-states", {L"C:\\w"}),
              std::vector<std::wstring>{L"C:\\w\tOK\tunexpected"});
}

TEST_F(AppStub, WithoutAStateServerTheCommandServerAnswersStates) {
    writeRules("C:\\w\tOK\n");
    RunningStub& stub = start(L"--no-state-server");
    EXPECT_EQ(stub.statePort, 0);
    EXPECT_TRUE(isPresent(commandPortFile()));
    EXPECT_FALSE(isPresent(statePortFile()));
    EXPECT_FALSE(isPresent(statePortFile() + L".lock"));
    EXPECT_EQ(exchange(*connectLocal(stub.commandPort), L"get-states", {L"C:\\w"}),
              std::vector<std::wstring>{L"C:\\w\tOK"});
    EXPECT_EQ(stub.quit(), 0u);
}

TEST_F(AppStub, RefusingStubPublishesPortsThatRefuseConnections) {
    RunningStub& stub = start(L"--refuse");
    EXPECT_EQ(readLines(commandPortFile()), std::vector<std::string>{std::to_string(stub.commandPort)});
    EXPECT_TRUE(isPresent(statePortFile() + L".lock"));
    for (std::uint16_t port : {stub.commandPort, stub.statePort}) EXPECT_THROW(connectLocal(port, 300), TextError);
}

TEST_F(AppStub, StopsByItselfAfterItsLifetime) {
    RunningStub& stub = start(L"--lifetime-ms 300");
    EXPECT_EQ(stub.exitCode(15000), 0u);
    EXPECT_FALSE(isPresent(commandPortFile()));
    EXPECT_FALSE(isPresent(statePortFile()));
}

// A listening socket of the test that takes the notifier's part.
class FakeNotifier {
public:
    FakeNotifier() {
        for (port_ = 4300; port_ < 4400; ++port_) {
            try {
                listener_.listenLocal(port_, 4);
                return;
            } catch (const TextError&) {
            }
        }
        throw std::runtime_error("no free port for the fake notifier");
    }
    std::uint16_t port() const { return port_; }

    // The next connection, or none within the time; a connection of our own ends a vain wait.
    std::unique_ptr<LineSocket> accept() {
        auto accepted = std::async(std::launch::async, [this] { return listener_.acceptConnection(); });
        if (accepted.wait_for(5s) == std::future_status::ready) return accepted.get();
        connectLocal(port_);
        accepted.get();
        return nullptr;
    }

private:
    LineSocket listener_;
    std::uint16_t port_ = 0;
};

TEST_F(AppStub, PushesChangedPathsToTheNotifierAndReconnectsWhenItHasGone) {
    RunningStub& stub = start();
    FakeNotifier notifier;
    {
        auto connection = connectLocal(stub.statePort);
        connection->writeLine(L"notify-started");
        connection->writeLine(std::to_wstring(notifier.port()));
        connection->writeLine(L"");
    }
    std::unique_ptr<LineSocket> first = notifier.accept();
    ASSERT_TRUE(first);
    EXPECT_TRUE(exchange(*connectLocal(stub.commandPort), L"appstub-push", {L"C:\\a b", L"*"}).empty());
    EXPECT_EQ(first->readLine(), L"C:\\a b");
    EXPECT_EQ(first->readLine(), L"*");

    first.reset();  // the notifier drops the connection; the next push must still arrive
    auto pushing = std::async(std::launch::async,
                              [&] { return exchange(*connectLocal(stub.commandPort), L"appstub-push", {L"C:\\c"}); });
    std::unique_ptr<LineSocket> second = notifier.accept();
    ASSERT_TRUE(second);
    EXPECT_EQ(second->readLine(), L"C:\\c");
    EXPECT_TRUE(pushing.get().empty());
    ASSERT_FALSE(journal().empty());
    EXPECT_EQ(journal().front(), "notify-started\t" + std::to_string(notifier.port()));
}

TEST_F(AppStub, PushWithoutANotifierSaysItWasNotDelivered) {
    RunningStub& stub = start();
    EXPECT_EQ(exchange(*connectLocal(stub.commandPort), L"appstub-push", {L"C:\\a"}),
              std::vector<std::wstring>{L"not delivered"});
}

TEST_F(AppStub, CommandServerDefaultsToTheVersionFolder) {
    ScopedConfig config(L"appstub-test-version");
    stub_ = std::make_unique<RunningStub>(folder_, L"--state-folder \"" + stateFolder() + L"\"");
    ASSERT_TRUE(stub_->waitUntilReady());
    const std::wstring portFile = settingsFolder() + L"\\appstub-test-version\\" + host_ + L".port";
    EXPECT_EQ(readLines(portFile), std::vector<std::string>{std::to_string(stub_->commandPort)});
    EXPECT_EQ(stub_->quit(), 0u);
    EXPECT_FALSE(isPresent(portFile));
    RemoveDirectoryW((settingsFolder() + L"\\appstub-test-version").c_str());
}

}  // namespace
