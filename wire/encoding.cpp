#include "wire/encoding.h"

#include <algorithm>

#include "common/text_error.h"

namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

void appendEscape(std::string& out, unsigned long unit) {
    if (unit > 0xFFFF) {
        // Counting the digits tells the caller how far out of range the unit was.
        int digits = 0;
        for (unsigned long v = unit; v != 0; v >>= 4) ++digits;
        throw TextError(L"Illegal unicode code with length " + std::to_wstring(digits));
    }
    out += '\\';
    out += 'u';
    for (int shift = 12; shift >= 0; shift -= 4) out += kHexDigits[(unit >> shift) & 0xF];
}

}  // namespace

std::string encodeLine(std::wstring_view line) {
    std::string out;
    out.reserve(line.size() * 6);
    for (wchar_t c : line) {
        const auto unit = static_cast<unsigned long>(c);
        if (c == L'\\') {
            out += "\\\\";
        } else if (unit >= 0x20 && unit <= 0x7F) {
            out += static_cast<char>(unit);
        } else {
            appendEscape(out, unit);
        }
    }
    return out;
}

std::wstring foreignBytes(std::string_view bytes) {
    if (bytes.substr(0, 3) == "\xEF\xBB\xBF") return L"a UTF-8 byte order mark (EF BB BF) at its start";
    const std::size_t raw =
        std::find_if(bytes.begin(), bytes.end(), [](char c) { return static_cast<unsigned char>(c) > 0x7F; }) -
        bytes.begin();
    if (raw == bytes.size()) return {};
    const auto byte = static_cast<unsigned char>(bytes[raw]);
    return L"raw byte " + std::wstring{wchar_t(kHexDigits[byte >> 4]), wchar_t(kHexDigits[byte & 15])} + L" at offset " +
           std::to_wstring(raw) + L" (raw UTF-8, not \\uXXXX escapes)";
}

int hexDigitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    throw TextError(std::wstring(L"Invalid HEX character") +
                    static_cast<wchar_t>(static_cast<unsigned char>(c)));
}

std::wstring decodeLine(std::string_view bytes) {
    std::wstring out;
    out.reserve(bytes.size());
    const std::size_t n = bytes.size();
    for (std::size_t i = 0; i < n; ++i) {
        const char c = bytes[i];
        if (c != '\\') {
            out += static_cast<wchar_t>(static_cast<unsigned char>(c));
            continue;
        }
        if (i + 1 == n) throw TextError(L"Bad string encoding, premature end.");
        if (bytes[i + 1] == '\\') {
            out += L'\\';
            ++i;
            continue;
        }
        if (bytes[i + 1] != 'u') throw TextError(L"Bad string encoding, 'u' expected.");
        if (n - i < 6) throw TextError(L"Bad string encoding, premature end in unicode character.");
        unsigned value = 0;
        for (std::size_t k = i + 2; k < i + 6; ++k) value = value * 16 + hexDigitValue(bytes[k]);
        out += static_cast<wchar_t>(value);
        i += 5;
    }
    return out;
}

bool isBlank(wchar_t c) noexcept { return c == L' ' || c == L'\t'; }

std::wstring trimBlanks(std::wstring_view text) {
    std::size_t first = 0;
    std::size_t last = text.size();
    while (first < last && isBlank(text[first])) ++first;
    while (last > first && isBlank(text[last - 1])) --last;
    return std::wstring(text.substr(first, last - first));
}

// One pass over the line: each token is copied once, however many there are.
std::vector<std::wstring> splitTokens(std::wstring_view line) {
    std::vector<std::wstring> tokens;
    std::size_t first = 0;
    std::size_t last = line.size();
    while (first < last && isBlank(line[first])) ++first;
    while (last > first && isBlank(line[last - 1])) --last;
    while (first < last) {
        const std::size_t tab = std::min(line.find(L'\t', first), last);
        tokens.emplace_back(line.substr(first, tab - first));  // blanks before a tab stay
        first = tab;
        while (first < last && isBlank(line[first])) ++first;
    }
    return tokens;
}
