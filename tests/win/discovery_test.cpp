#include <gtest/gtest.h>

#include <shlobj.h>

#include <atomic>
#include <tuple>
#include <thread>

#include "link/port_files.h"
#include "link/quorvane.h"
#include "wire/line_socket.h"
#include "tests/win/fake_server.h"
#include "tests/win/test_support.h"

using namespace testing_support;

namespace {

using Messages = std::vector<std::string>;

const std::wstring kFolder = L"C:\\discovery-test";

class PortFiles : public ::testing::Test {
protected:
    void SetUp() override {
        winsockGuard().acquire();  // its start-up line is not what these tests look at
        removeTree(kFolder);
        ensureFolder(kFolder);
        clearLog();
    }
    void TearDown() override { removeTree(kFolder); }

    std::wstring portFile(const std::wstring& suffix = L"") const { return kFolder + L"\\" + hostName() + suffix + L".port"; }
    std::int32_t determine(bool useLockFiles, const std::wstring& suffix = L"") {
        return Quorvane::determinePort(kFolder, suffix, logger_, useLockFiles);
    }
    Logger logger_{false};
};

TEST_F(PortFiles, AStaleLockIsDeletedAndThePortFileIsNotRead) {
    writeFile(portFile(), "4711");
    writeFile(portFile() + L".lock", "");
    EXPECT_EQ(determine(true), 0);
    EXPECT_FALSE(fileExists(portFile() + L".lock"));
    EXPECT_TRUE(fileExists(portFile()));
    EXPECT_EQ(determine(true), 0);  // no lock at all now
    EXPECT_TRUE(logMessages().empty());
}

TEST_F(PortFiles, ADeletablePostlockWinsOverAHeldLock) {
    writeFile(portFile(), "4711");
    writeFile(portFile() + L".postlock", "");
    HeldLocks held({portFile() + L".lock"});
    EXPECT_EQ(determine(true), 0);
    EXPECT_FALSE(fileExists(portFile() + L".postlock"));
}

TEST_F(PortFiles, AHeldPostlockIsEnoughAndLockIsNotLookedAt) {
    writeFile(portFile(), "4711");
    writeFile(portFile() + L".lock", "");
    HeldLocks held({portFile() + L".postlock"});
    EXPECT_EQ(determine(true), 4711);
    EXPECT_TRUE(fileExists(portFile() + L".lock"));
}

TEST_F(PortFiles, ContentIsADecimalPortOrNothing) {
    HeldLocks held({portFile() + L".lock"});
    const std::pair<std::string, std::int32_t> cases[] = {
        {"4711\r\n", 4711}, {"  50001", 50001}, {"123abc", 123}, {"", 0}, {"abc", 0},
        {"-5", 0},          {"70000", 0},       {"99999999999", 0}};
    for (const auto& [content, port] : cases) {
        writeFile(portFile(), content);
        EXPECT_EQ(determine(true), port) << content;
    }
    DeleteFileW(portFile().c_str());
    EXPECT_EQ(determine(true), 0);
    EXPECT_EQ(logMessages(), Messages{"There is a port.lock, but no port-file at C:\\discovery-test"});
}

// What check-app and the doctor say about a port file: the digits alone, or what else is there.
TEST(PortFileText, NamesWhatIsWrongBesideTheDigits) {
    const std::tuple<std::string, std::int32_t, std::wstring> cases[] = {
        {"4711", 4711, L""},
        {"4711\r\n", 4711, L""},
        {"\xEF\xBB\xBF" "4711", 0, L"starts with a UTF-8 byte order mark (EF BB BF)"},
        {std::string("\xFF\xFE" "4\0" "7\0", 6), 0, L"is UTF-16 text (byte order mark FF FE)"},
        {"", 0, L"is empty"},
        {"port=1", 0, L"does not start with a number: its first bytes are 70 6F 72 74 3D 31"},
        {"70000", 0, L"holds 70000, which is not a TCP port (1 to 65535)"},
        {" 4711 x", 4711, L"holds more than the number: its first bytes are 20 34 37 31 31 20 78"}};
    for (const auto& [bytes, port, problem] : cases) {
        const PortFileText read = readPortFileText(bytes);
        EXPECT_EQ(read.port, port) << bytes;
        EXPECT_EQ(read.problem, problem) << bytes;
    }
}

TEST_F(PortFiles, WithoutLockFilesOnlyThePortFileCounts) {
    writeFile(portFile(L".statusupdates-1"), "4242");
    writeFile(portFile(L".statusupdates-1") + L".lock", "");
    EXPECT_EQ(determine(false, L".statusupdates-1"), 4242);
    EXPECT_TRUE(fileExists(portFile(L".statusupdates-1") + L".lock"));
    EXPECT_EQ(determine(false, L".other"), 0);
    EXPECT_EQ(logMessages(), Messages{"There is no port-file at C:\\discovery-test"});
}

// The real locations of a user's servers, with files held by another process.
class Servers : public ::testing::Test {
protected:
    void SetUp() override {
        winsockGuard().acquire();
        clearLog();
        removeAll();
    }
    void TearDown() override {
        held_.clear();
        removeAll();
    }
    void removeAll() {
        removeTree(versionFolder());
        removeTree(profileFolder());
        removeTree(commonStatusFolder());
        removeTree(settingsFolder() + L"\\statuscache-1");
    }
    std::wstring versionFolder() const { return settingsFolder() + L"\\" + kVersion; }
    static std::wstring profileFolder() {
        wchar_t profile[MAX_PATH];
        SHGetFolderPathW(nullptr, CSIDL_PROFILE, nullptr, SHGFP_TYPE_CURRENT, profile);
        return std::wstring(profile) + L"\\.quorvane";
    }
    static std::wstring commonStatusFolder() {
        wchar_t common[MAX_PATH];
        SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, common);
        return std::wstring(common) + L"\\Quorvane\\statuscache-1";
    }
    void publish(const std::wstring& folder, const std::wstring& suffix, std::uint16_t port) {
        ensureFolder(folder);
        const std::wstring file = folder + L"\\" + hostName() + suffix + L".port";
        writeFile(file, std::to_string(port));
        held_.push_back(std::make_unique<HeldLocks>(std::vector<std::wstring>{file + L".lock"}));
    }

    static constexpr const wchar_t* kVersion = L"9.9.9-test";
    ScopedConfig config_{kVersion};
    std::vector<std::unique_ptr<HeldLocks>> held_;
    FakeServer command_{[](SOCKET) {}};
    FakeServer state_{[](SOCKET) {}};
};

TEST_F(Servers, TheCommandServerIsFoundInTheVersionFolderAndKept) {
    publish(versionFolder(), L"", command_.port());
    Quorvane link;
    EXPECT_TRUE(link.checkCommandServerRunning());
    EXPECT_EQ(link.commandServerPort().load(), command_.port());
    removeAll();
    held_.clear();
    EXPECT_TRUE(link.checkCommandServerRunning());  // a known port needs no files
    EXPECT_TRUE(logMessages().empty());
}

TEST_F(Servers, TheProfileFolderIsTheSecondPlace) {
    publish(profileFolder(), L"", command_.port());
    Quorvane link;
    EXPECT_TRUE(link.checkCommandServerRunning());
    EXPECT_EQ(link.commandServerPort().load(), command_.port());
}

TEST_F(Servers, APortFromTheLastPlaceThatRefusesItsProbeIsStillKept) {
    const std::uint16_t dead = unusedPort();
    publish(profileFolder(), L"", dead);
    Quorvane link;
    EXPECT_FALSE(link.checkCommandServerRunning());
    EXPECT_EQ(link.commandServerPort().load(), dead);
    EXPECT_TRUE(link.checkCommandServerRunning());
    const Messages messages = logMessages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0], "Quorvane does not respond due to error: connect/select timed out");
}

TEST_F(Servers, NoVersionMeansNoSearch) {
    publish(profileFolder(), L"", command_.port());
    RegKey key;
    RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Quorvane", 0, KEY_SET_VALUE, key.put());
    RegDeleteValueW(key.get(), nullptr);
    Quorvane link;
    clearLog();
    EXPECT_FALSE(link.checkCommandServerRunning());
    EXPECT_EQ(link.commandServerPort().load(), 0);
    const Messages expected = {
        "Failed retrieving '' for key 'Software\\Quorvane'.",
        "Could not detect command server -- program version needs to be configured in registry."};
    EXPECT_EQ(logMessages(), expected);
}

TEST_F(Servers, TheAllUsersStateServerComesFirst) {
    publish(commonStatusFolder(), L".statuscache", state_.port());
    publish(versionFolder(), L"", command_.port());
    Quorvane link;
    EXPECT_TRUE(link.checkStateServerRunning());
    EXPECT_EQ(link.stateServerPort().load(), state_.port());
    EXPECT_EQ(link.commandServerPort().load(), 0);
    EXPECT_EQ(logMessages(), Messages{"Found State Server running at " + std::to_string(state_.port())});
}

TEST_F(Servers, AStateServerInTheSettingsFolderIsUsedWhenNoCommandServerAnswers) {
    publish(settingsFolder() + L"\\statuscache-1", L".statuscache", state_.port());
    Quorvane link;
    EXPECT_TRUE(link.checkStateServerRunning());
    EXPECT_EQ(link.stateServerPort().load(), state_.port());
    EXPECT_TRUE(logMessages().empty());
}

TEST_F(Servers, StatesFallBackToTheCommandServer) {
    publish(versionFolder(), L"", command_.port());
    publish(settingsFolder() + L"\\statuscache-1", L".statuscache", state_.port());  // answers, but second to it
    Quorvane link;
    EXPECT_TRUE(link.checkCommandServerRunning());
    EXPECT_TRUE(link.checkStateServerRunning());
    EXPECT_EQ(link.stateServerPort().load(), command_.port());
    EXPECT_EQ(link.commandServerPort().load(), command_.port());
}

// Threads that find a port published ask it at once, without discovery's lock: a candidate
// must not be published before its probe answered.
TEST_F(Servers, ThreadsNeverAskAStaleCandidateThatDiscoveryIsStillProbing) {
    FakeServer live(answering([](const std::string& p) { return p + "\tS"; }));
    publish(commonStatusFolder(), L".statuscache", unusedPort());  // held lock, nobody serves it
    publish(settingsFolder() + L"\\statuscache-1", L".statuscache", live.port());
    Quorvane link;
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 20; ++i) wrong += link.getState(L"C:\\t" + std::to_wstring(t) + L"\\" + std::to_wstring(i)) != L"S";
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(wrong.load(), 0);
    for (const std::string& m : logMessages()) EXPECT_EQ(m.find("get-states failed"), std::string::npos) << m;
    EXPECT_EQ(link.stateServerPort().load(), live.port());
}

// A refused command-server candidate stays the command server's: taken as the state server's,
// threads waiting for discovery would connect to it before the pause begins.
TEST_F(Servers, ARefusedCommandServerCandidateIsNeverTheStateServer) {
    publish(profileFolder(), L"", unusedPort());
    Quorvane link;
    EXPECT_FALSE(link.checkStateServerRunning());
    EXPECT_EQ(link.stateServerPort().load(), 0);
    EXPECT_NE(link.commandServerPort().load(), 0);
}

TEST_F(Servers, NothingRunningMeansNoPorts) {
    Quorvane link;
    EXPECT_FALSE(link.checkStateServerRunning());
    EXPECT_FALSE(link.checkCommandServerRunning());
    EXPECT_EQ(link.stateServerPort().load(), 0);
    EXPECT_EQ(link.commandServerPort().load(), 0);
}

}  // namespace
