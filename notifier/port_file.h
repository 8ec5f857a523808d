#pragma once
// What Tavrel and the extension agree on about Tavrel's port file and its first port.
#include <cstdint>
#include <string>

// The file is "<host><base>.port" in the settings folder (or the profile settings folder).
inline constexpr wchar_t kTavrelPortFileBase[] = L".statusupdates-1";
// Tavrel's port search starts here; the extension assumes it when no port file can be read.
inline constexpr std::int32_t kFirstTavrelPort = 4241;

inline std::wstring portFilePath(const std::wstring& folder, const std::wstring& host, const std::wstring& baseName) {
    return folder + L"\\" + host + baseName + L".port";
}
