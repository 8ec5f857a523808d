#include <gtest/gtest.h>

#include <cstdint>
#include <regex>
#include <sstream>
#include <set>
#include <thread>

#include "common/handles.h"
#include "common/log.h"
#include "tests/win/test_support.h"

using namespace testing_support;

namespace {

const GUID kSampleId = {0x0a1b2c3d, 0x4e5f, 0x6071, {0x82, 0x93, 0xa4, 0xb5, 0xc6, 0xd7, 0xe8, 0xf9}};

SYSTEMTIME sampleTime() {
    SYSTEMTIME t = {};
    t.wYear = 2027;
    t.wMonth = 1;
    t.wDay = 5;
    t.wHour = 9;
    t.wMinute = 8;
    t.wSecond = 7;
    return t;
}

TEST(LogFormat, DateTimeIdMessageAndCrLf) {
    EXPECT_EQ(formatLogLine(sampleTime(), kSampleId, L"Quorvane::getState C:\\a"),
              "01/05/27 09:08:07 [0a1b2c3d-4e5f-6071-8293-a4b5c6d7e8f9] Quorvane::getState C:\\a\r\n");
    SYSTEMTIME late = sampleTime();
    late.wYear = 2100;
    late.wMonth = 12;
    late.wDay = 31;
    late.wHour = 23;
    late.wMinute = 59;
    late.wSecond = 58;
    EXPECT_EQ(formatLogLine(late, GUID{}, L""), "12/31/00 23:59:58 [00000000-0000-0000-0000-000000000000] \r\n");
}

TEST(LogFormat, Latin1IsOneByteAndWiderUnitsAreEscaped) {
    const std::string line = formatLogLine(sampleTime(), GUID{}, L"\x00e9\x00ff\x20ac\x4E2D\xD83D");
    EXPECT_EQ(line.substr(line.find("] ") + 2), "\xE9\xFF\\u20ac\\u4e2d\\ud83d\r\n");
}

TEST(LogFormat, GuidAndNumbers) {
    EXPECT_EQ(formatGuid(kSampleId), L"0a1b2c3d-4e5f-6071-8293-a4b5c6d7e8f9");
    const GUID high = {0xFFFFFFFF, 0xABCD, 0xEF01, {0xFF, 0, 0, 0, 0, 0, 0, 0x0F}};
    EXPECT_EQ(formatGuid(high), L"ffffffff-abcd-ef01-ff00-00000000000f");
    EXPECT_EQ(int64ToText(0), L"0");
    EXPECT_EQ(int64ToText(-4241), L"-4241");
    EXPECT_EQ(int64ToText(INT64_MIN), L"-9223372036854775808");
}

class LogFile : public ::testing::Test {
protected:
    void SetUp() override { clearLog(); }
};

TEST_F(LogFile, DebugIsDroppedWhenOffAndErrorsAlwaysGoIn) {
    Logger quiet(false);
    quiet.debug(L"not written");
    EXPECT_EQ(GetFileAttributesW(logPath().c_str()), INVALID_FILE_ATTRIBUTES);
    quiet.error(L"an error");
    Logger chatty(true);
    chatty.debug(L"a trace");
    EXPECT_EQ(logMessages(), (std::vector<std::string>{"an error", "a trace"}));
}

TEST_F(LogFile, EveryLineCarriesThisModulesInstanceId) {
    createInstanceId();
    const GUID id = instanceId();
    EXPECT_NE(formatGuid(id), formatGuid(GUID{}));
    createInstanceId();  // made once per module: a second call may not be relied on, but the id stays valid
    appendLogLine(L"one");
    appendLogLine(L"two");
    const std::regex shape(R"(\d\d/\d\d/\d\d \d\d:\d\d:\d\d \[([0-9a-f-]{36})\] (one|two)\r)");
    std::istringstream in(readLog());
    std::string line;
    int lines = 0;
    std::smatch m;
    while (std::getline(in, line)) {
        ASSERT_TRUE(std::regex_match(line, m, shape)) << line;
        EXPECT_EQ(m[1].str(), narrow(formatGuid(instanceId())));
        ++lines;
    }
    EXPECT_EQ(lines, 2);
}

TEST_F(LogFile, MissingSettingsFolderDropsTheLineSilently) {
    const std::wstring folder = settingsFolder();
    const std::wstring aside = folder + L".aside";
    RemoveDirectoryW(aside.c_str());
    ASSERT_TRUE(MoveFileW(folder.c_str(), aside.c_str()));
    Logger(false).error(L"lost");
    const DWORD attributes = GetFileAttributesW(folder.c_str());
    ASSERT_TRUE(MoveFileW(aside.c_str(), folder.c_str()));
    EXPECT_EQ(attributes, INVALID_FILE_ATTRIBUTES);  // the writer never creates folders
    EXPECT_TRUE(logMessages().empty());
}

TEST_F(LogFile, ThreadsAndProcessesAppendWholeLines) {
    constexpr int kThreads = 4, kPerThread = 150, kPerProcess = 300;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < kPerThread; ++i) appendLogLine(L"thread " + std::to_wstring(t) + L" line " + std::to_wstring(i));
        });
    std::thread a([] { EXPECT_EQ(runBeside(L"log_writer.exe", L"A 300"), 0u); });
    std::thread b([] { EXPECT_EQ(runBeside(L"log_writer.exe", L"B 300"), 0u); });
    for (auto& t : threads) t.join();
    a.join();
    b.join();

    const std::vector<std::string> messages = logMessages();
    ASSERT_EQ(messages.size(), size_t(kThreads * kPerThread + 2 * kPerProcess));
    const std::set<std::string> unique(messages.begin(), messages.end());
    EXPECT_EQ(unique.size(), messages.size());
    EXPECT_TRUE(unique.count("writer A line 299"));
    EXPECT_TRUE(unique.count("writer B line 0"));
    EXPECT_TRUE(unique.count("thread 3 line 149"));
}

TEST_F(LogFile, OtherProcessesGetOtherIds) {
    ASSERT_EQ(runBeside(L"log_writer.exe", L"C 1"), 0u);
    ASSERT_EQ(runBeside(L"log_writer.exe", L"D 1"), 0u);
    const std::string log = readLog();
    const std::regex idOf(R"(\[([0-9a-f-]{36})\] writer (C|D))");
    std::set<std::string> ids;
    for (std::sregex_iterator it(log.begin(), log.end(), idOf), end; it != end; ++it) ids.insert((*it)[1].str());
    EXPECT_EQ(ids.size(), 2u);
    EXPECT_EQ(ids.count("00000000-0000-0000-0000-000000000000"), 0u);
}

}  // namespace
