#include <gtest/gtest.h>

#include <chrono>

#include "common/text_error.h"
#include "wire/encoding.h"

namespace {

std::wstring decodeError(std::string_view bytes) {
    try {
        decodeLine(bytes);
    } catch (const TextError& e) {
        return e.text();
    }
    return L"(no error)";
}

using Tokens = std::vector<std::wstring>;

TEST(Encoding, PrintableAsciiTravelsRawAndBackslashIsDoubled) {
    EXPECT_EQ(encodeLine(L""), "");
    EXPECT_EQ(encodeLine(L"C:\\a b"), "C:\\\\a b");
    EXPECT_EQ(encodeLine(L"C:\\a b").size(), 7u);
    EXPECT_EQ(encodeLine(std::wstring(1, wchar_t(0x7F))), "\x7F");
    EXPECT_EQ(encodeLine(L" ~"), " ~");
}

TEST(Encoding, EverythingElseIsALowerCaseFourDigitEscape) {
    EXPECT_EQ(encodeLine(L"\x00e4\t"), "\\u00e4\\u0009");
    EXPECT_EQ(encodeLine(L"\n\r"), "\\u000a\\u000d");
    EXPECT_EQ(encodeLine(std::wstring(1, wchar_t(0x80))), "\\u0080");
    EXPECT_EQ(encodeLine(std::wstring(1, wchar_t(0x1F))), "\\u001f");
    EXPECT_EQ(encodeLine(L"\x20ac\xFFFF"), "\\u20ac\\uffff");
    EXPECT_EQ(encodeLine(std::wstring(1, wchar_t(0))), "\\u0000");
    const std::wstring pair = {wchar_t(0xD83D), wchar_t(0xDE00)};
    EXPECT_EQ(encodeLine(pair), "\\ud83d\\ude00");
}

TEST(Encoding, RoundTripKeepsEveryUnit) {
    std::wstring all;
    for (unsigned u = 0; u <= 0xFFFF; u += 7) all += static_cast<wchar_t>(u);
    all += L"\\\\u0041\\";
    const std::string wire = encodeLine(all);
    for (char c : wire) {
        ASSERT_GE(static_cast<unsigned char>(c), 0x20);
        ASSERT_LE(static_cast<unsigned char>(c), 0x7F);
    }
    EXPECT_EQ(decodeLine(wire), all);
}

TEST(Decoding, EscapesAndRawBytes) {
    EXPECT_EQ(decodeLine("\\u00E9"), L"\x00e9");
    EXPECT_EQ(decodeLine("\\u00e9"), L"\x00e9");
    EXPECT_EQ(decodeLine("a\tb"), L"a\tb");  // a raw tab is just a unit
    EXPECT_EQ(decodeLine("\\\\u0041"), L"\\u0041");
    EXPECT_EQ(decodeLine("\\ud83d\\ude00"), (std::wstring{wchar_t(0xD83D), wchar_t(0xDE00)}));
}

TEST(Decoding, HighBytesAreLatin1NotSignExtended) {
    EXPECT_EQ(decodeLine("\x80\xFF"), (std::wstring{wchar_t(0x80), wchar_t(0xFF)}));
}

TEST(Decoding, MalformedEscapesFailWithTheirOwnText) {
    EXPECT_EQ(decodeError("abc\\"), L"Bad string encoding, premature end.");
    EXPECT_EQ(decodeError("\\x0041"), L"Bad string encoding, 'u' expected.");
    EXPECT_EQ(decodeError("\\U0041"), L"Bad string encoding, 'u' expected.");
    for (const char* s : {"\\u", "\\u0", "\\u00", "\\u004", "long prefix before it \\u00"})
        EXPECT_EQ(decodeError(s), L"Bad string encoding, premature end in unicode character.") << s;
    EXPECT_EQ(decodeError("\\u00g1"), L"Invalid HEX character" L"g");
    EXPECT_EQ(decodeError("\\u 041"), L"Invalid HEX character" L" ");
    // The first failing escape decides, whatever follows it.
    EXPECT_EQ(decodeError("\\q\\u"), L"Bad string encoding, 'u' expected.");
}

// The extension's trace and shellhost check-app name what a sender got wrong with these words.
TEST(ForeignBytes, NamesAByteOrderMarkAndRawUtf8AndNothingInConformingLines) {
    EXPECT_EQ(foreignBytes("C:\\\\Zo\\u00eb\tSynced"), L"");
    EXPECT_EQ(foreignBytes("\xEF\xBB\xBF" "C:\\\\a"), L"a UTF-8 byte order mark (EF BB BF) at its start");
    EXPECT_EQ(foreignBytes("C:\\\\Zo\xC3\xAB"), L"raw byte c3 at offset 6 (raw UTF-8, not \\uXXXX escapes)");
}

TEST(HexDigits, AcceptsBothCasesAndNothingElse) {
    EXPECT_EQ(hexDigitValue('0'), 0);
    EXPECT_EQ(hexDigitValue('9'), 9);
    EXPECT_EQ(hexDigitValue('a'), 10);
    EXPECT_EQ(hexDigitValue('F'), 15);
    for (char c : {'/', ':', '@', 'G', '`', 'g'}) EXPECT_THROW(hexDigitValue(c), TextError) << c;
}

TEST(Blanks, OnlySpaceAndTabAreBlank) {
    EXPECT_TRUE(isBlank(L' '));
    EXPECT_TRUE(isBlank(L'\t'));
    EXPECT_FALSE(isBlank(L'\n'));
    EXPECT_FALSE(isBlank(L'\r'));
    EXPECT_FALSE(isBlank(wchar_t(0xA0)));
    EXPECT_EQ(trimBlanks(L" \t a b \t "), L"a b");
    EXPECT_EQ(trimBlanks(L" \t "), L"");
    EXPECT_EQ(trimBlanks(L"\na\r"), L"\na\r");
}

TEST(Tokens, TabsSeparateRunsCountOnceAndSpacesBeforeATabStay) {
    EXPECT_EQ(splitTokens(L"  a\tb  \t\t  c d \t"), (Tokens{L"a", L"b  ", L"c d"}));
    EXPECT_EQ(splitTokens(L""), Tokens{});
    EXPECT_EQ(splitTokens(L" \t \t"), Tokens{});
    EXPECT_EQ(splitTokens(L" one token "), Tokens{L"one token"});
    EXPECT_EQ(splitTokens(L"a\t \tb"), (Tokens{L"a", L"b"}));
    EXPECT_EQ(splitTokens(L"x\ty"), (Tokens{L"x", L"y"}));
}

// A reply line may be 1 MiB long; splitting it must not copy the rest of the line per token.
TEST(Tokens, AMebibyteLineOfTokensSplitsInOnePass) {
    std::wstring line;
    for (int i = 0; i < (1 << 19); ++i) line += L"a\t";
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(splitTokens(line).size(), std::size_t{1} << 19);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));  // quadratic: minutes
}

TEST(Tokens, AnEscapedTabSeparatesLikeARawOne) {
    EXPECT_EQ(splitTokens(decodeLine("C:\\\\d\\u0009S")), (Tokens{L"C:\\d", L"S"}));
}

}  // namespace
