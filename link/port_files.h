#pragma once
// The files by which the application announces a running server: "<host><suffix>.port" holding
// the port as decimal text, beside the lock files "<port file>.postlock" and "<port file>.lock".
// The extension, shellhost doctor and shellhost check-app judge them by these same rules.
#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// A lock file that cannot be deleted, for any reason other than its absence, is held by a
// running server. A deletable ".postlock" means stopped; without one, ".lock" decides. Whether a
// file can be deleted is only known by deleting it, so a stale lock file is deleted on the way.
bool serverLockHeld(const std::wstring& portFile);

struct PortFileText {
    std::int32_t port = 0;  // 0: no usable TCP port
    std::wstring problem;   // empty for plain decimal digits, optionally followed by a line end
};
// Leading white space, then decimal digits; whatever follows them is ignored. Anything that is
// not a TCP port (1 to 65535) reads as 0.
PortFileText readPortFileText(std::string_view bytes);
// The file's first bytes read as above; none when it cannot be opened.
std::optional<PortFileText> readPortFile(const std::wstring& path);
