// Received bytes must either decode or fail with a TextError; a decoded line must split into
// non-empty tokens without blanks at their ends, and must survive a round trip.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "common/text_error.h"
#include "wire/encoding.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    std::wstring line;
    try {
        line = decodeLine(bytes);
    } catch (const TextError&) {
        return 0;
    }
    for (const std::wstring& token : splitTokens(line)) {
        if (token.empty() || isBlank(token.front()) || token.find(L'\t') != std::wstring::npos) std::abort();
    }
    if (decodeLine(encodeLine(line)) != line) std::abort();
    return 0;
}
