#include "common/settings.h"

#include <shlobj.h>

#include <algorithm>

#include "common/handles.h"
#include "common/log.h"

namespace {
constexpr DWORD kValueBufferBytes = 520;  // 260 UTF-16 units, the terminator included
}

std::wstring readRegistryString(HKEY hive, const std::wstring& keyPath, const std::wstring& valueName,
                                bool report) {
    RegKey key;
    if (RegOpenKeyExW(hive, keyPath.c_str(), 0, KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS) {
        appendLogLine(L"Key '" + keyPath + L"' not found.");
        return {};
    }
    wchar_t buffer[kValueBufferBytes / sizeof(wchar_t)];
    DWORD size = kValueBufferBytes;
    const LSTATUS status = RegQueryValueExW(key.get(), valueName.empty() ? nullptr : valueName.c_str(),
                                            nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &size);
    if (status != ERROR_SUCCESS) {
        if (report) appendLogLine(L"Failed retrieving '" + valueName + L"' for key '" + keyPath + L"'.");
        return {};
    }
    // Only the complete units that came back count: data need not be terminated, nor even.
    const std::wstring_view data(buffer, std::min<DWORD>(size, kValueBufferBytes) / sizeof(wchar_t));
    return std::wstring(data.substr(0, data.find(L'\0')));
}

std::wstring readProgramVersion() { return readRegistryString(HKEY_LOCAL_MACHINE, kProductKey, L"", true); }

std::wstring readConfigValue(const std::wstring& valueName, bool report) {
    const std::wstring version = readProgramVersion();
    if (version.empty()) return {};
    return readRegistryString(HKEY_LOCAL_MACHINE, std::wstring(kProductKey) + L"\\" + version, valueName, report);
}

bool readConfigSwitch(const std::wstring& valueName) { return readConfigValue(valueName, false) == L"true"; }

std::wstring getKnownFolderPath(int csidl, bool defaultLocation) {
    wchar_t buffer[MAX_PATH] = {};
    const DWORD type = defaultLocation ? SHGFP_TYPE_DEFAULT : SHGFP_TYPE_CURRENT;
    if (FAILED(SHGetFolderPathW(nullptr, csidl, nullptr, type, buffer))) return {};
    return buffer;
}

std::wstring settingsFolderFor(std::wstring appData, const std::wstring& profile) {
    if (!appData.empty()) {
        if (appData.back() != L'\\') appData += L'\\';
        return appData + L"Quorvane";
    }
    return profile.empty() ? L"C:\\temp" : profile + L"\\.quorvane";
}

std::wstring getSettingsFolder() {
    std::wstring appData = getKnownFolderPath(CSIDL_APPDATA, false);
    // The profile folder is only asked for when there is no AppData folder.
    return settingsFolderFor(appData, appData.empty() ? getKnownFolderPath(CSIDL_PROFILE, false) : std::wstring());
}

std::wstring getProfileSettingsFolder() {
    const std::wstring profile = getKnownFolderPath(CSIDL_PROFILE, false);
    return profile.empty() ? std::wstring() : profile + L"\\.quorvane";
}
