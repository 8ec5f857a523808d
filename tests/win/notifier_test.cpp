// Tavrel's listening side in-process, with the shell replaced by a recorder: what each line
// turns into, how connections end, and that a bad connection never costs the listener.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

#include "common/text_error.h"
#include "notifier/notifier.h"
#include "notifier/port_file.h"
#include "tests/win/fake_server.h"
#include "tests/win/shell_recorder.h"
#include "tests/win/test_support.h"
#include "wire/line_socket.h"

using namespace testing_support;
using namespace std::chrono_literals;

namespace {

// The application's end of a connection, sending raw bytes so that malformed lines can be sent.
class RawClient {
public:
    explicit RawClient(std::int32_t port) : socket_(::socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<u_short>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = connect(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~RawClient() { closesocket(socket_); }
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    bool connected() const { return connected_; }
    void send(const std::string& bytes) { sendAll(socket_, bytes); }
    // True when the notifier has closed the connection within the time (it never sends anything).
    bool closedByPeer(DWORD waitMs) {
        const DWORD timeout = waitMs;
        setsockopt(socket_, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);
        char byte;
        const int got = recv(socket_, &byte, 1, 0);
        return got == 0 || (got == SOCKET_ERROR && WSAGetLastError() != WSAETIMEDOUT);
    }

private:
    SOCKET socket_;
    bool connected_ = false;
};

std::string readBytes(const std::wstring& path) {
    std::ifstream in(std::filesystem::path(path), std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::wstring portFile() { return portFilePath(settingsFolder(), hostName(), kTavrelPortFileBase); }

class InProcessNotifier : public ::testing::Test {
protected:
    void SetUp() override {
        winsockGuard().acquire();
        ensureFolder(settingsFolder());
        DeleteFileW(portFile().c_str());
    }
    void TearDown() override {
        running_.reset();
        DeleteFileW(portFile().c_str());
    }
    // Starts the listening loop and waits until its port file is there.
    Notifier& start(AcceptConnection accept = &acceptPending) {
        running_ = std::make_unique<RunningNotifier>(logger_, shell_.seam(), std::move(accept));
        for (int i = 0; i < 500 && (running_->notifier().port() == 0 || !fileExists(portFile())); ++i)
            std::this_thread::sleep_for(10ms);
        return running_->notifier();
    }
    std::int32_t port() { return running_->notifier().port(); }

    RecordingLogger logger_;
    ShellRecorder shell_;
    std::unique_ptr<RunningNotifier> running_;
};

TEST_F(InProcessNotifier, EachLineBecomesOneNotificationOfTheLineAsItCame) {
    start();
    RawClient client(port());
    ASSERT_TRUE(client.connected());
    // A path, a pattern with an asterisk, a lone asterisk, escaped units and a blank kept as sent.
    client.send("C:\\\\My Files\\\\a.txt\nC:\\\\*.tmp\n*\nC:\\\\\\u00e9\\u4e2d\nC:\\\\b \n");
    const std::vector<ShellCall> expected = {pathChanged(L"C:\\My Files\\a.txt"), everythingChanged(),
                                             everythingChanged(), pathChanged(L"C:\\\x00e9\x4e2d"),
                                             pathChanged(L"C:\\b ")};
    EXPECT_EQ(shell_.waitFor(expected.size()), expected);
    // Each line's last trace follows its notification: wait for it, not for a fixed time.
    EXPECT_TRUE(logger_.waitFor(L"Notifier::_tWinMain sent notification to the shell", expected.size()));
    EXPECT_EQ(logger_.count(L"Notifier::_tWinMain received line: "), expected.size());
    EXPECT_EQ(logger_.count(L"Notifier::_tWinMain sent notification to the shell"), expected.size());
}

// CR LF is one line end, and a line ended by CR is forwarded before its LF has arrived.
TEST_F(InProcessNotifier, AnEmptyLineEndsTheConnectionAndCarriageReturnLineFeedIsOneLineEnd) {
    start();
    {
        RawClient client(port());
        client.send("C:\\\\a\n\nC:\\\\never\n");
        EXPECT_TRUE(client.closedByPeer(3000));
    }
    {
        RawClient client(port());
        client.send("C:\\\\b\r\nC:\\\\c\r\nC:\\\\d\r");
        EXPECT_EQ(shell_.waitFor(4).size(), 4u);
        client.send("\n\r\nC:\\\\never\r\n");
        EXPECT_TRUE(client.closedByPeer(3000));
    }
    EXPECT_EQ(shell_.calls(), (std::vector<ShellCall>{pathChanged(L"C:\\a"), pathChanged(L"C:\\b"),
                                                      pathChanged(L"C:\\c"), pathChanged(L"C:\\d")}));
    EXPECT_EQ(logger_.count(L"Notifier::run Accepted connection"), 2u);
    EXPECT_EQ(logger_.count(L"Notifier::run Exception"), 0u);
}

TEST_F(InProcessNotifier, ABadEscapeDropsOnlyThatConnection) {
    start();
    const std::int32_t first = port();
    const std::string published = readBytes(portFile());
    {
        RawClient client(port());
        client.send("C:\\\\a\nC:\\\\bad\\q\nC:\\\\lost\n");
        EXPECT_TRUE(client.closedByPeer(3000));
    }
    ASSERT_TRUE(logger_.waitFor(L"Notifier::run Exception: "));
    // The listener stayed: same port, same file, and the next connection is served at once.
    RawClient next(first);
    ASSERT_TRUE(next.connected());
    next.send("C:\\\\c\n");
    EXPECT_EQ(shell_.waitFor(2), (std::vector<ShellCall>{pathChanged(L"C:\\a"), pathChanged(L"C:\\c")}));
    EXPECT_EQ(port(), first);
    EXPECT_EQ(readBytes(portFile()), published);
    EXPECT_EQ(logger_.count(L"Notifier::run Looking for free port to connect"), 1u);
}

// Connections are served side by side and kept for as long as their peers keep them: one
// that goes silent mid-line delays nobody, and an application idle between bursts loses nothing.
TEST_F(InProcessNotifier, ASilentConnectionDelaysNoOtherAndAKeptOneLosesNothingAfterLongSilence) {
    start();
    const std::int32_t first = port();
    RawClient silent(first);
    silent.send("C:\\\\a\nC:\\\\half");  // and then nothing more, not even the line's end
    ASSERT_EQ(shell_.waitFor(1).size(), 1u);
    const auto queued = std::chrono::steady_clock::now();
    RawClient application(first);
    application.send("C:\\\\b\n");
    EXPECT_EQ(shell_.waitFor(2), (std::vector<ShellCall>{pathChanged(L"C:\\a"), pathChanged(L"C:\\b")}));
    EXPECT_LT(std::chrono::steady_clock::now() - queued, 2s);
    std::this_thread::sleep_for(7s);  // longer than any receive time-out
    application.send("C:\\\\c\n");
    ASSERT_EQ(shell_.waitFor(3).size(), 3u);
    silent.send("\n");
    EXPECT_EQ(shell_.waitFor(4), (std::vector<ShellCall>{pathChanged(L"C:\\a"), pathChanged(L"C:\\b"),
                                                         pathChanged(L"C:\\c"), pathChanged(L"C:\\half")}));
    EXPECT_FALSE(application.closedByPeer(100));
    EXPECT_EQ(logger_.count(L"Notifier::run Exception"), 0u);
    EXPECT_EQ(port(), first);
}

// A connection that is reset before Tavrel takes it (a probe, a crashed process) costs nobody
// anything: the listener stays on its port and the application's lines all arrive.
TEST_F(InProcessNotifier, ClientsThatResetAtOnceLeaveTheListenerAndTheOtherConnections) {
    start();
    const std::int32_t first = port();
    const std::string published = readBytes(portFile());
    RawClient application(first);
    constexpr int kLines = 30;
    for (int i = 0; i < 10 * kLines; ++i) {
        const SOCKET reset = ::socket(AF_INET, SOCK_STREAM, 0);
        const linger abort = {1, 0};  // closing sends a reset
        setsockopt(reset, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abort), sizeof abort);
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<u_short>(first));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connect(reset, reinterpret_cast<sockaddr*>(&address), sizeof address);
        closesocket(reset);
        if (i % 10 == 0) application.send("C:\\\\p" + std::to_string(i / 10) + "\n");
    }
    EXPECT_EQ(shell_.waitFor(kLines).size(), std::size_t{kLines});
    EXPECT_EQ(port(), first);
    EXPECT_EQ(readBytes(portFile()), published);
    EXPECT_EQ(logger_.count(L"Notifier::run Looking for free port to connect"), 1u);
    EXPECT_EQ(logger_.count(L"Notifier::run Exception"), 0u);
}

// At the limit a new connection first pushes out one that never sent a line, then the one
// heard from least recently: idle local connections cannot push out the application's.
TEST_F(InProcessNotifier, AtTheLimitSilentNewcomersGoBeforeTheLeastRecentlyHeard) {
    start();
    std::vector<std::unique_ptr<RawClient>> senders;
    for (std::size_t i = 0; i < Notifier::kMaxConnections; ++i) {
        senders.push_back(std::make_unique<RawClient>(port()));
        senders.back()->send("C:\\\\c" + std::to_string(i) + "\n");
        ASSERT_EQ(shell_.waitFor(i + 1).size(), i + 1);  // heard in this order
    }
    RawClient quiet(port());
    EXPECT_TRUE(senders.front()->closedByPeer(3000));
    std::vector<std::unique_ptr<RawClient>> idle;
    for (int i = 0; i < 40; ++i) idle.push_back(std::make_unique<RawClient>(port()));
    EXPECT_TRUE(quiet.closedByPeer(3000));
    EXPECT_TRUE(idle[38]->closedByPeer(3000));
    EXPECT_FALSE(idle[39]->closedByPeer(100));
    RawClient& application = *senders[1];
    EXPECT_FALSE(application.closedByPeer(100));
    application.send("C:\\\\again\n");
    EXPECT_EQ(shell_.waitFor(Notifier::kMaxConnections + 1).back(), pathChanged(L"C:\\again"));
    EXPECT_EQ(logger_.count(L"Notifier::run 32 connections open: closed the one heard from least recently"), 1u);
    EXPECT_EQ(logger_.count(L"Notifier::run 32 connections open: closed one that never sent a line"), 40u);
}

// Out of sockets or buffers, accept fails and leaves the connection queued, so the listener
// stays readable: accepting pauses instead of spinning, the connections already open are
// served meanwhile, and the shortage is logged once.
TEST_F(InProcessNotifier, AcceptShortOfResourcesPausesAndGoesOn) {
    std::atomic<bool> shortage{false};
    std::atomic<int> attempts{0};
    start([&](LineSocket& listener, int* skipped) -> std::unique_ptr<LineSocket> {
        if (!shortage) return listener.acceptConnection(skipped);
        ++attempts;
        *skipped = attempts % 2 ? WSAEMFILE : WSAENOBUFS;
        return nullptr;
    });
    RawClient application(port());
    application.send("C:\\\\a\n");
    ASSERT_EQ(shell_.waitFor(1).size(), 1u);
    shortage = true;
    RawClient waiting(port());
    waiting.send("C:\\\\late\n");
    std::this_thread::sleep_for(500ms);
    application.send("C:\\\\b\n");
    EXPECT_EQ(shell_.waitFor(2).back(), pathChanged(L"C:\\b"));
    std::this_thread::sleep_for(2s);
    EXPECT_GE(attempts.load(), 2);
    EXPECT_LE(attempts.load(), 5);  // a spinning loop tries thousands of times
    shortage = false;
    EXPECT_EQ(shell_.waitFor(3).back(), pathChanged(L"C:\\late"));
    EXPECT_EQ(logger_.count(L"Notifier::run Cannot accept a connection for lack of resources (error 10024); "
                            L"trying again every 1000 ms"),
              1u);
    EXPECT_EQ(logger_.count(L"Notifier::run Looking for free port to connect"), 1u);
}

// A port file that cannot be written fails the whole listening cycle: it is retried after a
// pause, and the cycle given up left no socket behind, so the same port is found again.
TEST_F(InProcessNotifier, APortFileThatCannotBeWrittenIsRetriedOnTheSamePort) {
    ASSERT_TRUE(CreateDirectoryW(portFile().c_str(), nullptr));  // a folder where the file should be
    start();
    ASSERT_TRUE(logger_.waitFor(L"Notifier::run Exception: Cannot create port file " + portFile()));
    EXPECT_EQ(logger_.count(L"Cannot create port file " + portFile()), 1u);
    const std::int32_t failedPort = port();
    RemoveDirectoryW(portFile().c_str());
    for (int i = 0; i < 500 && !fileExists(portFile()); ++i) std::this_thread::sleep_for(10ms);
    EXPECT_EQ(readBytes(portFile()), std::to_string(failedPort));
    EXPECT_EQ(logger_.count(L"Notifier::run Looking for free port to connect"), 2u);
    RawClient client(port());
    client.send("*\n");
    EXPECT_EQ(shell_.waitFor(1), std::vector<ShellCall>{everythingChanged()});
}

class NotifierParts : public ::testing::Test {
protected:
    void SetUp() override { winsockGuard().acquire(); }
    RecordingLogger logger_;
    ShellRecorder shell_;
    Notifier notifier_{logger_, shell_.seam()};
};

TEST_F(NotifierParts, FindFreePortSkipsTakenPortsAndGivesUpBelowTheTop) {
    LineSocket taken;
    std::int32_t held = unusedPort();
    taken.listenLocal(static_cast<std::uint16_t>(held), 1);
    std::int32_t port = held;
    std::unique_ptr<LineSocket> listener = notifier_.findFreePort(port);
    EXPECT_GT(port, held);
    EXPECT_TRUE(RawClient(port).connected());

    LineSocket top;
    try {
        top.listenLocal(65534, 1);
    } catch (const TextError&) {
        // someone else holds it: just as good
    }
    std::int32_t last = 65534;
    try {
        notifier_.findFreePort(last);
        FAIL() << "65535 must never be tried";
    } catch (const TextError& e) {
        EXPECT_EQ(e.text(), L"Can't find free local port: INVALID_SOCKET");
    }
    EXPECT_EQ(last, 65535);
}

TEST_F(NotifierParts, WritePortFileReplacesTheFileAndTellsAMissingFolderFromAnUnwritableFile) {
    const std::wstring folder = L"C:\\notifier-test-ports";
    removeTree(folder);
    EXPECT_FALSE(notifier_.writePortFile(folder, L".x", 4241));
    EXPECT_FALSE(fileExists(folder));

    ensureFolder(folder);
    const std::wstring path = portFilePath(folder, hostName(), L".x");
    writeFile(path, "65000\r\n");
    EXPECT_TRUE(notifier_.writePortFile(folder, L".x", 4243));
    EXPECT_EQ(readBytes(path), "4243");

    DeleteFileW(path.c_str());
    CreateDirectoryW(path.c_str(), nullptr);
    try {
        notifier_.writePortFile(folder, L".x", 4244);
        ADD_FAILURE() << "a folder in the file's place cannot be written";
    } catch (const TextError& e) {
        EXPECT_EQ(e.text(), L"Cannot create port file " + path);
    }
    EXPECT_EQ(logger_.count(L"Cannot create port file " + path), 1u);
    removeTree(folder);
}

}  // namespace
