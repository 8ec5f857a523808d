#pragma once
// The states that the stand-in application reports, as a list of rules "PATTERN<TAB>STATE".
// A pattern without "*" is a path prefix that ends at a folder boundary ("C:\data" covers
// C:\data and C:\data\a.txt, not C:\database); a pattern with "*" must match the whole path,
// each "*" standing for any run of characters, backslashes included. Letters compare without
// regard to case, as Windows compares paths. Pure code, so the matching can be tested alone.
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct StateRule {
    std::wstring pattern;
    std::wstring state;
};

struct ParsedRules {
    std::vector<StateRule> rules;
    std::vector<std::size_t> badLines;  // 1-based numbers of lines that are not rules
};

// One rule per line; blank lines and lines starting with "#" are skipped. A line needs a tab
// with text on both sides; the state is everything after the first tab.
ParsedRules parseStateRules(std::wstring_view text);

bool ruleMatches(std::wstring_view pattern, std::wstring_view path);

// The state of the first rule that matches, or none.
std::optional<std::wstring> stateForPath(const std::vector<StateRule>& rules, std::wstring_view path);
