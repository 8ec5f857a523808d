#pragma once
// The byte form of protocol lines: 7-bit ASCII with "\\" and "\uXXXX" escapes per UTF-16
// unit, and the tab-separated tokens of a decoded line. Pure code: it also builds natively.
#include <string>
#include <string_view>
#include <vector>

// Escapes one line (without its terminator). Throws TextError for a unit above 0xFFFF,
// which only a 32-bit wchar_t can hold.
std::string encodeLine(std::wstring_view line);

// Decodes one received line (without its terminator). Bytes 0x80 to 0xFF become
// U+0080 to U+00FF. Throws TextError for a malformed escape; nothing is returned then.
std::wstring decodeLine(std::string_view bytes);

// What makes received line bytes differ from what a conforming sender writes, or empty: a UTF-8
// byte order mark, or raw bytes above 0x7F where "\uXXXX" escapes belong (raw UTF-8 decodes as
// other characters). Such a line still decodes; the text names the mistake for a trace or a check.
std::wstring foreignBytes(std::string_view bytes);

// 0 to 15 for "0"-"9", "a"-"f", "A"-"F"; throws TextError for any other byte.
int hexDigitValue(char c);

bool isBlank(wchar_t c) noexcept;
std::wstring trimBlanks(std::wstring_view text);

// Cuts a decoded line at tabs; tokens are never empty, runs of blanks between tokens count once.
std::vector<std::wstring> splitTokens(std::wstring_view line);
