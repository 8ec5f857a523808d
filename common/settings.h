#pragma once
// Registry configuration and the user's folders. Nothing here caches: every call asks the
// registry or the shell again, and every failure yields the empty text.
#include <windows.h>

#include <string>

inline constexpr wchar_t kProductKey[] = L"Software\\Quorvane";

// The value's text, or empty. A key that cannot be opened is always logged; a value that
// cannot be read is logged when report is true.
std::wstring readRegistryString(HKEY hive, const std::wstring& keyPath, const std::wstring& valueName,
                                bool report);

// The default value of HKLM\Software\Quorvane: the name of the version key.
std::wstring readProgramVersion();

// A value under the version key; the empty name reads the installation folder.
std::wstring readConfigValue(const std::wstring& valueName, bool report);

// A switch is on only for the exact text "true".
bool readConfigSwitch(const std::wstring& valueName);

std::wstring getKnownFolderPath(int csidl, bool defaultLocation);

// Roaming AppData\Quorvane, else the profile settings folder, else C:\temp. Never empty;
// the folder is not created or checked.
std::wstring getSettingsFolder();
// The rule behind it, for given AppData and profile folders (either may be empty).
std::wstring settingsFolderFor(std::wstring appData, const std::wstring& profile);

// The user profile folder + "\.quorvane", or empty when the profile folder is unknown.
std::wstring getProfileSettingsFolder();
