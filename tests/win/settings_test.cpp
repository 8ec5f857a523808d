#include <gtest/gtest.h>

#include <shlobj.h>

#include "common/handles.h"
#include "common/settings.h"
#include "tests/win/test_support.h"

using namespace testing_support;

namespace {

class Settings : public ::testing::Test {
protected:
    void SetUp() override { clearLog(); }
    void TearDown() override { removeProductKey(); }
};

TEST_F(Settings, ReadsAValueUnderTheVersionKey) {
    ScopedConfig config(L"3.1", L"C:\\Apps\\Q");
    config.set(L"executable", L"C:\\x\\q.exe");
    EXPECT_EQ(readProgramVersion(), L"3.1");
    EXPECT_EQ(readConfigValue(L"", true), L"C:\\Apps\\Q");
    EXPECT_EQ(readConfigValue(L"executable", true), L"C:\\x\\q.exe");
    EXPECT_TRUE(logMessages().empty());
}

// On 64-bit Windows HKLM\Software has a view per word size: each build reads its own (an
// installer fills both), so a 32-bit process reading the 64-bit view would be a mistake.
TEST_F(Settings, EachWordSizeReadsTheRegistryViewOfItsOwn) {
    const REGSAM own = sizeof(void*) == 8 ? KEY_WOW64_64KEY : KEY_WOW64_32KEY;
    const REGSAM other = own == KEY_WOW64_64KEY ? KEY_WOW64_32KEY : KEY_WOW64_64KEY;
    for (const REGSAM view : {KEY_WOW64_64KEY, KEY_WOW64_32KEY}) {
        RegKey key;
        ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Quorvane", 0, nullptr, 0, KEY_SET_VALUE | view,
                                  nullptr, key.put(), nullptr),
                  ERROR_SUCCESS);
        const std::wstring version = view == own ? L"own" : L"other";
        RegSetValueExW(key.get(), nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(version.c_str()),
                       static_cast<DWORD>((version.size() + 1) * sizeof(wchar_t)));
    }
    EXPECT_EQ(readProgramVersion(), L"own");
    RegDeleteKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Quorvane", other, 0);
}

TEST_F(Settings, MissingProductKeyLogsOneLineWhatever) {
    removeProductKey();
    EXPECT_EQ(readConfigValue(L"shell-integration-full", false), L"");
    EXPECT_EQ(logMessages(), std::vector<std::string>{"Key 'Software\\Quorvane' not found."});
    EXPECT_FALSE(readConfigSwitch(L"shell-integration-full"));
}

TEST_F(Settings, MissingVersionValueAndMissingVersionKeyAreLogged) {
    ScopedConfig config(L"7.0");
    config.remove(L"");
    EXPECT_EQ(readConfigValue(L"", true), L"");  // the version key has no default value
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"Software\\Quorvane\\7.0");
    EXPECT_EQ(readConfigValue(L"console", false), L"");
    const std::vector<std::string> expected = {
        "Failed retrieving '' for key 'Software\\Quorvane\\7.0'.",
        "Key 'Software\\Quorvane\\7.0' not found.",
    };
    EXPECT_EQ(logMessages(), expected);
}

TEST_F(Settings, NoVersionMeansEveryValueIsMissingWithoutLookingFurther) {
    ScopedConfig config;
    RegKey key;
    RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Quorvane", 0, KEY_SET_VALUE, key.put());
    RegDeleteValueW(key.get(), nullptr);
    EXPECT_EQ(readConfigValue(L"tavrel", false), L"");
    EXPECT_EQ(logMessages(), std::vector<std::string>{"Failed retrieving '' for key 'Software\\Quorvane'."});
}

TEST_F(Settings, MissingValueIsLoggedOnlyWhenAskedAndEmptyIsSilent) {
    ScopedConfig config;
    config.set(L"executable", L"");
    EXPECT_EQ(readConfigValue(L"nothing-here", false), L"");
    EXPECT_EQ(readConfigValue(L"executable", true), L"");
    EXPECT_TRUE(logMessages().empty());
    EXPECT_EQ(readConfigValue(L"nothing-here", true), L"");
    EXPECT_EQ(logMessages(),
              std::vector<std::string>{"Failed retrieving 'nothing-here' for key 'Software\\Quorvane\\9.9.9-test'."});
}

TEST_F(Settings, ValueLengthLimitIs259Characters) {
    ScopedConfig config;
    const std::wstring fits(259, L'x');
    config.set(L"long", fits);
    EXPECT_EQ(readConfigValue(L"long", true), fits);
    config.set(L"long", fits + L"y");
    EXPECT_EQ(readConfigValue(L"long", true), L"");
    EXPECT_EQ(logMessages().size(), 1u);
}

TEST_F(Settings, UnterminatedOrOddSizedDataIsReadOnlyAsFarAsItCame) {
    ScopedConfig config;
    const std::wstring full(260, L'z');  // exactly 520 bytes, no terminator
    config.setRaw(L"raw", REG_BINARY, full.data(), 520);
    EXPECT_EQ(readConfigValue(L"raw", true), full);
    const char odd[] = {'a', 0, 'b', 0, 'c'};  // two whole units and half of a third
    config.setRaw(L"raw", REG_BINARY, odd, sizeof odd);
    EXPECT_EQ(readConfigValue(L"raw", true), L"ab");
    const wchar_t stops[] = L"ab\0cd";
    config.setRaw(L"raw", REG_SZ, stops, sizeof stops);
    EXPECT_EQ(readConfigValue(L"raw", true), L"ab");
}

TEST_F(Settings, OnlyTheExactTextTrueSwitchesOn) {
    ScopedConfig config;
    for (const wchar_t* off : {L"True", L"TRUE", L"1", L"true ", L" true", L"yes"}) {
        config.set(L"console", off);
        EXPECT_FALSE(readConfigSwitch(L"console")) << off;
    }
    const DWORD one = 1;
    config.setRaw(L"console", REG_DWORD, &one, sizeof one);
    EXPECT_FALSE(readConfigSwitch(L"console"));
    config.set(L"console", L"true");
    EXPECT_TRUE(readConfigSwitch(L"console"));
}

TEST(SettingsFolder, FollowsAppDataThenProfileThenTemp) {
    EXPECT_EQ(settingsFolderFor(L"C:\\Users\\user1\\AppData\\Roaming", L"C:\\Users\\user1"),
              L"C:\\Users\\user1\\AppData\\Roaming\\Quorvane");
    EXPECT_EQ(settingsFolderFor(L"C:\\Roaming\\", L""), L"C:\\Roaming\\Quorvane");
    EXPECT_EQ(settingsFolderFor(L"", L"C:\\Users\\user1"), L"C:\\Users\\user1\\.quorvane");
    EXPECT_EQ(settingsFolderFor(L"", L""), L"C:\\temp");
}

TEST(SettingsFolder, IsTheRoamingAppDataFolderOfThePrefix) {
    wchar_t appData[MAX_PATH];
    ASSERT_EQ(SHGetFolderPathW(nullptr, CSIDL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, appData), S_OK);
    EXPECT_EQ(getSettingsFolder(), std::wstring(appData) + L"\\Quorvane");
    EXPECT_EQ(getKnownFolderPath(CSIDL_APPDATA, false), appData);
    EXPECT_EQ(getProfileSettingsFolder(), getKnownFolderPath(CSIDL_PROFILE, false) + L"\\.quorvane");
    EXPECT_EQ(getKnownFolderPath(0x7777, false), L"");  // no such folder
}

}  // namespace
