#pragma once
// Reads a decimal number the way configuration values and counts are written: leading white
// space skipped, an optional sign, then digits; whatever follows the digits is ignored.
#include <cstdint>
#include <optional>
#include <string_view>

// White space as the C locale has it, fixed so that the runtime's tables cannot change it.
inline bool isDecimalWhiteSpace(wchar_t c) noexcept { return c == L' ' || (c >= L'\t' && c <= L'\r'); }

// Empty when there are no digits or the number does not fit in 32 bits.
inline std::optional<std::int32_t> parseDecimal(std::wstring_view text) {
    std::size_t i = 0;
    while (i < text.size() && isDecimalWhiteSpace(text[i])) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == L'+' || text[i] == L'-')) negative = text[i++] == L'-';
    const std::size_t firstDigit = i;
    std::int64_t value = 0;
    for (; i < text.size() && text[i] >= L'0' && text[i] <= L'9'; ++i) {
        value = value * 10 + (text[i] - L'0');
        if (value > std::int64_t{INT32_MAX} + 1) return std::nullopt;
    }
    if (i == firstDigit) return std::nullopt;
    if (negative) value = -value;
    if (value > INT32_MAX || value < INT32_MIN) return std::nullopt;
    return static_cast<std::int32_t>(value);
}
