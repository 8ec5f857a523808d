// Received bytes must either decode or fail with a TextError; a decoded line must split into
// non-empty tokens without blanks at their ends, and must survive a round trip. Cut into lines,
// the same bytes must give the same lines however the receives split them, and the lines that
// a plain reading of LF, CR and CR LF gives.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#include "common/text_error.h"
#include "wire/encoding.h"
#include "wire/line_buffer.h"

namespace {

using Lines = std::vector<std::wstring>;

std::wstring decodedOrError(std::string_view bytes) {
    try {
        return decodeLine(bytes);
    } catch (const TextError& e) {
        return L"!" + e.text();
    }
}

void checkTokens(std::string_view bytes) {
    std::wstring line;
    try {
        line = decodeLine(bytes);
    } catch (const TextError&) {
        return;
    }
    for (const std::wstring& token : splitTokens(line)) {
        if (token.empty() || isBlank(token.front()) || token.find(L'\t') != std::wstring::npos) std::abort();
    }
    if (decodeLine(encodeLine(line)) != line) std::abort();
}

void takeLines(LineBuffer& buffer, Lines& lines) {
    for (;;) {
        try {
            const std::optional<std::wstring> line = buffer.nextLine();
            if (!line) return;
            lines.push_back(*line);
            if (buffer.ended()) return;
        } catch (const TextError& e) {
            lines.push_back(L"!" + e.text());
            if (buffer.ended()) return;
        }
    }
}

// Receives of 1 to 8 bytes, their lengths drawn from the seed.
Lines linesInPieces(std::string_view stream, std::uint8_t seed) {
    LineBuffer buffer;
    Lines lines;
    std::uint32_t state = seed * 2654435761u + 1;
    for (std::size_t at = 0; at < stream.size();) {
        state = state * 1103515245u + 12345u;
        const std::size_t piece = std::min<std::size_t>(1 + (state >> 16) % 8, stream.size() - at);
        std::memcpy(buffer.space(piece), stream.data() + at, piece);
        buffer.received(piece);
        at += piece;
        takeLines(buffer, lines);
    }
    buffer.endOfStream();
    takeLines(buffer, lines);
    return lines;
}

Lines plainReading(std::string_view stream) {
    Lines lines;
    std::size_t start = 0;
    for (std::size_t i = 0; i < stream.size(); ++i) {
        if (stream[i] != '\r' && stream[i] != '\n') continue;
        lines.push_back(decodedOrError(stream.substr(start, i - start)));
        if (stream[i] == '\r' && i + 1 < stream.size() && stream[i + 1] == '\n') ++i;
        start = i + 1;
    }
    lines.push_back(decodedOrError(stream.substr(start)));
    return lines;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    checkTokens(bytes);
    if (size > 0 && linesInPieces(bytes.substr(1), data[0]) != plainReading(bytes.substr(1))) std::abort();
    return 0;
}
