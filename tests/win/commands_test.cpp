#include <gtest/gtest.h>

#include <winsock2.h>  // before windows.h, which shellapi.h brings
#include <shellapi.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>
#include <thread>

#include "common/handles.h"
#include "link/command_line.h"
#include "link/command_tree.h"
#include "link/quorvane.h"
#include "tests/win/appstub_process.h"
#include "tests/win/fake_server.h"
#include "tests/win/test_support.h"
#include "wire/line_socket.h"

using namespace testing_support;
using namespace std::chrono_literals;

namespace {

using Messages = std::vector<std::string>;
using Paths = std::vector<std::wstring>;

const std::wstring kVersion = L"9.9.9-test";
const std::wstring kTestRoot = L"C:\\commands-test";
const std::wstring kInstall = kTestRoot + L"\\install";

constexpr char kExampleReply[] =
    "quick-commands\t2\nc1\tFirst\ttrue\nc2\tSecond\tfalse\n"
    "group\t2\tg1\tGroup one\nc3\tThird\ttrue\ngroup\t1\tg2\tGroup two\nc4\tFourth\ttrue\n";

std::string describe(const CommandCollection& entries);

// "name:label" ("!" when disabled), a group followed by its entries in braces.
std::string describe(const Command& entry) {
    std::string text = narrow(entry.name() + L":" + entry.label()) + (entry.enabled() ? "" : "!");
    if (const auto* group = dynamic_cast<const CommandGroup*>(&entry)) text += describe(group->children());
    return text;
}

std::string describe(const CommandCollection& entries) {
    std::string text = "{";
    for (const auto& entry : entries) text += (text.size() > 1 ? " " : "") + describe(*entry);
    return text + "}";
}

std::string describe(const CommandTree& tree) {
    std::string text = tree.quickCommands ? "quick" + describe(*tree.quickCommands) : "no quick";
    for (const auto& group : tree.groups) text += " " + describe(*group);
    return text;
}

// Everything the peer sends until it closes its side; "(failed)" when the connection broke.
std::string receiveUntilClosed(SOCKET s) {
    std::string bytes;
    char buffer[512];
    int got;
    while ((got = recv(s, buffer, sizeof buffer, 0)) > 0) bytes.append(buffer, static_cast<std::size_t>(got));
    return got == 0 ? bytes : "(failed)";
}

bool hasErrorLine(const Messages& messages) {
    for (const std::string& m : messages)
        if (m.find("Error") != std::string::npos || m.find("failed") != std::string::npos) return true;
    return false;
}

std::string readText(const std::wstring& path) {
    std::ifstream in{std::filesystem::path(path), std::ios::binary};
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

bool waitFor(const std::function<bool()>& condition) {
    for (int i = 0; i < 500; ++i) {
        if (condition()) return true;
        std::this_thread::sleep_for(20ms);
    }
    return false;
}

class CommandServer : public ::testing::Test {
protected:
    void SetUp() override {
        winsockGuard().acquire();
        clearLog();
    }
    ScopedConfig config_{kVersion};
};

TEST_F(CommandServer, TheReplyBecomesATreeOnAConnectionClosedAfterIt) {
    std::promise<std::string> request;
    std::promise<std::string> afterReply;
    FakeServer server([&](SOCKET s) {
        request.set_value(receiveRequest(s));
        sendAll(s, std::string(kExampleReply) + "\n");
        afterReply.set_value(receiveUntilClosed(s));
    });
    Quorvane link;
    link.commandServerPort() = server.port();
    const std::unique_ptr<CommandTree> tree = link.getCommands({L"C:\\a", L"D:\\b c\\"});
    ASSERT_TRUE(tree);
    EXPECT_EQ(describe(*tree), "quick{c1:First c2:Second!} g1:Group one{c3:Third g2:Group two{c4:Fourth}}");
    EXPECT_EQ(request.get_future().get(), "get-commands\nC:\\\\a\nD:\\\\b c\\\\\n\n");
    std::future<std::string> rest = afterReply.get_future();
    ASSERT_EQ(rest.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(rest.get(), "");  // closed by the client, nothing more sent
    EXPECT_EQ(server.connections(), 1);
    EXPECT_EQ(link.commandServerPort().load(), server.port());
    EXPECT_TRUE(logMessages().empty());
}

TEST_F(CommandServer, AnEmptyOrRejectedReplyGivesNoTreeAndAtMostOneErrorLine) {
    std::string tooDeep;
    for (int level = 0; level <= kMaxGroupDepth; ++level) tooDeep += "group\t1\tg\tG\n";
    tooDeep += "c\tC\ttrue\n";
    const std::pair<std::string, std::string> cases[] = {
        {"", ""},
        {"c1\tFirst\ttrue\n", "Invalid element 'c1' on first level."},
        {"quick-commands\t0\n", "Command collection must contain at least one command"},
        {"quick-commands\t3\nc1\tA\ttrue\nc2\tB\ttrue\n", "Unexpected end of commands/groups."},
        {"quick-commands\t1\nc1\tA\ttrue\nc2\tB\ttrue\n", "Invalid element 'c2' on first level."},
        {"group\t1\tg1\nc1\tA\ttrue\n", "Expected to receive four tokens"},
        {"undecodable \\q\n", "Bad string encoding, 'u' expected."},
        {tooDeep, "Command groups nested too deeply"},
    };
    std::atomic<std::size_t> current{0};
    FakeServer server([&](SOCKET s) {
        receiveRequest(s);
        sendAll(s, cases[current.load()].first + "\n");
    });
    Quorvane link;
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        current = i;
        clearLog();
        link.commandServerPort() = server.port();
        EXPECT_FALSE(link.getCommands({L"C:\\x"})) << cases[i].first;
        const std::string& text = cases[i].second;
        EXPECT_EQ(logMessages(), text.empty() ? Messages{} : Messages{"Error while retrieving commands: " + text});
    }
}

TEST_F(CommandServer, ARefusedConnectionDropsTheRequestAndForgetsThePort) {
    Quorvane link;
    link.commandServerPort() = unusedPort();
    EXPECT_FALSE(link.getCommands({L"C:\\x"}));
    EXPECT_EQ(link.commandServerPort().load(), 0);

    link.commandServerPort() = unusedPort();
    link.sendCommand(L"share", {L"C:\\x"});
    EXPECT_EQ(link.commandServerPort().load(), 0);

    const Messages messages = logMessages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0].rfind("Error while retrieving commands: connect", 0), 0u) << messages[0];
    EXPECT_EQ(messages[1].rfind("Error while sending commands: connect", 0), 0u) << messages[1];
}

TEST_F(CommandServer, ACommandIsFiveLinesForThreePathsAndNothingIsRead) {
    config_.set(L"recv-timeout", L"60000");  // a read would hold the call for a minute
    std::promise<std::string> received;
    FakeServer server([&](SOCKET s) { received.set_value(receiveUntilClosed(s)); });
    Quorvane link;
    link.commandServerPort() = server.port();
    const auto start = std::chrono::steady_clock::now();
    link.sendCommand(L"share", {L"C:\\a", L"D:\\b c\\", L"E:\\\x00e9\x4e2d"});
    EXPECT_LT(std::chrono::steady_clock::now() - start, 20s);
    std::future<std::string> bytes = received.get_future();
    ASSERT_EQ(bytes.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(bytes.get(), "share\nC:\\\\a\nD:\\\\b c\\\\\nE:\\\\\\u00e9\\u4e2d\n\n");
    EXPECT_EQ(logMessages(), Messages{"recv-timeout is 60000"});
}

// A crashed application leaves its port file behind, and something else may listen there now.
TEST_F(CommandServer, WithoutARunningServerNothingIsSentAndNoErrorIsWritten) {
    config_.set(L"debug-logging", L"true");
    const std::wstring versionFolder = settingsFolder() + L"\\" + kVersion;
    FakeServer bystander([](SOCKET) {});
    ensureFolder(versionFolder);
    const std::wstring portFile = versionFolder + L"\\" + hostName() + L".port";
    writeFile(portFile, std::to_string(bystander.port()));
    writeFile(portFile + L".lock", "");  // not held by anyone
    Quorvane link;
    clearLog();
    EXPECT_FALSE(link.getCommands({L"C:\\x"}));
    link.sendCommand(L"share", {L"C:\\x"});
    removeTree(versionFolder);

    EXPECT_EQ(bystander.connections(), 0);
    EXPECT_FALSE(link.isCommandServerKnown());
    const Messages messages = logMessages();
    EXPECT_FALSE(hasErrorLine(messages));
    const auto sent = std::find(messages.begin(), messages.end(), "Quorvane::sendCommand");
    ASSERT_NE(sent, messages.end());
    EXPECT_EQ(messages.back(), "command server not running");
    EXPECT_EQ(messages.front(), "Quorvane::getCommands");
}

// --- against the stand-in application, found the way the application publishes itself ---

TEST_F(CommandServer, TheStandInApplicationIsFoundAndGetsTheChosenCommand) {
    const std::wstring folder = kTestRoot + L"\\stub";
    removeTree(kTestRoot);
    ensureFolder(folder);
    writeFile(folder + L"\\commands.txt", kExampleReply);
    const std::wstring journal = folder + L"\\journal.txt";
    {
        RunningStub stub(folder, L"--no-state-server --commands \"" + folder + L"\\commands.txt\"");
        ASSERT_TRUE(stub.waitUntilReady());
        Quorvane link;  // knows no port: discovery reads the published files
        const std::unique_ptr<CommandTree> tree = link.getCommands({L"C:\\w\\a.txt"});
        ASSERT_TRUE(tree);
        EXPECT_EQ(describe(*tree), "quick{c1:First c2:Second!} g1:Group one{c3:Third g2:Group two{c4:Fourth}}");
        link.sendCommand(L"c3", {L"C:\\w\\a.txt", L"C:\\w\\b c"});
        // Each connection is served on a thread of its own: let the command land before the stop.
        EXPECT_TRUE(waitFor([&] { return readText(journal).find("c3\t") != std::string::npos; }));
        link.sendCommand(L"appstub-quit", {});  // the stand-in's own request: it stops cleanly
        EXPECT_EQ(stub.exitCode(15000), 0u);
    }
    EXPECT_EQ(readText(journal), "get-commands\tC:\\w\\a.txt\nc3\tC:\\w\\a.txt\tC:\\w\\b c\nappstub-quit\n");
    removeTree(kTestRoot);
    removeTree(settingsFolder() + L"\\" + kVersion);
}

// --- starting the application program ---

// What the recorder wrote down about its start.
struct Record {
    std::wstring commandLine;
    Paths arguments;     // as CommandLineToArgvW split them, the program left out
    Paths crtArguments;  // as the C runtime split them for wmain
    std::wstring folder;
    int consoleProcesses = -1;
};

Record parseRecord(const std::wstring& text) {
    Record record;
    std::wistringstream in(text);
    for (std::wstring line; std::getline(in, line);) {
        const std::size_t equals = line.find(L'=');
        const std::wstring key = line.substr(0, equals), value = line.substr(equals + 1);
        if (key == L"commandline") record.commandLine = value;
        if (key == L"arg") record.arguments.push_back(value);
        if (key == L"crtarg") record.crtArguments.push_back(value);
        if (key == L"folder") record.folder = value;
        if (key == L"consoleprocesses") record.consoleProcesses = std::stoi(value);
    }
    return record;
}

class ApplicationStart : public ::testing::Test {
protected:
    void SetUp() override {
        removeTree(kTestRoot);
        ensureFolder(kInstall);
        SetEnvironmentVariableW(L"QV_RECORDER_OUTPUT", recordFile().c_str());
        config_.set(L"executable", recorder());
        clearLog();
    }
    void TearDown() override {
        SetEnvironmentVariableW(L"QV_RECORDER_OUTPUT", nullptr);
        removeTree(kTestRoot);
    }

    static std::wstring recorder() { return moduleFolder() + L"\\recorder.exe"; }
    static std::wstring recordFile() { return kTestRoot + L"\\record.txt"; }
    static std::wstring copyOfRecorder(const std::wstring& path) {
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
        std::filesystem::copy_file(std::filesystem::path(recorder()), std::filesystem::path(path),
                                   std::filesystem::copy_options::overwrite_existing);
        return path;
    }

    // The record of the started program, taken away so that the next start writes a new one.
    // Under Wine the renamed file can show up a moment before it can be opened: read until
    // something comes back.
    Record takeRecord() {
        std::string bytes;
        if (!waitFor([&] { return !(bytes = readText(recordFile())).empty(); })) {
            ADD_FAILURE() << "the started program wrote no record";
            return {};
        }
        DeleteFileW(recordFile().c_str());
        return parseRecord(std::wstring(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / 2));
    }

    Record startAndRecord(Quorvane& link, const std::wstring& path) {
        DeleteFileW(recordFile().c_str());
        EXPECT_TRUE(link.startApplication(path)) << narrow(path);
        return takeRecord();
    }

    ScopedConfig config_{kVersion, kInstall};
};

TEST_F(ApplicationStart, TheSelectedPathIsTheOneArgumentInTheInstallationFolder) {
    const std::wstring paths[] = {L"C:\\",
                                  L"C:\\My Files\\a b.txt",
                                  L"D:\\\x00e9t\x00e9 \x6587\x4ef6\\",
                                  L"\\\\server\\share\\dir\\\\",
                                  L"C:\\odd\"name\\",
                                  L""};
    Quorvane link;
    for (const std::wstring& path : paths) {
        const Record record = startAndRecord(link, path);
        EXPECT_EQ(record.arguments, Paths{path}) << narrow(record.commandLine);
        EXPECT_EQ(record.crtArguments, Paths{path}) << narrow(record.commandLine);
        EXPECT_EQ(record.folder, kInstall);
        EXPECT_EQ(record.commandLine.rfind(L"\"" + recorder() + L"\" ", 0), 0u) << narrow(record.commandLine);
    }
    EXPECT_EQ(logMessages(), Messages(std::size(paths), "Quorvane::startApplication application successfully started"));
}

TEST_F(ApplicationStart, TheProgramIsFoundInTheInstallationFolderOrWhereverConfigured) {
    copyOfRecorder(kInstall + L"\\bin\\quorvane.exe");
    config_.remove(L"executable");
    Quorvane link;
    Record record = startAndRecord(link, L"C:\\x");
    EXPECT_EQ(record.arguments, Paths{L"C:\\x"}) << narrow(record.commandLine);

    config_.set(L"", kInstall + L"\\");  // as an installer may write it
    record = startAndRecord(link, L"C:\\y");
    EXPECT_EQ(record.arguments, Paths{L"C:\\y"});
    EXPECT_EQ(record.commandLine, L"\"" + kInstall + L"\\bin\\quorvane.exe\" \"C:\\y\"");

    const std::wstring elsewhere = copyOfRecorder(kTestRoot + L"\\Program Files \x00e9\x4e2d\\rec.exe");
    config_.set(L"executable", elsewhere);
    record = startAndRecord(link, L"C:\\z");
    EXPECT_EQ(record.arguments, Paths{L"C:\\z"});
    EXPECT_EQ(record.commandLine.rfind(L"\"" + elsewhere + L"\"", 0), 0u);
}

// Under Wine no console has a window, so the console is told apart by who shares it: without
// the switch the program gets a new console of its own (CREATE_NO_WINDOW), with it the program
// shares the console of the test program (under Wine one that lists no processes at all).
TEST_F(ApplicationStart, TheProgramSharesTheStartersConsoleOnlyWithTheConsoleSwitch) {
    Quorvane link;
    EXPECT_EQ(startAndRecord(link, L"C:\\x").consoleProcesses, 1);
    const std::pair<std::wstring, int> values[] = {{L"TRUE", 1}, {L"yes", 1}, {L"true ", 1}};
    for (const auto& [value, processes] : values) {
        config_.set(L"console", value);
        EXPECT_EQ(startAndRecord(link, L"C:\\x").consoleProcesses, processes) << narrow(value);
    }
    config_.set(L"console", L"true");
    EXPECT_NE(startAndRecord(link, L"C:\\x").consoleProcesses, 1);
}

TEST_F(ApplicationStart, NothingStartsWithoutAnInstallationFolder) {
    config_.remove(L"");  // "executable" still names an existing program
    Quorvane link;
    EXPECT_FALSE(link.startApplication(L"C:\\x"));
    const Messages messages = logMessages();
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages.back(), "Quorvane::startApplication could not determine path");
    EXPECT_FALSE(fileExists(recordFile()));
}

TEST_F(ApplicationStart, AProgramThatCannotBeStartedIsReported) {
    Quorvane link;
    config_.set(L"executable", kTestRoot + L"\\missing.exe");
    EXPECT_FALSE(link.startApplication(L"C:\\x"));
    config_.set(L"executable", L"C:\\bad\"name.exe");  // no command line can carry it
    EXPECT_FALSE(link.startApplication(L"C:\\x"));
    config_.set(L"executable", recorder());
    config_.set(L"", kTestRoot + L"\\gone");  // no such folder to start in
    EXPECT_FALSE(link.startApplication(L"C:\\x"));
    EXPECT_EQ(logMessages(), (Messages{"Starting C:\\commands-test\\missing.exe failed.",
                                       "Starting C:\\bad\"name.exe failed.", "Starting " + narrow(recorder()) + " failed."}));
}

TEST_F(ApplicationStart, LaunchStartsTheApplicationAndKeepsFailuresToTheLog) {
    config_.set(L"debug-logging", L"true");
    Quorvane link;
    clearLog();
    link.launch(L"C:\\");
    EXPECT_EQ(takeRecord().arguments, Paths{L"C:\\"});
    EXPECT_EQ(logMessages(), (Messages{"Quorvane::launch", "Quorvane::startApplication",
                                       "Quorvane::startApplication application successfully started"}));
    config_.remove(L"");
    clearLog();
    link.launch(L"C:\\");
    const Messages messages = logMessages();
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages.back(), "Quorvane::startApplication could not determine path");
}

// --- the quoting against the system's own splitting ---

Paths splitBySystem(const std::wstring& commandLine) {
    int count = 0;
    wchar_t** items = CommandLineToArgvW(commandLine.c_str(), &count);
    Paths result(items, items + (items ? count : 0));
    LocalFree(items);
    return result;
}

// Every text of up to five characters from an alphabet of the characters that matter.
TEST(CommandLine, EveryArgumentComesBackFromCommandLineToArgvW) {
    const std::wstring alphabet = L"a\\\" \t\x00e9";
    std::vector<std::wstring> texts = {L""};
    for (std::size_t begin = 0, length = 0; length < 5; ++length) {
        const std::size_t end = texts.size();
        for (std::size_t i = begin; i < end; ++i)
            for (wchar_t c : alphabet) texts.push_back(texts[i] + c);
        begin = end;
    }
    const std::wstring program = L"C:\\Program Files\\Q\\q.exe";
    int failures = 0;
    for (const std::wstring& text : texts) {
        const Paths split = splitBySystem(*commandLineFor(program, text));
        if (split == Paths{program, text}) continue;
        if (++failures <= 5) ADD_FAILURE() << "not given back: [" << narrow(text) << "]";
    }
    EXPECT_EQ(failures, 0) << "of " << texts.size();
}

}  // namespace
