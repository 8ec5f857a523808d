#pragma once
// Text that came from a peer or a file, as a log line holds it: cut, with its full length noted,
// so that a peer can neither flood the shared log nor fill a line with its own text.
#include <cstddef>
#include <string>
#include <string_view>

inline constexpr std::size_t kMaxLoggedTextLength = 512;

inline std::wstring clipForLog(std::wstring_view text) {
    if (text.size() <= kMaxLoggedTextLength) return std::wstring(text);
    return std::wstring(text.substr(0, kMaxLoggedTextLength)) + L"... (" + std::to_wstring(text.size()) +
           L" characters)";
}
