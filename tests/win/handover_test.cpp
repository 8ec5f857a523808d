// The extension starting Tavrel and handing its port to the application, and Tavrel.exe as a
// process: its start-up checks, its single instance and its port search. Every Tavrel a test
// starts is ended by its process id before the test is over, also when the test fails.
#include <gtest/gtest.h>
#include <winsock2.h>
#include <windows.h>
#include <tlhelp32.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <regex>
#include <stdexcept>
#include <thread>

#include "common/handles.h"
#include "common/text_error.h"
#include "link/quorvane.h"
#include "notifier/notifier.h"
#include "notifier/port_file.h"
#include "notifier/tavrel_runner.h"
#include "tests/win/appstub_process.h"
#include "tests/win/fake_server.h"
#include "tests/win/shell_recorder.h"
#include "tests/win/test_support.h"
#include "wire/line_socket.h"

using namespace testing_support;
using namespace std::chrono_literals;

namespace {

using Messages = std::vector<std::string>;

std::wstring tavrelProgram() { return moduleFolder() + L"\\Tavrel.exe"; }
std::wstring portFile() { return portFilePath(settingsFolder(), hostName(), kTavrelPortFileBase); }

std::string readBytes(const std::wstring& path) {
    std::ifstream in(std::filesystem::path(path), std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

bool contains(const Messages& messages, const std::string& message) {
    return std::find(messages.begin(), messages.end(), message) != messages.end();
}
std::size_t countOf(const Messages& messages, const std::string& message) {
    return static_cast<std::size_t>(std::count(messages.begin(), messages.end(), message));
}

template <typename Condition>
bool waitUntil(Condition condition, std::chrono::milliseconds limit = 10s) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

bool tavrelRuns() { return KernelHandle(OpenMutexW(SYNCHRONIZE, FALSE, L"Tavrel::Notifier")).get() != nullptr; }

void endProcess(HANDLE process) {
    if (WaitForSingleObject(process, 0) == WAIT_TIMEOUT) TerminateProcess(process, 99);
    WaitForSingleObject(process, 5000);
}

// Tavrel processes started on our behalf by the extension's code, which keeps no handle:
// found by their parent's process id (ours) and ended by their own.
std::vector<DWORD> tavrelChildren() { return tavrelProcesses(true); }

class ChildTavrelsEnded {
public:
    ~ChildTavrelsEnded() {
        for (DWORD id : tavrelChildren()) {
            KernelHandle process(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, id));
            if (process) endProcess(process.get());
        }
    }
};

// One Tavrel.exe started by the test itself, optionally with its standard output captured and
// with arguments.
class TavrelProcess {
public:
    explicit TavrelProcess(bool captureOutput = false, const std::wstring& arguments = L"") {
        SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
        HANDLE readEnd = nullptr, writeEnd = nullptr;
        if (captureOutput) {
            if (!CreatePipe(&readEnd, &writeEnd, &inheritable, 0)) throw std::runtime_error("no pipe");
            output_.reset(readEnd);
            SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
        }
        KernelHandle childEnd(writeEnd);
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        if (captureOutput) {
            startup.dwFlags = STARTF_USESTDHANDLES;
            startup.hStdOutput = writeEnd;
        }
        PROCESS_INFORMATION info = {};
        std::wstring commandLine = L"\"" + tavrelProgram() + L"\" " + arguments;
        if (!CreateProcessW(tavrelProgram().c_str(), commandLine.data(), nullptr, nullptr, captureOutput, 0, nullptr,
                            nullptr, &startup, &info))
            throw std::runtime_error("cannot start Tavrel.exe");
        process_.reset(info.hProcess);
        KernelHandle thread(info.hThread);
    }
    ~TavrelProcess() { endProcess(process_.get()); }

    // The exit code, or STILL_ACTIVE when it still runs after the wait.
    DWORD exitCode(DWORD waitMs) {
        WaitForSingleObject(process_.get(), waitMs);
        DWORD code = 0;
        GetExitCodeProcess(process_.get(), &code);
        return code;
    }
    // Everything written to standard output; call once the process has ended.
    std::string output() {
        std::string text;
        char buffer[256];
        DWORD got = 0;
        while (ReadFile(output_.get(), buffer, sizeof buffer, &got, nullptr) && got > 0) text.append(buffer, got);
        return text;
    }

private:
    KernelHandle process_;
    KernelHandle output_;
};

// The stand-in application with its state server published in the settings folder, where
// discovery looks for it.
std::unique_ptr<RunningStub> startStub(const std::wstring& folder, const std::wstring& options = L"") {
    auto stub = std::make_unique<RunningStub>(folder, L"--command-folder \"" + folder + L"\\cmd\" --state-folder \"" +
                                                          settingsFolder() + L"\\statuscache-1\" " + options);
    if (!stub->waitUntilReady()) throw std::runtime_error("appstub did not get ready");
    return stub;
}

std::vector<std::wstring> push(RunningStub& stub, const std::vector<std::wstring>& paths) {
    return exchange(*connectLocal(stub.commandPort), L"appstub-push", paths);
}

// Moves the settings folder aside for the life of the object.
class SettingsFolderAway {
public:
    SettingsFolderAway() : folder_(settingsFolder()), aside_(folder_ + L".aside") {
        if (!MoveFileW(folder_.c_str(), aside_.c_str())) throw std::runtime_error("cannot move the settings folder");
    }
    ~SettingsFolderAway() { MoveFileW(aside_.c_str(), folder_.c_str()); }

private:
    std::wstring folder_, aside_;
};

class Handover : public ::testing::Test {
protected:
    void SetUp() override {
        winsockGuard().acquire();
        clearLog();
        DeleteFileW(portFile().c_str());
        ASSERT_FALSE(tavrelRuns()) << "a Tavrel from elsewhere runs in this prefix";
        folder_ = L"C:\\handover-test";
        removeTree(folder_);
        ensureFolder(folder_);
    }
    void TearDown() override {
        DeleteFileW(portFile().c_str());
        removeTree(folder_);
        removeTree(settingsFolder() + L"\\statuscache-1");  // a killed stub leaves its port file
    }

    Messages journal() const { return readLines(folder_ + L"\\journal.txt"); }

    ChildTavrelsEnded childrenEnded_;  // destroyed after the test body, before the config goes
    ScopedConfig config_;
    std::wstring folder_;
};

// The first use after logon: Tavrel is started, publishes its port, the application learns it
// and pushes changed paths through it; later uses start nothing.
TEST_F(Handover, StartsTavrelTellsTheApplicationAndPathsReachTavrel) {
    config_.set(L"tavrel", tavrelProgram());
    config_.set(L"debug-logging", L"true");
    config_.set(L"notify-logging", L"true");
    auto stub = startStub(folder_);
    Quorvane link;
    link.runShellNotifier();

    const Messages afterStart = logMessages();
    EXPECT_TRUE(contains(afterStart, "TavrelRunner::startTavrelOnce Tavrel is live"));
    EXPECT_TRUE(contains(afterStart, "Quorvane::runShellNotifier notifyJustStarted=1"));
    ASSERT_EQ(tavrelChildren().size(), 1u);
    const std::string published = readBytes(portFile());
    ASSERT_FALSE(published.empty());
    EXPECT_EQ(std::to_string(link.notifierPort().load()), published);
    EXPECT_TRUE(contains(afterStart, "Quorvane::runShellNotifier Loaded port " + published));
    ASSERT_TRUE(waitUntil([&] { return !journal().empty(); }));
    EXPECT_EQ(journal().front(), "notify-started\t" + published);

    EXPECT_TRUE(push(*stub, {L"C:\\e2e\\a b.txt", L"C:\\e2e\\\x00e9", L"*"}).empty());
    ASSERT_TRUE(waitUntil(
        [] { return countOf(logMessages(), "Notifier::_tWinMain sent notification to the shell") == 3; }));
    const Messages forwarded = logMessages();
    EXPECT_TRUE(contains(forwarded, "Notifier::_tWinMain received line: C:\\e2e\\a b.txt"));
    EXPECT_TRUE(contains(forwarded, "Notifier::_tWinMain received line: C:\\e2e\\\xe9"));
    EXPECT_TRUE(contains(forwarded, "Notifier::_tWinMain received line: *"));

    // Another extension object, in this library or another: Tavrel runs, nothing is started.
    clearLog();
    Quorvane another;
    another.runShellNotifier();
    link.runShellNotifier();
    const Messages again = logMessages();
    EXPECT_EQ(countOf(again, "TavrelRunner::startTavrelOnce Tavrel process should be already running"), 2u);
    EXPECT_EQ(countOf(again, "Quorvane::runShellNotifier notifyJustStarted=0"), 2u);
    EXPECT_EQ(countOf(again, "Quorvane::runShellNotifier Loaded port " + published), 1u);  // the new library only
    EXPECT_EQ(tavrelChildren().size(), 1u);
    EXPECT_EQ(countOf(journal(), "notify-started\t" + published), 1u);
}

// The same hand-over to a Notifier in this process: what reaches the shell, call by call, from
// an application that ends its lines with CR LF and keeps its connection between bursts.
TEST_F(Handover, PushedPathsReachTheShellThroughTheNotifier) {
    RecordingLogger tavrelLog;
    ShellRecorder shell;
    RunningNotifier running(tavrelLog, shell.seam());
    ASSERT_TRUE(waitUntil([&] { return fileExists(portFile()); }));
    auto stub = startStub(folder_, L"--crlf");
    Quorvane link;
    link.sendNotifyStarted(running.notifier().port());
    ASSERT_TRUE(waitUntil([&] { return tavrelLog.count(L"Notifier::run Accepted connection") == 1; }));
    EXPECT_TRUE(push(*stub, {L"C:\\e2e\\\x4e2d.txt", L"*", L"C:\\e2e"}).empty());
    EXPECT_EQ(shell.waitFor(3), (std::vector<ShellCall>{pathChanged(L"C:\\e2e\\\x4e2d.txt"), everythingChanged(),
                                                        pathChanged(L"C:\\e2e")}));
    EXPECT_TRUE(push(*stub, {L"C:\\e2e\\next"}).empty());
    EXPECT_EQ(shell.waitFor(4).back(), pathChanged(L"C:\\e2e\\next"));
    EXPECT_EQ(tavrelLog.count(L"Notifier::run Accepted connection"), 1u);
}

TEST_F(Handover, NotifyStartedCarriesThePortAsItsOneArgument) {
    std::promise<std::string> received;
    FakeServer server([&](SOCKET s) { received.set_value(receiveRequest(s)); });
    config_.set(L"debug-logging", L"true");
    Quorvane link;
    link.stateServerPort() = server.port();
    link.sendNotifyStarted(4242);
    auto request = received.get_future();
    ASSERT_EQ(request.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(request.get(), "notify-started\n4242\n\n");
    EXPECT_TRUE(contains(logMessages(), "send command: notify-started"));

    // A state server that went away: logged, the port forgotten for discovery, nothing thrown.
    server.stop();
    link.sendNotifyStarted(4242);
    EXPECT_EQ(link.stateServerPort().load(), 0);
    bool logged = false;
    for (const std::string& m : logMessages()) logged |= m.rfind("Error while sending commands: ", 0) == 0;
    EXPECT_TRUE(logged);
}

// A program that cannot be started still counts as a start. Nothing was started, so nothing
// is deleted: the port file found is handed on as it is.
TEST_F(Handover, AFailedStartCountsAsAStartAndDeletesNothing) {
    config_.set(L"debug-logging", L"true");
    writeFile(portFile(), "4999");
    Quorvane link;
    link.runShellNotifier();
    const Messages messages = logMessages();
    EXPECT_TRUE(contains(messages, "Quorvane::runShellNotifier tavrelPath=C:\\QuorvaneTest\\bin\\Tavrel.exe"));
    bool startError = false;
    for (const std::string& m : messages)
        startError |= std::regex_match(m, std::regex(R"(TavrelRunner::startTavrelOnce Tavrel process start error: \d+)"));
    EXPECT_TRUE(startError);
    EXPECT_TRUE(contains(messages, "Quorvane::runShellNotifier notifyJustStarted=1"));
    EXPECT_TRUE(contains(messages, "Quorvane::runShellNotifier Attempting to send notify-started command"));
    EXPECT_EQ(link.notifierPort().load(), 4999);
    EXPECT_TRUE(fileExists(portFile()));
}

// A Tavrel that ends before it signals costs the starter its run time, not the whole wait.
TEST_F(Handover, AStartedTavrelThatEndsAtOnceEndsTheWait) {
    RecordingLogger log;
    TavrelRunner runner(log);
    SettingsFolderAway away;  // Tavrel leaves at once without its settings folder
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(runner.startTavrelOnce(tavrelProgram()));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
    EXPECT_EQ(log.count(L"TavrelRunner::startTavrelOnce Tavrel may be DEAD. Restart process needed"), 1u);
}

TEST_F(Handover, WithoutAnInstallationFolderNothingIsStartedOrRead) {
    config_.remove(L"");
    config_.set(L"tavrel", tavrelProgram());
    Quorvane link;
    link.runShellNotifier();
    EXPECT_EQ(logMessages(), Messages{"Quorvane::runShellNotifier Could not determine path"});
    EXPECT_EQ(link.notifierPort().load(), 0);
    EXPECT_TRUE(tavrelChildren().empty());
}

// While Tavrel runs (its mutex exists), the port file is read once per library and never again.
TEST_F(Handover, WhileTavrelRunsThePortFileIsReadOncePerLibrary) {
    config_.set(L"debug-logging", L"true");
    config_.set(L"tavrel", tavrelProgram());
    KernelHandle running(CreateMutexW(nullptr, TRUE, L"Tavrel::Notifier"));
    writeFile(portFile(), "4300");
    Quorvane link;
    link.runShellNotifier();
    writeFile(portFile(), "4301");
    link.runShellNotifier();
    EXPECT_EQ(link.notifierPort().load(), 4300);
    const Messages messages = logMessages();
    EXPECT_EQ(countOf(messages, "Quorvane::runShellNotifier Loaded port 4300"), 1u);
    EXPECT_EQ(countOf(messages, "Quorvane::runShellNotifier Attempting to send notify-started command"), 0u);
    EXPECT_TRUE(tavrelChildren().empty());
    ReleaseMutex(running.get());
}

TEST_F(Handover, TheRunnerGivesWayToAnotherStartAndToARunningTavrel) {
    RecordingLogger log;
    TavrelRunner runner(log);
    EXPECT_FALSE(runner.startTavrelOnce(L""));
    EXPECT_EQ(log.messages(), std::vector<std::wstring>{L"Cannot start Tavrel process with empty input path"});

    {
        // Another thread holds the start guard: this caller gives up at once.
        std::promise<void> taken, done;
        std::thread holder([&] {
            KernelHandle guard(CreateMutexW(nullptr, TRUE, L"TavrelRunner::startTavrelOnce"));
            taken.set_value();
            done.get_future().wait_for(10s);
            ReleaseMutex(guard.get());
        });
        taken.get_future().wait();
        EXPECT_FALSE(runner.startTavrelOnce(tavrelProgram()));
        done.set_value();
        holder.join();
        EXPECT_EQ(log.count(L"TavrelRunner::startTavrelOnce Another thread or process is starting service right now"),
                  1u);
    }

    KernelHandle running(CreateMutexW(nullptr, TRUE, L"Tavrel::Notifier"));
    EXPECT_FALSE(runner.startTavrelOnce(tavrelProgram()));
    EXPECT_EQ(log.count(L"TavrelRunner::startTavrelOnce Tavrel process should be already running"), 1u);
    ReleaseMutex(running.get());
    running.reset();

    // A "Tavrel::Notifier" that exists but cannot be opened as our mutex (an elevated Tavrel's,
    // or another object of that name) is a running Tavrel too: its port file stays.
    writeFile(portFile(), "4300");
    KernelHandle unopenable(CreateEventW(nullptr, TRUE, FALSE, L"Tavrel::Notifier"));
    EXPECT_FALSE(runner.startTavrelOnce(tavrelProgram()));
    EXPECT_EQ(log.count(L"TavrelRunner::startTavrelOnce Tavrel process should be already running"), 2u);
    EXPECT_EQ(readBytes(portFile()), "4300");
    EXPECT_TRUE(tavrelChildren().empty());
}

// The first free port from 4241 on, and a second instance that signals and leaves.
TEST_F(Handover, TavrelSkipsATakenPortAndASecondInstanceSignalsThenLeaves) {
    config_.set(L"notify-logging", L"TRUE");  // not "true": debug traces stay off
    LineSocket taken;
    try {
        taken.listenLocal(kFirstTavrelPort, 1);
    } catch (const TextError&) {
        // already taken by someone else: just as good
    }
    std::int32_t expected = kFirstTavrelPort + 1;
    for (;; ++expected) {
        LineSocket probe;
        try {
            probe.listenLocal(static_cast<std::uint16_t>(expected), 1);
            break;
        } catch (const TextError&) {
        }
    }

    TavrelProcess first;
    ASSERT_TRUE(waitUntil([] { return fileExists(portFile()); }));
    EXPECT_EQ(readBytes(portFile()), std::to_string(expected));
    EXPECT_TRUE(tavrelRuns());
    const Messages firstMessages = logMessages();
    EXPECT_TRUE(contains(firstMessages, "Tavrel::_tWinMain Could not open named event to signal start event"));
    EXPECT_FALSE(contains(firstMessages, "Tavrel::_tWinMain Entered under mutex"));

    KernelHandle started(CreateEventW(nullptr, FALSE, FALSE, L"Tavrel::Started"));
    TavrelProcess second;
    EXPECT_EQ(WaitForSingleObject(started.get(), 5000), WAIT_OBJECT_0);
    EXPECT_EQ(second.exitCode(10000), 0u);
    EXPECT_TRUE(contains(logMessages(),
                         "Tavrel::_tWinMain Another instance of application is already running. Exiting..."));
    EXPECT_EQ(readBytes(portFile()), std::to_string(expected));
    EXPECT_EQ(first.exitCode(0), static_cast<DWORD>(STILL_ACTIVE));
}

TEST_F(Handover, TavrelWithoutItsSettingsFolderSaysSoAndLeavesWithoutSignalling) {
    KernelHandle started(CreateEventW(nullptr, FALSE, FALSE, L"Tavrel::Started"));
    SettingsFolderAway away;
    TavrelProcess tavrel(true);
    EXPECT_EQ(tavrel.exitCode(10000), static_cast<DWORD>(-1));
    EXPECT_EQ(tavrel.output(), "Shell integration home does not exist.\n");
    EXPECT_EQ(WaitForSingleObject(started.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_FALSE(tavrelRuns());
}

// An installer frees Tavrel.exe by asking the running Tavrel to end: the end of the session (what
// the Restart Manager sends too) is granted, and "Tavrel.exe /end" returns only once it has gone.
TEST_F(Handover, TavrelEndsWhenAskedSoThatItsFileCanBeReplaced) {
    config_.set(L"notify-logging", L"true");
    TavrelProcess nothingToEnd(false, L"/end");
    EXPECT_EQ(nothingToEnd.exitCode(10000), 0u);
    EXPECT_FALSE(tavrelRuns());

    const auto waitForWindow = [] {
        HWND window = nullptr;
        waitUntil([&window] { return (window = FindWindowW(L"Tavrel::Notifier", nullptr)) != nullptr; });
        return window;
    };
    TavrelProcess tavrel;
    HWND window = waitForWindow();
    ASSERT_NE(window, nullptr);
    DWORD_PTR answer = FALSE;
    ASSERT_TRUE(SendMessageTimeoutW(window, WM_QUERYENDSESSION, 0, ENDSESSION_CLOSEAPP, SMTO_ABORTIFHUNG, 5000, &answer));
    EXPECT_EQ(answer, static_cast<DWORD_PTR>(TRUE));
    EXPECT_EQ(tavrel.exitCode(0), static_cast<DWORD>(STILL_ACTIVE)) << "asking whether it may end ended it";

    TavrelProcess ender(false, L"/end");
    EXPECT_EQ(ender.exitCode(20000), 0u);
    EXPECT_EQ(tavrel.exitCode(0), 0u) << "/end returned before Tavrel had ended";
    EXPECT_FALSE(tavrelRuns());
    EXPECT_TRUE(contains(logMessages(), "Tavrel::_tWinMain leave"));

    TavrelProcess next;  // the mutex was released: a new one starts and serves
    window = waitForWindow();
    ASSERT_NE(window, nullptr);
    EXPECT_TRUE(tavrelRuns());
    SendMessageTimeoutW(window, WM_ENDSESSION, TRUE, ENDSESSION_CLOSEAPP, SMTO_ABORTIFHUNG, 5000, &answer);
    EXPECT_EQ(next.exitCode(10000), 0u);
}

}  // namespace
