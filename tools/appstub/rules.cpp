#include "tools/appstub/rules.h"

#include <cwctype>

#include "wire/encoding.h"

namespace {

// Case folding for the letters that paths commonly hold: ASCII and Latin-1 by rule (the C
// runtime's own tables cover only ASCII in the "C" locale), the rest as the runtime says.
wchar_t foldCase(wchar_t c) {
    if (c >= L'a' && c <= L'z') return static_cast<wchar_t>(c - 0x20);
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<wchar_t>(c - 0x20);
    return static_cast<wchar_t>(std::towupper(c));
}

bool sameLetter(wchar_t a, wchar_t b) { return a == b || foldCase(a) == foldCase(b); }

bool startsWithFolded(std::wstring_view text, std::wstring_view prefix) {
    if (text.size() < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i)
        if (!sameLetter(text[i], prefix[i])) return false;
    return true;
}

bool matchesPrefix(std::wstring_view prefix, std::wstring_view path) {
    while (!prefix.empty() && prefix.back() == L'\\') prefix.remove_suffix(1);
    if (prefix.empty() || !startsWithFolded(path, prefix)) return false;
    return path.size() == prefix.size() || path[prefix.size()] == L'\\';
}

// Greedy matching with one backtracking point: on a mismatch the most recent "*" takes one
// more character. Linear in practice, never exponential.
bool matchesWildcards(std::wstring_view pattern, std::wstring_view path) {
    std::size_t p = 0;
    std::size_t s = 0;
    std::size_t star = std::wstring_view::npos;
    std::size_t starResume = 0;
    while (s < path.size()) {
        if (p < pattern.size() && pattern[p] == L'*') {
            star = p++;
            starResume = s;
        } else if (p < pattern.size() && sameLetter(pattern[p], path[s])) {
            ++p;
            ++s;
        } else if (star != std::wstring_view::npos) {
            p = star + 1;
            s = ++starResume;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == L'*') ++p;
    return p == pattern.size();
}

std::optional<StateRule> parseRuleLine(std::wstring_view line) {
    const std::size_t tab = line.find(L'\t');
    if (tab == std::wstring_view::npos) return std::nullopt;
    StateRule rule{trimBlanks(line.substr(0, tab)), trimBlanks(line.substr(tab + 1))};
    if (rule.pattern.empty() || rule.state.empty()) return std::nullopt;
    return rule;
}

}  // namespace

ParsedRules parseStateRules(std::wstring_view text) {
    if (!text.empty() && text.front() == 0xFEFF) text.remove_prefix(1);  // editors' byte order mark
    ParsedRules parsed;
    std::size_t lineNumber = 0;
    while (!text.empty()) {
        const std::size_t end = text.find(L'\n');
        std::wstring_view line = text.substr(0, end);
        text.remove_prefix(end == std::wstring_view::npos ? text.size() : end + 1);
        ++lineNumber;
        if (!line.empty() && line.back() == L'\r') line.remove_suffix(1);
        const std::wstring trimmed = trimBlanks(line);
        if (trimmed.empty() || trimmed.front() == L'#') continue;
        if (auto rule = parseRuleLine(line))
            parsed.rules.push_back(std::move(*rule));
        else
            parsed.badLines.push_back(lineNumber);
    }
    return parsed;
}

bool ruleMatches(std::wstring_view pattern, std::wstring_view path) {
    return pattern.find(L'*') == std::wstring_view::npos ? matchesPrefix(pattern, path)
                                                          : matchesWildcards(pattern, path);
}

std::optional<std::wstring> stateForPath(const std::vector<StateRule>& rules, std::wstring_view path) {
    for (const StateRule& rule : rules)
        if (ruleMatches(rule.pattern, path)) return rule.state;
    return std::nullopt;
}
