#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "common/text_error.h"
#include "wire/line_buffer.h"

namespace {

using Lines = std::vector<std::wstring>;

void give(LineBuffer& buffer, std::string_view bytes) {
    std::memcpy(buffer.space(bytes.size() + 3), bytes.data(), bytes.size());  // more room than used
    buffer.received(bytes.size());
}

// Every line the buffer has complete (an error as "!" and its text).
Lines drain(LineBuffer& buffer) {
    Lines lines;
    for (;;) {
        try {
            std::optional<std::wstring> line = buffer.nextLine();
            if (!line) return lines;
            lines.push_back(*line);
            if (buffer.ended()) return lines;
        } catch (const TextError& e) {
            lines.push_back(L"!" + e.text());
            if (buffer.ended()) return lines;
        }
    }
}

// The lines of a stream received in the given pieces, and the rest at its end.
Lines linesOf(const std::vector<std::string_view>& pieces) {
    LineBuffer buffer;
    Lines lines;
    for (std::string_view piece : pieces) {
        give(buffer, piece);
        for (std::wstring& line : drain(buffer)) lines.push_back(std::move(line));
    }
    buffer.endOfStream();
    for (std::wstring& line : drain(buffer)) lines.push_back(std::move(line));
    return lines;
}

TEST(LineBuffer, LineFeedCarriageReturnAndTheirPairEachEndOneLine) {
    EXPECT_EQ(linesOf({"a\nb\rc\r\nd\n"}), (Lines{L"a", L"b", L"c", L"d", L""}));
    // Only CR directly followed by LF is one end: LF CR, CR CR and CR CR LF are two.
    EXPECT_EQ(linesOf({"a\n\rb\r\rc\r\r\n"}), (Lines{L"a", L"", L"b", L"", L"c", L"", L""}));
    // An empty line sent with CR LF is still one empty line, so a reply's end stays one line.
    EXPECT_EQ(linesOf({"x\tOK\r\n\r\ny\r\n"}), (Lines{L"x\tOK", L"", L"y", L""}));
}

// A sender that writes "path\r", and the "\n" only later, must get its line through at once.
TEST(LineBuffer, ALineEndedByCarriageReturnIsGivenBeforeItsLineFeedArrives) {
    LineBuffer buffer;
    give(buffer, "C:\\\\a\r");
    EXPECT_EQ(drain(buffer), Lines{L"C:\\a"});
    give(buffer, "\nC:\\\\b\r");
    EXPECT_EQ(drain(buffer), Lines{L"C:\\b"});
    give(buffer, "\n");
    EXPECT_EQ(drain(buffer), Lines{});
    give(buffer, "\n");  // a second LF is an empty line of its own
    EXPECT_EQ(drain(buffer), Lines{L""});
}

TEST(LineBuffer, TheEndOfTheStreamGivesTheRestThenEmptyLines) {
    EXPECT_EQ(linesOf({"abc"}), Lines{L"abc"});
    EXPECT_EQ(linesOf({"abc\r"}), (Lines{L"abc", L""}));
    LineBuffer buffer;
    give(buffer, "tail");
    buffer.endOfStream();
    EXPECT_EQ(buffer.nextLine(), L"tail");
    EXPECT_EQ(buffer.nextLine(), L"");
    EXPECT_EQ(buffer.nextLine(), L"");
}

TEST(LineBuffer, ABadLineFailsAloneAndAnEndlessOneFailsInsteadOfGrowing) {
    EXPECT_EQ(linesOf({"bad\\x\r", "\ngood\n"}), (Lines{L"!Bad string encoding, 'u' expected.", L"good", L""}));
    LineBuffer buffer;
    give(buffer, std::string(LineBuffer::kMaxLineBytes + 1, 'x'));
    EXPECT_EQ(drain(buffer), Lines{L"!line longer than 1048576 bytes received"});
    give(buffer, "next\n");
    EXPECT_EQ(drain(buffer), Lines{L"next"});
}

}  // namespace
