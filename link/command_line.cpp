#include "link/command_line.h"

std::wstring quoteArgument(const std::wstring& argument) {
    std::wstring quoted = L"\"";
    std::size_t backslashes = 0;
    for (wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        // Backslashes count as escapes only before a quote; elsewhere they stay literal.
        const std::size_t written = c == L'"' ? 2 * backslashes + 1 : backslashes;
        quoted.append(written, L'\\');
        quoted += c;
        backslashes = 0;
    }
    quoted.append(2 * backslashes, L'\\');  // they come before the closing quote
    quoted += L'"';
    return quoted;
}

std::optional<std::wstring> quoteProgram(const std::wstring& program) {
    if (program.find(L'"') != std::wstring::npos) return std::nullopt;
    return L"\"" + program + L"\"";
}

std::optional<std::wstring> commandLineFor(const std::wstring& program, const std::wstring& argument) {
    std::optional<std::wstring> line = quoteProgram(program);
    if (line) *line += L" " + quoteArgument(argument);
    return line;
}
