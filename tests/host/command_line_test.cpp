#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "link/command_line.h"

namespace {

using Items = std::vector<std::wstring>;

// The documented splitting of a command line, as the C runtime and CommandLineToArgvW do it
// (the program is split the same way as its arguments here, which is right whenever the
// program holds neither quote nor trailing backslash): 2n backslashes before a quote give n
// and the quote opens or closes quoting; 2n+1 give n and a literal quote; backslashes before
// anything else are literal. Inside quotes, two quotes in a row give one literal quote.
Items split(const std::wstring& line) {
    Items items;
    std::size_t i = 0;
    const auto blank = [&](std::size_t at) { return line[at] == L' ' || line[at] == L'\t'; };
    for (;;) {
        while (i < line.size() && blank(i)) ++i;
        if (i == line.size()) return items;
        std::wstring item;
        bool quoted = false;
        while (i < line.size() && (quoted || !blank(i))) {
            std::size_t backslashes = 0;
            while (i < line.size() && line[i] == L'\\') ++backslashes, ++i;
            if (i < line.size() && line[i] == L'"') {
                item.append(backslashes / 2, L'\\');
                if (backslashes % 2 == 1) item += L'"';
                else if (quoted && i + 1 < line.size() && line[i + 1] == L'"') item += L'"', ++i;
                else quoted = !quoted;
                ++i;
            } else {
                item.append(backslashes, L'\\');
                if (i < line.size() && (quoted || !blank(i))) item += line[i++];
            }
        }
        items.push_back(item);
    }
}

TEST(QuoteArgument, BackslashesAreDoubledOnlyBeforeAQuote) {
    EXPECT_EQ(quoteArgument(L"C:\\"), L"\"C:\\\\\"");  // the drive root must not end in \"
    EXPECT_EQ(quoteArgument(L"\\\\server\\share\\\\"), L"\"\\\\server\\share\\\\\\\\\"");
    EXPECT_EQ(quoteArgument(L"C:\\a b\\c.txt"), L"\"C:\\a b\\c.txt\"");
    EXPECT_EQ(quoteArgument(L"a\"b"), L"\"a\\\"b\"");
    EXPECT_EQ(quoteArgument(L"a\\\"b"), L"\"a\\\\\\\"b\"");
    EXPECT_EQ(quoteArgument(L""), L"\"\"");
    EXPECT_EQ(quoteArgument(L"\x00e9\x4e2d"), L"\"\x00e9\x4e2d\"");
}

TEST(QuoteArgument, TheSplittingGivesEveryShortTextBackUnchanged) {
    const std::wstring alphabet = L"a\\\" \t";
    Items texts = {L""};
    for (std::size_t begin = 0, length = 0; length < 6; ++length) {
        const std::size_t end = texts.size();
        for (std::size_t i = begin; i < end; ++i)
            for (wchar_t c : alphabet) texts.push_back(texts[i] + c);
        begin = end;
    }
    int failures = 0;
    for (const std::wstring& text : texts) {
        const std::wstring line = L"\"C:\\q.exe\" " + quoteArgument(text) + L" " + quoteArgument(text);
        if (split(line) == Items{L"C:\\q.exe", text, text}) continue;
        if (++failures <= 5) ADD_FAILURE() << "not given back from " << std::string(line.begin(), line.end());
    }
    EXPECT_EQ(failures, 0) << "of " << texts.size();
}

TEST(CommandLineFor, TheProgramIsQuotedAsItIsAndAQuoteInItHasNoCommandLine) {
    EXPECT_EQ(commandLineFor(L"C:\\Program Files\\Q\\bin\\q.exe", L"C:\\"),
              L"\"C:\\Program Files\\Q\\bin\\q.exe\" \"C:\\\\\"");
    EXPECT_EQ(quoteProgram(L"C:\\a\\q.exe"), L"\"C:\\a\\q.exe\"");
    EXPECT_EQ(commandLineFor(L"C:\\a\"b.exe", L"x"), std::nullopt);
}

}  // namespace
